// texgen info: a document's programs as tables, one row per counted record
// with the arguments the dispatcher passes, and a warning wherever the engine
// will skip or clamp something. Names and slot kinds come from the opcode
// table, so this never disagrees with what a replay does.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "engine/numeric/ext.h"
#include "engine/operations.h"
#include "tools/texgen.h"

namespace texgen {

std::string realText(float value) {
    if (std::isnan(value)) return "nan";
    if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
    char text[32];
    for (int digits = 1; digits <= 9; ++digits) {
        std::snprintf(text, sizeof text, "%.*g", digits, double(value));
        if (std::strtof(text, nullptr) == value) break;
    }
    return text;
}

namespace {

// An integer slot as the dispatcher converts it, with a warning when the
// conversion clamps or replaces the stored value.
std::string integerText(float slot, int k, std::vector<std::string>& warnings) {
    const int32_t value = tex::slotInteger(slot);
    if (std::isnan(slot))
        warnings.push_back("slot " + std::to_string(k) + " is not a number and becomes 0");
    else if (slot >= 2147483648.0f || slot < -2147483648.0f)
        warnings.push_back("slot " + std::to_string(k) + " (" + realText(slot) + ") is beyond the int32 range and is clamped to " +
                           std::to_string(value));
    return std::to_string(value);
}

std::string argumentsOf(const tex::OperationInfo& row, const float* p, std::vector<std::string>& warnings) {
    std::string text;
    const auto add = [&](const std::string& argument) { text += (text.empty() ? "" : ", ") + argument; };
    for (int k = 0; row.slots[k]; ++k) {
        if (row.opcode == tex::MANDELBROT_OPCODE && k > 0) break;  // corners, below
        switch (row.slots[k]) {
            case tex::SLOT_REAL: add(realText(p[k])); break;
            case tex::SLOT_BOOLEAN: add(tex::slotBoolean(p[k]) ? "true" : "false"); break;
            case tex::SLOT_LAYER: {
                const std::string value = integerText(p[k], k, warnings);
                const int32_t layer = tex::slotInteger(p[k]);
                if (layer < 0 || layer >= tex::LAYER_COUNT)
                    warnings.push_back("slot " + std::to_string(k) + " names layer " + value +
                                       ", outside 0..4: the operation does nothing");
                add(value);
                break;
            }
            default: add(integerText(p[k], k, warnings)); break;
        }
    }
    if (row.opcode == tex::MANDELBROT_OPCODE) {
        // The record holds two corners; the call takes the first corner and
        // the extents, each rounded to float32, and the escape limit 16.
        const auto extent = [](float from, float to) { return float(tex::ext(to) - from); };
        add(realText(p[1]));
        add(realText(extent(p[1], p[3])));
        add(realText(p[2]));
        add(realText(extent(p[2], p[4])));
        add("16");
    }
    return text;
}

}  // namespace

std::string malformation(const texlisting::Document& document) {
    std::string text;
    for (int32_t layer = 0; layer < tex::LAYER_COUNT; ++layer) {
        const int32_t count = document.programs[layer].count;
        if (count >= 0 && count <= tex::MAX_OPS) continue;
        text += (text.empty() ? "" : ", ") + std::string("layer ") + std::to_string(layer) + "'s count " +
                std::to_string(count) + " is outside 0.." + std::to_string(tex::MAX_OPS);
    }
    return text;
}

std::vector<std::string> recordWarnings(int32_t opcode, const float params[10]) {
    std::vector<std::string> warnings;
    const tex::OperationInfo* row = tex::findOperation(opcode);
    if (row)
        argumentsOf(*row, params, warnings);
    else
        warnings.push_back("opcode " + std::to_string(opcode) + " is unassigned: the engine skips it");
    return warnings;
}

std::string countWarning(int32_t count) {
    if (count > tex::MAX_OPS)
        return "count " + std::to_string(count) + " is above " + std::to_string(tex::MAX_OPS) + ": only the first " +
               std::to_string(tex::MAX_OPS) + " records are replayed";
    if (count < 0) return "count " + std::to_string(count) + " is negative: nothing is replayed";
    return "";
}

std::vector<std::string> documentWarnings(const texlisting::Document& document) {
    std::vector<std::string> warnings = document.extras.warnings;
    for (int32_t layer = 0; layer < tex::LAYER_COUNT; ++layer) {
        const tex::LayerProgram& program = document.programs[layer];
        const std::string where = "layer " + std::to_string(layer);
        const std::string count = countWarning(program.count);
        if (!count.empty()) warnings.push_back(where + ": " + count);
        for (int32_t i = 0; i < texlisting::countedRecords(program); ++i)
            for (const std::string& warning : recordWarnings(program.opcode[i], program.params[i]))
                warnings.push_back(where + ", record " + std::to_string(i) + ": " + warning);
    }
    return warnings;
}

int describe(const texlisting::Document& document, const std::string& fileName, std::ostream& out) {
    int warningCount = 0;
    const auto warn = [&](const std::string& where, const std::string& what) {
        out << "  warning: " << where << what << "\n";
        ++warningCount;
    };
    out << fileName << ": texture document, " << tex::LAYER_COUNT << " layer programs\n";
    const texlisting::Extras& extras = document.extras;
    int32_t width, height;
    texlisting::designSize(document, width, height);
    out << "design size: " << width << "x" << height
        << (extras.designWidth == 0 && extras.designHeight == 0 ? " (none stored)\n" : "\n");
    if (!extras.unknown.empty())
        out << "extras: " << extras.unknown.size() << " entries this version does not read, kept as they are\n";
    for (const std::string& warning : extras.warnings) warn("", warning);
    for (int32_t layer = 0; layer < tex::LAYER_COUNT; ++layer) {
        const tex::LayerProgram& program = document.programs[layer];
        const auto bypassed = std::count_if(extras.bypassed.begin(), extras.bypassed.end(),
                                            [&](const texlisting::BypassedRecord& r) { return r.layer == layer; });
        out << "\nlayer " << layer << ": " << program.count << (program.count == 1 ? " record" : " records");
        if (bypassed) out << ", " << bypassed << " bypassed (kept, not replayed)";
        out << "\n";
        const std::string count = countWarning(program.count);
        if (!count.empty()) warn("", count);
        const int32_t records = texlisting::countedRecords(program);
        if (records <= 0 && !bypassed) continue;
        char line[64];
        std::snprintf(line, sizeof line, "  %3s  %6s  %-18s %s\n", "pos", "opcode", "operation", "arguments");
        out << line;
        int32_t i = 0;
        for (const texlisting::AuthorRecord& record : texlisting::authorProgram(document, layer)) {
            const int32_t opcode = record.opcode;
            const tex::OperationInfo* row = tex::findOperation(opcode);
            std::vector<std::string> ignored;
            const std::string arguments = row ? argumentsOf(*row, record.params, ignored) : "";
            if (record.bypassed) {
                std::snprintf(line, sizeof line, "  %3s  %6d  %-18s ", "-", opcode, row ? row->name : "(unassigned)");
                out << line << arguments << "  (bypassed)\n";
                continue;
            }
            std::snprintf(line, sizeof line, "  %3d  %6d  %-18s ", i, opcode, row ? row->name : "(unassigned)");
            out << line << arguments << "\n";
            for (const std::string& warning : recordWarnings(opcode, record.params))
                warn("record " + std::to_string(i) + ": ", warning);
            ++i;
        }
    }
    return warningCount;
}

}  // namespace texgen
