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

// What starts a bypassed record's comment line in a listing, after "//".
const std::string BYPASS_MARK = "bypassed:";
const std::string EXTRAS_MAGIC = "texgen-extras";
constexpr int EXTRAS_VERSION = 1;

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

std::string designSizeProblem(int64_t width, int64_t height) {
    const auto powerOfTwo = [](int64_t v) { return v > 0 && (v & (v - 1)) == 0; };
    const std::string size = std::to_string(width) + "x" + std::to_string(height);
    if (width <= 0 || height <= 0) return "The design size " + size + " has a side of zero; give each side a power of two.";
    if (!powerOfTwo(width) || !powerOfTwo(height))
        return "The design size " + size + " is not a power of two on each side; give sides such as 256 or 1024.";
    if (width > tex::MAX_LAYER_SIDE || height > tex::MAX_LAYER_SIDE || width * height > tex::MAX_LAYER_PIXELS)
        return "The design size " + size + " is beyond the engine's limits: at most " +
               std::to_string(tex::MAX_LAYER_SIDE) + " pixels a side and " + std::to_string(tex::MAX_LAYER_PIXELS) +
               " pixels in all.";
    return "";
}

void designSize(const Document& document, int32_t& width, int32_t& height) {
    const Extras& e = document.extras;
    const bool stored = e.designWidth != 0 || e.designHeight != 0;
    const bool usable = stored && designSizeProblem(e.designWidth, e.designHeight).empty();
    width = usable ? e.designWidth : DEFAULT_DESIGN_SIZE;
    height = usable ? e.designHeight : DEFAULT_DESIGN_SIZE;
}

void setDesignSize(Document& document, int32_t width, int32_t height) {
    const std::string problem = designSizeProblem(width, height);
    if (!problem.empty()) throw std::invalid_argument(problem);
    const bool standard = width == DEFAULT_DESIGN_SIZE && height == DEFAULT_DESIGN_SIZE;
    document.extras.designWidth = standard ? 0 : width;
    document.extras.designHeight = standard ? 0 : height;
    // A design size kept because it could not be read gives way to the new one.
    auto& unknown = document.extras.unknown;
    unknown.erase(std::remove_if(unknown.begin(), unknown.end(),
                                 [](const std::string& line) { return line.compare(0, 12, "design-size ") == 0; }),
                  unknown.end());
}

std::vector<AuthorRecord> authorProgram(const Document& document, int layer) {
    std::vector<AuthorRecord> records;
    if (layer < 0 || layer >= tex::LAYER_COUNT) return records;
    const tex::LayerProgram& program = document.programs[layer];
    std::vector<const BypassedRecord*> bypassed;
    for (const BypassedRecord& record : document.extras.bypassed)
        if (record.layer == layer) bypassed.push_back(&record);
    std::stable_sort(bypassed.begin(), bypassed.end(),
                     [](const BypassedRecord* a, const BypassedRecord* b) { return a->position < b->position; });
    const int32_t count = countedRecords(program);
    size_t next = 0;
    for (int32_t i = 0; i < count || next < bypassed.size();) {
        AuthorRecord record;
        // A bypassed record comes at its position, or after the last replayed one.
        if (next < bypassed.size() && (i >= count || bypassed[next]->position <= int32_t(records.size()))) {
            record.opcode = bypassed[next]->opcode;
            std::memcpy(record.params, bypassed[next]->params, sizeof record.params);
            record.bypassed = true;
            ++next;
        } else {
            record.opcode = program.opcode[i];
            std::memcpy(record.params, program.params[i], sizeof record.params);
            ++i;
        }
        records.push_back(record);
    }
    return records;
}

void setAuthorProgram(Document& document, int layer, const std::vector<AuthorRecord>& records) {
    if (layer < 0 || layer >= tex::LAYER_COUNT) throw std::invalid_argument("layer " + std::to_string(layer) + " is not 0 to 4");
    const auto replayed = std::count_if(records.begin(), records.end(), [](const AuthorRecord& r) { return !r.bypassed; });
    if (replayed > tex::MAX_OPS || records.size() - size_t(replayed) > size_t(tex::MAX_OPS))
        throw std::invalid_argument("a layer holds at most " + std::to_string(tex::MAX_OPS) + " records");
    tex::LayerProgram& program = document.programs[layer];
    const int32_t before = countedRecords(program);
    auto& bypassed = document.extras.bypassed;
    bypassed.erase(std::remove_if(bypassed.begin(), bypassed.end(), [&](const BypassedRecord& r) { return r.layer == layer; }),
                   bypassed.end());
    int32_t count = 0;
    std::vector<BypassedRecord> mine;
    for (size_t k = 0; k < records.size(); ++k) {
        if (records[k].bypassed) {
            BypassedRecord record;
            record.layer = layer;
            record.position = int32_t(k);
            record.opcode = records[k].opcode;
            std::memcpy(record.params, records[k].params, sizeof record.params);
            mine.push_back(record);
        } else {
            program.opcode[count] = records[k].opcode;
            std::memcpy(program.params[count], records[k].params, sizeof program.params[count]);
            ++count;
        }
    }
    for (int32_t i = count; i < before; ++i) {
        program.opcode[i] = 0;
        std::fill(program.params[i], program.params[i] + 10, 0.0f);
    }
    program.count = count;
    // Kept in layer order, then position.
    const auto at = std::find_if(bypassed.begin(), bypassed.end(), [&](const BypassedRecord& r) { return r.layer > layer; });
    bypassed.insert(at, mine.begin(), mine.end());
}

namespace {

bool sameRecord(const BypassedRecord& a, const BypassedRecord& b) {
    return a.layer == b.layer && a.position == b.position && a.opcode == b.opcode &&
           std::memcmp(a.params, b.params, sizeof a.params) == 0;
}

std::string hexWord(float value) {
    uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    char text[9];
    std::snprintf(text, sizeof text, "%08x", unsigned(bits));
    return text;
}

// A decimal int64 of at most 10 digits with an optional minus sign, and nothing else.
bool readInteger(const std::string& text, int64_t& value) {
    if (text.empty()) return false;
    const size_t digits = text.size() - (text[0] == '-' ? 1 : 0);
    if (digits == 0 || digits > 10 ||
        text.find_first_not_of("0123456789", text[0] == '-' ? 1 : 0) != std::string::npos)
        return false;
    value = std::stoll(text);
    return true;
}

std::vector<std::string> words(const std::string& line) {
    std::vector<std::string> out;
    for (size_t p = 0; p < line.size();) {
        const size_t end = std::min(line.find(' ', p), line.size());
        if (end > p) out.push_back(line.substr(p, end - p));
        p = end + 1;
    }
    return out;
}

// A bypassed entry's words after its name: layer, position, opcode, ten slots.
bool readBypassed(const std::vector<std::string>& w, BypassedRecord& record) {
    int64_t layer, position, opcode;
    if (w.size() != 14 || !readInteger(w[1], layer) || !readInteger(w[2], position) || !readInteger(w[3], opcode))
        return false;
    if (layer < 0 || layer >= tex::LAYER_COUNT || position < 0 || position >= 2 * tex::MAX_OPS || opcode < INT32_MIN ||
        opcode > INT32_MAX)
        return false;
    record.layer = int32_t(layer);
    record.position = int32_t(position);
    record.opcode = int32_t(opcode);
    for (int k = 0; k < 10; ++k) {
        const std::string& hex = w[size_t(4 + k)];
        if (hex.size() != 8 || hex.find_first_not_of("0123456789abcdef") != std::string::npos) return false;
        const uint32_t bits = uint32_t(std::stoul(hex, nullptr, 16));
        std::memcpy(&record.params[k], &bits, sizeof bits);
    }
    return true;
}

}  // namespace

bool operator==(const Document& a, const Document& b) {
    const Extras &x = a.extras, &y = b.extras;
    return std::memcmp(a.programs, b.programs, sizeof a.programs) == 0 && x.designWidth == y.designWidth &&
           x.designHeight == y.designHeight && x.unknown == y.unknown && x.trailing == y.trailing &&
           std::equal(x.bypassed.begin(), x.bypassed.end(), y.bypassed.begin(), y.bypassed.end(), sameRecord);
}

std::string formatExtras(const Extras& extras) {
    const bool sized = extras.designWidth != 0 || extras.designHeight != 0;
    if (!sized && extras.bypassed.empty() && extras.unknown.empty()) return "";
    std::string block = EXTRAS_MAGIC + " " + std::to_string(EXTRAS_VERSION) + "\n";
    if (sized) block += "design-size " + std::to_string(extras.designWidth) + "x" + std::to_string(extras.designHeight) + "\n";
    std::vector<BypassedRecord> bypassed = extras.bypassed;
    std::stable_sort(bypassed.begin(), bypassed.end(), [](const BypassedRecord& a, const BypassedRecord& b) {
        return a.layer != b.layer ? a.layer < b.layer : a.position < b.position;
    });
    for (const BypassedRecord& r : bypassed) {
        block += "bypassed " + std::to_string(r.layer) + " " + std::to_string(r.position) + " " + std::to_string(r.opcode);
        for (float slot : r.params) block += " " + hexWord(slot);
        block += "\n";
    }
    for (const std::string& line : extras.unknown) block += line + "\n";
    return block + "end\n";
}

Extras parseExtras(const std::string& bytes) {
    Extras extras;
    if (bytes.empty()) return extras;
    const auto damaged = [&](const std::string& why) {
        Extras kept;
        kept.trailing = bytes;
        kept.warnings.push_back(why + "; it is kept as it is but not used, so the design size is 256x256.");
        return kept;
    };
    std::vector<std::string> lines;
    size_t p = 0;
    bool ended = false;
    while (p < bytes.size() && !ended) {
        const size_t end = bytes.find('\n', p);
        if (end == std::string::npos) break;
        lines.push_back(bytes.substr(p, end - p));
        p = end + 1;
        ended = lines.back() == "end";
    }
    const std::string magic = EXTRAS_MAGIC + " ";
    if (lines.empty() || lines[0].compare(0, magic.size(), magic) != 0)
        return damaged("The " + std::to_string(bytes.size()) + " bytes after the programs are not an extras block");
    int64_t version = 0;
    if (!readInteger(lines[0].substr(magic.size()), version) || version < 1)
        return damaged("The extras block's first line, \"" + lines[0].substr(0, 40) + "\", names no version");
    if (version > EXTRAS_VERSION)
        return damaged("The extras block is of version " + std::to_string(version) + ", newer than this program reads");
    if (!ended) return damaged("The extras block has no end line: it was cut short");
    const auto printable = [](const std::string& line) {
        return std::all_of(line.begin(), line.end(), [](char c) { return c >= 0x20 && c < 0x7f; });
    };
    int32_t perLayer[tex::LAYER_COUNT] = {};
    for (size_t i = 1; i + 1 < lines.size(); ++i) {
        const std::string& line = lines[i];
        const std::vector<std::string> w = words(line);
        const bool named = !w.empty() && w[0].find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789-") == std::string::npos;
        if (!printable(line) || !named) return damaged("Line " + std::to_string(i + 1) + " of the extras block is damaged");
        bool used = false;
        if (w[0] == "design-size" && extras.designWidth == 0 && extras.designHeight == 0 && w.size() == 2) {
            const size_t cross = w[1].find('x');
            int64_t width = 0, height = 0;
            if (cross != std::string::npos && cross > 0 && w[1][0] != '-' && readInteger(w[1].substr(0, cross), width) &&
                cross + 1 < w[1].size() && w[1][cross + 1] != '-' && readInteger(w[1].substr(cross + 1), height) &&
                width <= INT32_MAX && height <= INT32_MAX) {
                const std::string problem = designSizeProblem(width, height);
                if (!problem.empty()) extras.warnings.push_back(problem + " The texture is rendered at 256x256.");
                extras.designWidth = int32_t(width);
                extras.designHeight = int32_t(height);
                used = true;
            }
        } else if (w[0] == "bypassed") {
            BypassedRecord record;
            const bool read = readBypassed(w, record);
            const bool taken = read && std::any_of(extras.bypassed.begin(), extras.bypassed.end(), [&](const BypassedRecord& r) {
                                   return r.layer == record.layer && r.position == record.position;
                               });
            if (read && !taken && perLayer[record.layer] < tex::MAX_OPS) {
                ++perLayer[record.layer];
                extras.bypassed.push_back(record);
                used = true;
            }
        } else {
            used = true;  // an entry of a later version: kept as it stands
            extras.unknown.push_back(line);
            continue;
        }
        if (!used) {
            extras.warnings.push_back("The extras entry \"" + line.substr(0, 60) + "\" cannot be read; it is kept but not used.");
            extras.unknown.push_back(line);
        }
    }
    std::stable_sort(extras.bypassed.begin(), extras.bypassed.end(), [](const BypassedRecord& a, const BypassedRecord& b) {
        return a.layer != b.layer ? a.layer < b.layer : a.position < b.position;
    });
    extras.trailing = bytes.substr(p);
    if (!extras.trailing.empty())
        extras.warnings.push_back("The " + std::to_string(extras.trailing.size()) +
                                  " bytes after the extras block are kept as they are but not used.");
    return extras;
}

namespace {

// The extras block of a listing: the comment lines from "// texgen-extras"
// to "// end" ahead of the first layer marker, read as a document file's block.
Extras listingExtras(const std::string& text) {
    std::string block;
    bool inside = false;
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        const size_t first = line.find_first_not_of(" \t\r");
        if (first == std::string::npos) continue;
        if (line.compare(first, 2, "//") != 0) break;  // a call: the programs have begun
        size_t body = line.find_first_not_of(" \t", first + 2);
        if (body == std::string::npos) continue;
        line = line.substr(body);
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) line.pop_back();
        if (!inside && line.compare(0, 5, "layer") == 0) break;
        if (!inside && line.compare(0, EXTRAS_MAGIC.size(), EXTRAS_MAGIC) != 0) continue;
        inside = true;
        block += line + "\n";
        if (line == "end") break;
    }
    Extras extras = parseExtras(block);
    extras.trailing.clear();  // a listing has no bytes beyond its text
    return extras;
}

enum TokenKind { END, NAME, NUMBER, PUNCT, MARKER, BYPASSED };

struct Token {
    TokenKind kind = END;
    // NAME, NUMBER, the PUNCT character, the MARKER's layer, or the BYPASSED
    // line with everything before its call blanked out
    std::string text;
    int line = 1, column = 1;
};

class Parser {
public:
    Parser(const std::string& text, const std::string& fileName) : text_(text), file_(fileName) {}

    Document parse() {
        Document document{};
        document.extras = listingExtras(text_);
        int layer = -1;
        int bypassedInLayer = 0;
        for (Token token = next(); token.kind != END; token = next()) {
            if (token.kind == BYPASSED) {
                if (layer < 0) fail(token, "a layer marker such as \"// layer 0\" before the first bypassed record");
                if (bypassedInLayer >= tex::MAX_OPS)
                    fail(token, "at most " + std::to_string(tex::MAX_OPS) + " bypassed records in layer " +
                                    std::to_string(layer) + "'s program");
                // The call is read from the comment's own line, so that messages point into it.
                Parser call(token.text, file_);
                call.line_ = token.line;
                BypassedRecord record;
                record.layer = layer;
                record.position = document.programs[layer].count + bypassedInLayer++;
                const Token name = call.next();
                if (name.kind != NAME) call.fail(name, "an operation call after \"// bypassed:\"");
                record.opcode = call.statement(name, record.params);
                const Token rest = call.next();
                if (rest.kind != END) call.fail(rest, "the end of the line after the bypassed call");
                document.extras.bypassed.push_back(record);
                continue;
            }
            if (token.kind == MARKER) {
                const int marked = token.text[0] - '0';
                if (marked <= layer)
                    fail(token, "layer " + std::to_string(layer + 1) + " or above: each layer's program comes once, "
                                "in increasing layer order");
                layer = marked;
                bypassedInLayer = 0;
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
    // "layer" is a layer marker, one that begins with "bypassed:" a bypassed
    // record; returns either, or an END token for a comment.
    Token lineComment() {
        Token marker{MARKER, "", line_, column()};
        const bool lineStart = atLineStart();
        pos_ += 2;
        size_t p = pos_;
        while (p < text_.size() && blank(text_[p])) ++p;
        const bool isMarker = lineStart && text_.compare(p, 5, "layer") == 0 &&
                              (p + 5 >= text_.size() || blank(text_[p + 5]) || text_[p + 5] == '\n');
        if (lineStart && text_.compare(p, BYPASS_MARK.size(), BYPASS_MARK) == 0) {
            size_t end = text_.find('\n', p);
            if (end == std::string::npos) end = text_.size();
            Token bypassed{BYPASSED, std::string(p + BYPASS_MARK.size() - lineStart_, ' '), line_, column() - 2};
            bypassed.text.append(text_, p + BYPASS_MARK.size(), end - p - BYPASS_MARK.size());
            pos_ = end;
            return bypassed;
        }
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

    // Skips blanks, line breaks and comments; returns a marker or a bypassed
    // record's line if one stands there.
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
                if (marker.kind != END) return marker;
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
        if (marker.kind != END) return marker;
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
    // The block without its bypassed entries, which stand in the programs.
    Extras header = document.extras;
    header.bypassed.clear();
    const std::string block = formatExtras(header);
    for (size_t p = 0; p < block.size();) {
        const size_t end = block.find('\n', p);
        text += "// " + block.substr(p, end - p) + "\n";
        p = end + 1;
    }
    for (int layer = 0; layer < tex::LAYER_COUNT; ++layer) {
        text += "// layer " + std::to_string(layer) + "\n";
        for (const AuthorRecord& record : authorProgram(document, layer)) {
            const std::string line = tex::exportSource(record.opcode, record.params);
            // An unassigned opcode prints as a blank, which no listing can hold.
            if (record.bypassed && line.find('(') != std::string::npos)
                text += "// " + BYPASS_MARK + " " + line + "\n";
            else if (!record.bypassed)
                text += line + "\n";
        }
    }
    return text;
}

std::string formatCppSource(const Document& document, const std::string& functionName) {
    const auto nameChar = [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
    };
    const bool identifier = !functionName.empty() && !(functionName[0] >= '0' && functionName[0] <= '9') &&
                            std::all_of(functionName.begin(), functionName.end(), nameChar);
    // The keywords of C++17 and the alternative tokens: names no function may have.
    static const char* const KEYWORDS[] = {
        "alignas", "alignof", "and", "and_eq", "asm", "auto", "bitand", "bitor", "bool", "break", "case", "catch",
        "char", "char16_t", "char32_t", "class", "compl", "const", "constexpr", "const_cast", "continue", "decltype",
        "default", "delete", "do", "double", "dynamic_cast", "else", "enum", "explicit", "export", "extern", "false",
        "float", "for", "friend", "goto", "if", "inline", "int", "long", "mutable", "namespace", "new", "noexcept",
        "not", "not_eq", "nullptr", "operator", "or", "or_eq", "private", "protected", "public", "register",
        "reinterpret_cast", "return", "short", "signed", "sizeof", "static", "static_assert", "static_cast", "struct",
        "switch", "template", "this", "thread_local", "throw", "true", "try", "typedef", "typeid", "typename", "union",
        "unsigned", "using", "virtual", "void", "volatile", "wchar_t", "while", "xor", "xor_eq", "main"};
    const bool keyword = std::any_of(std::begin(KEYWORDS), std::end(KEYWORDS),
                                     [&](const char* word) { return functionName == word; });
    if (!identifier || keyword) throw std::invalid_argument("not a C++ function name: \"" + functionName + "\"");
    std::string text =
        "// Builds the texture with direct engine calls, layer by layer in replay order.\n"
        "// Run tex::initLayers first; layer 4 then holds the texture.\n" +
        std::string(document.extras.designWidth || document.extras.designHeight
                        ? "// Designed at " + std::to_string(document.extras.designWidth) + "x" +
                              std::to_string(document.extras.designHeight) + ".\n"
                        : "") +
        "#include <limits>\n"
        "\n"
        "#include \"engine/engine.h\"\n"
        "\n"
        "void " + functionName + "() {\n";
    for (int layer = 0; layer < tex::LAYER_COUNT; ++layer) {
        text += "    // layer " + std::to_string(layer) + "\n";
        for (const AuthorRecord& record : authorProgram(document, layer)) {
            const float* p = record.params;
            const OperationInfo* row = tex::findOperation(record.opcode);
            if (!row) {
                if (!record.bypassed) text += "    // opcode " + std::to_string(record.opcode) + " does nothing\n";
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
            text += std::string(record.bypassed ? "    // bypassed: " : "    ") + "tex::" + row->name + "(" + arguments + ");\n";
        }
    }
    return text + "}\n";
}

namespace {

// A file's content, at most `limit` bytes and one more to tell a longer file.
std::string readContent(const std::string& fileName, size_t limit) {
    std::FILE* file = std::fopen(fileName.c_str(), "rb");
    if (!file) throw tex::IoError("Cannot read " + fileName + ": " + std::strerror(errno));
    std::string content;
    char buffer[65536];
    size_t got = 0;
    while (content.size() <= limit && (got = std::fread(buffer, 1, sizeof buffer, file)) > 0) content.append(buffer, got);
    const int error = std::ferror(file) ? errno : 0;
    std::fclose(file);
    if (error) throw tex::IoError("Cannot read " + fileName + ": " + std::strerror(error));
    return content;
}

// No document's extras come near this; a larger file is something else.
constexpr size_t CONTENT_LIMIT = 16 << 20;

}  // namespace

std::string documentBytes(const Document& document) {
    return std::string(reinterpret_cast<const char*>(document.programs), sizeof document.programs) +
           formatExtras(document.extras) + document.extras.trailing;
}

bool documentFromBytes(const std::string& bytes, Document& document) {
    if (bytes.size() < sizeof document.programs) return false;
    std::memcpy(document.programs, bytes.data(), sizeof document.programs);
    document.extras = parseExtras(bytes.substr(sizeof document.programs));
    return true;
}

// The document in a file's content; throws tex::IoError naming the file.
static Document documentFromContent(const std::string& content, const std::string& fileName) {
    Document document{};
    if (content.size() > CONTENT_LIMIT)
        throw tex::IoError("Cannot read " + fileName + ": it holds more than " + std::to_string(CONTENT_LIMIT) +
                           " bytes, far more than a texture document");
    // The programs are exactly this long; extras may follow them.
    if (!documentFromBytes(content, document))
        throw tex::IoError("Cannot read " + fileName + ": it holds " + std::to_string(content.size()) +
                           " bytes, but a texture document is exactly " + std::to_string(tex::DOCUMENT_SIZE) +
                           " bytes");
    return document;
}

Document readDocument(const std::string& fileName) {
    return documentFromContent(readContent(fileName, CONTENT_LIMIT), fileName);
}

void writeDocument(const Document& document, const std::string& fileName) {
    writeFileAtomically(fileName, documentBytes(document));
}

bool looksLikeDocument(const std::string& content) {
    // An empty file is a document cut short rather than a listing of nothing.
    if (content.empty() || content.find('\0') != std::string::npos) return true;
    if (content.size() < size_t(tex::DOCUMENT_SIZE)) return false;
    const auto control = [](unsigned char c) { return (c < 0x20 && !std::strchr("\t\n\v\f\r", c)) || c == 0x7f; };
    return std::any_of(content.begin(), content.begin() + tex::DOCUMENT_SIZE, control);
}

Document readDocumentOrListing(const std::string& fileName) {
    const std::string content = readContent(fileName, CONTENT_LIMIT);
    if (content.size() > CONTENT_LIMIT)
        throw tex::IoError("Cannot read " + fileName + ": it is neither a texture document nor a listing");
    return decodeDocumentOrListing(content, fileName);
}

Document decodeDocumentOrListing(const std::string& content, const std::string& fileName) {
    if (!looksLikeDocument(content)) return parseListing(content, fileName);
    return documentFromContent(content, fileName);
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
