// The studio's document session: the five layer programs being edited, their
// revisions, whole-document undo and redo, one undo step per drag, the file
// they belong to in the working folder and the recovery file beside it.
//
// Every change goes through a method below, carries the revision it was made
// on and is refused (StaleRevision) when that is no longer the current one,
// so that two pages editing one session cannot overwrite each other unseen.
// Undo keeps whole documents (22 KB each): restoring one is exact, whatever
// the edit was. After every change the document is written to the recovery
// file, so that a killed studio loses at most the edit in flight.
//
// Not thread-safe: the server serialises calls.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/listing.h"
#include "tools/studio/arguments.h"

namespace studio {

using texlisting::Document;

// A change made on an older revision than the current one.
struct StaleRevision : EditError {
    using EditError::EditError;
};

// A save that would overwrite something unseen: the file changed on disk
// since it was opened or saved, or "Save as" names an existing file. Saving
// again with `overwrite` goes ahead.
struct SaveConflict : EditError {
    using EditError::EditError;
};

// The working folder: the only place the studio reads or writes.
struct Folder {
    std::string path;  // absolute, without symbolic links

    explicit Folder(const std::string& folder);
    // The path of a file named by the author. Refused with EditError: an
    // empty name, a folder part, "." or "..", a name longer than 255 bytes,
    // or a symbolic link that leads outside the folder.
    std::string resolve(const std::string& name) const;
    // The documents (.tex) and listings (.listing) in it, sorted by name.
    std::vector<std::string> list() const;
};

// A document or listing file by its extension: ".tex" is a document.
bool isDocumentName(const std::string& name);
// The name of the recovery file kept beside `name`.
std::string recoveryName(const std::string& name);

class Session {
public:
    // Opens `name` in the folder if it exists (a document or a listing, told
    // apart by content); otherwise starts an empty document that the first
    // save creates. Throws EditError for a bad name, tex::IoError or
    // texlisting::ListingError for a file that cannot be read.
    Session(const Folder& folder, const std::string& name);

    const Document& document() const { return current_; }
    int64_t revision() const { return revision_; }
    const std::string& name() const { return name_; }
    const Folder& folder() const { return folder_; }
    bool dirty() const;
    bool canUndo() const { return !undo_.empty(); }
    bool canRedo() const { return !redo_.empty(); }
    // The warnings `texgen info` prints for the document as opened.
    const std::vector<std::string>& openingWarnings() const { return openingWarnings_; }
    // A recovery file left by a studio that ended without saving, holding
    // another document than the file: offered once, until restored or discarded.
    bool recoveryOffered() const { return recoveryOffered_; }
    // Why the recovery file could not be written at the last change, or empty.
    const std::string& recoveryProblem() const { return recoveryProblem_; }

    // Record edits. A program's records are its first count entries, at most
    // MAX_OPS (a count outside 0..MAX_OPS counts as the nearest of these once
    // a record is inserted or removed). Entries freed at the end become zero,
    // and nothing else changes: a document keeps its bytes where it was not
    // edited. Inserting a generator keeps the records before it (unlike the
    // engine's appendOperation, which would empty the program).
    void insertRecord(int64_t base, int layer, int index, int32_t opcode, const float params[10]);
    void duplicateRecord(int64_t base, int layer, int index);
    void deleteRecord(int64_t base, int layer, int index);
    void moveRecord(int64_t base, int layer, int index, int to);
    // Sets one argument (see studio::setArgument). Consecutive calls with the
    // same non-empty drag key make one undo step.
    void setArgument(int64_t base, int layer, int index, int argument, const std::string& text,
                     const std::string& dragKey = "");
    // Replaces the whole document, e.g. from a link.
    void replaceDocument(int64_t base, const Document& document);
    void undo(int64_t base);
    void redo(int64_t base);

    // Restores the recovery file's document (one undo step back to the file)
    // or discards the recovery file.
    void resolveRecovery(int64_t base, bool restore);

    // The whole session as a browser keeps it between visits: the file's
    // name, the document as last opened or saved, the current document and
    // the undo and redo stacks.
    struct Snapshot {
        std::string name;
        Document saved{}, current{};
        std::vector<Document> undo, redo;
    };
    Snapshot snapshot() const;
    // Continues a snapshot's session (documents and history) on the next revision.
    void resume(const Snapshot& snapshot);

    // Opens another file of the folder, with a fresh undo history.
    void open(const std::string& name);
    // Writes the document to `name` (empty: the current name; without an
    // extension ".tex" is added), as a document or a listing by its
    // extension, atomically; the session then belongs to that file and the
    // recovery file goes. Throws SaveConflict unless `overwrite`. Returns the
    // path written.
    std::string save(const std::string& name, bool overwrite);

private:
    void checkRevision(int64_t base) const;
    void restore(int64_t base, std::vector<Document>& from, std::vector<Document>& to, const char* nothing);
    void change(int64_t base, const Document& next, const std::string& dragKey);
    void writeRecovery();
    void removeRecovery(const std::string& name) const;
    tex::LayerProgram& program(Document& document, int layer, int index, bool existing) const;

    Folder folder_;
    std::string name_;
    Document current_{}, saved_{}, recovered_{};
    std::string diskBytes_;  // the file's content when opened or saved
    bool onDisk_ = false;    // whether the file existed then
    int64_t revision_ = 1;
    std::vector<Document> undo_, redo_;
    std::string lastDragKey_;
    std::vector<std::string> openingWarnings_;
    bool recoveryOffered_ = false;
    std::string recoveryProblem_;
};

}  // namespace studio
