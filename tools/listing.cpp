// Texture documents as text: reading and writing listings, and writing a
// document as a C++ function.
//
// A listing is read the way a C++ compiler would read its calls: a real
// argument without suffix is a double literal converted to float, one with an
// f suffix is a float literal, and an integer literal converts to float
// directly. So the document built from a listing performs exactly the calls
// the listing shows, and a listing the exporter wrote comes back with the
// same slots (see formatListing for what cannot come back).
#include "tools/listing.h"

#include <algorithm>
#include <cerrno>
#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <limits>
#include <vector>

#include "engine/numeric/ext.h"

namespace texlisting {

ListingError::ListingError(const std::string& file_, int line_, int column_, const std::string& message_)
    : std::runtime_error(file_ + ":" + std::to_string(line_) + ":" + std::to_string(column_) + ": " + message_),
      file(file_), line(line_), column(column_), message(message_) {}

namespace {

using tex::ext;
using tex::OperationInfo;

// Decimal text to the nearest float or double; false when it lies beyond the
// type's range. Standard libraries without the floating-point from_chars
// (WebAssembly's, for one) use strtof and strtod, which read the same way in
// the "C" locale every program starts in and these tools never leave.
template <typename T>
bool readReal(const char* begin, const char* end, T& value) {
#if defined(__cpp_lib_to_chars)
    return std::from_chars(begin, end, value).ec == std::errc();
#else
    const std::string text(begin, end);
    char* stop = nullptr;
    errno = 0;
    const T read = sizeof(T) == sizeof(float) ? T(std::strtof(text.c_str(), &stop)) : T(std::strtod(text.c_str(), &stop));
    if (stop != text.c_str() + text.size() || errno == ERANGE) return false;
    value = read;
    return true;
#endif
}

// The shortest decimal text that reads back as v.
std::string shortestText(float v) {
    char buffer[64];
#if defined(__cpp_lib_to_chars)
    return std::string(buffer, std::to_chars(buffer, buffer + sizeof buffer, v).ptr);
#else
    for (int digits = 1;; ++digits) {  // 9 significant digits always suffice
        std::snprintf(buffer, sizeof buffer, "%.*g", digits, double(v));
        if (std::strtof(buffer, nullptr) == v || digits == 9) return buffer;
    }
#endif
}

bool sameBits(float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0 || (std::isnan(a) && std::isnan(b)); }

// Rounds to float32; beyond the largest float the result is the infinity that
// IEEE rounding gives, without relying on an out-of-range conversion.
float roundToFloat(ext v) {
    const ext limit = 0x1.ffffffp127;  // halfway between FLT_MAX and 2^128
    if (v >= limit) return INFINITY;
    if (v <= -limit) return -INFINITY;
    return static_cast<float>(v);
}

}  // namespace

float mandelBrotExtent(float start, float corner) { return roundToFloat(ext(corner) - start); }

// The float32 nearest start + extent (the original corner whenever the
// record's extent was exact), one of its neighbours, or for infinite starts
// and extents one of the values that give them.
bool mandelBrotCorner(float start, float extent, float& corner) {
    const float nearest = roundToFloat(ext(start) + extent);
    std::vector<float> candidates{nearest};
    float below = nearest, above = nearest;
    for (int step = 0; step < 4; ++step) {
        below = std::nextafter(below, -INFINITY);
        above = std::nextafter(above, INFINITY);
        candidates.push_back(below);
        candidates.push_back(above);
    }
    candidates.insert(candidates.end(), {-nearest, 0.0f, INFINITY, -INFINITY});
    for (float candidate : candidates)
        if (sameBits(mandelBrotExtent(start, candidate), extent)) {
            corner = candidate;
            return true;
        }
    return false;
}

namespace {

enum TokenKind { END, NAME, NUMBER, PUNCT, MARKER };

struct Token {
    TokenKind kind = END;
    std::string text;  // NAME, NUMBER, the PUNCT character, or the MARKER's layer
    int line = 1, column = 1;
};

class Parser {
public:
    Parser(const std::string& text, const std::string& fileName) : text_(text), file_(fileName) {}

    Document parse() {
        Document document{};
        int layer = -1;
        for (Token token = next(); token.kind != END; token = next()) {
            if (token.kind == MARKER) {
                const int marked = token.text[0] - '0';
                if (marked <= layer)
                    fail(token, "layer " + std::to_string(layer + 1) + " or above: each layer's program comes once, "
                                "in increasing layer order");
                layer = marked;
                continue;
            }
            if (token.kind != NAME) fail(token, "an operation name");
            if (layer < 0) fail(token, "a layer marker such as \"// layer 0\" before the first operation");
            tex::LayerProgram& program = document.programs[layer];
            if (program.count >= tex::MAX_OPS)
                fail(token, "at most " + std::to_string(tex::MAX_OPS) + " operations in layer " +
                                std::to_string(layer) + "'s program");
            const int index = program.count++;
            program.opcode[index] = statement(token, program.params[index]);
        }
        return document;
    }

private:
    // One argument as written: an optional sign and a number or a name.
    struct Argument {
        Token start;  // where it begins, for messages
        bool negative = false, signed_ = false;
        Token value;
    };

    [[noreturn]] void fail(const Token& at, const std::string& expected) const {
        throw ListingError(file_, at.line, at.column, "expected " + expected);
    }
    [[noreturn]] void failHere(const std::string& expected) const {
        throw ListingError(file_, line_, column(), "expected " + expected);
    }
    int column() const { return int(pos_ - lineStart_) + 1; }

    char peek(size_t ahead = 0) const { return pos_ + ahead < text_.size() ? text_[pos_ + ahead] : '\0'; }

    void newline() {
        ++line_;
        lineStart_ = pos_;
    }

    // True when only blanks stand before the current position on its line.
    bool atLineStart() const {
        for (size_t i = lineStart_; i < pos_; ++i)
            if (text_[i] != ' ' && text_[i] != '\t' && text_[i] != '\r') return false;
        return true;
    }

    // ASCII only, whatever the locale.
    static bool blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }
    static bool digit(char c) { return c >= '0' && c <= '9'; }
    static bool letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; }
    static bool nameChar(char c) { return letter(c) || digit(c); }

    // A line comment at the start of a line whose text begins with the word
    // "layer" is a layer marker; returns it, or an END token for a comment.
    Token lineComment() {
        Token marker{MARKER, "", line_, column()};
        const bool lineStart = atLineStart();
        pos_ += 2;
        size_t p = pos_;
        while (p < text_.size() && blank(text_[p])) ++p;
        const bool isMarker = lineStart && text_.compare(p, 5, "layer") == 0 &&
                              (p + 5 >= text_.size() || blank(text_[p + 5]) || text_[p + 5] == '\n');
        if (isMarker) {
            pos_ = p + 5;
            while (blank(peek())) ++pos_;
            const size_t begin = pos_;
            while (digit(peek())) ++pos_;
            if (pos_ - begin != 1 || text_[begin] > '4') {
                pos_ = begin;
                failHere("a layer number 0 to 4 after \"// layer\"");
            }
            marker.text = text_.substr(begin, 1);
        }
        while (pos_ < text_.size() && text_[pos_] != '\n') ++pos_;  // the rest of the line is comment
        return isMarker ? marker : Token{};
    }

    // Skips blanks, line breaks and comments; returns a marker if one stands there.
    Token skipSpace() {
        while (pos_ < text_.size()) {
            const char c = text_[pos_];
            if (c == '\n') {
                ++pos_;
                newline();
            } else if (blank(c)) {
                ++pos_;
            } else if (c == '/' && peek(1) == '/') {
                Token marker = lineComment();
                if (marker.kind == MARKER) return marker;
            } else if (c == '/' && peek(1) == '*') {
                const Token start{END, "", line_, column()};
                pos_ += 2;
                while (pos_ < text_.size() && !(text_[pos_] == '*' && peek(1) == '/')) {
                    if (text_[pos_++] == '\n') newline();
                }
                if (pos_ >= text_.size()) fail(start, "\"*/\" closing the comment that starts here");
                pos_ += 2;
            } else {
                break;
            }
        }
        return Token{};
    }

    Token next() {
        Token marker = skipSpace();
        if (marker.kind == MARKER) return marker;
        Token token{END, "", line_, column()};
        if (pos_ >= text_.size()) return token;
        const char c = text_[pos_];
        const size_t begin = pos_;
        if (letter(c)) {
            while (nameChar(peek())) ++pos_;
            token.kind = NAME;
        } else if (digit(c) || (c == '.' && digit(peek(1)))) {
            // Everything a C++ number could run on to, so that "1.5x" is one bad number.
            while (nameChar(peek()) || peek() == '.' ||
                   ((peek() == '+' || peek() == '-') && (text_[pos_ - 1] == 'e' || text_[pos_ - 1] == 'E')))
                ++pos_;
            token.kind = NUMBER;
        } else {
            ++pos_;
            token.kind = PUNCT;
        }
        token.text = text_.substr(begin, pos_ - begin);
        return token;
    }

    Token expectPunct(char c, const std::string& what) {
        Token token = next();
        if (token.kind != PUNCT || token.text[0] != c) fail(token, what);
        return token;
    }

    static std::string describe(char kind) {
        switch (kind) {
            case tex::SLOT_LAYER: return "a layer index";
            case tex::SLOT_INTEGER: return "an integer";
            case tex::SLOT_REAL: return "a real number";
            default: return "true or false";
        }
    }

    // Parses "NAME(ARGUMENTS);" whose name token has been read; fills the
    // ParamBlock and returns the opcode.
    int32_t statement(const Token& name, float params[10]) {
        const OperationInfo* row = tex::findOperation(name.text.c_str());
        if (!row) fail(name, "an operation name (\"" + name.text + "\" is not one)");
        const bool mandel = row->opcode == tex::MANDELBROT_OPCODE;
        // mandelBrot's call also takes the escape limit, always 16.
        const std::string kinds = std::string(row->slots) + (mandel ? "f" : "");
        const std::string call = name.text + "(";
        expectPunct('(', "\"(\" after " + name.text);

        std::vector<Argument> arguments;
        Token token = next();
        if (!(token.kind == PUNCT && token.text[0] == ')')) {
            for (;;) {
                Argument argument;
                argument.start = token;
                if (token.kind == PUNCT && (token.text[0] == '-' || token.text[0] == '+')) {
                    argument.signed_ = true;
                    argument.negative = token.text[0] == '-';
                    token = next();
                }
                if (token.kind != NUMBER && token.kind != NAME) {
                    const size_t k = arguments.size();
                    fail(token, k < kinds.size() ? describe(kinds[k]) + " for argument " + std::to_string(k + 1) +
                                                       " of " + name.text
                                                 : "\")\" after the " + std::to_string(kinds.size()) +
                                                       " arguments of " + name.text);
                }
                argument.value = token;
                arguments.push_back(argument);
                if (arguments.size() > kinds.size())
                    fail(argument.start,
                         "\")\" after the " + std::to_string(kinds.size()) + " arguments of " + name.text);
                token = next();
                if (token.kind == PUNCT && token.text[0] == ')') break;
                if (!(token.kind == PUNCT && token.text[0] == ','))
                    fail(token, "\",\" or \")\" after argument " + std::to_string(arguments.size()) + " of " +
                                    name.text);
                token = next();
            }
        }
        if (arguments.size() < kinds.size())
            fail(token, describe(kinds[arguments.size()]) + " for argument " + std::to_string(arguments.size() + 1) +
                            " of " + name.text + ", which takes " + std::to_string(kinds.size()));
        expectPunct(';', "\";\" after the call of " + name.text);

        float values[10] = {};
        for (size_t k = 0; k < arguments.size(); ++k) values[k] = convert(arguments[k], kinds[k], k, name.text);
        std::fill(params, params + 10, 0.0f);
        if (!mandel) {
            std::copy(values, values + arguments.size(), params);
            return row->opcode;
        }
        // mandelBrot(layer, x, width, y, height, 16) records the corners (x, y)
        // and (x + width, y + height).
        if (values[5] != 16.0f) fail(arguments[5].start, "16, the escape limit of every mandelBrot record");
        params[0] = values[0];
        params[1] = values[1];
        params[2] = values[3];
        if (!mandelBrotCorner(values[1], values[2], params[3]))
            fail(arguments[2].start, "a width that float32 corners can hold from x = " + arguments[1].value.text);
        if (!mandelBrotCorner(values[3], values[4], params[4]))
            fail(arguments[4].start, "a height that float32 corners can hold from y = " + arguments[3].value.text);
        return row->opcode;
    }

    float convert(const Argument& a, char kind, size_t k, const std::string& name) const {
        const std::string what = describe(kind) + " for argument " + std::to_string(k + 1) + " of " + name;
        const std::string& text = a.value.text;
        if (kind == tex::SLOT_BOOLEAN) {
            if (a.signed_ || a.value.kind != NAME || (text != "true" && text != "false")) fail(a.start, what);
            return text == "true" ? 1.0f : 0.0f;
        }
        if (kind == tex::SLOT_REAL) return real(a, what);
        // Integers: decimal digits, within int32, and held exactly by a float32 slot.
        if (a.value.kind != NUMBER || !std::all_of(text.begin(), text.end(), digit)) fail(a.start, what);
        if (text.size() > 1 && text[0] == '0') fail(a.start, what + " without leading zeros");
        const int64_t magnitude = text.size() > 10 ? INT64_MAX : std::stoll(text);
        const int64_t value = a.negative ? -magnitude : magnitude;
        if (value < INT32_MIN || value > INT32_MAX) fail(a.start, what + " within -2147483648..2147483647");
        const float slot = static_cast<float>(value);
        if (tex::slotInteger(slot) != value)
            fail(a.start, what + " that a float32 slot holds exactly (" + text + " would become " +
                              std::to_string(tex::slotInteger(slot)) + ")");
        return slot;
    }

    float real(const Argument& a, const std::string& what) const {
        const std::string& text = a.value.text;
        const float sign = a.negative ? -1.0f : 1.0f;
        if (a.value.kind == NAME) {
            if (text == "INFINITY") return sign * std::numeric_limits<float>::infinity();
            if (text == "NAN") return std::copysign(std::numeric_limits<float>::quiet_NaN(), sign);
            fail(a.start, what);
        }
        // C++ floating literal: digits, optional point and digits, optional
        // exponent, optional f suffix; or a plain integer literal.
        size_t p = 0;
        const auto digitsFrom = [&](size_t at) {
            size_t q = at;
            while (q < text.size() && digit(text[q])) ++q;
            return q;
        };
        size_t q = digitsFrom(p);
        const bool wholeDigits = q > p;
        bool point = false, fractionDigits = false, exponent = false;
        p = q;
        if (p < text.size() && text[p] == '.') {
            point = true;
            q = digitsFrom(p + 1);
            fractionDigits = q > p + 1;
            p = q;
        }
        if (p < text.size() && (text[p] == 'e' || text[p] == 'E')) {
            size_t e = p + 1;
            if (e < text.size() && (text[e] == '+' || text[e] == '-')) ++e;
            q = digitsFrom(e);
            if (q == e) fail(a.start, what + " (digits after the exponent's E)");
            exponent = true;
            p = q;
        }
        const size_t numberEnd = p;
        bool floatSuffix = false;
        if (p < text.size() && (text[p] == 'f' || text[p] == 'F') && (point || exponent)) {
            floatSuffix = true;
            ++p;
        }
        if (p != text.size() || !(wholeDigits || fractionDigits)) fail(a.start, what);
        if (wholeDigits && !point && !exponent && text.size() > 1 && text[0] == '0')
            fail(a.start, what + " without leading zeros");

        const char* begin = text.data();
        const char* end = begin + numberEnd;
        float value = 0;
        if (floatSuffix || (!point && !exponent)) {
            // A float literal, or an integer literal converted to float: one rounding.
            if (!readReal(begin, end, value)) fail(a.start, what + " within the float32 range");
        } else {
            // A double literal passed to a float parameter: rounded twice, as C++ does.
            double wide = 0;
            if (!readReal(begin, end, wide)) fail(a.start, what + " within the float32 range");
            // 2^128 - 2^103 and above would round to infinity.
            if (wide >= 0x1.ffffffp127) fail(a.start, what + " within the float32 range");
            value = wide > FLT_MAX ? FLT_MAX : static_cast<float>(wide);
        }
        return sign * value;
    }

    const std::string& text_;
    const std::string& file_;
    size_t pos_ = 0, lineStart_ = 0;
    int line_ = 1;
};

// A C++ literal that compiles to exactly `v` as a float argument.
std::string cppReal(float v) {
    if (std::isnan(v)) return "std::numeric_limits<float>::quiet_NaN()";
    if (std::isinf(v)) return v < 0 ? "-std::numeric_limits<float>::infinity()" : "std::numeric_limits<float>::infinity()";
    std::string text = shortestText(v);
    if (text.find_first_of(".e") == std::string::npos) text += ".0";
    return text + "f";
}

std::string cppInteger(float slot) {
    const int32_t value = tex::slotInteger(slot);
    // -2147483648 would be the negation of a literal too large for int.
    return value == INT32_MIN ? "-2147483647 - 1" : std::to_string(value);
}

}  // namespace

int32_t countedRecords(const tex::LayerProgram& program) {
    return std::clamp(program.count, int32_t(0), int32_t(tex::MAX_OPS));
}

Document parseListing(const std::string& text, const std::string& fileName) {
    return Parser(text, fileName).parse();
}

std::string formatListing(const Document& document) {
    std::string text;
    for (int layer = 0; layer < tex::LAYER_COUNT; ++layer) {
        const tex::LayerProgram& program = document.programs[layer];
        text += "// layer " + std::to_string(layer) + "\n";
        for (int32_t i = 0; i < countedRecords(program); ++i)
            text += tex::exportSource(program.opcode[i], program.params[i]) + "\n";
    }
    return text;
}

std::string formatCppSource(const Document& document, const std::string& functionName) {
    const auto nameChar = [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
    };
    const bool identifier = !functionName.empty() && !(functionName[0] >= '0' && functionName[0] <= '9') &&
                            std::all_of(functionName.begin(), functionName.end(), nameChar);
    if (!identifier) throw std::invalid_argument("not a C++ function name: \"" + functionName + "\"");
    std::string text =
        "// Builds the texture with direct engine calls, layer by layer in replay order.\n"
        "// Run tex::initLayers first; layer 4 then holds the texture.\n"
        "#include <limits>\n"
        "\n"
        "#include \"engine/engine.h\"\n"
        "\n"
        "void " + functionName + "() {\n";
    for (int layer = 0; layer < tex::LAYER_COUNT; ++layer) {
        const tex::LayerProgram& program = document.programs[layer];
        text += "    // layer " + std::to_string(layer) + "\n";
        for (int32_t i = 0; i < countedRecords(program); ++i) {
            const float* p = program.params[i];
            const OperationInfo* row = tex::findOperation(program.opcode[i]);
            if (!row) {
                text += "    // opcode " + std::to_string(program.opcode[i]) + " does nothing\n";
                continue;
            }
            std::string arguments;
            if (row->opcode == tex::MANDELBROT_OPCODE) {
                arguments = cppInteger(p[0]) + ", " + cppReal(p[1]) + ", " + cppReal(mandelBrotExtent(p[1], p[3])) + ", " +
                            cppReal(p[2]) + ", " + cppReal(mandelBrotExtent(p[2], p[4])) + ", 16.0f";
            } else {
                for (size_t k = 0; row->slots[k]; ++k) {
                    if (k) arguments += ", ";
                    switch (row->slots[k]) {
                        case tex::SLOT_REAL: arguments += cppReal(p[k]); break;
                        case tex::SLOT_BOOLEAN: arguments += tex::slotBoolean(p[k]) ? "true" : "false"; break;
                        default: arguments += cppInteger(p[k]); break;
                    }
                }
            }
            text += "    tex::" + std::string(row->name) + "(" + arguments + ");\n";
        }
    }
    return text + "}\n";
}

Document readDocument(const std::string& fileName) {
    Document document{};
    std::FILE* file = std::fopen(fileName.c_str(), "rb");
    if (!file) throw tex::IoError("Cannot read " + fileName + ": " + std::strerror(errno));
    const size_t got = std::fread(document.programs, 1, sizeof document.programs, file);
    // One byte more tells a long file from a document.
    char extra;
    const bool longer = got == sizeof document.programs && std::fread(&extra, 1, 1, file) == 1;
    const int error = std::ferror(file) ? errno : 0;
    std::fclose(file);
    if (error) throw tex::IoError("Cannot read " + fileName + ": " + std::strerror(error));
    const std::string size = std::to_string(tex::DOCUMENT_SIZE);
    if (got < sizeof document.programs)
        throw tex::IoError("Cannot read " + fileName + ": it holds " + std::to_string(got) +
                           " bytes, but a texture document is exactly " + size + " bytes");
    if (longer)
        throw tex::IoError("Cannot read " + fileName + ": it holds more than " + size +
                           " bytes, but a texture document is exactly " + size + " bytes");
    return document;
}

void writeDocument(const Document& document, const std::string& fileName) {
    writeFileAtomically(fileName, std::string(reinterpret_cast<const char*>(document.programs), sizeof document.programs));
}

bool looksLikeDocument(const std::string& content) {
    // An empty file is a document cut short rather than a listing of nothing.
    if (content.empty() || content.find('\0') != std::string::npos) return true;
    if (content.size() != size_t(tex::DOCUMENT_SIZE)) return false;
    const auto control = [](unsigned char c) { return (c < 0x20 && !std::strchr("\t\n\v\f\r", c)) || c == 0x7f; };
    return std::any_of(content.begin(), content.end(), control);
}

Document readDocumentOrListing(const std::string& fileName) {
    // A listing longer than this is no listing: 500 records take a few kB.
    constexpr size_t LIMIT = 16 << 20;
    std::FILE* file = std::fopen(fileName.c_str(), "rb");
    if (!file) throw tex::IoError("Cannot read " + fileName + ": " + std::strerror(errno));
    std::string content(LIMIT + 1, '\0');
    content.resize(std::fread(content.data(), 1, content.size(), file));
    const int error = std::ferror(file) ? errno : 0;
    std::fclose(file);
    if (error) throw tex::IoError("Cannot read " + fileName + ": " + std::strerror(error));
    if (content.size() > LIMIT && !looksLikeDocument(content))
        throw tex::IoError("Cannot read " + fileName + ": it is neither a texture document nor a listing");
    return decodeDocumentOrListing(content, fileName);
}

Document decodeDocumentOrListing(const std::string& content, const std::string& fileName) {
    if (!looksLikeDocument(content)) return parseListing(content, fileName);
    const std::string size = std::to_string(tex::DOCUMENT_SIZE);
    if (content.size() < size_t(tex::DOCUMENT_SIZE))
        throw tex::IoError("Cannot read " + fileName + ": it holds " + std::to_string(content.size()) +
                           " bytes, but a texture document is exactly " + size + " bytes");
    if (content.size() > size_t(tex::DOCUMENT_SIZE))
        throw tex::IoError("Cannot read " + fileName + ": it holds more than " + size +
                           " bytes, but a texture document is exactly " + size + " bytes");
    Document document{};
    std::memcpy(document.programs, content.data(), sizeof document.programs);
    return document;
}

void writeFileAtomically(const std::string& fileName, const std::string& bytes) {
    if (fileName.empty()) throw tex::IoError("Cannot write a document without a file name");
    // A fresh name beside the target, so that the final rename stays on one file system.
    namespace fs = std::filesystem;
    std::error_code ec;
    std::string temporary;
    for (unsigned attempt = 0;; ++attempt) {
        temporary = fileName + ".tmp" + std::to_string(attempt);
        if (!fs::exists(temporary, ec)) break;
    }
    std::FILE* file = std::fopen(temporary.c_str(), "wb");
    const auto fail = [&](const std::string& reason) {
        if (file) std::fclose(file);
        fs::remove(temporary, ec);
        throw tex::IoError("Cannot write " + fileName + ": " + reason);
    };
    if (!file) fail(std::strerror(errno));
    if (std::fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size() || std::fflush(file) != 0)
        fail(std::strerror(errno));
    const int closed = std::fclose(file);
    file = nullptr;
    if (closed != 0) fail(std::strerror(errno));
    fs::rename(temporary, fileName, ec);
    if (ec) fail(ec.message());
}

void replayDocument(const Document& document, int32_t width, int32_t height) {
    tex::initLayers(width, height);
    std::memcpy(tex::layerPrograms, document.programs, sizeof document.programs);
    for (const tex::LayerProgram& program : tex::layerPrograms)
        for (int32_t i = 0; i < countedRecords(program); ++i) tex::runOperation(program.opcode[i], program.params[i]);
}

}  // namespace texlisting
