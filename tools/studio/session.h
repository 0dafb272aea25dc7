// The studio's document session: the five layer programs being edited, their
// revisions, undo and redo, one undo step per drag, the file they belong to
// and the recovery file beside it, both kept in a Storage passed in (the
// session itself touches no file system and no socket).
//
// Every change goes through a method below, carries the revision it was made
// on and is refused (StaleRevision) when that is no longer the current one,
// so that two pages editing one session cannot overwrite each other unseen.
// Undo keeps each step as the bytes in which it differs from the next (an
// edit changes a few bytes of a 22 KB document), so restoring one is exact
// whatever the edit was; the steps of undo and redo together take at most
// HISTORY_BUDGET bytes, and the oldest steps go when they would take more.
// After every change the document is written to the recovery file, so that a
// killed studio loses at most the edit in flight.
//
// Not thread-safe: the server serialises calls.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <utility>
#include <vector>

#include "tools/listing.h"
#include "tools/studio/arguments.h"
#include "tools/studio/storage.h"

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

// Refuses with EditError a name that Windows or macOS cannot store, so that
// a saved document can travel: <>:"/\|?*, control characters, a trailing
// dot or space, and the reserved device names (CON, PRN, AUX, NUL, COM1..9,
// LPT1..9, with or without an extension).
void checkPortableName(const std::string& name);

// A document or listing file by its extension: ".tex" is a document.
bool isDocumentName(const std::string& name);

class Session {
public:
    // The memory undo and redo may take, in bytes.
    static constexpr size_t HISTORY_BUDGET = size_t(64) << 20;

    // Opens `name` in the storage if it exists (a document or a listing, told
    // apart by content); otherwise starts an empty document that the first
    // save creates, and claims the file. Throws EditError for a bad name or a
    // file that cannot be read, FileInUse when another studio holds it,
    // tex::IoError or texlisting::ListingError for content that is not a
    // document. The storage must outlive the session.
    Session(Storage& storage, const std::string& name);

    // The document: its programs hold the records replayed, its extras the
    // bypassed ones (texlisting::authorProgram gives a program as the author
    // sees it). Record indices below count both, in the author's order.
    const Document& document() const { return current_; }
    int64_t revision() const { return revision_; }
    const std::string& name() const { return name_; }
    Storage& storage() const { return *storage_; }
    // The documents (.tex) and listings (.listing) of the storage, by name.
    std::vector<std::string> files() const;
    // The bytes undo and redo take now.
    size_t historyBytes() const { return historyBytes_; }
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
    // Deletes `count` records from index on, as one undo step.
    void deleteRecords(int64_t base, int layer, int index, int count);
    void moveRecord(int64_t base, int layer, int index, int to);
    // Switches a record off (bypassed: kept in the program as the author sees
    // it, replayed by nothing) or on again.
    void setBypass(int64_t base, int layer, int index, bool bypassed);
    // Removes every record of a layer's program.
    void clearLayer(int64_t base, int layer);
    // Inserts the records of listing text (source lines, with or without
    // layer markers; the records of every layer in order) at `index`.
    // Throws EditError when the text holds no record, a line the listing
    // reader refuses, or more records than the program has room for.
    void pasteRecords(int64_t base, int layer, int index, const std::string& listing);
    // Sets one argument (see studio::setArgument). Consecutive calls with the
    // same non-empty drag key make one undo step.
    void setArgument(int64_t base, int layer, int index, int argument, const std::string& text,
                     const std::string& dragKey = "");
    // Sets several arguments of one record as one change (a colour's three).
    void setArguments(int64_t base, int layer, int index, const std::vector<std::pair<int, std::string>>& values,
                      const std::string& dragKey = "");
    // Sets the size the document is designed and judged at (an edit like any
    // other, undone with them). Throws EditError for a size no tool can use.
    void setDesignSize(int64_t base, int32_t width, int32_t height);
    // Replaces the whole document, e.g. from a link.
    void replaceDocument(int64_t base, const Document& document);
    void undo(int64_t base);
    void redo(int64_t base);

    // Restores the recovery file's document (one undo step back to the file)
    // or discards the recovery file.
    void resolveRecovery(int64_t base, bool restore);

    // One undo or redo step: the runs of bytes (offset, bytes) that turn the
    // document it is applied to into the one it restores.
    using Step = std::vector<std::pair<uint32_t, std::string>>;

    // The whole session as a browser keeps it between visits: the file's
    // name, the document as last opened or saved, the current document and
    // the undo and redo steps (oldest first).
    struct Snapshot {
        std::string name;
        Document saved{}, current{};
        std::deque<Step> undo, redo;
    };
    Snapshot snapshot() const;
    // Continues a snapshot's session (documents and history) on the next
    // revision. Throws EditError for a bad name or a step outside a document.
    void resume(const Snapshot& snapshot);

    // Opens another file of the folder, with a fresh undo history.
    void open(const std::string& name);
    // Starts a new document, not yet on disk, under an unused name
    // ("untitled.tex", "untitled-2.tex", ...), with a fresh undo history:
    // empty, or holding `document` (an example's copy, unsaved).
    void newDocument(const Document& document = {});
    // Writes the document to `name` (empty: the current name; without an
    // extension ".tex" is added), as a document or a listing by its
    // extension, atomically; the session then belongs to that file and the
    // recovery file goes. Throws SaveConflict unless `overwrite` when that
    // would replace content not seen (the file changed, or "Save as" names an
    // existing file or one with a recovery file). Returns the name written.
    std::string save(const std::string& name, bool overwrite);

private:
    using AuthorRecord = texlisting::AuthorRecord;
    // A layer's records as the author sees them; EditError for a layer or
    // index (an existing record's, or a place to insert at) not in it.
    std::vector<AuthorRecord> records(int layer, int index, bool existing) const;
    void changeProgram(int64_t base, int layer, const std::vector<AuthorRecord>& records, const std::string& dragKey = "");
    void checkRevision(int64_t base) const;
    void restore(int64_t base, std::deque<Step>& from, std::deque<Step>& to, const char* nothing);
    void change(int64_t base, const Document& next, const std::string& dragKey);
    void push(std::deque<Step>& stack, Step step);
    void clearRedo();
    void writeRecovery();
    void removeRecovery(const std::string& name);

    Storage* storage_;
    std::string name_;
    Document current_{}, saved_{}, recovered_{};
    int64_t revision_ = 1;
    std::deque<Step> undo_, redo_;  // oldest first, next to apply last
    size_t historyBytes_ = 0;
    std::string lastDragKey_;
    std::vector<std::string> openingWarnings_;
    bool recoveryOffered_ = false;
    std::string recoveryProblem_;
};

}  // namespace studio
