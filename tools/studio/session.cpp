// The document session: edits as whole-document changes with undo snapshots,
// files of the working folder, and the recovery file.
#include "tools/studio/session.h"

#include <algorithm>
#include <cstring>
#include <filesystem>

#include "tools/texgen.h"

namespace studio {

namespace fs = std::filesystem;

namespace {

constexpr int MAX_RECORDS = tex::MAX_OPS;

bool same(const Document& a, const Document& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

std::string bytesOf(const Document& document) {
    return std::string(reinterpret_cast<const char*>(document.programs), sizeof document.programs);
}

// The content of a file, or nothing when it cannot be read.
bool readFile(const std::string& path, std::string& content) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) return false;
    content.clear();
    char buffer[65536];
    size_t got = 0;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) content.append(buffer, got);
    const bool ok = !std::ferror(file);
    std::fclose(file);
    return ok;
}

std::string lowerExtension(const std::string& name) {
    std::string extension = fs::path(name).extension().string();
    for (char& c : extension) c = char(std::tolower(static_cast<unsigned char>(c)));
    return extension;
}

void copyRecord(tex::LayerProgram& program, int to, int from) {
    program.opcode[to] = program.opcode[from];
    std::memcpy(program.params[to], program.params[from], sizeof program.params[to]);
}

}  // namespace

Folder::Folder(const std::string& folder) {
    std::error_code ec;
    const fs::path canonical = fs::canonical(folder.empty() ? "." : folder, ec);
    if (ec || !fs::is_directory(canonical, ec))
        throw EditError("The working folder " + folder + " cannot be opened: " + (ec ? ec.message() : "not a folder") + ".");
    path = canonical.string();
}

std::string Folder::resolve(const std::string& name) const {
    if (name.empty()) throw EditError("Give the file a name.");
    if (name.size() > 255) throw EditError("The file name is too long: at most 255 bytes.");
    if (name == "." || name == ".." || name.find_first_of(std::string("/\\\0", 3)) != std::string::npos)
        throw EditError("\"" + name + "\" is not a plain file name: the studio reads and writes only in its folder " +
                        path + ", so give a name without a folder part.");
    const fs::path file = fs::path(path) / name;
    std::error_code ec;
    if (fs::is_symlink(file, ec)) {
        const fs::path target = fs::weakly_canonical(file, ec);
        if (ec || target.parent_path() != fs::path(path))
            throw EditError(name + " is a symbolic link to a file outside the folder " + path +
                            ": choose another name.");
    }
    return file.string();
}

std::vector<std::string> Folder::list() const {
    std::vector<std::string> names;
    std::error_code ec;
    for (fs::directory_iterator entry(path, ec), end; !ec && entry != end && names.size() < 1000; entry.increment(ec)) {
        const std::string name = entry->path().filename().string();
        const std::string extension = lowerExtension(name);
        if (extension != ".tex" && extension != ".listing") continue;
        std::error_code status;
        if (!fs::is_regular_file(entry->path(), status)) continue;
        try {
            resolve(name);
            names.push_back(name);
        } catch (const EditError&) {
            // a link leading out of the folder is not offered
        }
    }
    std::sort(names.begin(), names.end());
    return names;
}

bool isDocumentName(const std::string& name) { return lowerExtension(name) == ".tex"; }

std::string recoveryName(const std::string& name) { return name + ".recovery"; }

Session::Session(const Folder& folder, const std::string& name) : folder_(folder), name_(name) {
    const std::string path = folder_.resolve(name);
    std::error_code ec;
    if (fs::exists(path, ec)) {
        current_ = texlisting::readDocumentOrListing(path);
        onDisk_ = readFile(path, diskBytes_);
        openingWarnings_ = texgen::documentWarnings(current_);
    }
    saved_ = current_;
    try {
        const std::string recovery = folder_.resolve(recoveryName(name));
        if (fs::exists(recovery, ec)) {
            recovered_ = texlisting::readDocument(recovery);
            recoveryOffered_ = !same(recovered_, current_);
        }
    } catch (const std::exception&) {
        // An unreadable recovery file offers nothing; the next edit replaces it.
    }
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

void Session::change(int64_t base, const Document& next, const std::string& dragKey) {
    checkRevision(base);
    if (same(next, current_)) return;
    if (dragKey.empty() || dragKey != lastDragKey_) undo_.push_back(current_);
    redo_.clear();
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

void Session::replaceDocument(int64_t base, const Document& document) { change(base, document, ""); }

// Undo and redo move the current document onto one stack and take the other's top.
void Session::restore(int64_t base, std::vector<Document>& from, std::vector<Document>& to, const char* nothing) {
    checkRevision(base);
    if (from.empty()) throw EditError(nothing);
    to.push_back(current_);
    current_ = from.back();
    from.pop_back();
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
    folder_.resolve(snapshot.name);
    name_ = snapshot.name;
    saved_ = snapshot.saved;
    current_ = snapshot.current;
    undo_ = snapshot.undo;
    redo_ = snapshot.redo;
    ++revision_;
    lastDragKey_.clear();
    recoveryOffered_ = false;
    openingWarnings_.clear();
    writeRecovery();
}

void Session::open(const std::string& name) {
    Session opened(folder_, name);
    opened.revision_ = revision_ + 1;
    *this = std::move(opened);
}

std::string Session::save(const std::string& requested, bool overwrite) {
    std::string name = requested.empty() ? name_ : requested;
    folder_.resolve(name);  // refuses "..", folder parts and the like before an extension is added
    if (fs::path(name).extension().empty()) name += ".tex";
    const std::string path = folder_.resolve(name);
    const std::string bytes = isDocumentName(name) ? bytesOf(current_) : texlisting::formatListing(current_);
    std::string onDisk;
    const bool exists = readFile(path, onDisk);
    if (!overwrite && exists) {
        if (name != name_)
            throw SaveConflict(name + " already exists. Save again to replace it.");
        if (!onDisk_ || onDisk != diskBytes_)
            throw SaveConflict(name + " changed on disk since it was opened or saved. Save again to overwrite it.");
    }
    texlisting::writeFileAtomically(path, bytes);
    if (name != name_) removeRecovery(name_);
    name_ = name;
    diskBytes_ = bytes;
    onDisk_ = true;
    saved_ = current_;
    recoveryOffered_ = false;
    removeRecovery(name_);
    return path;
}

void Session::writeRecovery() {
    recoveryProblem_.clear();
    try {
        const std::string recovery = folder_.resolve(recoveryName(name_));
        if (dirty())
            texlisting::writeFileAtomically(recovery, bytesOf(current_));
        else
            removeRecovery(name_);
    } catch (const std::exception& error) {
        recoveryProblem_ = std::string("Changes are not being kept in a recovery file: ") + error.what() + ".";
    }
}

void Session::removeRecovery(const std::string& name) const {
    std::error_code ec;
    try {
        fs::remove(folder_.resolve(recoveryName(name)), ec);
    } catch (const EditError&) {
        // a name too long for a recovery file has none
    }
}

}  // namespace studio
