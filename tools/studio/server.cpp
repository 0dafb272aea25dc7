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
// Origin are refused, as are bodies above 1 MiB, compressed bodies, bodies
// without a length, and renders above 8192 by 8192. Whatever a client sends,
// it gets an answer with one sentence: every handler's exceptions are caught
// here, and JSON is written with invalid UTF-8 replaced, never thrown over.
// Connections are bounded in time and number (connections.h).
//
// Threads: one mutex guards the session (document, undo, files); nothing
// slow happens under it (output goes to a thread of its own). Previews up to
// RenderCache::KEPT_PIXELS render in this process, one at a time, under the
// engine mutex; a newer preview request abandons the one waiting and the one
// rendering (between records), unless it asks for the very same render,
// which it then shares. Larger previews and exports render in child
// processes beside them (render_lane.h), one of each at a time, the newest
// winning.
#include "tools/studio/server.h"

#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <charconv>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>
#include <nlohmann/json.hpp>
#include <random>
#include <set>
#include <thread>

#include "tools/keep_look.h"
#include "tools/studio/connections.h"
#include "tools/studio/embedded.h"
#include "tools/studio/folder_storage.h"
#include "tools/studio/link.h"
#include "tools/studio/protocol.h"
#include "tools/studio/render_cache.h"
#include "tools/studio/render_lane.h"
#include "tools/studio/session.h"
#include "tools/texgen.h"

extern char** environ;

namespace studio {

namespace {

namespace fs = std::filesystem;
using httplib::Request;
using httplib::Response;

constexpr size_t MAX_PATH = 512;
const char TOKEN_HEADER[] = "X-Studio-Token";

// A request the studio refuses: the status and one sentence for the author.
struct Refusal {
    int status;
    std::string message;
};

void reply(Response& res, int status, const std::string& message, json extra = json::object()) {
    extra["error"] = message;
    res.status = status;
    res.set_content(jsonText(extra), "application/json");
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
    if (extension == ".md") return "text/markdown; charset=utf-8";
    return "application/octet-stream";
}

int64_t integerParameter(const Request& req, const char* name, int64_t low, int64_t high) {
    const std::string given = req.get_param_value(name);
    int64_t value = 0;
    const auto result = std::from_chars(given.data(), given.data() + given.size(), value);
    if (given.empty() || result.ec != std::errc() || result.ptr != given.data() + given.size() || value < low ||
        value > high)
        throw Refusal{400, std::string("The request's ") + name + " must be a whole number from " +
                               std::to_string(low) + " to " + std::to_string(high) + "."};
    return value;
}

// A render size: each side a power of two, at most `most`.
void sizeParameters(const Request& req, int64_t most, int32_t& width, int32_t& height) {
    width = renderSide(req.get_param_value("width"), most);
    height = renderSide(req.get_param_value("height"), most);
}

json parseBody(const Request& req) {
    json body = json::parse(req.body, nullptr, false);
    if (!body.is_object()) throw Refusal{400, "The request is not what the studio expects: reload the page."};
    return body;
}

// Content-Disposition as RFC 6266 writes it: a plain ASCII name for every
// client, and the exact name, percent-encoded UTF-8, for those that read it.
std::string disposition(const std::string& fileName) {
    std::string plain, encoded;
    static const char hex[] = "0123456789ABCDEF";
    for (unsigned char c : fileName) {
        plain += c >= 0x20 && c < 0x7f && c != '"' && c != '\\' ? char(c) : '_';
        if (std::isalnum(c) || (c && std::strchr("!#$&+-.^_`|~", c)))
            encoded += char(c);
        else
            encoded += {'%', hex[c >> 4], hex[c & 15]};
    }
    return "attachment; filename=\"" + plain + "\"; filename*=UTF-8''" + encoded;
}

void attach(Response& res, const std::string& bytes, const std::string& type, const std::string& fileName) {
    res.set_content(bytes, type.c_str());
    res.set_header("Content-Disposition", disposition(fileName));
}

// Standard output from a thread of its own: a reader that stops reading
// never stops the studio; beyond 1000 lines waiting, lines are dropped.
class Output {
public:
    static void say(const std::string& line) {
        Output& output = instance();
        std::lock_guard<std::mutex> lock(output.mutex_);
        if (output.lines_.size() < 1000) output.lines_.push_back(line);
        output.ready_.notify_one();
    }
    // Before a clean exit: waits until the lines said so far are written,
    // for two seconds at most (a reader that stops reading must not keep
    // the studio from stopping). Without it the last lines, such as the
    // report of a save just before the stop, could be lost.
    static void finish() {
        Output& output = instance();
        std::unique_lock<std::mutex> lock(output.mutex_);
        output.idle_.wait_for(lock, std::chrono::seconds(2),
                              [&] { return output.lines_.empty() && !output.writing_; });
    }

private:
    static Output& instance() {
        static Output* output = new Output;  // never destroyed: its thread may be blocked in a write
        return *output;
    }
    Output() { std::thread([this] { run(); }).detach(); }
    void run() {
        for (;;) {
            std::unique_lock<std::mutex> lock(mutex_);
            ready_.wait(lock, [this] { return !lines_.empty(); });
            const std::string line = lines_.front() + "\n";
            lines_.pop_front();
            writing_ = true;
            lock.unlock();
            std::fwrite(line.data(), 1, line.size(), stdout);
            std::fflush(stdout);
            lock.lock();
            writing_ = false;
            idle_.notify_all();
        }
    }
    std::mutex mutex_;
    std::condition_variable ready_, idle_;
    std::deque<std::string> lines_;
    bool writing_ = false;
};

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

// A preview being rendered in this process, or waiting to be, and everyone
// waiting for its bytes.
// What a preview shows: a layer at a size, either as the whole document
// leaves it or right after one of the layer's records (`record`, the author's
// index), and with Compare the same without a record; `focus` is the program
// the author works in, whose states after its records are kept.
struct Preview {
    explicit Preview(const PreviewAsk& ask) : ask(ask) {}
    const PreviewAsk ask;
    std::atomic<int64_t> revision{0};  // of the document rendered
    std::atomic<bool> superseded{false};
    bool rendering = false, done = false;  // these and the rest under previewMutex_
    std::string body;
    std::optional<Refusal> failure;
};

class Studio {
public:
    Studio(std::unique_ptr<Storage> storage, const std::string& name, const std::string& host,
           const std::string& token, const std::string& worker, int64_t maxSide)
        : storage_(std::move(storage)), session_(*storage_, name), host_(host), token_(token),
          maxSide_(maxSide), bigPreviews_(worker), exports_(worker) {
        revision_ = session_.revision();
        operations_ = jsonText(operationsJson([](const std::string& picture) { return findEmbedded("/" + picture) != nullptr; }));
        setUp();
    }

    bool bind(int port);
    void listen() { server_.listen_after_bind(); }
    std::string folder() const { return storage_->where(); }
    std::string address() const {
        const std::string shown = host_ == "0.0.0.0" || host_ == "::" ? "127.0.0.1" : host_;
        return "http://" + shown + ":" + std::to_string(port_) + "/#token=" + token_;
    }
    // The hosts requests may name, for a studio on `port`.
    void allowPort(int port);
    std::string answerRaw(const std::string& requests) { return server_.answerRaw(requests); }

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
    void examples(const Request&, Response& res);
    void newDocument(const Request& req, Response& res);
    void wait(const Request& req, Response& res);

    void stop() {
        {
            std::lock_guard<std::mutex> lock(sessionMutex_);
            stopping_ = true;
        }
        changed_.notify_all();
        server_.stop();
    }

private:
    void setUp();
    std::optional<Refusal> refusal(const Request& req, Access access) const;
    std::optional<Refusal> framing(const Request& req) const;
    void handle(const Route& route, const Request& req, Response& res);
    // The session mutex is held.
    json stateJson() const {
        json state = studio::stateJson(session_);
        state["generation"] = generation_;
        return state;
    }
    texlisting::Document snapshot(int64_t& revision);  // the current document and its revision
    // After every change of the session (the session mutex is held): renders
    // in flight learn of a newer revision, and waiting pages wake.
    void publish() {
        revision_ = session_.revision();
        ++generation_;
        changed_.notify_all();
    }
    std::shared_ptr<Preview> previewFor(const PreviewAsk& ask);
    void renderPreview(Preview& preview, std::unique_lock<std::mutex>& lock);

    Listener server_;
    std::unique_ptr<Storage> storage_;
    Session session_;
    std::mutex sessionMutex_;
    std::condition_variable changed_;
    int64_t generation_ = 1;  // counts every change of the state pages show
    bool stopping_ = false;
    std::atomic<int64_t> revision_{0};
    std::string host_, token_, operations_;
    std::set<std::string> hosts_, origins_;
    int port_ = 0;
    int64_t maxSide_;

    // Previews in this process: the one rendering and the one waiting.
    std::mutex previewMutex_;
    std::condition_variable previewChanged_;
    std::shared_ptr<Preview> rendering_, waiting_;
    RenderCache previewCache_, compareCache_;  // Compare's renders without a record have their own

    RenderLane bigPreviews_, exports_;
    std::atomic<int64_t> exportDone_{0}, exportTotal_{0};
    std::atomic<int> exporting_{0};
};

const Route ROUTES[] = {
    {"GET", R"(/|/[a-z_]+\.(?:html|js|css)|/pictures/[A-Za-z]+\.png|/gallery/[A-Za-z0-9_-]+\.png|/docs/operations\.md)",
     &Studio::page, "the page: index.html, its ES modules and style, the operation pictures, the gallery's "
     "pictures and the operations' documentation"},
    {"GET", "/api/operations", &Studio::operations,
     "every operation: opcode, name, family, summary, picture, and each argument's name, kind and slider range"},
    {"GET", "/api/state", &Studio::state,
     "the document: revision, file name, unsaved changes, undo and redo, recovery offer, warnings, and each "
     "layer's records (source line, argument texts, warnings)"},
    {"POST", "/api/edit", &Studio::edit,
     "{revision, command, ...}: insert {layer, index, opcode}, duplicate {layer, index}, delete {layer, index, "
     "count?}, move {layer, index, to}, set {layer, index, argument, value, drag?} or {layer, index, values: "
     "[[argument, value]...], drag?}, newSeed {layer, index, argument}, bypass {layer, index, bypassed}, clear "
     "{layer}, paste {layer, index, listing}, undo, redo, recovery {restore}, import {link}; answers the new "
     "state, 409 for a stale revision"},
    {"POST", "/api/new", &Studio::newDocument,
     "{example?}: a new untitled document, empty or a copy of a gallery example; answers the state"},
    {"GET", "/api/examples", &Studio::examples, "the gallery of starting documents: name, title, keywords, picture"},
    {"GET", "/api/wait", &Studio::wait,
     "?generation: answers the state once it differs from that generation, or after 20 s (204)"},
    {"POST", "/api/open", &Studio::open, "{name}: opens a file of the working folder; answers the state"},
    {"POST", "/api/save", &Studio::save,
     "{name?, overwrite?}: writes the document (.tex) or a listing (other extensions) atomically; 409 when it "
     "would overwrite changes not seen"},
    {"GET", "/api/files", &Studio::files, "the documents and listings of the working folder"},
    {"GET", "/api/render", &Studio::render,
     "?revision&layer&width&height&record?&compare?&focus?: the layer's RGB bytes (right after record `record` "
     "of its program when given), with compare=1 then the same without the record `compare` names (layer:index), "
     "then five 64x64 RGB thumbnails of the whole texture unless stopped at a record (X-Studio-Thumbnails), "
     "of the current document (X-Studio-Revision), at least that revision; an edit arriving meanwhile "
     "supersedes the render, which starts again"},
    {"GET", "/api/export/listing", &Studio::exportListing, "the listing, as a download"},
    {"GET", "/api/export/cpp", &Studio::exportCpp, "?function: C++ source, as a download"},
    {"GET", "/api/export/png", &Studio::exportPng,
     "?layer&width&height[&keepLook=1][&preview=SIDE]: a PNG file, as a download, or shrunk to at most SIDE "
     "pixels a side for the page; a newer export abandons this one (409 with superseded)"},
    {"GET", "/api/export/progress", &Studio::exportProgress, "{active, done, total} records of an export"},
    {"GET", "/api/link", &Studio::link, "{fragment}: the document as an address fragment"},
};

void Studio::setUp() {
    server_.set_payload_max_length(Limits::MAX_BODY);
    // Small answers go out at once, without waiting for the peer's delayed
    // acknowledgement.
    server_.set_tcp_nodelay(true);
    // Not SO_REUSEPORT, which cpp-httplib sets by default: with it a second
    // studio could bind the same port and take half of this one's requests.
    server_.set_socket_options([](socket_t socket) {
        int yes = 1;
        setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    server_.set_pre_routing_handler([this](const Request& req, Response& res) {
        // Host and Origin for every request; the token for the API; then how
        // the body comes, before any of it is read.
        const bool api = req.path.rfind("/api/", 0) == 0;
        const bool changes = req.method != "GET" && req.method != "HEAD";
        std::optional<Refusal> refused = refusal(req, changes ? CHANGE : api ? READ : PAGE);
        if (!refused) refused = framing(req);
        if (!refused) return httplib::Server::HandlerResponse::Unhandled;
        reply(res, refused->status, refused->message);
        // The body, if any, was not read: nothing more can be read from this connection.
        currentRequest().closeAfter = true;
        return httplib::Server::HandlerResponse::Handled;
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
        const RequestFacts& facts = currentRequest();
        if (facts.tooLarge) {
            reply(res, 413, "The request is larger than 1 MiB, the most the studio accepts.");
        } else if (facts.timedOut) {
            reply(res, 408, "The request did not arrive in time: send it again.");
        } else {
            switch (res.status) {
                case 404: reply(res, 404, "There is nothing at " + quoted(req.path) + "."); break;
                case 405: reply(res, 405, "The studio does not answer " + quoted(req.method, 20) + " requests there."); break;
                case 413: reply(res, 413, "The request is larger than 1 MiB, the most the studio accepts."); break;
                case 414:
                    reply(res, 414, "The request's address is too long.");
                    currentRequest().closeAfter = true;
                    break;
                default:
                    reply(res, res.status, "The studio could not read the request.");
                    // What follows a request that could not be read is no request either.
                    currentRequest().closeAfter = true;
            }
        }
    });
    // Whatever escapes a handler (none should) is answered, never thrown on.
    server_.set_exception_handler([](const Request&, Response& res, std::exception_ptr) {
        reply(res, 500, "The studio failed to answer this request: reload the page.");
    });
    server_.set_post_routing_handler([](const Request&, Response& res) {
        res.set_header("Cache-Control", "no-store");
        res.set_header("X-Content-Type-Options", "nosniff");
        res.set_header("Referrer-Policy", "no-referrer");
        // The page loads nothing from anywhere else.
        res.set_header("Content-Security-Policy",
                       "default-src 'self'; img-src 'self' blob: data:; connect-src 'self'; frame-ancestors 'none'");
    });
}

bool Studio::bind(int port) {
    if (port == 0) {
        port_ = server_.bind_to_any_port(host_);
        if (port_ < 0) return false;
    } else {
        if (!server_.bind_to_port(host_, port)) return false;
        port_ = port;
    }
    server_.widenBacklog();
    allowPort(port_);
    return true;
}

void Studio::allowPort(int port) {
    port_ = port;
    for (const std::string& name : {host_, std::string("localhost"), std::string("127.0.0.1")}) {
        const std::string host = (name.find(':') != std::string::npos ? "[" + name + "]" : name) + ":" +
                                 std::to_string(port_);
        hosts_.insert(host);
        origins_.insert("http://" + host);
    }
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
        return Refusal{403, "Changes sent from another site's page (" + quoted(origin) + ") are refused."};
    return std::nullopt;
}

// How a request's body comes, checked before it is read: a length of at most
// MAX_BODY or chunks (counted as they arrive), never compressed.
std::optional<Refusal> Studio::framing(const Request& req) const {
    if (req.path.size() > MAX_PATH) return Refusal{414, "The request's address is too long."};
    const std::string encoding = req.get_header_value("Content-Encoding");
    if (req.has_header("Content-Encoding") && encoding != "identity")
        return Refusal{415, "The studio does not take compressed requests: send the body as it is."};
    const bool chunked = req.has_header("Transfer-Encoding");
    if (chunked && req.get_header_value("Transfer-Encoding") != "chunked")
        return Refusal{501, "The studio takes request bodies with a length or in chunks, nothing else."};
    if (req.get_header_value_count("Content-Length") > 1 || (chunked && req.has_header("Content-Length")))
        return Refusal{400, "The request gives its body's length more than once."};
    if (req.has_header("Content-Length")) {
        const std::string length = req.get_header_value("Content-Length");
        if (length.empty() || length.size() > 18 || length.find_first_not_of("0123456789") != std::string::npos)
            return Refusal{400, "The request's Content-Length is not a number of bytes."};
        if (std::stoll(length) > int64_t(Limits::MAX_BODY))
            return Refusal{413, "The request is larger than 1 MiB, the most the studio accepts."};
    } else if (!chunked && req.method != "GET" && req.method != "HEAD" && req.method != "OPTIONS") {
        return Refusal{411, "The request does not say how long its body is: send a Content-Length."};
    }
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
    } catch (const Superseded&) {
        reply(res, 409, "A newer render was asked for, so this one was abandoned.", {{"superseded", true}});
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
    } catch (...) {
        reply(res, 500, "The studio failed to answer this request: reload the page.");
    }
}

void Studio::page(const Request& req, Response& res) {
    const EmbeddedFile* file = findEmbedded(req.path == "/" ? "/index.html" : req.path);
    if (!file) throw Refusal{404, "There is nothing at " + quoted(req.path) + "."};
    res.set_content(std::string(reinterpret_cast<const char*>(file->data), file->size), contentType(file->name).c_str());
}

void Studio::state(const Request&, Response& res) {
    std::lock_guard<std::mutex> lock(sessionMutex_);
    res.set_content(jsonText(stateJson()), "application/json");
}

void Studio::edit(const Request& req, Response& res) {
    const json body = parseBody(req);
    std::lock_guard<std::mutex> lock(sessionMutex_);
    applyEdit(session_, body);
    publish();
    res.set_content(jsonText(stateJson()), "application/json");
}

void Studio::open(const Request& req, Response& res) {
    const json body = parseBody(req);
    const std::string name = textField(body, "name");
    std::lock_guard<std::mutex> lock(sessionMutex_);
    session_.open(name);
    publish();
    res.set_content(jsonText(stateJson()), "application/json");
}

void Studio::save(const Request& req, Response& res) {
    const json body = parseBody(req);
    const std::string name = textField(body, "name", true);
    const bool overwrite = booleanField(body, "overwrite", true);
    std::string saved;
    {
        std::lock_guard<std::mutex> lock(sessionMutex_);
        saved = session_.save(name, overwrite);
        publish();
        json state = stateJson();
        state["saved"] = session_.name();
        res.set_content(jsonText(state), "application/json");
    }
    Output::say("saved " + storage_->where() + "/" + saved);
}

void Studio::files(const Request&, Response& res) {
    std::lock_guard<std::mutex> lock(sessionMutex_);
    res.set_content(jsonText(json{{"folder", session_.storage().where()}, {"files", session_.files()}}), "application/json");
}

texlisting::Document Studio::snapshot(int64_t& revision) {
    std::lock_guard<std::mutex> lock(sessionMutex_);
    revision = session_.revision();
    return session_.document();
}

namespace {

}  // namespace
// The preview a request shares or the one it starts: the same render waiting,
// or rendering from the current revision, is shared; anything else waiting is
// abandoned for the new one, and so is what renders.
std::shared_ptr<Preview> Studio::previewFor(const PreviewAsk& ask) {
    const auto same = [&](const std::shared_ptr<Preview>& p) { return p && p->ask == ask; };
    if (same(waiting_)) return waiting_;
    if (same(rendering_) && rendering_->revision == revision_.load()) return rendering_;
    if (waiting_) waiting_->superseded = true;
    waiting_ = std::make_shared<Preview>(ask);
    if (rendering_) rendering_->superseded = true;
    previewChanged_.notify_all();
    return waiting_;
}

// Renders the preview once none renders; previewMutex_ is held by `lock`
// except while the engine works.
void Studio::renderPreview(Preview& preview, std::unique_lock<std::mutex>& lock) {
    rendering_ = waiting_;
    waiting_ = nullptr;
    preview.rendering = true;
    lock.unlock();
    try {
        // The newest document, never an older one: an edit that arrives while
        // it renders abandons the render, which starts again from the newer
        // document (only a few times, so that a long drag still shows frames).
        for (int attempt = 0;; ++attempt) {
            int64_t revision = 0;
            const texlisting::Document document = snapshot(revision);
            preview.revision = revision;
            const auto current = [&](int64_t, int64_t) {
                return !preview.superseded && (attempt >= 3 || revision_.load() == revision);
            };
            const bool done = renderPreviewBody(document, preview.ask, previewCache_, compareCache_, current, preview.body);
            if (preview.superseded) throw Superseded();
            if (done) break;
        }
    } catch (const Superseded&) {
        // answered below as superseded
    } catch (const std::bad_alloc&) {
        previewCache_.clear();
        compareCache_.clear();
        preview.failure = Refusal{507, "The studio ran out of memory: choose a smaller size."};
    } catch (const std::exception& error) {
        preview.failure = Refusal{500, std::string("The render failed: ") + error.what() + "."};
    }
    lock.lock();
    preview.done = true;
    rendering_ = nullptr;
    previewChanged_.notify_all();
}

void Studio::render(const Request& req, Response& res) {
    const int64_t wanted = integerParameter(req, "revision", 0, INT64_MAX);
    const int layer = int(integerParameter(req, "layer", 0, 4));
    int32_t width = 0, height = 0;
    sizeParameters(req, maxSide_, width, height);
    if (wanted > revision_.load()) throw Refusal{409, "This page knows a revision the studio does not: reload the page."};
    PreviewAsk ask;
    ask.layer = layer;
    ask.width = width;
    ask.height = height;
    ask.focus = req.has_param("focus") ? int32_t(integerParameter(req, "focus", 0, 4)) : layer;
    // Record indices are the author's, bypassed records counted.
    if (req.has_param("record")) ask.record = int32_t(integerParameter(req, "record", -1, 2 * tex::MAX_OPS));
    // Compare: the same again without one record.
    ask.compare = req.has_param("compareLayer");
    if (ask.compare) {
        ask.compareLayer = int32_t(integerParameter(req, "compareLayer", 0, 4));
        ask.compareRecord = int32_t(integerParameter(req, "compareRecord", 0, 2 * tex::MAX_OPS));
    }
    const bool whole = ask.record == PreviewAsk::WHOLE;
    std::string body;
    int64_t revision = 0;
    // Large whole renders go to a child process; a look after a record or a
    // comparison renders here at any size.
    if (int64_t(width) * height > RenderCache::KEPT_PIXELS && whole && !ask.compare) {
        RenderJob job;
        job.document = snapshot(revision);
        job.layer = layer;
        job.width = width;
        job.height = height;
        body = bigPreviews_.run(job, {});
    } else {
        std::unique_lock<std::mutex> lock(previewMutex_);
        const std::shared_ptr<Preview> preview = previewFor(ask);
        for (;;) {
            if (preview->done || (preview->superseded && !preview->rendering)) break;
            if (!rendering_ && waiting_ == preview) {
                renderPreview(*preview, lock);
                break;
            }
            previewChanged_.wait(lock);
        }
        if (preview->failure) throw *preview->failure;
        if (!preview->done || preview->body.empty()) throw Superseded();
        body = preview->body;
        revision = preview->revision;
    }
    res.set_header("X-Studio-Revision", std::to_string(revision));
    res.set_header("X-Studio-Thumbnails", whole ? "1" : "0");
    res.set_content(body, "application/octet-stream");
}


void Studio::examples(const Request&, Response& res) {
    res.set_content(jsonText(examplesJson([](const std::string& picture) { return findEmbedded("/" + picture) != nullptr; })),
                    "application/json");
}

void Studio::newDocument(const Request& req, Response& res) {
    const json body = parseBody(req);
    const std::string example = textField(body, "example", true);
    if (!example.empty() && !findEmbedded("gallery/" + example + ".listing"))
        throw Refusal{404, "There is no example named " + quoted(example) + ": reload the page."};
    const texlisting::Document document = example.empty() ? texlisting::Document{} : exampleDocument(example);
    std::lock_guard<std::mutex> lock(sessionMutex_);
    session_.newDocument(document);
    publish();
    res.set_content(jsonText(stateJson()), "application/json");
}

void Studio::wait(const Request& req, Response& res) {
    const int64_t known = integerParameter(req, "generation", 0, INT64_MAX);
    std::unique_lock<std::mutex> lock(sessionMutex_);
    changed_.wait_for(lock, std::chrono::seconds(20), [&] { return stopping_ || generation_ != known; });
    if (generation_ == known) {
        res.status = 204;
        return;
    }
    res.set_content(jsonText(stateJson()), "application/json");
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
    sizeParameters(req, maxSide_, width, height);
    const bool keepLook = req.get_param_value("keepLook") == "1";
    RenderJob job;
    int64_t revision = 0;
    job.document = snapshot(revision);
    job.layer = layer;
    job.width = width;
    job.height = height;
    job.png = true;
    job.keepLook = keepLook;
    // A preview is the export shrunk to at most this many pixels a side, shown in the page.
    job.preview = req.has_param("preview") ? int32_t(integerParameter(req, "preview", 16, 256)) : 0;
    std::string name;
    {
        std::lock_guard<std::mutex> lock(sessionMutex_);
        name = downloadName(session_.name(), "");
    }
    struct Active {
        std::atomic<int>& count;
        explicit Active(std::atomic<int>& c) : count(c) { ++count; }
        ~Active() { --count; }
    } active(exporting_);
    exportDone_ = 0;
    exportTotal_ = 0;
    const std::string png = exports_.run(job, [this](int64_t done, int64_t total) {
        exportDone_ = done;
        exportTotal_ = total;
    });
    if (job.preview) return res.set_content(png, "image/png");
    attach(res, png, "image/png",
           name + "-layer" + std::to_string(layer) + "-" + std::to_string(width) + "x" + std::to_string(height) +
               (keepLook ? "-kept" : "") + ".png");
}

void Studio::exportProgress(const Request&, Response& res) {
    res.set_content(jsonText(json{{"active", exporting_.load() > 0}, {"done", exportDone_.load()}, {"total", exportTotal_.load()}}),
                    "application/json");
}

void Studio::link(const Request&, Response& res) {
    std::lock_guard<std::mutex> lock(sessionMutex_);
    res.set_content(jsonText(json{{"fragment", linkFragment(session_.document())}}), "application/json");
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


Studio* makeStudio(std::unique_ptr<Storage> storage, const std::string& name, const std::string& host,
                   const std::string& token, const std::string& worker, int64_t maxSide) {
    return new Studio(std::move(storage), name, host, token, worker, maxSide);
}

}  // namespace

struct RequestTester::Parts {
    std::unique_ptr<Studio> studio;
};

RequestTester::RequestTester(std::unique_ptr<Storage> storage, const std::string& name, const std::string& token,
                             int64_t maxSide)
    : parts_(new Parts{std::unique_ptr<Studio>(makeStudio(std::move(storage), name, "127.0.0.1", token, "", maxSide))}) {
    parts_->studio->allowPort(DEFAULT_PORT);
}

RequestTester::~RequestTester() = default;

std::string RequestTester::answer(const std::string& requests) { return parts_->studio->answerRaw(requests); }

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
    // Exports and the largest previews run in texgen itself, started again as a render worker.
    std::error_code ec;
    const std::string worker = fs::read_symlink("/proc/self/exe", ec).string();
    std::unique_ptr<Studio> studio;
    try {
        studio.reset(makeStudio(std::make_unique<FolderStorage>(folder), name, options.host, randomToken(), worker,
                                MAX_SIDE));
    } catch (const std::exception& error) {  // the file or the folder cannot be read, or is held by another studio
        std::string why = error.what();
        if (!why.empty() && why.back() == '.') why.pop_back();
        std::cerr << "texgen: " << why << "\n";
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
    Output::say("Texture studio: " + studio->address());
    if (!isLoopback(options.host))
        std::cerr << "texgen: warning: the studio listens on " << options.host
                  << ": anyone who can reach it and has the token can write files in " << studio->folder() << "\n";
    if (options.openBrowser) openBrowser(studio->address());

    std::thread waiter([&] {
        int received = 0;
        sigwait(&signals, &received);
        studio->stop();
    });
    studio->listen();
    pthread_kill(waiter.native_handle(), SIGTERM);  // wakes the waiter if the server stopped by itself
    waiter.join();
    Output::finish();
    return 0;
}

}  // namespace studio
