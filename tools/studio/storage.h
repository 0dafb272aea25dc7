// Where a studio session keeps its files: the working folder on disk for
// `texgen studio`, the browser's storage for the page's worker. The session
// names files by plain names (checked by studio::checkFileName before they
// get here) and knows nothing of paths, links or sockets; each storage makes
// its own writes atomic and refuses what it cannot hold safely.
//
// Every failure is an EditError whose what() is one sentence for the author.
#pragma once

#include <string>
#include <vector>

#include "tools/studio/arguments.h"

namespace studio {

// The file is held by another studio (see Storage::claim).
struct FileInUse : EditError {
    using EditError::EditError;
};

class Storage {
public:
    virtual ~Storage() = default;

    // Where the files are, as the author knows the place (a folder's path).
    virtual std::string where() const = 0;

    // The content of the file; false when there is none of that name.
    virtual bool read(const std::string& name, std::string& content) = 0;
    // Replaces the file's content with `content` at once: a reader, or a
    // crash at any moment, sees the old content or the new, never a mixture.
    virtual void write(const std::string& name, const std::string& content) = 0;
    // Removes the file if it is there.
    virtual void remove(const std::string& name) = 0;
    // The names of the files there, sorted, at most `limit` of them.
    virtual std::vector<std::string> list(size_t limit) = 0;
    // Whether the file holds other content than when this storage last read
    // or wrote it (or, never seen, whether it exists at all).
    virtual bool changed(const std::string& name) = 0;
    // Holds `name` for this session, so that no other studio edits the same
    // file, and lets go of the file held before; throws FileInUse when
    // another studio holds it. Anything left by a studio that ended while
    // writing the file is cleared away.
    virtual void claim(const std::string& name) = 0;
};

// The longest file name a session accepts, in bytes: room is left for the
// longest name a storage derives from it (a recovery file's temporary name).
constexpr size_t MAX_NAME_BYTES = 255 - sizeof ".recovery" - sizeof ".tmp-XXXXXX" + 2;

// Refuses (EditError) a name that is empty, too long, holds a NUL or another
// control character, a folder part, is "." or "..", or is a name the studio
// keeps for itself (a recovery file, a lock, a temporary file).
void checkFileName(const std::string& name);

// The name of the recovery file kept beside `name`.
std::string recoveryName(const std::string& name);

}  // namespace studio
