// The studio's JSON: operations, state, edits and what renders answer.
#include "tools/studio/protocol.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <random>

#include "tools/studio/embedded.h"
#include "tools/studio/link.h"
#include "tools/texgen.h"

namespace studio {

std::string jsonText(const json& value) { return value.dump(-1, ' ', false, json::error_handler_t::replace); }

std::string quoted(const std::string& given, size_t limit) {
    return given.size() <= limit ? given : given.substr(0, limit) + "...";
}

namespace {

const json& member(const json& body, const char* name) {
    if (!body.is_object()) throw EditError("The request is not what the studio expects: reload the page.");
    const auto found = body.find(name);
    if (found == body.end()) throw EditError(std::string("The request lacks its ") + name + ": reload the page.");
    return *found;
}

}  // namespace

int64_t integerField(const json& body, const char* name, int64_t low, int64_t high) {
    const json& value = member(body, name);
    const std::string range = " must be a whole number from " + std::to_string(low) + " to " + std::to_string(high) + ".";
    if (value.is_number_integer()) {
        if (value.is_number_unsigned() ? value.get<uint64_t>() > uint64_t(high)
                                       : value.get<int64_t>() < low || value.get<int64_t>() > high)
            throw EditError(std::string("The request's ") + name + range);
        return value.get<int64_t>();
    }
    if (value.is_number_float()) {
        const double number = value.get<double>();
        if (std::isfinite(number) && number == std::trunc(number) && number >= double(low) && number <= double(high))
            return int64_t(number);
    }
    throw EditError(std::string("The request's ") + name + range);
}

std::string textField(const json& body, const char* name, bool optional) {
    if (optional && !body.contains(name)) return "";
    const json& value = member(body, name);
    if (!value.is_string()) throw EditError(std::string("The request's ") + name + " must be text: reload the page.");
    return value.get<std::string>();
}

bool booleanField(const json& body, const char* name, bool optional) {
    if (optional && !body.contains(name)) return false;
    const json& value = member(body, name);
    if (!value.is_boolean()) throw EditError(std::string("The request's ") + name + " must be true or false.");
    return value.get<bool>();
}

// Words people search for when they look for what an operation does, beyond
// its name and summary.
const char* searchWords(const std::string& name) {
    static const std::pair<const char*, const char*> WORDS[] = {
        {"subPlasma", "noise random clouds grain"}, {"sinePlasma", "waves stripes bands gradient"},
        {"perlinNoise", "noise clouds fractal turbulence marble"}, {"particle", "spot glow radial gradient vignette light"},
        {"colorLayer", "fill solid flat colour color background"}, {"checkerBoardLayer", "checker tiles grid squares pattern"},
        {"blobsLayer", "blobs metaballs spots cells organic"}, {"mandelBrot", "fractal set"},
        {"cellMachine", "automaton pattern random circuit"}, {"addLayers", "blend mix add screen composite"},
        {"mulLayers", "blend multiply darken mask composite"}, {"randCombineLayers", "dither scatter noise mix"},
        {"minCombineLayers", "darken blend"}, {"maxCombineLayers", "lighten blend"}, {"xorLayers", "bitwise pattern"},
        {"orLayers", "bitwise"}, {"andLayers", "bitwise mask"}, {"scaleLayerRGB", "brightness tint colour color levels"},
        {"scaleLayerHSV", "saturation hue brightness colour color"}, {"adjustLayerRGB", "brightness offset tint colour color levels"},
        {"adjustLayerHSV", "hue shift tint colorize saturation colour color"},
        {"sineLayerRGB", "tone curve bands gradient map colour color"},
        {"equalizeRGB", "contrast levels auto normalize histogram"}, {"stretchRGB", "contrast levels auto normalize histogram"},
        {"invertLayer", "negative invert"}, {"embossLayer", "emboss relief bump height"}, {"woodLayer", "wood rings grain bits"},
        {"blurLayer", "blur soften smooth"}, {"sharpenLayer", "sharpen detail crisp contrast"},
        {"edgeHLayer", "edge detect outline lines"}, {"edgeVLayer", "edge detect outline lines"},
        {"motionBlur", "streak smear brushed blur"}, {"makeTilable", "tile seamless wrap"},
        {"medianLayer", "denoise despeckle smooth"}, {"sineDistort", "warp wave ripple wobble water"},
        {"twirlLayer", "warp swirl twist spiral"}, {"mapDistort", "warp displace displacement"},
        {"tileLayer", "tile repeat pattern"}, {"noiseDistort", "warp jitter scatter grain noise"},
        {"moveDistort", "offset shift scroll wrap"}, {"kaleidLayer", "mirror symmetry kaleidoscope"},
        {"tunnelDistort", "warp perspective tunnel"}, {"sculptureLayer", "relief emboss direction"},
        {"logPolLayer", "warp polar unwrap"}, {"erodeLayer", "shrink morphology thin"},
        {"dilateLayer", "grow morphology thicken"},
    };
    for (const auto& [operation, words] : WORDS)
        if (name == operation) return words;
    return "";
}

json operationsJson(const std::function<bool(const std::string& picture)>& hasPicture) {
    static const char* const KINDS[] = {"layer", "integer", "real", "boolean"};
    json list = json::array();
    for (int32_t i = 0; i < tex::operationCount(); ++i) {
        const tex::OperationInfo& row = tex::operationTable()[i];
        json arguments = json::array();
        for (int k = 0; row.slots[k]; ++k) {
            const tex::ParameterInfo& parameter = row.parameters[k];
            const char* kind = KINDS[std::strchr("lifb", row.slots[k]) - "lifb"];
            arguments.push_back({{"name", parameter.name}, {"kind", kind}, {"low", parameter.low},
                                 {"high", parameter.high}, {"seed", std::string(parameter.name) == "seed"},
                                 {"unit", tex::unitName(parameter.unit)}, {"meaning", parameter.meaning}});
        }
        // Relative to the page, so that a site served from a folder finds it too.
        const std::string picture = "pictures/" + std::string(row.name) + ".png";
        list.push_back({{"opcode", row.opcode}, {"name", row.name}, {"family", row.family}, {"summary", row.summary},
                        {"picture", hasPicture(picture) ? picture : ""}, {"keywords", searchWords(row.name)},
                        {"arguments", arguments}});
    }
    return json{{"operations", list}};
}

json stateJson(const Session& session) {
    const texlisting::Document& document = session.document();
    json layers = json::array();
    for (int layer = 0; layer < tex::LAYER_COUNT; ++layer) {
        const tex::LayerProgram& program = document.programs[layer];
        const std::vector<texlisting::AuthorRecord> author = texlisting::authorProgram(document, layer);
        json records = json::array();
        for (size_t i = 0; i < author.size(); ++i) {
            const int32_t opcode = author[i].opcode;
            const float* params = author[i].params;
            const tex::OperationInfo* row = tex::findOperation(opcode);
            records.push_back({{"opcode", opcode},
                               {"name", row ? row->name : ""},
                               {"source", row ? tex::exportSource(opcode, params) : "opcode " + std::to_string(opcode)},
                               {"display", displayLine(opcode, params)},
                               {"arguments", argumentTexts(opcode, params)},
                               {"bypassed", author[i].bypassed},
                               {"replaced", replacedReason(author, int(i))},
                               {"warnings", texgen::recordWarnings(opcode, params)}});
        }
        layers.push_back({{"count", program.count}, {"warning", texgen::countWarning(program.count)}, {"records", records}});
    }
    int32_t designWidth, designHeight;
    texlisting::designSize(document, designWidth, designHeight);
    return json{{"revision", session.revision()},
                {"name", session.name()},
                {"designSize", {{"width", designWidth}, {"height", designHeight}}},
                {"dirty", session.dirty()},
                {"canUndo", session.canUndo()},
                {"canRedo", session.canRedo()},
                {"recovery", session.recoveryOffered()},
                {"recoveryProblem", session.recoveryProblem()},
                {"warnings", session.openingWarnings()},
                {"layers", layers}};
}

void applyEdit(Session& session, const json& body) {
    const std::string command = textField(body, "command");
    const auto layer = [&] { return int(integerField(body, "layer", 0, tex::LAYER_COUNT - 1)); };
    // The author's indices: bypassed records are counted, up to MAX_OPS of them.
    const auto index = [&] { return int(integerField(body, "index", 0, 2 * tex::MAX_OPS)); };
    const auto argument = [&] { return int(integerField(body, "argument", 0, tex::MAX_PARAMETERS - 1)); };
    const int64_t base = integerField(body, "revision", 0, INT64_MAX);
    if (command == "insert") {
        const int32_t opcode = int32_t(integerField(body, "opcode", INT32_MIN, INT32_MAX));
        const tex::OperationInfo* row = tex::findOperation(opcode);
        if (!row) throw EditError("Opcode " + std::to_string(opcode) + " is not an operation.");
        float params[10] = {};
        const EmbeddedFile* example = findEmbedded("examples/" + std::string(row->name) + ".listing");
        if (example)
            exampleRecord(std::string(reinterpret_cast<const char*>(example->data), example->size), opcode, layer(), params);
        session.insertRecord(base, layer(), index(), opcode, params);
    } else if (command == "duplicate") {
        session.duplicateRecord(base, layer(), index());
    } else if (command == "delete") {
        session.deleteRecords(base, layer(), index(),
                              body.contains("count") ? int(integerField(body, "count", 1, 2 * tex::MAX_OPS)) : 1);
    } else if (command == "bypass") {
        session.setBypass(base, layer(), index(), booleanField(body, "bypassed"));
    } else if (command == "clear") {
        session.clearLayer(base, layer());
    } else if (command == "paste") {
        session.pasteRecords(base, layer(), index(), textField(body, "listing"));
    } else if (command == "set" && body.contains("values")) {
        // Several arguments in one step: [[argument, value], ...].
        const json& pairs = body.at("values");
        const char* refused = "The request's values must be one to nine [argument, value] pairs: reload the page.";
        if (!pairs.is_array() || pairs.empty() || pairs.size() > size_t(tex::MAX_PARAMETERS)) throw EditError(refused);
        std::vector<std::pair<int, std::string>> values;
        for (const json& pair : pairs) {
            if (!pair.is_array() || pair.size() != 2 || !pair[0].is_number_integer() || !pair[1].is_string() ||
                pair[0].get<int64_t>() < 0 || pair[0].get<int64_t>() >= tex::MAX_PARAMETERS)
                throw EditError(refused);
            values.emplace_back(pair[0].get<int>(), pair[1].get<std::string>());
        }
        session.setArguments(base, layer(), index(), values, textField(body, "drag", true));
    } else if (command == "move") {
        session.moveRecord(base, layer(), index(), int(integerField(body, "to", 0, 2 * tex::MAX_OPS)));
    } else if (command == "set" || command == "newSeed") {
        const int k = argument();
        std::string value;
        if (command == "set") {
            value = textField(body, "value");
        } else {
            const std::vector<texlisting::AuthorRecord> program = texlisting::authorProgram(session.document(), layer());
            const tex::OperationInfo* row =
                size_t(index()) < program.size() ? tex::findOperation(program[size_t(index())].opcode) : nullptr;
            const float high = row ? row->parameters[k].high : 0;
            std::random_device device;
            value = std::to_string(std::uniform_int_distribution<int64_t>(0, std::max(int64_t(high), int64_t(1)))(device));
        }
        session.setArgument(base, layer(), index(), k, value, textField(body, "drag", true));
    } else if (command == "undo") {
        session.undo(base);
    } else if (command == "redo") {
        session.redo(base);
    } else if (command == "recovery") {
        session.resolveRecovery(base, booleanField(body, "restore"));
    } else if (command == "designSize") {
        session.setDesignSize(base, int32_t(integerField(body, "width", 0, INT32_MAX)),
                              int32_t(integerField(body, "height", 0, INT32_MAX)));
#ifndef TEX_NO_ZLIB
    } else if (command == "import") {
        session.replaceDocument(base, documentFromLink(textField(body, "link")));
#endif
    } else {
        throw EditError("The studio knows no command \"" + quoted(command) + "\": reload the page.");
    }
}

int32_t renderSide(const std::string& given, int64_t most) {
    const bool digits = !given.empty() && given.size() < 12 && given.find_first_not_of("0123456789") == std::string::npos;
    const int64_t side = digits ? std::stoll(given) : 0;
    if (side > most)
        throw EditError("A render of " + quoted(given) + " pixels a side is too large: at most " + std::to_string(most) +
                        " by " + std::to_string(most) + ".");
    if (side < 1 || (side & (side - 1))) throw EditError("Render sizes are powers of two, such as 256 or 1024.");
    return int32_t(side);
}

std::string shrink(const tex::Pixel* pixels, int64_t w, int64_t h, int width, int height) {
    std::string out;
    out.reserve(size_t(width) * size_t(height) * 3);
    for (int ty = 0; ty < height; ++ty) {
        const int64_t y0 = ty * h / height, y1 = std::max(y0 + 1, (ty + 1) * h / height);
        for (int tx = 0; tx < width; ++tx) {
            const int64_t x0 = tx * w / width, x1 = std::max(x0 + 1, (tx + 1) * w / width);
            uint64_t sum[3] = {};
            for (int64_t y = y0; y < y1; ++y)
                for (int64_t x = x0; x < x1; ++x) {
                    const tex::Pixel& p = pixels[(y % h) * w + (x % w)];
                    sum[0] += p.red;
                    sum[1] += p.green;
                    sum[2] += p.blue;
                }
            const uint64_t n = uint64_t((y1 - y0) * (x1 - x0));
            for (uint64_t s : sum) out += char(s / n);
        }
    }
    return out;
}

std::string thumbnails() {
    std::string out;
    out.reserve(size_t(tex::LAYER_COUNT) * THUMBNAIL * THUMBNAIL * 3);
    for (int layer = 0; layer < tex::LAYER_COUNT; ++layer)
        out += shrink(tex::layers[layer], tex::layerWidth, tex::layerHeight, THUMBNAIL, THUMBNAIL);
    return out;
}

std::string renderedBytes(int layer) {
    const size_t bytes = size_t(tex::layerWidth) * size_t(tex::layerHeight) * sizeof(tex::Pixel);
    return std::string(reinterpret_cast<const char*>(tex::layers[layer]), bytes) + thumbnails();
}

int replayedIndex(const texlisting::Document& document, int layer, int index, bool& replayed) {
    const std::vector<texlisting::AuthorRecord> records = texlisting::authorProgram(document, layer);
    int at = -1;
    replayed = false;
    for (int i = 0; i <= index && i < int(records.size()); ++i)
        if (!records[size_t(i)].bypassed) ++at;
    replayed = index >= 0 && index < int(records.size()) && !records[size_t(index)].bypassed;
    return at;
}

bool renderPreviewBody(const texlisting::Document& document, const PreviewAsk& ask, RenderCache& preview,
                       RenderCache& compare, const RenderCache::Progress& current, std::string& body) {
    const bool whole = ask.record == PreviewAsk::WHOLE;
    const size_t bytes = size_t(ask.width) * size_t(ask.height) * sizeof(tex::Pixel);
    RenderCache::Replay replay;
    replay.focusLayer = ask.focus;
    bool replayed = false;
    if (!whole) {
        replay.stopLayer = ask.layer;
        replay.stopRecord = replayedIndex(document, ask.layer, ask.record, replayed);
    }
    if (!preview.render(document, ask.width, ask.height, current, replay)) return false;
    body.reserve(bytes * (ask.compare ? 2 : 1) + size_t(tex::LAYER_COUNT) * THUMBNAIL * THUMBNAIL * 3);
    body.assign(reinterpret_cast<const char*>(tex::layers[ask.layer]), bytes);
    const std::string thumbs = whole ? thumbnails() : "";
    if (ask.compare) {
        Skipped without{};
        const int skipped = replayedIndex(document, ask.compareLayer, ask.compareRecord, replayed);
        if (replayed) without[ask.compareLayer][skipped] = true;
        RenderCache::Replay other = replay;
        other.skip = &without;
        if (!compare.render(document, ask.width, ask.height, current, other)) return false;
        body.append(reinterpret_cast<const char*>(tex::layers[ask.layer]), bytes);
    }
    body += thumbs;
    return true;
}

namespace {

// A field of an example's heading comments ("// Title: Wood planks",
// "// Keywords: wood, boards"), or empty.
std::string exampleField(const std::string& listing, const std::string& field) {
    size_t begin = 0;
    while (begin < listing.size()) {
        const size_t end = std::min(listing.find('\n', begin), listing.size());
        std::string line = listing.substr(begin, end - begin);
        begin = end + 1;
        const size_t at = line.find_first_not_of(" \t");
        if (at == std::string::npos || line.compare(at, 2, "//") != 0) continue;
        const size_t text = line.find_first_not_of("/ \t", at);
        if (text == std::string::npos || line.size() - text < field.size() + 1 || line[text + field.size()] != ':') continue;
        std::string name = line.substr(text, field.size());
        for (char& c : name) c = char(std::tolower(static_cast<unsigned char>(c)));
        if (name != field) continue;
        std::string value = line.substr(text + field.size() + 1);
        value.erase(0, value.find_first_not_of(" \t"));
        while (!value.empty() && std::isspace(static_cast<unsigned char>(value.back()))) value.pop_back();
        return value;
    }
    return "";
}

std::string embeddedText(const EmbeddedFile& file) { return std::string(reinterpret_cast<const char*>(file.data), file.size); }

}  // namespace

json examplesJson(const std::function<bool(const std::string& picture)>& hasPicture) {
    json list = json::array();
    for (const EmbeddedFile* file = EMBEDDED_FILES; file->name; ++file) {
        const std::string name = file->name;
        if (name.rfind("gallery/", 0) != 0) continue;
        const std::string stemName = std::filesystem::path(name).stem().string();
        // Relative to the page, so that a site served from a folder finds it too.
        const std::string picture = "gallery/" + stemName + ".png";
        const std::string text = embeddedText(*file), title = exampleField(text, "title");
        list.push_back({{"name", stemName},
                        {"title", title.empty() ? stemName : title},
                        {"keywords", exampleField(text, "keywords")},
                        {"picture", hasPicture(picture) ? picture : ""}});
    }
    return json{{"examples", list}};
}

texlisting::Document exampleDocument(const std::string& name) {
    const EmbeddedFile* file = findEmbedded("gallery/" + name + ".listing");
    if (!file) throw EditError("There is no example named " + quoted(name) + ": reload the page.");
    return texlisting::parseListing(embeddedText(*file), name + ".listing");
}

std::string cppSource(const texlisting::Document& document, const std::string& function) {
    try {
        return texlisting::formatCppSource(document, function);
    } catch (const std::invalid_argument&) {
        throw EditError("\"" + quoted(function) + "\" is not a C++ function name: use letters, digits and "
                                                  "underscores, not starting with a digit, and not a C++ keyword.");
    }
}

std::string downloadName(const std::string& documentName, const std::string& suffix) {
    const std::string stem = std::filesystem::path(documentName).stem().string();
    return (stem.empty() ? "texture" : stem) + suffix;
}

}  // namespace studio
