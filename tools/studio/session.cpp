// The document session: edits as whole-document changes with undo steps
// kept as differences, the session's file and its recovery file in the
// storage passed in.
#include "tools/studio/session.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "tools/texgen.h"

namespace studio {

namespace {

constexpr int MAX_RECORDS = tex::MAX_OPS;
// What a step costs besides its bytes: its place in the deque, each run's
// vector entry and string.
constexpr size_t STEP_OVERHEAD = 64, RUN_OVERHEAD = 48;

bool same(const Document& a, const Document& b) { return a == b; }

std::string bytesOf(const Document& document) { return texlisting::documentBytes(document); }

std::string lowerExtension(const std::string& name) {
    const size_t dot = name.rfind('.');
    std::string extension = dot == std::string::npos || dot == 0 ? std::string() : name.substr(dot);
    for (char& c : extension) c = char(std::tolower(static_cast<unsigned char>(c)));
    return extension;
}

bool endsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

bool validUtf8(const std::string& text) {
    for (size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        const size_t length = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        if (length == 0 || i + length > text.size()) return false;
        uint32_t point = length == 1 ? c : c & (0x7f >> length);
        for (size_t k = 1; k < length; ++k) {
            const unsigned char next = static_cast<unsigned char>(text[i + k]);
            if ((next >> 6) != 2) return false;
            point = point << 6 | (next & 0x3f);
        }
        static const uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
        if (point < least[length] || point > 0x10ffff || (point >= 0xd800 && point < 0xe000)) return false;
        i += length;
    }
    return true;
}

// Whether a line is a layer marker as the listing reader takes it: a line
// comment at the start of its line whose text begins "layer N".
bool isLayerMarker(const std::string& line) {
    size_t at = line.find_first_not_of(" \t");
    if (at == std::string::npos || line.compare(at, 2, "//") != 0) return false;
    at = line.find_first_not_of(" \t", at + 2);
    if (at == std::string::npos || line.compare(at, 5, "layer") != 0) return false;
    at = line.find_first_not_of(" \t", at + 5);
    return at != std::string::npos && std::isdigit(static_cast<unsigned char>(line[at]));
}

// A step's run that holds the whole extras block of its document, not bytes of the programs.
constexpr uint32_t EXTRAS_RUN = UINT32_MAX;

std::string extrasOf(const Document& document) {
    return texlisting::formatExtras(document.extras) + document.extras.trailing;
}

// The runs of `to`'s program bytes where they differ from `from`'s;
// differences closer than a run's overhead share one run. Changed extras
// (small) come whole in a run of their own.
std::vector<std::pair<uint32_t, std::string>> difference(const Document& from, const Document& to) {
    const char* a = reinterpret_cast<const char*>(from.programs);
    const char* b = reinterpret_cast<const char*>(to.programs);
    std::vector<std::pair<uint32_t, std::string>> runs;
    const std::string extras = extrasOf(to);
    if (extras != extrasOf(from)) runs.emplace_back(EXTRAS_RUN, extras);
    const size_t size = sizeof from.programs;
    for (size_t i = 0; i < size;) {
        if (a[i] == b[i]) {
            ++i;
            continue;
        }
        size_t end = i + 1, same = 0;
        for (size_t k = end; k < size && same < RUN_OVERHEAD; ++k) {
            if (a[k] != b[k]) {
                end = k + 1;
                same = 0;
            } else {
                ++same;
            }
        }
        runs.emplace_back(uint32_t(i), std::string(b + i, end - i));
        i = end;
    }
    return runs;
}

Document applied(Document document, const std::vector<std::pair<uint32_t, std::string>>& step) {
    char* bytes = reinterpret_cast<char*>(document.programs);
    for (const auto& run : step) {
        if (run.first == EXTRAS_RUN)
            document.extras = texlisting::parseExtras(run.second);
        else
            std::memcpy(bytes + run.first, run.second.data(), run.second.size());
    }
    return document;
}

size_t cost(const std::vector<std::pair<uint32_t, std::string>>& step) {
    size_t bytes = STEP_OVERHEAD;
    for (const auto& run : step) bytes += RUN_OVERHEAD + run.second.size();
    return bytes;
}

}  // namespace

void checkFileName(const std::string& name) {
    if (name.empty()) throw EditError("Give the file a name.");
    // Nothing of the name goes into these messages: it may hold anything.
    if (name.find('\0') != std::string::npos) throw EditError("A file name cannot hold a NUL character.");
    if (std::any_of(name.begin(), name.end(), [](char c) { return (unsigned char)c < 0x20 || c == 0x7f; }))
        throw EditError("A file name cannot hold control characters such as line breaks or tabs.");
    if (name.size() > MAX_NAME_BYTES)
        throw EditError("The file name is too long: at most " + std::to_string(MAX_NAME_BYTES) + " bytes.");
    if (name == "." || name == ".." || name.find_first_of("/\\") != std::string::npos)
        throw EditError("\"" + name + "\" is not a plain file name: the studio reads and writes only in its folder, "
                        "so give a name without a folder part.");
    std::string lower = name;
    for (char& c : lower) c = char(std::tolower(static_cast<unsigned char>(c)));
    if (endsWith(lower, ".recovery") || endsWith(lower, ".lock") || lowerExtension(lower).rfind(".tmp", 0) == 0)
        throw EditError(name + " is a name the studio keeps for its own files (recovery, lock and temporary "
                               "files): choose another name.");
}

std::string recoveryName(const std::string& name) { return name + ".recovery"; }

bool isDocumentName(const std::string& name) { return lowerExtension(name) == ".tex"; }

void checkPortableName(const std::string& name) {
    const auto refuse = [&](const std::string& why) {
        throw EditError("\"" + name + "\" cannot be a file name on every system: " + why + "; choose another name.");
    };
    for (unsigned char c : name) {
        if (c < 32 || c == 127) refuse("it holds a control character");
        if (std::strchr("<>:\"/\\|?*", c)) refuse(std::string("it holds ") + char(c));
    }
    if (!name.empty() && (name.back() == '.' || name.back() == ' ')) refuse("it ends in a dot or a space");
    std::string device = name.substr(0, name.find('.'));
    while (!device.empty() && device.back() == ' ') device.pop_back();
    for (char& c : device) c = char(std::toupper(static_cast<unsigned char>(c)));
    static const char* const RESERVED[] = {"CON", "PRN", "AUX", "NUL"};
    bool reserved = std::find_if(std::begin(RESERVED), std::end(RESERVED),
                                 [&](const char* r) { return device == r; }) != std::end(RESERVED);
    if (device.size() == 4 && (device.rfind("COM", 0) == 0 || device.rfind("LPT", 0) == 0) && device[3] >= '1' &&
        device[3] <= '9')
        reserved = true;
    if (reserved) refuse(device + " is a name Windows keeps for a device");
}

Session::Session(Storage& storage, const std::string& name) : storage_(&storage), name_(name) {
    checkFileName(name);
    std::string content;
    if (storage.read(name, content)) {
        current_ = texlisting::decodeDocumentOrListing(content, name);
        openingWarnings_ = texgen::documentWarnings(current_);
    }
    saved_ = current_;
    try {
        if (storage.read(recoveryName(name), content)) {
            recovered_ = texlisting::decodeDocumentOrListing(content, recoveryName(name));
            recoveryOffered_ = !same(recovered_, current_);
        }
    } catch (const std::exception&) {
        // An unreadable recovery file offers nothing; the next edit replaces it.
    }
    storage.claim(name);
}

std::vector<std::string> Session::files() const {
    std::vector<std::string> names;
    for (const std::string& name : storage_->list(10000)) {
        const std::string extension = lowerExtension(name);
        if (extension != ".tex" && extension != ".listing") continue;
        // A name the page cannot send back is not offered.
        if (!validUtf8(name) || names.size() >= 1000) continue;
        try {
            checkFileName(name);
            names.push_back(name);
        } catch (const EditError&) {
        }
    }
    return names;
}

bool Session::dirty() const {
    return !same(current_, saved_);
}

std::vector<texlisting::AuthorRecord> Session::records(int layer, int index, bool existing) const {
    if (layer < 0 || layer >= tex::LAYER_COUNT)
        throw EditError("There is no layer " + std::to_string(layer) + ": the layers are 0 to 4.");
    std::vector<AuthorRecord> records = texlisting::authorProgram(current_, layer);
    const int last = int(records.size()) - (existing ? 1 : 0);
    if (index < 0 || index > last)
        throw EditError("Layer " + std::to_string(layer) + " has no record " + std::to_string(index) +
                        ": reload the page to see the current document.");
    return records;
}

void Session::changeProgram(int64_t base, int layer, const std::vector<AuthorRecord>& records, const std::string& dragKey) {
    Document next = current_;
    try {
        texlisting::setAuthorProgram(next, layer, records);
    } catch (const std::invalid_argument&) {
        throw EditError("Layer " + std::to_string(layer) + "'s program is full: a program holds at most " +
                        std::to_string(MAX_RECORDS) + " records.");
    }
    change(base, next, dragKey);
}

void Session::checkRevision(int64_t base) const {
    if (base != revision_)
        throw StaleRevision("The document was changed in another window, so this change was not made; the page now "
                            "shows the current document.");
}

void Session::push(std::deque<Step>& stack, Step step) {
    historyBytes_ += cost(step);
    stack.push_back(std::move(step));
    // The oldest steps go first: those furthest back in undo, then in redo.
    while (historyBytes_ > HISTORY_BUDGET && (undo_.size() + redo_.size()) > 1) {
        std::deque<Step>& oldest = undo_.size() > (&stack == &undo_ ? 1u : 0u) ? undo_ : redo_;
        historyBytes_ -= cost(oldest.front());
        oldest.pop_front();
    }
}

void Session::clearRedo() {
    for (const Step& step : redo_) historyBytes_ -= cost(step);
    redo_.clear();
}

void Session::change(int64_t base, const Document& next, const std::string& dragKey) {
    checkRevision(base);
    if (same(next, current_)) return;
    if (dragKey.empty() || dragKey != lastDragKey_ || undo_.empty()) {
        push(undo_, difference(next, current_));
    } else {
        // The same drag: its one step goes back to where the drag began.
        const Document before = applied(current_, undo_.back());
        historyBytes_ -= cost(undo_.back());
        undo_.pop_back();
        push(undo_, difference(next, before));
    }
    clearRedo();
    current_ = next;
    ++revision_;
    lastDragKey_ = dragKey;
    recoveryOffered_ = false;
    writeRecovery();
}

void Session::insertRecord(int64_t base, int layer, int index, int32_t opcode, const float params[10]) {
    if (!tex::findOperation(opcode)) throw EditError("Opcode " + std::to_string(opcode) + " is not an operation.");
    std::vector<AuthorRecord> program = records(layer, index, false);
    AuthorRecord record;
    record.opcode = opcode;
    std::memcpy(record.params, params, sizeof record.params);
    program.insert(program.begin() + index, record);
    changeProgram(base, layer, program);
}

void Session::duplicateRecord(int64_t base, int layer, int index) {
    std::vector<AuthorRecord> program = records(layer, index, true);
    if (!tex::findOperation(program[size_t(index)].opcode))
        throw EditError("A record of an unassigned opcode cannot be duplicated.");
    program.insert(program.begin() + index + 1, program[size_t(index)]);
    changeProgram(base, layer, program);
}

void Session::deleteRecord(int64_t base, int layer, int index) { deleteRecords(base, layer, index, 1); }

void Session::deleteRecords(int64_t base, int layer, int index, int count) {
    std::vector<AuthorRecord> program = records(layer, index, true);
    if (count < 1 || count > int(program.size()) - index)
        throw EditError("Layer " + std::to_string(layer) + " has no records " + std::to_string(index) + " to " +
                        std::to_string(index + count - 1) + ": reload the page to see the current document.");
    program.erase(program.begin() + index, program.begin() + index + count);
    changeProgram(base, layer, program);
}

void Session::moveRecord(int64_t base, int layer, int index, int to) {
    std::vector<AuthorRecord> program = records(layer, index, true);
    records(layer, to, true);
    const AuthorRecord moved = program[size_t(index)];
    program.erase(program.begin() + index);
    program.insert(program.begin() + to, moved);
    changeProgram(base, layer, program);
}

void Session::setBypass(int64_t base, int layer, int index, bool bypassed) {
    std::vector<AuthorRecord> program = records(layer, index, true);
    program[size_t(index)].bypassed = bypassed;
    changeProgram(base, layer, program);
}

void Session::clearLayer(int64_t base, int layer) {
    records(layer, 0, false);
    changeProgram(base, layer, {});
}

void Session::pasteRecords(int64_t base, int layer, int index, const std::string& listing) {
    // Lines without a marker are the records of one program.
    bool marked = false;
    size_t begin = 0;
    while (begin < listing.size() && !marked) {
        const size_t end = std::min(listing.find('\n', begin), listing.size());
        marked = isLayerMarker(listing.substr(begin, end - begin));
        begin = end + 1;
    }
    Document pasted;
    try {
        pasted = texlisting::parseListing(marked ? listing : "// layer 0\n" + listing, "the pasted text");
    } catch (const texlisting::ListingError& error) {
        throw EditError("The pasted text is not listing lines: line " + std::to_string(error.line - (marked ? 0 : 1)) +
                        ", column " + std::to_string(error.column) + ": " + error.message + ".");
    }
    std::vector<AuthorRecord> program = records(layer, index, false);
    std::vector<AuthorRecord> added;
    for (int l = 0; l < tex::LAYER_COUNT; ++l)
        for (const AuthorRecord& record : texlisting::authorProgram(pasted, l)) added.push_back(record);
    if (added.empty()) throw EditError("The pasted text holds no listing lines, such as blurLayer(0,0);.");
    const auto replayed = [](const std::vector<AuthorRecord>& list) {
        return std::count_if(list.begin(), list.end(), [](const AuthorRecord& r) { return !r.bypassed; });
    };
    if (replayed(program) + replayed(added) > MAX_RECORDS || program.size() + added.size() > size_t(2 * MAX_RECORDS))
        throw EditError("Layer " + std::to_string(layer) + "'s program has room for " +
                        std::to_string(MAX_RECORDS - replayed(program)) + " more records, not the " +
                        std::to_string(added.size()) + " pasted.");
    program.insert(program.begin() + index, added.begin(), added.end());
    changeProgram(base, layer, program);
}

void Session::setArgument(int64_t base, int layer, int index, int argument, const std::string& text,
                          const std::string& dragKey) {
    setArguments(base, layer, index, {{argument, text}}, dragKey);
}

void Session::setArguments(int64_t base, int layer, int index, const std::vector<std::pair<int, std::string>>& values,
                           const std::string& dragKey) {
    std::vector<AuthorRecord> program = records(layer, index, true);
    AuthorRecord& record = program[size_t(index)];
    for (const auto& [argument, text] : values) studio::setArgument(record.opcode, record.params, argument, text);
    changeProgram(base, layer, program, dragKey);
}

void Session::setDesignSize(int64_t base, int32_t width, int32_t height) {
    Document next = current_;
    try {
        texlisting::setDesignSize(next, width, height);
    } catch (const std::invalid_argument& error) {
        throw EditError(error.what());
    }
    change(base, next, "");
}

void Session::replaceDocument(int64_t base, const Document& document) { change(base, document, ""); }

// Undo and redo take the top step of one stack and push its reverse on the other.
void Session::restore(int64_t base, std::deque<Step>& from, std::deque<Step>& to, const char* nothing) {
    checkRevision(base);
    if (from.empty()) throw EditError(nothing);
    const Document next = applied(current_, from.back());
    historyBytes_ -= cost(from.back());
    from.pop_back();
    push(to, difference(next, current_));
    current_ = next;
    ++revision_;
    lastDragKey_.clear();
    writeRecovery();
}

void Session::undo(int64_t base) { restore(base, undo_, redo_, "There is nothing to undo."); }
void Session::redo(int64_t base) { restore(base, redo_, undo_, "There is nothing to redo."); }

void Session::resolveRecovery(int64_t base, bool restore) {
    checkRevision(base);
    if (!recoveryOffered_) throw EditError("There is no recovered document to restore or discard.");
    recoveryOffered_ = false;
    if (restore)
        change(base, recovered_, "");
    else
        removeRecovery(name_);
}

Session::Snapshot Session::snapshot() const { return {name_, saved_, current_, undo_, redo_}; }

void Session::resume(const Snapshot& snapshot) {
    checkFileName(snapshot.name);
    size_t bytes = 0;
    for (const auto* stack : {&snapshot.undo, &snapshot.redo})
        for (const Step& step : *stack) {
            for (const auto& run : step)
                if (run.first != EXTRAS_RUN && (run.first > sizeof(Document::programs) ||
                                                run.second.size() > sizeof(Document::programs) - run.first))
                    throw EditError("The kept session is damaged: it was discarded.");
            bytes += cost(step);
        }
    name_ = snapshot.name;
    saved_ = snapshot.saved;
    current_ = snapshot.current;
    undo_ = snapshot.undo;
    redo_ = snapshot.redo;
    historyBytes_ = bytes;
    ++revision_;
    lastDragKey_.clear();
    recoveryOffered_ = false;
    openingWarnings_.clear();
    writeRecovery();
}

void Session::open(const std::string& name) {
    Session opened(*storage_, name);
    opened.revision_ = revision_ + 1;
    *this = std::move(opened);
}

void Session::newDocument(const Document& document) {
    const std::vector<std::string> taken = storage_->list(100000);
    std::string name = "untitled.tex";
    for (int n = 2; std::find(taken.begin(), taken.end(), name) != taken.end() ||
                    std::find(taken.begin(), taken.end(), recoveryName(name)) != taken.end();
         ++n)
        name = "untitled-" + std::to_string(n) + ".tex";
    Session fresh(*storage_, name);
    fresh.current_ = document;
    fresh.revision_ = revision_ + 1;
    fresh.recoveryOffered_ = false;
    *this = std::move(fresh);
    writeRecovery();
}

std::string Session::save(const std::string& requested, bool overwrite) {
    std::string name = requested.empty() ? name_ : requested;
    checkFileName(name);  // refuses "..", folder parts and the like before an extension is added
    if (lowerExtension(name).empty()) name += ".tex";
    checkFileName(name);
    const bool other = name != name_;
    if (other) checkPortableName(name);
    const std::string bytes = isDocumentName(name) ? bytesOf(current_) : texlisting::formatListing(current_);
    std::string existing;
    if (!overwrite && other && storage_->read(name, existing))
        throw SaveConflict(name + " already exists. Save again to replace it.");
    if (!overwrite && !other && storage_->changed(name))
        throw SaveConflict(name + " changed on disk since it was opened or saved. Save again to overwrite it.");
    if (!overwrite && other && storage_->read(recoveryName(name), existing))
        throw SaveConflict(name + " has a recovery file of unsaved changes made in another studio. Save again to "
                                  "replace both.");
    if (other) storage_->claim(name);
    try {
        storage_->write(name, bytes);
    } catch (...) {
        if (other) {
            try {
                storage_->claim(name_);
            } catch (const EditError&) {
                // the file saved before stays the session's all the same
            }
        }
        throw;
    }
    if (other) removeRecovery(name_);
    name_ = name;
    saved_ = current_;
    recoveryOffered_ = false;
    removeRecovery(name_);
    return name;
}

void Session::writeRecovery() {
    recoveryProblem_.clear();
    try {
        if (dirty())
            storage_->write(recoveryName(name_), bytesOf(current_));
        else
            removeRecovery(name_);
    } catch (const std::exception& error) {
        std::string why = error.what();
        if (!why.empty() && why.back() == '.') why.pop_back();
        recoveryProblem_ = "Changes are not being kept in a recovery file: " + why + ".";
    }
}

void Session::removeRecovery(const std::string& name) {
    try {
        storage_->remove(recoveryName(name));
    } catch (const EditError&) {
        // nothing to remove
    }
}

}  // namespace studio
