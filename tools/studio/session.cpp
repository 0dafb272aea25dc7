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

void copyRecord(tex::LayerProgram& program, std::bitset<tex::MAX_OPS>& bypass, int to, int from) {
    program.opcode[to] = program.opcode[from];
    std::memcpy(program.params[to], program.params[from], sizeof program.params[to]);
    bypass[to] = bypass[from];
}

// The freed entry beyond the count becomes zero, as a listing builds it.
void zeroRecord(tex::LayerProgram& program, std::bitset<tex::MAX_OPS>& bypass, int index) {
    program.opcode[index] = 0;
    std::memset(program.params[index], 0, sizeof program.params[index]);
    bypass[index] = false;
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
        current_.document = texlisting::readDocumentOrListing(path);
        onDisk_ = readFile(path, diskBytes_);
        openingWarnings_ = texgen::documentWarnings(current_.document);
    }
    saved_ = current_;
    try {
        const std::string recovery = folder_.resolve(recoveryName(name));
        if (fs::exists(recovery, ec)) {
            recovered_ = texlisting::readDocument(recovery);
            recoveryOffered_ = !same(recovered_, current_.document);
        }
    } catch (const std::exception&) {
        // An unreadable recovery file offers nothing; the next edit replaces it.
    }
}

bool Session::dirty() const {
    return !same(current_.document, saved_.document) || current_.bypass != saved_.bypass;
}

tex::LayerProgram& Session::program(Snapshot& snapshot, int layer, int index, bool existing) const {
    if (layer < 0 || layer >= tex::LAYER_COUNT)
        throw EditError("There is no layer " + std::to_string(layer) + ": the layers are 0 to 4.");
    tex::LayerProgram& program = snapshot.document.programs[layer];
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

void Session::change(int64_t base, const Snapshot& next, const std::string& dragKey) {
    checkRevision(base);
    if (same(next.document, current_.document) && next.bypass == current_.bypass) return;
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
    Snapshot next = current_;
    tex::LayerProgram& target = program(next, layer, index, false);
    const int count = texlisting::countedRecords(target);
    if (count >= MAX_RECORDS)
        throw EditError("Layer " + std::to_string(layer) + "'s program is full: a program holds at most " +
                        std::to_string(MAX_RECORDS) + " records.");
    for (int i = count; i > index; --i) copyRecord(target, next.bypass[layer], i, i - 1);
    target.opcode[index] = opcode;
    std::memcpy(target.params[index], params, sizeof target.params[index]);
    next.bypass[layer][index] = false;
    target.count = count + 1;
    change(base, next, "");
}

void Session::duplicateRecord(int64_t base, int layer, int index) {
    Snapshot next = current_;
    const tex::LayerProgram& source = program(next, layer, index, true);
    float params[10];
    std::memcpy(params, source.params[index], sizeof params);
    const int32_t opcode = source.opcode[index];
    if (!tex::findOperation(opcode)) throw EditError("A record of an unassigned opcode cannot be duplicated.");
    insertRecord(base, layer, index + 1, opcode, params);
}

void Session::deleteRecord(int64_t base, int layer, int index) { deleteRecords(base, layer, index, 1); }

void Session::deleteRecords(int64_t base, int layer, int index, int count) {
    Snapshot next = current_;
    tex::LayerProgram& target = program(next, layer, index, true);
    const int total = texlisting::countedRecords(target);
    if (count < 1 || count > total - index)
        throw EditError("Layer " + std::to_string(layer) + " has no records " + std::to_string(index) + " to " +
                        std::to_string(index + count - 1) + ": reload the page to see the current document.");
    for (int i = index; i + count < total; ++i) copyRecord(target, next.bypass[layer], i, i + count);
    for (int i = total - count; i < total; ++i) zeroRecord(target, next.bypass[layer], i);
    target.count = total - count;
    change(base, next, "");
}

void Session::moveRecord(int64_t base, int layer, int index, int to) {
    Snapshot next = current_;
    tex::LayerProgram& target = program(next, layer, index, true);
    program(next, layer, to, true);
    tex::LayerProgram moved = target;
    const bool movedOff = next.bypass[layer][index];
    const int step = to > index ? 1 : -1;
    for (int i = index; i != to; i += step) copyRecord(target, next.bypass[layer], i, i + step);
    target.opcode[to] = moved.opcode[index];
    std::memcpy(target.params[to], moved.params[index], sizeof target.params[to]);
    next.bypass[layer][to] = movedOff;
    change(base, next, "");
}

void Session::setBypass(int64_t base, int layer, int index, bool bypassed) {
    Snapshot next = current_;
    program(next, layer, index, true);
    next.bypass[layer][index] = bypassed;
    change(base, next, "");
}

void Session::clearLayer(int64_t base, int layer) {
    Snapshot next = current_;
    tex::LayerProgram& target = program(next, layer, 0, false);
    for (int i = 0; i < texlisting::countedRecords(target); ++i) zeroRecord(target, next.bypass[layer], i);
    target.count = 0;
    change(base, next, "");
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
    Snapshot next = current_;
    tex::LayerProgram& target = program(next, layer, index, false);
    const int count = texlisting::countedRecords(target);
    int added = 0;
    for (const tex::LayerProgram& source : pasted.programs) added += texlisting::countedRecords(source);
    if (added == 0) throw EditError("The pasted text holds no listing lines, such as blurLayer(0,0);.");
    if (count + added > MAX_RECORDS)
        throw EditError("Layer " + std::to_string(layer) + "'s program has room for " +
                        std::to_string(MAX_RECORDS - count) + " more records, not the " + std::to_string(added) +
                        " pasted.");
    for (int i = count - 1; i >= index; --i) copyRecord(target, next.bypass[layer], i + added, i);
    int at = index;
    for (const tex::LayerProgram& source : pasted.programs)
        for (int i = 0; i < texlisting::countedRecords(source); ++i, ++at) {
            target.opcode[at] = source.opcode[i];
            std::memcpy(target.params[at], source.params[i], sizeof target.params[at]);
            next.bypass[layer][at] = false;
        }
    target.count = count + added;
    change(base, next, "");
}

void Session::setArgument(int64_t base, int layer, int index, int argument, const std::string& text,
                          const std::string& dragKey) {
    setArguments(base, layer, index, {{argument, text}}, dragKey);
}

void Session::setArguments(int64_t base, int layer, int index, const std::vector<std::pair<int, std::string>>& values,
                           const std::string& dragKey) {
    Snapshot next = current_;
    tex::LayerProgram& target = program(next, layer, index, true);
    for (const auto& [argument, text] : values) studio::setArgument(target.opcode[index], target.params[index], argument, text);
    change(base, next, dragKey);
}

void Session::replaceDocument(int64_t base, const Document& document) { change(base, Snapshot{document, {}}, ""); }

// Undo and redo move the current document onto one stack and take the other's top.
void Session::restore(int64_t base, std::vector<Snapshot>& from, std::vector<Snapshot>& to, const char* nothing) {
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
        change(base, Snapshot{recovered_, {}}, "");
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
    fresh.current_.document = document;
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
        isDocumentName(name) ? bytesOf(current_.document) : texlisting::formatListing(current_.document);
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
            texlisting::writeFileAtomically(recovery, bytesOf(current_.document));
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
