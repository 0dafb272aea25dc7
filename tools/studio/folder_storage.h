// A session's storage in a folder on disk, the working folder of `texgen
// studio`: the only place the studio reads or writes.
//
// - Only regular files are read or replaced: folders, devices and pipes are
//   refused with a sentence, and opened without waiting (a pipe without a
//   writer never blocks the studio).
// - A symbolic link is followed for reading only to a file of the folder
//   itself; a link leading anywhere else is refused. Nothing is ever written
//   through a link: a save renames a new file over the name.
// - A write goes to a fresh temporary file NAME.tmp-XXXXXX, created
//   exclusively (never a file or link already there), flushed to the disk,
//   renamed over NAME, and the folder flushed, so that a crash leaves the old
//   content or the new.
// - claim() holds NAME.lock with flock, which the kernel lets go when the
//   process ends in any way, and clears temporary files a killed studio left
//   for NAME and its recovery file.
#pragma once

#include <map>

#include "tools/studio/storage.h"

namespace studio {

class FolderStorage : public Storage {
public:
    // Throws EditError when the folder cannot be opened.
    explicit FolderStorage(const std::string& folder);
    ~FolderStorage() override;
    FolderStorage(const FolderStorage&) = delete;
    FolderStorage& operator=(const FolderStorage&) = delete;

    std::string where() const override { return path_; }
    bool read(const std::string& name, std::string& content) override;
    void write(const std::string& name, const std::string& content) override;
    void remove(const std::string& name) override;
    std::vector<std::string> list(size_t limit) override;
    bool changed(const std::string& name) override;
    void claim(const std::string& name) override;

    // The largest file read: a listing of 500 records takes a few kB.
    static constexpr size_t MAX_FILE_BYTES = 16 << 20;

private:
    std::string linkTarget(const std::string& name) const;
    bool readContent(const std::string& name, std::string& content) const;
    void removeStale(const std::string& name) const;
    std::string freshSuffix();

    int folder_ = -1;  // the folder, opened once: every name is looked up in it
    std::string path_;
    std::map<std::string, std::string> seen_;  // content last read or written, by name
    std::string claimed_;
    int lock_ = -1;
    uint64_t random_ = 0;
};

}  // namespace studio
