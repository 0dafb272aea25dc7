// The document session: edits as whole-document changes with undo steps
// kept as differences, the session's file and its recovery file in the
// storage passed in.
#include "tools/studio/session.h"

#include <algorithm>
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

void copyRecord(tex::LayerProgram& program, int to, int from) {
    program.opcode[to] = program.opcode[from];
    std::memcpy(program.params[to], program.params[from], sizeof program.params[to]);
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

bool Session::dirty() const { return !same(current_, saved_); }

tex::LayerProgram& Session::program(Document& document, int layer, int index, bool existing) const {
    if (layer < 0 || layer >= tex::LAYER_COUNT)
        throw EditError("There is no layer " + std::to_string(layer) + ": the layers are 0 to 4.");
    tex::LayerProgram& program = document.programs[layer];
    const int count = texlisting::countedRecords(program);
    const int last = existing ? count - 1 : count;
    if (index < 0 || index > last)
        throw EditError("Layer " + std::to_string(layer) + " has no record " + std::to_string(index) +
                        ": reload the page to see the current document.");
    return program;
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
    Document next = current_;
    tex::LayerProgram& target = program(next, layer, index, false);
    const int count = texlisting::countedRecords(target);
    if (count >= MAX_RECORDS)
        throw EditError("Layer " + std::to_string(layer) + "'s program is full: a program holds at most " +
                        std::to_string(MAX_RECORDS) + " records.");
    for (int i = count; i > index; --i) copyRecord(target, i, i - 1);
    target.opcode[index] = opcode;
    std::memcpy(target.params[index], params, sizeof target.params[index]);
    target.count = count + 1;
    change(base, next, "");
}

void Session::duplicateRecord(int64_t base, int layer, int index) {
    Document next = current_;
    const tex::LayerProgram& source = program(next, layer, index, true);
    float params[10];
    std::memcpy(params, source.params[index], sizeof params);
    const int32_t opcode = source.opcode[index];
    if (!tex::findOperation(opcode)) throw EditError("A record of an unassigned opcode cannot be duplicated.");
    insertRecord(base, layer, index + 1, opcode, params);
}

void Session::deleteRecord(int64_t base, int layer, int index) {
    Document next = current_;
    tex::LayerProgram& target = program(next, layer, index, true);
    const int count = texlisting::countedRecords(target);
    for (int i = index; i + 1 < count; ++i) copyRecord(target, i, i + 1);
    // The freed entry beyond the count becomes zero, as a listing builds it.
    target.opcode[count - 1] = 0;
    std::memset(target.params[count - 1], 0, sizeof target.params[count - 1]);
    target.count = count - 1;
    change(base, next, "");
}

void Session::moveRecord(int64_t base, int layer, int index, int to) {
    Document next = current_;
    tex::LayerProgram& target = program(next, layer, index, true);
    program(next, layer, to, true);
    tex::LayerProgram moved = target;
    const int step = to > index ? 1 : -1;
    for (int i = index; i != to; i += step) copyRecord(target, i, i + step);
    target.opcode[to] = moved.opcode[index];
    std::memcpy(target.params[to], moved.params[index], sizeof target.params[to]);
    change(base, next, "");
}

void Session::setArgument(int64_t base, int layer, int index, int argument, const std::string& text,
                          const std::string& dragKey) {
    Document next = current_;
    tex::LayerProgram& target = program(next, layer, index, true);
    studio::setArgument(target.opcode[index], target.params[index], argument, text);
    change(base, next, dragKey);
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

std::string Session::save(const std::string& requested, bool overwrite) {
    std::string name = requested.empty() ? name_ : requested;
    checkFileName(name);  // refuses "..", folder parts and the like before an extension is added
    if (lowerExtension(name).empty()) name += ".tex";
    checkFileName(name);
    const std::string bytes = isDocumentName(name) ? bytesOf(current_) : texlisting::formatListing(current_);
    const bool other = name != name_;
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
