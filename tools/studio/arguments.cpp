// Arguments of records: shown as the exporter prints them, set from what the
// author types or drags, and their defaults taken from the operations' examples.
#include "tools/studio/arguments.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cmath>
#include <cstring>

#include "tools/listing.h"

namespace studio {

namespace {

const tex::OperationInfo& rowOf(int32_t opcode) {
    const tex::OperationInfo* row = tex::findOperation(opcode);
    if (!row) throw EditError("This record's opcode " + std::to_string(opcode) + " is unassigned: it has no arguments.");
    return *row;
}

std::string trimmed(const std::string& text) {
    const size_t begin = text.find_first_not_of(" \t\r\n");
    if (begin == std::string::npos) return "";
    return text.substr(begin, text.find_last_not_of(" \t\r\n") - begin + 1);
}

// A decimal number as typed (sign, digits, point, exponent); false otherwise.
template <typename T>
bool parseNumber(const std::string& text, T& value, bool& outOfRange) {
    const char* begin = text.data();
    const char* end = begin + text.size();
    if (begin != end && *begin == '+') ++begin;
#if defined(__cpp_lib_to_chars)
    const auto result = std::from_chars(begin, end, value, std::chars_format::general);
    outOfRange = result.ec == std::errc::result_out_of_range;
    return result.ptr == end && begin != end && (result.ec == std::errc() || outOfRange);
#else
    // Standard libraries without the floating-point from_chars (WebAssembly's)
    // read with strtof and strtod in the "C" locale, held to the characters
    // from_chars takes (no hexadecimal, no spaces).
    const std::string number(begin, end);
    if (number.empty() || number.find_first_not_of("0123456789.eE+-infatyINFATY") != std::string::npos ||
        number[0] == '+')
        return false;
    char* stop = nullptr;
    errno = 0;
    value = sizeof(T) == sizeof(float) ? T(std::strtof(number.c_str(), &stop)) : T(std::strtod(number.c_str(), &stop));
    outOfRange = errno == ERANGE;
    return stop == number.c_str() + number.size();
#endif
}

// Whether a number, as typed, is at least 1 in magnitude, told from its
// digits and exponent: for numbers beyond the range of double, which parse
// to nothing, a huge one must be told from a tiny one.
bool atLeastOne(const std::string& text) {
    size_t i = !text.empty() && (text[0] == '+' || text[0] == '-') ? 1 : 0;
    int64_t magnitude = 0;  // the power of ten of the first digit that is not 0
    bool found = false, point = false;
    for (; i < text.size() && text[i] != 'e' && text[i] != 'E'; ++i) {
        const char c = text[i];
        if (c == '.') {
            point = true;
        } else if (!found && c == '0') {
            if (point) --magnitude;
        } else if (!found) {
            found = true;
            magnitude = point ? magnitude - 1 : 0;
        } else if (!point) {
            ++magnitude;
        }
    }
    if (!found) return false;
    int64_t exponent = 0;
    bool negative = false;
    if (i < text.size() && ++i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i)
        exponent = std::min<int64_t>(exponent * 10 + (text[i] - '0'), int64_t(1) << 40);
    return magnitude + (negative ? -exponent : exponent) >= 0;
}

float integerSlot(const std::string& name, const std::string& text) {
    double value = 0;
    bool outOfRange = false;
    if (parseNumber(text, value, outOfRange) && outOfRange && atLeastOne(text))
        throw EditError(name + " must be between -2147483648 and 2147483647.");
    if (!parseNumber(text, value, outOfRange) || outOfRange || !std::isfinite(value) || value != std::trunc(value))
        throw EditError(name + " must be a whole number, such as 64.");
    if (value < -2147483648.0 || value > 2147483647.0)
        throw EditError(name + " must be between -2147483648 and 2147483647.");
    // The nearest float32: beyond 2^24 not every whole number has one, and
    // the field then shows the one that is stored.
    return static_cast<float>(value);
}

float realSlot(const std::string& name, const std::string& text) {
    float value = 0;
    bool outOfRange = false;
    if (!parseNumber(text, value, outOfRange) || std::isnan(value))
        throw EditError(name + " must be a number, such as 0.5.");
    if (outOfRange) {
        if (atLeastOne(text)) throw EditError(name + " must lie between -3.4e38 and 3.4e38.");
        // So small it rounds to a subnormal or to zero, keeping its sign.
        double wide = 0;
        parseNumber(text, wide, outOfRange);
        value = outOfRange ? (text[0] == '-' ? -0.0f : 0.0f) : static_cast<float>(wide);
    }
    if (std::isinf(value)) throw EditError(name + " must lie between -3.4e38 and 3.4e38.");
    return value;
}

// mandelBrot keeps the opposite corner; an extent becomes the corner that gives it.
void setCorner(float params[10], int startSlot, int cornerSlot, float start, float extent, const std::string& name) {
    float corner = 0;
    if (!texlisting::mandelBrotCorner(start, extent, corner))
        throw EditError(name + " cannot be held: no float32 far corner of the region gives it there; choose a "
                        "smaller value.");
    params[startSlot] = start;
    params[cornerSlot] = corner;
}

}  // namespace

std::string shortestText(float value) { return texlisting::shortestText(value); }

std::vector<std::string> argumentTexts(int32_t opcode, const float params[10]) {
    std::vector<std::string> texts = exporterTexts(opcode, params);
    const tex::OperationInfo* row = tex::findOperation(opcode);
    for (size_t k = 0; k < texts.size(); ++k) {
        if (row->slots[k] != tex::SLOT_REAL) continue;
        float value = params[k];
        if (opcode == tex::MANDELBROT_OPCODE) {
            // xStart, xSpan, yStart, ySpan from the corners x1, y1, x2, y2.
            const int start = k <= 2 ? 1 : 2;
            value = k == 1 || k == 3 ? params[start] : texlisting::mandelBrotExtent(params[start], params[start + 2]);
        }
        texts[k] = shortestText(value);
    }
    return texts;
}

std::string displayLine(int32_t opcode, const float params[10]) {
    const tex::OperationInfo* row = tex::findOperation(opcode);
    if (!row) return "opcode " + std::to_string(opcode);
    std::string line = std::string(row->name) + "(";
    const std::vector<std::string> texts = argumentTexts(opcode, params);
    for (size_t k = 0; k < texts.size(); ++k) line += (k ? "," : "") + texts[k];
    return line + ");";
}

std::vector<std::string> exporterTexts(int32_t opcode, const float params[10]) {
    const tex::OperationInfo* row = tex::findOperation(opcode);
    if (!row) return {};
    // "name(a,b,c);": no argument text holds a comma.
    const std::string line = tex::exportSource(opcode, params);
    const size_t open = line.find('(');
    const std::string inner = line.substr(open + 1, line.size() - open - 3);
    std::vector<std::string> texts;
    size_t begin = 0;
    for (size_t k = 0; row->slots[k]; ++k) {
        const size_t comma = inner.find(',', begin);
        texts.push_back(inner.substr(begin, comma - begin));
        begin = comma + 1;
    }
    return texts;
}

void setArgument(int32_t opcode, float params[10], int argument, const std::string& typed) {
    const tex::OperationInfo& row = rowOf(opcode);
    const int count = int(std::strlen(row.slots));
    if (argument < 0 || argument >= count)
        throw EditError(std::string(row.name) + " has no argument " + std::to_string(argument + 1) + ".");
    const std::string name = row.parameters[argument].name;
    const std::string text = trimmed(typed);
    float value = 0;
    switch (row.slots[argument]) {
        case tex::SLOT_LAYER:
            if (text.size() != 1 || text[0] < '0' || text[0] > '4') throw EditError(name + " must be a layer from 0 to 4.");
            value = float(text[0] - '0');
            break;
        case tex::SLOT_INTEGER: value = integerSlot(name, text); break;
        case tex::SLOT_REAL: value = realSlot(name, text); break;
        default:
            if (text == "true" || text == "1")
                value = 1.0f;
            else if (text == "false" || text == "0")
                value = 0.0f;
            else
                throw EditError(name + " must be true or false.");
    }
    if (opcode != tex::MANDELBROT_OPCODE || argument == 0) {
        params[argument] = value;
        return;
    }
    // Arguments 1..4 are xStart, xSpan, yStart, ySpan over slots x1, y1, x2, y2.
    const int startSlot = argument <= 2 ? 1 : 2, cornerSlot = startSlot + 2;
    const float start = params[startSlot];
    const float extent = texlisting::mandelBrotExtent(start, params[cornerSlot]);
    const bool isStart = argument == 1 || argument == 3;
    setCorner(params, startSlot, cornerSlot, isStart ? value : start, isStart ? extent : value, name);
}

bool exampleRecord(const std::string& listing, int32_t opcode, int32_t layer, float params[10]) {
    const tex::OperationInfo& row = rowOf(opcode);
    const texlisting::Document example = texlisting::parseListing(listing, row.name + std::string(".listing"));
    for (const tex::LayerProgram& program : example.programs)
        for (int32_t i = 0; i < program.count; ++i) {
            if (program.opcode[i] != opcode) continue;
            std::memcpy(params, program.params[i], sizeof program.params[i]);
            for (int k = 0; row.slots[k]; ++k) {
                const std::string name = row.parameters[k].name;
                if (name == "dst" || name == "src") params[k] = float(layer);
            }
            return true;
        }
    return false;
}

}  // namespace studio

namespace studio {

namespace {

// The layer a record writes (its "dst"), or -1; and whether it reads `layer`
// through any other layer argument.
int writtenLayer(const tex::OperationInfo& row, const float params[10]) {
    for (int k = 0; row.slots[k]; ++k)
        if (row.slots[k] == tex::SLOT_LAYER && std::strcmp(row.parameters[k].name, "dst") == 0)
            return tex::slotInteger(params[k]);
    return -1;
}

bool readsLayer(const tex::OperationInfo& row, const float params[10], int layer) {
    for (int k = 0; row.slots[k]; ++k)
        if (row.slots[k] == tex::SLOT_LAYER && std::strcmp(row.parameters[k].name, "dst") != 0 &&
            tex::slotInteger(params[k]) == layer)
            return true;
    return false;
}

}  // namespace

std::string replacedReason(const std::vector<texlisting::AuthorRecord>& program, int index) {
    const int count = int(program.size());
    const tex::OperationInfo* row = index >= 0 && index < count ? tex::findOperation(program[size_t(index)].opcode) : nullptr;
    if (!row || program[size_t(index)].bypassed) return "";
    const int written = writtenLayer(*row, program[size_t(index)].params);
    if (written < 0 || written >= tex::LAYER_COUNT) return "";
    for (int j = index + 1; j < count; ++j) {
        const texlisting::AuthorRecord& record = program[size_t(j)];
        const tex::OperationInfo* later = tex::findOperation(record.opcode);
        if (!later || record.bypassed) continue;
        if (readsLayer(*later, record.params, written)) return "";
        if (std::strcmp(later->family, "generators") == 0 && writtenLayer(*later, record.params) == written)
            return "No effect: record " + std::to_string(j) + ", " + later->name + ", overwrites layer " +
                   std::to_string(written) + " before anything reads it.";
    }
    return "";
}

}  // namespace studio
