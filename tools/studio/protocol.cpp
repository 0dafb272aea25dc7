// The studio's JSON: operations, state, edits and what renders answer.
#include "tools/studio/protocol.h"

#include <algorithm>
#include <climits>
#include <cmath>
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
                        {"picture", hasPicture(picture) ? picture : ""}, {"arguments", arguments}});
    }
    return json{{"operations", list}};
}

json stateJson(const Session& session) {
    const texlisting::Document& document = session.document();
    json layers = json::array();
    for (int layer = 0; layer < tex::LAYER_COUNT; ++layer) {
        const tex::LayerProgram& program = document.programs[layer];
        json records = json::array();
        for (int i = 0; i < texlisting::countedRecords(program); ++i) {
            const int32_t opcode = program.opcode[i];
            const tex::OperationInfo* row = tex::findOperation(opcode);
            records.push_back({{"opcode", opcode},
                               {"name", row ? row->name : ""},
                               {"source", row ? tex::exportSource(opcode, program.params[i]) : "opcode " + std::to_string(opcode)},
                               {"arguments", argumentTexts(opcode, program.params[i])},
                               {"warnings", texgen::recordWarnings(opcode, program.params[i])}});
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
    const auto index = [&] { return int(integerField(body, "index", 0, tex::MAX_OPS)); };
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
        session.deleteRecord(base, layer(), index());
    } else if (command == "move") {
        session.moveRecord(base, layer(), index(), int(integerField(body, "to", 0, tex::MAX_OPS)));
    } else if (command == "set" || command == "newSeed") {
        const int k = argument();
        std::string value;
        if (command == "set") {
            value = textField(body, "value");
        } else {
            const tex::LayerProgram& program = session.document().programs[layer()];
            const tex::OperationInfo* row = tex::findOperation(program.opcode[std::min(index(), tex::MAX_OPS - 1)]);
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
