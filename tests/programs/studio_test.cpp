// texgen studio over HTTP: a real `texgen studio --no-open --port 0` in a
// temporary folder, driven on loopback by cpp-httplib's client. Edits, undo
// and redo, stale revisions, the recovery file, every refusal with its status
// and sentence, rendered bytes equal to `texgen render` of the saved
// document, exports and links, and how the program starts and stops.
#include <gtest/gtest.h>
#include <httplib.h>
#include <png.h>
#include <signal.h>
#include <sys/wait.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <thread>

#include "process.h"

namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;

const std::string SHIPPED = std::string(TEX_SOURCE_DIR) + "/data/Testin3.tex";

// A running studio: its process, port and token.
struct Studio {
    explicit Studio(const std::string& folder, std::vector<std::string> arguments = {}) {
        programs::Launch launch;
        launch.arguments = {TEX_TEXGEN, "studio", "--no-open", "--port", "0"};
        launch.arguments.insert(launch.arguments.end(), arguments.begin(), arguments.end());
        launch.directory = folder;
        running = programs::start(launch);
        const std::regex line("^Texture studio: http://127\\.0\\.0\\.1:(\\d+)/#token=([0-9a-f]{32})\n");
        for (int wait = 0; wait < 500; ++wait) {
            std::smatch match;
            const std::string out = programs::readFile(running.outFile);
            if (std::regex_search(out, match, line)) {
                port = std::stoi(match[1]);
                token = match[2];
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        ADD_FAILURE() << "texgen studio printed no address: " << programs::readFile(running.errFile);
    }
    ~Studio() {
        if (running.pid > 0) kill(running.pid, SIGKILL);
        if (running.pid > 0) programs::finish(running, std::chrono::seconds(10));
    }
    programs::Outcome stop(int signal = SIGTERM) {
        kill(running.pid, signal);
        return programs::finish(running, std::chrono::seconds(20));
    }

    httplib::Client client() const {
        httplib::Client client("127.0.0.1", port);
        client.set_read_timeout(60, 0);
        return client;
    }
    httplib::Headers headers() const { return {{"X-Studio-Token", token}}; }
    json get(const std::string& path) {
        auto result = client().Get(path.c_str(), headers());
        EXPECT_TRUE(result && result->status == 200) << path << ": " << (result ? result->body : "no answer");
        return result ? json::parse(result->body, nullptr, false) : json();
    }
    httplib::Result post(const std::string& path, const json& body) {
        return client().Post(path.c_str(), headers(), body.dump(), "application/json");
    }
    // An edit on the current revision; answers the new state.
    json edit(json body) {
        body["revision"] = get("/api/state")["revision"];
        auto result = post("/api/edit", body);
        EXPECT_TRUE(result && result->status == 200) << body.dump() << ": " << (result ? result->body : "no answer");
        return result ? json::parse(result->body, nullptr, false) : json();
    }
    std::string render(int layer, int width, int height) {
        const std::string path = "/api/render?revision=0&layer=" + std::to_string(layer) + "&width=" +
                                 std::to_string(width) + "&height=" + std::to_string(height);
        auto result = client().Get(path.c_str(), headers());
        EXPECT_TRUE(result && result->status == 200);
        return result ? result->body.substr(0, size_t(width) * height * 3) : "";
    }

    programs::Running running;
    int port = 0;
    std::string token;
};

programs::Outcome run(const std::vector<std::string>& arguments, const std::string& folder = "") {
    programs::Launch launch;
    launch.arguments = arguments;
    launch.directory = folder;
    return programs::run(launch, std::chrono::seconds(60));
}

void expectRefusal(const httplib::Result& result, int status, const std::string& mention) {
    SCOPED_TRACE(mention);
    ASSERT_TRUE(result) << "no answer";
    EXPECT_EQ(result->status, status) << result->body;
    const json body = json::parse(result->body, nullptr, false);
    ASSERT_TRUE(body.is_object() && body.contains("error")) << result->body;
    const std::string message = body["error"];
    EXPECT_NE(message.find(mention), std::string::npos) << message;
    EXPECT_EQ(message.back(), '.') << "one sentence: " << message;
    EXPECT_EQ(message.find('\n'), std::string::npos) << message;
}

// RGB bytes of a PNG file written by texgen render.
std::string pngBytes(const std::string& path) {
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path.c_str())) return "";
    image.format = PNG_FORMAT_RGB;
    std::string bytes(PNG_IMAGE_SIZE(image), '\0');
    if (!png_image_finish_read(&image, nullptr, bytes.data(), 0, nullptr)) return "";
    return bytes;
}

std::string texgenRender(const std::string& document, int layer, const std::string& size) {
    const std::string out = document + ".png";
    const programs::Outcome outcome =
        run({TEX_TEXGEN, "render", document, "-o", out, "--layer", std::to_string(layer), "--size", size});
    EXPECT_EQ(outcome.exitCode, 0) << outcome.err;
    return pngBytes(out);
}

TEST(StudioServer, EveryRefusalHasItsStatusAndSentence) {
    programs::TemporaryDirectory folder, outside;
    Studio studio(folder.path);
    httplib::Client client = studio.client();

    // The page itself needs no token; everything under /api/ does.
    auto page = client.Get("/");
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, 200);
    EXPECT_NE(page->body.find("<script type=\"module\" src=\"main.js\">"), std::string::npos);
    EXPECT_EQ(client.Get("/pictures/perlinNoise.png")->status, 200);
    expectRefusal(client.Get("/api/state"), 403, "token");
    expectRefusal(client.Get("/api/state", {{"X-Studio-Token", std::string(32, '0')}}), 403, "token");
    expectRefusal(client.Post("/api/edit", "{}", "application/json"), 403, "token");
    expectRefusal(client.Get("/api/nothing", studio.headers()), 404, "nothing");

    // DNS rebinding: another host name, even for the page.
    expectRefusal(client.Get("/", {{"Host", "attacker.example:" + std::to_string(studio.port)}}), 403, "localhost");
    expectRefusal(client.Get("/api/state", {{"Host", "127.0.0.1:1"}, {"X-Studio-Token", studio.token}}), 403,
                  "localhost");
    EXPECT_EQ(client.Get("/", {{"Host", "localhost:" + std::to_string(studio.port)}})->status, 200);

    // Changes from another site's page, even with the token.
    httplib::Headers foreign = studio.headers();
    foreign.emplace("Origin", "http://attacker.example");
    const json insert = {{"revision", 1}, {"command", "insert"}, {"layer", 0}, {"index", 0}, {"opcode", 33}};
    expectRefusal(client.Post("/api/edit", foreign, insert.dump(), "application/json"), 403, "another site");
    httplib::Headers own = studio.headers();
    own.emplace("Origin", "http://127.0.0.1:" + std::to_string(studio.port));
    EXPECT_EQ(client.Post("/api/edit", own, insert.dump(), "application/json")->status, 200);

    expectRefusal(studio.post("/api/edit", {{"pad", std::string(1100000, 'x')}}), 413, "1 MiB");
    expectRefusal(client.Post("/api/edit", studio.headers(), "{not json", "application/json"), 400, "reload");
    expectRefusal(studio.post("/api/edit", {{"revision", 2}, {"command", "frobnicate"}}), 400, "frobnicate");

    // Sizes.
    for (const std::string size : {"width=16384&height=16", "width=8192&height=16384"})
        expectRefusal(client.Get(("/api/render?revision=0&layer=4&" + size).c_str(), studio.headers()), 400,
                      "at most 8192 by 8192");
    expectRefusal(client.Get("/api/render?revision=0&layer=4&width=300&height=256", studio.headers()), 400,
                  "powers of two");
    expectRefusal(client.Get("/api/export/png?layer=4&width=65536&height=1", studio.headers()), 400, "too large");
    expectRefusal(client.Get("/api/render?revision=0&layer=7&width=64&height=64", studio.headers()), 400, "layer");

    // Names that would leave the working folder.
    std::ofstream(outside.path + "/secret.tex") << "x";
    fs::create_symlink(outside.path + "/secret.tex", folder.path + "/link.tex");
    for (const std::string name : {"../escape.tex", "/tmp/escape.tex", "sub/escape.tex", "..", "link.tex"}) {
        SCOPED_TRACE(name);
        expectRefusal(studio.post("/api/save", {{"name", name}, {"overwrite", true}}), 400, "folder");
        expectRefusal(studio.post("/api/open", {{"name", name}}), 400, "folder");
    }
    EXPECT_EQ(programs::readFile(outside.path + "/secret.tex"), "x");
    EXPECT_FALSE(fs::exists(folder.path + "/../escape.tex"));
    expectRefusal(client.Get("/api/export/cpp?function=2bad", studio.headers()), 400, "C++ function name");
}

TEST(StudioServer, EditsUndoRedoAndStaleRevisions) {
    programs::TemporaryDirectory folder;
    Studio studio(folder.path);
    json state = studio.edit({{"command", "insert"}, {"layer", 0}, {"index", 0}, {"opcode", 2}});
    // The example's arguments, drawn into the layer it is inserted into.
    EXPECT_EQ(state["layers"][0]["records"][0]["source"], "perlinNoise(0,64,12345,256,150,5,true);");
    state = studio.edit({{"command", "set"}, {"layer", 0}, {"index", 0}, {"argument", 1}, {"value", "32"}});
    EXPECT_EQ(state["layers"][0]["records"][0]["arguments"][1], "32");
    state = studio.edit({{"command", "insert"}, {"layer", 0}, {"index", 1}, {"opcode", 24}});
    state = studio.edit({{"command", "set"}, {"layer", 0}, {"index", 1}, {"argument", 2}, {"value", "0.014"}});
    EXPECT_EQ(state["layers"][0]["records"][1]["arguments"][2], "0.01400000043213367") << "what is shown is stored";
    EXPECT_TRUE(state["dirty"]);

    // A change made on an old revision (another window) is refused.
    const int64_t old = state["revision"].get<int64_t>() - 1;
    const json stale = {{"revision", old}, {"command", "delete"}, {"layer", 0}, {"index", 0}};
    auto refused = studio.post("/api/edit", stale);
    expectRefusal(refused, 409, "another window");
    EXPECT_TRUE(json::parse(refused->body)["stale"]);
    expectRefusal(studio.post("/api/edit", {{"revision", state["revision"]}, {"command", "set"}, {"layer", 0},
                                            {"index", 0}, {"argument", 1}, {"value", "1.5"}}),
                  400, "whole number");

    state = studio.edit({{"command", "undo"}});
    EXPECT_EQ(state["layers"][0]["records"][1]["arguments"][2], "0.01200000010430813");
    state = studio.edit({{"command", "undo"}});
    state = studio.edit({{"command", "undo"}});
    EXPECT_EQ(state["layers"][0]["records"][0]["arguments"][1], "64");
    EXPECT_TRUE(state["canRedo"]);
    state = studio.edit({{"command", "redo"}});
    EXPECT_EQ(state["layers"][0]["records"][0]["arguments"][1], "32");
    state = studio.edit({{"command", "undo"}});
    state = studio.edit({{"command", "undo"}});
    EXPECT_EQ(state["layers"][0]["count"], 0);
    EXPECT_FALSE(state["dirty"]);
    expectRefusal(studio.post("/api/edit", {{"revision", state["revision"]}, {"command", "undo"}}), 400,
                  "nothing to undo");
}

TEST(StudioServer, RendersEqualTexgenRenderOfTheSavedDocument) {
    programs::TemporaryDirectory folder;
    fs::copy_file(SHIPPED, folder.path + "/shipped.tex");
    Studio studio(folder.path, {"shipped.tex"});
    studio.edit({{"command", "set"}, {"layer", 2}, {"index", 4}, {"argument", 2}, {"value", "-90"}});
    studio.edit({{"command", "insert"}, {"layer", 4}, {"index", 4}, {"opcode", 41}});
    auto saved = studio.post("/api/save", {{"name", "edited.tex"}});
    ASSERT_TRUE(saved && saved->status == 200) << (saved ? saved->body : "");
    const std::string document = folder.path + "/edited.tex";
    for (const auto& [layer, width, height] : {std::tuple{4, 128, 64}, {2, 32, 32}, {4, 256, 256}}) {
        SCOPED_TRACE(std::to_string(layer) + " at " + std::to_string(width) + "x" + std::to_string(height));
        const std::string expected = texgenRender(document, layer, std::to_string(width) + "x" + std::to_string(height));
        ASSERT_EQ(expected.size(), size_t(width) * height * 3);
        EXPECT_TRUE(studio.render(layer, width, height) == expected);
    }
    // An edit in layer 0 changes what every later program sees.
    studio.edit({{"command", "set"}, {"layer", 0}, {"index", 0}, {"argument", 2}, {"value", "777"}});
    studio.post("/api/save", {{"name", "edited.tex"}, {"overwrite", true}});
    EXPECT_TRUE(studio.render(4, 128, 64) == texgenRender(document, 4, "128x64"));

    // Exports: the listing and the C++ of texgen export, a PNG of texgen render.
    httplib::Client client = studio.client();
    const programs::Outcome listing = run({TEX_TEXGEN, "export", document});
    EXPECT_EQ(client.Get("/api/export/listing", studio.headers())->body, listing.out);
    const programs::Outcome cpp = run({TEX_TEXGEN, "export", document, "--cpp", "--function", "make"});
    auto source = client.Get("/api/export/cpp?function=make", studio.headers());
    EXPECT_EQ(source->body, cpp.out);
    EXPECT_EQ(source->get_header_value("Content-Disposition"), "attachment; filename=\"edited.cpp\"; filename*=UTF-8''edited.cpp");
    auto png = client.Get("/api/export/png?layer=3&width=64&height=16", studio.headers());
    ASSERT_EQ(png->status, 200);
    std::ofstream(folder.path + "/export.png", std::ios::binary) << png->body;
    EXPECT_EQ(pngBytes(folder.path + "/export.png"), texgenRender(document, 3, "64x16"));
    EXPECT_EQ(studio.get("/api/export/progress")["active"], false);
}

TEST(StudioServer, RecoveryFileAfterAKilledServerAndLinksReproduceDocuments) {
    programs::TemporaryDirectory folder;
    fs::copy_file(SHIPPED, folder.path + "/shipped.tex");
    std::string fragment, edited;
    {
        Studio studio(folder.path, {"shipped.tex"});
        studio.edit({{"command", "delete"}, {"layer", 3}, {"index", 1}});
        edited = programs::readFile(folder.path + "/shipped.tex.recovery");
        EXPECT_EQ(edited.size(), 22020u);
        fragment = studio.get("/api/link")["fragment"];
        EXPECT_LT(fragment.size(), 1200u) << "compact";
        studio.stop(SIGKILL);
    }
    {
        Studio studio(folder.path, {"shipped.tex"});
        json state = studio.get("/api/state");
        ASSERT_TRUE(state["recovery"]);
        EXPECT_EQ(state["layers"][3]["count"], 5) << "the file as it is until restored";
        state = studio.edit({{"command", "recovery"}, {"restore", true}});
        EXPECT_EQ(state["layers"][3]["count"], 4);
        EXPECT_FALSE(state["recovery"]);
        studio.post("/api/save", json::object());
        EXPECT_EQ(programs::readFile(folder.path + "/shipped.tex"), edited);
        EXPECT_FALSE(fs::exists(folder.path + "/shipped.tex.recovery")) << "a clean save removes it";
        const programs::Outcome stopped = studio.stop();
        EXPECT_EQ(stopped.exitCode, 0) << "SIGTERM stops it cleanly";
        EXPECT_NE(stopped.out.find("saved " + fs::canonical(folder.path).string() + "/shipped.tex\n"), std::string::npos)
            << stopped.out;
    }
    {
        // A link opened in another studio gives the same document, byte for byte.
        programs::TemporaryDirectory other;
        Studio studio(other.path);
        studio.edit({{"command", "import"}, {"link", "http://127.0.0.1:1/#" + fragment}});
        studio.post("/api/save", {{"name", "linked.tex"}});
        EXPECT_EQ(programs::readFile(other.path + "/linked.tex"), edited);
        expectRefusal(studio.post("/api/edit", {{"revision", studio.get("/api/state")["revision"]},
                                                {"command", "import"}, {"link", "#doc=AAAA"}}),
                      400, "Copy link");
    }
}

TEST(StudioServer, SaveAsksBeforeOverwritingChangesMadeOnDisk) {
    programs::TemporaryDirectory folder;
    fs::copy_file(SHIPPED, folder.path + "/shipped.tex");
    Studio studio(folder.path, {"shipped.tex"});
    studio.edit({{"command", "delete"}, {"layer", 4}, {"index", 0}});
    std::ofstream(folder.path + "/shipped.tex", std::ios::binary | std::ios::app) << "changed elsewhere";
    auto conflict = studio.post("/api/save", json::object());
    expectRefusal(conflict, 409, "changed on disk");
    EXPECT_TRUE(json::parse(conflict->body)["conflict"]);
    EXPECT_EQ(studio.post("/api/save", {{"overwrite", true}})->status, 200);
    EXPECT_EQ(fs::file_size(folder.path + "/shipped.tex"), 22020u);
    // Listings by extension, in the list of files with the documents.
    EXPECT_EQ(studio.post("/api/save", {{"name", "copy.listing"}})->status, 200);
    EXPECT_EQ(studio.get("/api/files")["files"], json::array({"copy.listing", "shipped.tex"}));
    EXPECT_EQ(programs::readFile(folder.path + "/copy.listing").rfind("// layer 0\nperlinNoise(", 0), 0u);
}

TEST(StudioProgram, StartsWithWarningsAndRefusesAPortInUse) {
    programs::TemporaryDirectory folder;
    Studio first(folder.path);
    const programs::Outcome busy =
        run({TEX_TEXGEN, "studio", "--no-open", "--port", std::to_string(first.port), "other.tex"}, folder.path);
    EXPECT_EQ(busy.exitCode, 1);
    EXPECT_EQ(std::count(busy.err.begin(), busy.err.end(), '\n'), 1) << busy.err;
    EXPECT_NE(busy.err.find("--port"), std::string::npos) << busy.err;
    // One studio per file: a second one on the same file refuses to start.
    const programs::Outcome twice = run({TEX_TEXGEN, "studio", "--no-open", "--port", "0"}, folder.path);
    EXPECT_EQ(twice.exitCode, 1);
    EXPECT_EQ(twice.err, "texgen: untitled.tex is open in another texgen studio: edit it there, or stop that studio "
                         "first\n");

    // A document the engine partly skips opens with texgen info's warnings.
    std::string bytes = programs::readFile(SHIPPED);
    const int32_t unassigned = 9;
    std::memcpy(&bytes[4404 * 2 + 4], &unassigned, 4);
    std::ofstream(folder.path + "/odd.tex", std::ios::binary) << bytes;
    Studio odd(folder.path, {"odd.tex"});
    const json state = odd.get("/api/state");
    ASSERT_EQ(state["warnings"].size(), 1u);
    EXPECT_EQ(state["warnings"][0], "layer 2, record 0: opcode 9 is unassigned: the engine skips it");
    EXPECT_EQ(state["layers"][2]["records"][0]["warnings"][0], "opcode 9 is unassigned: the engine skips it");

    std::ofstream(folder.path + "/broken.listing") << "// layer 0\nblurLayer(0);\n";
    const programs::Outcome broken = run({TEX_TEXGEN, "studio", "--no-open", "--port", "0", "broken.listing"}, folder.path);
    EXPECT_EQ(broken.exitCode, 1);
    EXPECT_NE(broken.err.find("broken.listing:2:"), std::string::npos) << broken.err;
}

}  // namespace
