// The document session: edits as whole-document changes with undo snapshots,
// files of the working folder, and the recovery file.
#include "tools/studio/session.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <filesystem>

#include "tools/texgen.h"

namespace studio {

namespace fs = std::filesystem;

namespace {

constexpr int MAX_RECORDS = tex::MAX_OPS;

bool same(const Document& a, const Document& b) { return a == b; }

std::string bytesOf(const Document& document) { return texlisting::documentBytes(document); }

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

void Session::open(const std::string& name) {
    Session opened(folder_, name);
    opened.revision_ = revision_ + 1;
    *this = std::move(opened);
}

void Session::newDocument(const Document& document) {
    const std::vector<std::string> taken = folder_.list();
    std::string name = "untitled.tex";
    for (int n = 2; std::find(taken.begin(), taken.end(), name) != taken.end() ||
                    std::find(taken.begin(), taken.end(), recoveryName(name)) != taken.end();
         ++n)
        name = "untitled-" + std::to_string(n) + ".tex";
    Session fresh(folder_, name);
    fresh.current_ = document;
    fresh.revision_ = revision_ + 1;
    fresh.recoveryOffered_ = false;
    *this = std::move(fresh);
    writeRecovery();
}

std::string Session::save(const std::string& requested, bool overwrite) {
    std::string name = requested.empty() ? name_ : requested;
    folder_.resolve(name);  // refuses "..", folder parts and the like before an extension is added
    if (fs::path(name).extension().empty()) name += ".tex";
    const std::string path = folder_.resolve(name);
    if (name != name_) checkPortableName(name);
    const std::string bytes =
        isDocumentName(name) ? bytesOf(current_) : texlisting::formatListing(current_);
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
