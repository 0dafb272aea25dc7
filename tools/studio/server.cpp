// The studio's HTTP side: one route table, the refusals every request passes
// first, and the handlers that turn requests into session changes, renders
// and exports.
//
// Security: the page's address carries a 128-bit token in its fragment, which
// browsers never send; the page sends it in the X-Studio-Token header, which
// every /api/ request needs (a custom header also forces a CORS preflight,
// which is never granted). The static page files hold no data and are served
// without it. Requests naming another Host than the bound address, localhost
// or 127.0.0.1 with the port (DNS rebinding) and changes sent with a foreign
// Origin are refused, as are bodies above 1 MiB and renders above 8192 by 8192.
//
// Threads: cpp-httplib answers on a pool of threads. The session (document,
// undo, files) is guarded by one mutex and the engine, global state, by
// another, so that an edit never waits for a render. A render checks between
// records that its revision is still the current one and stops when a newer
// edit has superseded it, and then starts again from the newer document.
#include "tools/studio/server.h"

#include <httplib.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <fcntl.h>

#include <atomic>
#include <charconv>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <mutex>
#include <optional>
#include <nlohmann/json.hpp>
#include <random>
#include <set>
#include <thread>

#include "tools/studio/embedded.h"
#include "tools/studio/link.h"
#include "tools/studio/protocol.h"
#include "tools/studio/render_cache.h"
#include "tools/studio/session.h"
#include "tools/texgen.h"

extern char** environ;

namespace studio {

namespace {

namespace fs = std::filesystem;
using httplib::Request;
using httplib::Response;

constexpr size_t MAX_BODY = 1 << 20;
const char TOKEN_HEADER[] = "X-Studio-Token";

// A request the studio refuses: the status and one sentence for the author.
struct Refusal {
    int status;
    std::string message;
};

void reply(Response& res, int status, const std::string& message, json extra = json::object()) {
    extra["error"] = message;
    res.status = status;
    res.set_content(extra.dump(), "application/json");
}

std::string randomToken() {
    unsigned char bytes[16] = {};
    std::ifstream urandom("/dev/urandom", std::ios::binary);
    if (!urandom.read(reinterpret_cast<char*>(bytes), sizeof bytes)) {
        std::random_device device;
        for (unsigned char& byte : bytes) byte = static_cast<unsigned char>(device());
    }
    static const char hex[] = "0123456789abcdef";
    std::string token;
    for (unsigned char byte : bytes) token += {hex[byte >> 4], hex[byte & 15]};
    return token;
}

// Compares without stopping at the first difference, so timing tells nothing.
bool sameSecret(const std::string& given, const std::string& secret) {
    unsigned char difference = given.size() != secret.size();
    for (size_t i = 0; i < secret.size(); ++i) difference |= uint8_t(secret[i] ^ (i < given.size() ? given[i] : 0));
    return difference == 0;
}

bool isLoopback(const std::string& host) {
    return host == "localhost" || host == "::1" || host.rfind("127.", 0) == 0;
}

std::string contentType(const std::string& name) {
    const std::string extension = fs::path(name).extension().string();
    if (extension == ".html") return "text/html; charset=utf-8";
    if (extension == ".js") return "text/javascript; charset=utf-8";
    if (extension == ".css") return "text/css; charset=utf-8";
    if (extension == ".png") return "image/png";
    return "application/octet-stream";
}

int64_t integerParameter(const Request& req, const char* name, int64_t low, int64_t high) {
    const std::string text = req.get_param_value(name);
    int64_t value = 0;
    const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || result.ec != std::errc() || result.ptr != text.data() + text.size() || value < low ||
        value > high)
        throw Refusal{400, std::string("The request's ") + name + " must be a whole number from " +
                               std::to_string(low) + " to " + std::to_string(high) + "."};
    return value;
}

// A render size: each side a power of two, at most MAX_SIDE.
void sizeParameters(const Request& req, int32_t& width, int32_t& height) {
    width = renderSide(req.get_param_value("width"));
    height = renderSide(req.get_param_value("height"));
}

json parseBody(const Request& req) {
    json body = json::parse(req.body, nullptr, false);
    if (!body.is_object()) throw Refusal{400, "The request is not what the studio expects: reload the page."};
    return body;
}

void attach(Response& res, const std::string& bytes, const std::string& type, const std::string& fileName) {
    res.set_content(bytes, type.c_str());
    res.set_header("Content-Disposition", "attachment; filename=\"" + fileName + "\"");
}

class Studio;
using Handler = void (Studio::*)(const Request&, Response&);

// What a request needs besides the Host check that every request passes,
// decided by its method and path before any route sees it: PAGE files (GET
// outside /api/) are served to anyone; READ (GET under /api/) needs the
// token; CHANGE (every other method) needs the token and no foreign Origin.
enum Access { PAGE, READ, CHANGE };

struct Route {
    const char* method;
    const char* pattern;
    Handler handler;
    const char* about;  // the body it takes and what it answers
};

class Studio {
public:
    Studio(Session&& session, const std::string& host) : session_(std::move(session)), host_(host) {
        token_ = randomToken();
        revision_ = session_.revision();
        operations_ = operationsJson([](const std::string& picture) { return findEmbedded("/" + picture); }).dump();
    }

    bool bind(int port);
    void listen() { server_.listen_after_bind(); }
    void stop() { server_.stop(); }
    std::string address() const {
        const std::string shown = host_ == "0.0.0.0" || host_ == "::" ? "127.0.0.1" : host_;
        return "http://" + shown + ":" + std::to_string(port_) + "/#token=" + token_;
    }

    // The handlers named in the route table.
    void page(const Request& req, Response& res);
    void operations(const Request&, Response& res) { res.set_content(operations_, "application/json"); }
    void state(const Request&, Response& res);
    void edit(const Request& req, Response& res);
    void open(const Request& req, Response& res);
    void save(const Request& req, Response& res);
    void files(const Request&, Response& res);
    void render(const Request& req, Response& res);
    void exportListing(const Request& req, Response& res);
    void exportCpp(const Request& req, Response& res);
    void exportPng(const Request& req, Response& res);
    void exportProgress(const Request&, Response& res);
    void link(const Request&, Response& res);

private:
    std::optional<Refusal> refusal(const Request& req, Access access) const;
    void handle(const Route& route, const Request& req, Response& res);
    json stateJson() const { return studio::stateJson(session_); }  // the session mutex is held
    texlisting::Document snapshot(int64_t& revision);  // the current document and its revision
    void publish() { revision_ = session_.revision(); }

    httplib::Server server_;
    Session session_;
    std::mutex sessionMutex_, engineMutex_;
    RenderCache previewCache_, exportCache_;
    std::atomic<int64_t> revision_{0};
    std::atomic<int64_t> exportDone_{0}, exportTotal_{0};
    std::atomic<bool> exporting_{false};
    std::string host_, token_, operations_;
    std::set<std::string> hosts_, origins_;
    int port_ = 0;
};

const Route ROUTES[] = {
    {"GET", R"(/|/[a-z_]+\.(?:html|js|css)|/pictures/[A-Za-z]+\.png)", &Studio::page,
     "the page: index.html, its ES modules and style, and the operation pictures"},
    {"GET", "/api/operations", &Studio::operations,
     "every operation: opcode, name, family, summary, picture, and each argument's name, kind and slider range"},
    {"GET", "/api/state", &Studio::state,
     "the document: revision, file name, unsaved changes, undo and redo, recovery offer, warnings, and each "
     "layer's records (source line, argument texts, warnings)"},
    {"POST", "/api/edit", &Studio::edit,
     "{revision, command, ...}: insert {layer, index, opcode}, duplicate|delete {layer, index}, move {layer, "
     "index, to}, set {layer, index, argument, value, drag?}, newSeed {layer, index, argument}, undo, redo, "
     "recovery {restore}, import {link}; answers the new state, 409 for a stale revision"},
    {"POST", "/api/open", &Studio::open, "{name}: opens a file of the working folder; answers the state"},
    {"POST", "/api/save", &Studio::save,
     "{name?, overwrite?}: writes the document (.tex) or a listing (other extensions) atomically; 409 when it "
     "would overwrite changes not seen"},
    {"GET", "/api/files", &Studio::files, "the documents and listings of the working folder"},
    {"GET", "/api/render", &Studio::render,
     "?revision&layer&width&height: the layer's RGB bytes, then five 64x64 RGB thumbnails, of the current "
     "document (X-Studio-Revision), at least that revision; an edit arriving meanwhile supersedes the render, "
     "which starts again"},
    {"GET", "/api/export/listing", &Studio::exportListing, "the listing, as a download"},
    {"GET", "/api/export/cpp", &Studio::exportCpp, "?function: C++ source, as a download"},
    {"GET", "/api/export/png", &Studio::exportPng, "?layer&width&height: a PNG file, as a download"},
    {"GET", "/api/export/progress", &Studio::exportProgress, "{active, done, total} records of an export"},
    {"GET", "/api/link", &Studio::link, "{fragment}: the document as an address fragment"},
};

bool Studio::bind(int port) {
    server_.set_payload_max_length(MAX_BODY);
    // Small answers go out at once (no waiting for the peer's delayed
    // acknowledgement), and a page keeps its connections; each open
    // connection holds a thread while it waits, so there are enough of them
    // for a browser's six and a second page.
    server_.set_tcp_nodelay(true);
    server_.set_keep_alive_max_count(1000);
    server_.new_task_queue = [] { return new httplib::ThreadPool(16); };
    // Not SO_REUSEPORT, which cpp-httplib sets by default: with it a second
    // studio could bind the same port and take half of this one's requests.
    server_.set_socket_options([](socket_t socket) {
        int yes = 1;
        setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    server_.set_pre_routing_handler([this](const Request& req, Response& res) {
        // Host and Origin for every request; the token for the API.
        const bool api = req.path.rfind("/api/", 0) == 0;
        const bool changes = req.method != "GET" && req.method != "HEAD";
        if (auto refused = refusal(req, changes ? CHANGE : api ? READ : PAGE)) {
            reply(res, refused->status, refused->message);
            return httplib::Server::HandlerResponse::Handled;
        }
        return httplib::Server::HandlerResponse::Unhandled;
    });
    for (const Route& route : ROUTES) {
        const auto handler = [this, &route](const Request& req, Response& res) { handle(route, req, res); };
        if (std::strcmp(route.method, "GET") == 0)
            server_.Get(route.pattern, handler);
        else
            server_.Post(route.pattern, handler);
    }
    server_.set_error_handler([](const Request& req, Response& res) {
        if (!res.body.empty()) return;
        switch (res.status) {
            case 404: reply(res, 404, "There is nothing at " + req.path + "."); break;
            case 413: reply(res, 413, "The request is larger than 1 MiB, the most the studio accepts."); break;
            default: reply(res, res.status, "The studio could not read the request.");
        }
    });
    server_.set_post_routing_handler([](const Request&, Response& res) {
        res.set_header("Cache-Control", "no-store");
        res.set_header("X-Content-Type-Options", "nosniff");
        res.set_header("Referrer-Policy", "no-referrer");
        // The page loads nothing from anywhere else.
        res.set_header("Content-Security-Policy",
                       "default-src 'self'; img-src 'self' blob: data:; connect-src 'self'; frame-ancestors 'none'");
    });
    if (port == 0) {
        port_ = server_.bind_to_any_port(host_);
        if (port_ < 0) return false;
    } else {
        if (!server_.bind_to_port(host_, port)) return false;
        port_ = port;
    }
    for (const std::string& name : {host_, std::string("localhost"), std::string("127.0.0.1")}) {
        const std::string host = (name.find(':') != std::string::npos ? "[" + name + "]" : name) + ":" +
                                 std::to_string(port_);
        hosts_.insert(host);
        origins_.insert("http://" + host);
    }
    return true;
}

std::optional<Refusal> Studio::refusal(const Request& req, Access access) const {
    if (!hosts_.count(req.get_header_value("Host")))
        return Refusal{403, "The studio answers only requests addressed to " +
                                (isLoopback(host_) ? std::string() : host_ + ", ") +
                                "127.0.0.1 or localhost with its port; open the address it printed."};
    if (access == PAGE) return std::nullopt;
    if (!sameSecret(req.get_header_value(TOKEN_HEADER), token_))
        return Refusal{403, "This request lacks the studio's token: open the address texgen studio printed, "
                            "including its #token= part."};
    const std::string origin = req.get_header_value("Origin");
    if (access == CHANGE && !origin.empty() && !origins_.count(origin))
        return Refusal{403, "Changes sent from another site's page (" + origin + ") are refused."};
    return std::nullopt;
}

void Studio::handle(const Route& route, const Request& req, Response& res) {
    try {
        (this->*route.handler)(req, res);
    } catch (const Refusal& refused) {
        reply(res, refused.status, refused.message);
    } catch (const StaleRevision& error) {
        reply(res, 409, error.what(), {{"stale", true}});
    } catch (const SaveConflict& error) {
        reply(res, 409, error.what(), {{"conflict", true}});
    } catch (const EditError& error) {
        reply(res, 400, error.what());
    } catch (const texlisting::ListingError& error) {
        reply(res, 422, fs::path(error.file).filename().string() + " is not a texture document or a listing: line " +
                            std::to_string(error.line) + ", column " + std::to_string(error.column) + ": " +
                            error.message + ".");
    } catch (const tex::IoError& error) {
        reply(res, 422, std::string(error.what()) + ".");
    } catch (const json::exception&) {
        reply(res, 400, "The request is not what the studio expects: reload the page.");
    } catch (const std::bad_alloc&) {
        reply(res, 507, "The studio ran out of memory: choose a smaller size.");
    } catch (const std::exception& error) {
        reply(res, 500, std::string("The studio failed: ") + error.what() + ".");
    }
}

void Studio::page(const Request& req, Response& res) {
    const EmbeddedFile* file = findEmbedded(req.path == "/" ? "/index.html" : req.path);
    if (!file) throw Refusal{404, "There is nothing at " + req.path + "."};
    res.set_content(std::string(reinterpret_cast<const char*>(file->data), file->size), contentType(file->name).c_str());
}

void Studio::state(const Request&, Response& res) {
    std::lock_guard<std::mutex> lock(sessionMutex_);
    res.set_content(stateJson().dump(), "application/json");
}

void Studio::edit(const Request& req, Response& res) {
    const json body = parseBody(req);
    std::lock_guard<std::mutex> lock(sessionMutex_);
    applyEdit(session_, body);
    publish();
    res.set_content(stateJson().dump(), "application/json");
}

void Studio::open(const Request& req, Response& res) {
    const json body = parseBody(req);
    std::lock_guard<std::mutex> lock(sessionMutex_);
    session_.open(field<std::string>(body, "name"));
    publish();
    res.set_content(stateJson().dump(), "application/json");
}

void Studio::save(const Request& req, Response& res) {
    const json body = parseBody(req);
    std::lock_guard<std::mutex> lock(sessionMutex_);
    const std::string path = session_.save(body.value("name", std::string()), body.value("overwrite", false));
    std::cout << "saved " << path << std::endl;
    json state = stateJson();
    state["saved"] = session_.name();
    res.set_content(state.dump(), "application/json");
}

void Studio::files(const Request&, Response& res) {
    std::lock_guard<std::mutex> lock(sessionMutex_);
    res.set_content(json{{"folder", session_.folder().path}, {"files", session_.folder().list()}}.dump(),
                    "application/json");
}

texlisting::Document Studio::snapshot(int64_t& revision) {
    std::lock_guard<std::mutex> lock(sessionMutex_);
    revision = session_.revision();
    return session_.document();
}

void Studio::render(const Request& req, Response& res) {
    const int64_t wanted = integerParameter(req, "revision", 0, INT64_MAX);
    const int layer = int(integerParameter(req, "layer", 0, 4));
    int32_t width = 0, height = 0;
    sizeParameters(req, width, height);
    std::string body;
    int64_t revision = 0;
    {
        std::lock_guard<std::mutex> lock(engineMutex_);
        // The newest document, never an older one: an edit that arrives while
        // it renders abandons the render, which starts again from the newer
        // document (only a few times, so that a long drag still shows frames).
        for (int attempt = 0;; ++attempt) {
            const texlisting::Document document = snapshot(revision);
            if (revision < wanted) throw Refusal{409, "This page knows a revision the studio does not: reload the page."};
            const auto current = [&](int64_t, int64_t) { return attempt >= 3 || revision_.load() == revision; };
            if (previewCache_.render(document, width, height, current)) break;
        }
        body = renderedBytes(layer);
    }
    res.set_header("X-Studio-Revision", std::to_string(revision));
    res.set_content(body, "application/octet-stream");
}

void Studio::exportListing(const Request&, Response& res) {
    std::lock_guard<std::mutex> lock(sessionMutex_);
    attach(res, texlisting::formatListing(session_.document()), "text/plain; charset=utf-8",
           downloadName(session_.name(), ".listing"));
}

void Studio::exportCpp(const Request& req, Response& res) {
    const std::string function = req.has_param("function") ? req.get_param_value("function") : "buildTexture";
    std::lock_guard<std::mutex> lock(sessionMutex_);
    attach(res, cppSource(session_.document(), function), "text/x-c++src; charset=utf-8",
           downloadName(session_.name(), ".cpp"));
}

void Studio::exportPng(const Request& req, Response& res) {
    const int layer = int(integerParameter(req, "layer", 0, 4));
    int32_t width = 0, height = 0;
    sizeParameters(req, width, height);
    int64_t revision = 0;
    const texlisting::Document document = snapshot(revision);
    std::string name;
    {
        std::lock_guard<std::mutex> lock(sessionMutex_);
        name = downloadName(session_.name(), "");
    }
    std::lock_guard<std::mutex> lock(engineMutex_);
    exportDone_ = 0;
    exporting_ = true;
    std::string png;
    try {
        exportCache_.render(document, width, height, [this](int64_t done, int64_t total) {
            exportDone_ = done;
            exportTotal_ = total;
            return true;
        });
        png = texgen::encodePng(tex::layers[layer], width, height);
    } catch (...) {
        exporting_ = false;
        exportCache_.clear();
        tex::freeLayers();
        throw;
    }
    exporting_ = false;
    // A large export's layers are not kept: the preview's own renders restore theirs.
    exportCache_.clear();
    tex::freeLayers();
    attach(res, png, "image/png",
           name + "-layer" + std::to_string(layer) + "-" + std::to_string(width) + "x" + std::to_string(height) + ".png");
}

void Studio::exportProgress(const Request&, Response& res) {
    res.set_content(json{{"active", exporting_.load()}, {"done", exportDone_.load()}, {"total", exportTotal_.load()}}.dump(),
                    "application/json");
}

void Studio::link(const Request&, Response& res) {
    std::lock_guard<std::mutex> lock(sessionMutex_);
    res.set_content(json{{"fragment", linkFragment(session_.document())}}.dump(), "application/json");
}

// Opens the address in the desktop's browser, when there is a desktop.
void openBrowser(const std::string& address) {
#ifdef __APPLE__
    const char* opener = "open";
#else
    const char* opener = "xdg-open";
    if (!std::getenv("DISPLAY") && !std::getenv("WAYLAND_DISPLAY")) return;
#endif
    std::vector<char*> argv = {const_cast<char*>(opener), const_cast<char*>(address.c_str()), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    if (posix_spawnp(&pid, opener, &actions, nullptr, argv.data(), environ) == 0)
        std::thread([pid] { waitpid(pid, nullptr, 0); }).detach();
    posix_spawn_file_actions_destroy(&actions);
}

}  // namespace

int runStudio(const Options& options) {
    std::string folder = ".", name = "untitled.tex";
    if (!options.file.empty()) {
        const fs::path file(options.file);
        std::error_code ec;
        if (fs::is_directory(file, ec)) {
            std::cerr << "texgen: " << options.file << " is a folder: name a document (.tex) or a listing in it\n";
            return 1;
        }
        folder = file.has_parent_path() ? file.parent_path().string() : ".";
        name = file.filename().string();
    }
    std::unique_ptr<Studio> studio;
    try {
        studio = std::make_unique<Studio>(Session(Folder(folder), name), options.host);
    } catch (const std::exception& error) {  // the file or the folder cannot be read
        std::cerr << "texgen: " << error.what() << "\n";
        return 1;
    }

    // Signals are taken by one thread that stops the server; the others never see them.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    if (!studio->bind(options.port)) {
        std::cerr << "texgen: cannot listen on " << options.host << " port " << options.port
                  << ": it is in use or not an address of this machine; choose another with --port N (0 picks a "
                     "free one)\n";
        return 1;
    }
    std::cout << "Texture studio: " << studio->address() << std::endl;
    if (!isLoopback(options.host))
        std::cerr << "texgen: warning: the studio listens on " << options.host
                  << ": anyone who can reach it and has the token can write files in " << Folder(folder).path << "\n";
    if (options.openBrowser) openBrowser(studio->address());

    std::thread waiter([&] {
        int received = 0;
        sigwait(&signals, &received);
        studio->stop();
    });
    studio->listen();
    pthread_kill(waiter.native_handle(), SIGTERM);  // wakes the waiter if the server stopped by itself
    waiter.join();
    return 0;
}

}  // namespace studio
