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

#include "studio_process.h"

namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;
using studiotest::expectRefusal;
using studiotest::run;
using studiotest::Studio;

const std::string SHIPPED = std::string(TEX_SOURCE_DIR) + "/data/Testin3.tex";

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
    // Fields show the shortest text of the stored float32; copied lines are the exporter's.
    EXPECT_EQ(state["layers"][0]["records"][1]["arguments"][2], "0.014");
    EXPECT_EQ(state["layers"][0]["records"][1]["display"], "sineLayerRGB(0,0,0.014,0.02,0.03);");
    EXPECT_EQ(state["layers"][0]["records"][1]["source"],
              "sineLayerRGB(0,0,0.01400000043213367,0.01999999955296516,0.02999999932944775);");
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
    EXPECT_EQ(state["layers"][0]["records"][1]["arguments"][2], "0.012");
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

namespace {

// The records of a layer as the state lists them: display lines, "off" for bypassed.
std::vector<std::string> shownRecords(const json& state, int layer) {
    std::vector<std::string> lines;
    for (const json& record : state["layers"][layer]["records"])
        lines.push_back(std::string(record["bypassed"].get<bool>() ? "off " : "") + record["display"].get<std::string>());
    return lines;
}

TEST(StudioServer, BypassClearAndPasteOverHttpAndTheirRendersEqualTexgenRender) {
    programs::TemporaryDirectory folder;
    fs::copy_file(SHIPPED, folder.path + "/shipped.tex");
    Studio studio(folder.path, {"shipped.tex"});
    // Switched off, a record stays in the program and leaves every render.
    json state = studio.edit({{"command", "bypass"}, {"layer", 2}, {"index", 3}, {"bypassed", true}});
    EXPECT_EQ(shownRecords(state, 2)[3], "off tileLayer(2,2);");
    EXPECT_EQ(state["dirty"], true);
    // Pasted listing lines, from another layer or a text editor, go after the record named.
    state = studio.edit({{"command", "paste"}, {"layer", 4}, {"index", 1}, {"listing", "blurLayer(4,4);\r\n\r\nedgeHLayer(4,4);"}});
    EXPECT_EQ(shownRecords(state, 4),
              (std::vector<std::string>{"colorLayer(4,0,0,0);", "blurLayer(4,4);", "edgeHLayer(4,4);", "mulLayers(0,1,4,1,1);",
                                        "addLayers(4,2,4,1,-1);", "mulLayers(4,3,4,1,1);"}));
    expectRefusal(studio.post("/api/edit", {{"revision", state["revision"]}, {"command", "paste"}, {"layer", 4}, {"index", 0},
                                            {"listing", "blurLayer(4);"}}),
                  400, "not listing lines");
    state = studio.edit({{"command", "clear"}, {"layer", 3}});
    EXPECT_TRUE(state["layers"][3]["records"].empty());

    auto saved = studio.post("/api/save", {{"name", "edited.tex"}});
    ASSERT_TRUE(saved && saved->status == 200) << (saved ? saved->body : "");
    const std::string document = folder.path + "/edited.tex";
    EXPECT_TRUE(studio.render(4, 64, 64) == texgenRender(document, 4, "64x64"));
    // The listing export names the bypassed call; texgen export of the saved file says the same.
    httplib::Client client = studio.client();
    const std::string listing = client.Get("/api/export/listing", studio.headers())->body;
    EXPECT_NE(listing.find("// bypassed: tileLayer(2,2);"), std::string::npos) << listing;
    EXPECT_EQ(listing, run({TEX_TEXGEN, "export", document}).out);

    // After a record: layer 2 right after record 4 (twirlLayer), the bypassed
    // tileLayer skipped, equals the saved document cut after that record.
    const auto rendered = [&](const std::string& query) {
        auto result = client.Get(("/api/render?revision=0&width=32&height=32&" + query).c_str(), studio.headers());
        EXPECT_TRUE(result && result->status == 200);
        return result ? result->body : "";
    };
    studio.edit({{"command", "delete"}, {"layer", 2}, {"index", 5}});
    studio.post("/api/save", {{"name", "cut.tex"}});
    const std::string after = rendered("layer=2&record=4");
    EXPECT_EQ(after, texgenRender(folder.path + "/cut.tex", 2, "32x32")) << "stopped renders carry no thumbnails";
    // Compare: the same with and without record 4.
    const std::string compared = rendered("layer=2&record=4&compareLayer=2&compareRecord=4");
    ASSERT_EQ(compared.size(), 2u * 32 * 32 * 3);
    EXPECT_EQ(compared.substr(0, 32 * 32 * 3), after);
    EXPECT_EQ(compared.substr(32 * 32 * 3), rendered("layer=2&record=2")) << "record 3 is bypassed: without 4 is after 2";
    studio.edit({{"command", "undo"}});
    EXPECT_EQ(studio.get("/api/state")["layers"][2]["records"].size(), 6u);
}

TEST(StudioServer, AnotherPageLearnsOfEveryChangeAndNewDocumentsComeFromTheGallery) {
    programs::TemporaryDirectory folder;
    fs::copy_file(SHIPPED, folder.path + "/shipped.tex");
    Studio studio(folder.path, {"shipped.tex"});
    const int64_t generation = studio.get("/api/state")["generation"];
    std::thread editor([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        studio.edit({{"command", "delete"}, {"layer", 4}, {"index", 0}});
    });
    const auto started = std::chrono::steady_clock::now();
    const json changed = studio.get("/api/wait?generation=" + std::to_string(generation));
    editor.join();
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
    EXPECT_EQ(changed["layers"][4]["records"].size(), 3u);
    EXPECT_GT(changed["generation"].get<int64_t>(), generation);

    const json gallery = studio.get("/api/examples");
    ASSERT_GE(gallery["examples"].size(), 1u);
    const std::string example = gallery["examples"][0]["name"];
    auto opened = studio.post("/api/new", {{"example", example}});
    ASSERT_TRUE(opened && opened->status == 200);
    const json state = json::parse(opened->body);
    EXPECT_EQ(state["name"], "untitled.tex");
    EXPECT_EQ(state["dirty"], true);
    EXPECT_FALSE(state["layers"][4]["records"].empty());
    expectRefusal(studio.post("/api/new", {{"example", "../nothing"}}), 404, "no example");
    auto empty = studio.post("/api/new", json::object());
    EXPECT_EQ(json::parse(empty->body)["layers"][4]["records"].size(), 0u);
    expectRefusal(studio.post("/api/save", {{"name", "aux.tex"}}), 400, "device");
}

}  // namespace
