// The working folder as a session's storage: every name is looked up in the
// folder's own descriptor (openat and friends), so that a renamed or replaced
// path above it changes nothing, and every open is O_NOFOLLOW.
#include "tools/studio/folder_storage.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <random>
#include <utility>

namespace studio {

namespace {

const char TEMPORARY_MARK[] = ".tmp-";
constexpr int SUFFIX_LETTERS = 6;

std::string reason() { return std::strerror(errno); }

// Closes a descriptor when it goes out of scope.
struct Descriptor {
    int fd;
    explicit Descriptor(int fd) : fd(fd) {}
    ~Descriptor() {
        if (fd >= 0) ::close(fd);
    }
    int release() { return std::exchange(fd, -1); }
};

EditError notRegular(const std::string& name) {
    return EditError(name + " is not a plain file (it is a folder, a device or a pipe): the studio reads and writes "
                            "only plain files, so choose another name.");
}

bool writeAll(int fd, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t wrote = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (wrote < 0 && errno == EINTR) continue;
        if (wrote <= 0) return false;
        done += size_t(wrote);
    }
    return true;
}

}  // namespace

FolderStorage::FolderStorage(const std::string& folder) {
    const std::string given = folder.empty() ? "." : folder;
    folder_ = ::open(given.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    std::error_code ec;
    const std::filesystem::path canonical = std::filesystem::canonical(given, ec);
    if (folder_ < 0 || ec) {
        const std::string why = folder_ < 0 ? reason() : ec.message();
        if (folder_ >= 0) ::close(folder_);
        throw EditError("The working folder " + given + " cannot be opened: " + why + ".");
    }
    path_ = canonical.string();
    std::random_device device;
    random_ = (uint64_t(device()) << 32) ^ device() ^ uint64_t(::getpid());
}

FolderStorage::~FolderStorage() {
    if (lock_ >= 0) {
        // Removed while still held, so that no other studio can hold a file about to vanish.
        ::unlinkat(folder_, (claimed_ + ".lock").c_str(), 0);
        ::close(lock_);
    }
    ::close(folder_);
}

// The name a link stands for when it leads to a file of this folder: a plain
// name, or an absolute path into the folder. Other names are themselves.
std::string FolderStorage::linkTarget(const std::string& name) const {
    struct stat status {};
    if (::fstatat(folder_, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISLNK(status.st_mode)) return name;
    char buffer[4096];
    const ssize_t length = ::readlinkat(folder_, name.c_str(), buffer, sizeof buffer - 1);
    std::string target = length > 0 ? std::string(buffer, size_t(length)) : std::string();
    const std::string inside = path_ + "/";
    if (target.rfind(inside, 0) == 0) target.erase(0, inside.size());
    if (target.empty() || target.find('/') != std::string::npos || target == "." || target == "..")
        throw EditError(name + " is a symbolic link to a file outside the folder " + path_ + ": choose another name.");
    return target;
}

bool FolderStorage::readContent(const std::string& name, std::string& content) const {
    const std::string target = linkTarget(name);
    struct stat status {};
    if (::fstatat(folder_, target.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT) return false;  // also a link to nothing
        throw EditError("Cannot read " + name + ": " + reason() + ".");
    }
    if (S_ISLNK(status.st_mode))
        throw EditError(name + " is a symbolic link to another link: link to the file itself.");
    if (!S_ISREG(status.st_mode)) throw notRegular(name);
    // Non-blocking and checked again once open: what was a file a moment ago may be a pipe now.
    Descriptor file(::openat(folder_, target.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC));
    if (file.fd < 0) throw EditError("Cannot read " + name + ": " + reason() + ".");
    if (::fstat(file.fd, &status) != 0 || !S_ISREG(status.st_mode)) throw notRegular(name);
    if (size_t(status.st_size) > MAX_FILE_BYTES)
        throw EditError(name + " is larger than 16 MiB: it is neither a texture document nor a listing.");
    content.clear();
    char buffer[65536];
    for (;;) {
        const ssize_t got = ::read(file.fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) throw EditError("Cannot read " + name + ": " + reason() + ".");
        if (got == 0) break;
        content.append(buffer, size_t(got));
        if (content.size() > MAX_FILE_BYTES)
            throw EditError(name + " is larger than 16 MiB: it is neither a texture document nor a listing.");
    }
    return true;
}

bool FolderStorage::read(const std::string& name, std::string& content) {
    if (!readContent(name, content)) return false;
    seen_[name] = content;
    return true;
}

std::string FolderStorage::freshSuffix() {
    static const char letters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::string suffix = TEMPORARY_MARK;
    for (int i = 0; i < SUFFIX_LETTERS; ++i) {
        random_ = random_ * 6364136223846793005u + 1442695040888963407u;
        suffix += letters[(random_ >> 33) % 36];
    }
    return suffix;
}

void FolderStorage::write(const std::string& name, const std::string& content) {
    struct stat status {};
    if (::fstatat(folder_, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0) {
        if (S_ISLNK(status.st_mode))
            linkTarget(name);  // a link leading out is refused; one inside is replaced by the file
        else if (!S_ISREG(status.st_mode))
            throw notRegular(name);
    }
    std::string temporary;
    Descriptor file(-1);
    for (int attempt = 0; attempt < 100 && file.fd < 0; ++attempt) {
        temporary = name + freshSuffix();
        file.fd = ::openat(folder_, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (file.fd < 0 && errno != EEXIST) break;
    }
    if (file.fd < 0) throw EditError("Cannot write " + name + " in " + path_ + ": " + reason() + ".");
    const auto fail = [&](const std::string& why) {
        ::unlinkat(folder_, temporary.c_str(), 0);
        throw EditError("Cannot write " + name + " in " + path_ + ": " + why + ".");
    };
    if (!writeAll(file.fd, content) || ::fsync(file.fd) != 0) fail(reason());
    if (::close(file.release()) != 0) fail(reason());
    if (::renameat(folder_, temporary.c_str(), folder_, name.c_str()) != 0) fail(reason());
    ::fsync(folder_);  // the rename itself survives a power cut
    seen_[name] = content;
}

void FolderStorage::remove(const std::string& name) {
    struct stat status {};
    if (::fstatat(folder_, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0 || S_ISDIR(status.st_mode)) return;
    if (::unlinkat(folder_, name.c_str(), 0) == 0) ::fsync(folder_);
    seen_.erase(name);
}

std::vector<std::string> FolderStorage::list(size_t limit) {
    std::vector<std::string> names;
    const int copy = ::dup(folder_);
    DIR* entries = copy >= 0 ? ::fdopendir(copy) : nullptr;
    if (!entries) {
        if (copy >= 0) ::close(copy);
        return names;
    }
    ::rewinddir(entries);
    while (const dirent* entry = ::readdir(entries)) {
        if (names.size() >= limit) break;
        const std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        try {
            struct stat status {};
            const std::string target = linkTarget(name);
            if (::fstatat(folder_, target.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(status.st_mode))
                names.push_back(name);
        } catch (const EditError&) {
            // a link leading out of the folder is not offered
        }
    }
    ::closedir(entries);
    std::sort(names.begin(), names.end());
    return names;
}

bool FolderStorage::changed(const std::string& name) {
    std::string now;
    bool exists = false;
    try {
        exists = readContent(name, now);
    } catch (const EditError&) {
        return true;  // something there that is not a readable file
    }
    const auto seen = seen_.find(name);
    return exists && (seen == seen_.end() || seen->second != now);
}

void FolderStorage::claim(const std::string& name) {
    if (lock_ >= 0 && name == claimed_) return;
    const std::string lockName = name + ".lock";
    int fd = -1;
    // A studio that ends removes its lock file while holding it; one that
    // opened the file just before then holds a name that is gone, and tries again.
    for (int attempt = 0; attempt < 10 && fd < 0; ++attempt) {
        fd = ::openat(folder_, lockName.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
        if (fd < 0) throw EditError("Cannot create the lock file " + lockName + " in " + path_ + ": " + reason() + ".");
        struct stat held {}, named {};
        if (::fstat(fd, &held) != 0 || !S_ISREG(held.st_mode)) {
            ::close(fd);
            throw notRegular(lockName);
        }
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            ::close(fd);
            throw FileInUse(name + " is open in another texgen studio: edit it there, or stop that studio first.");
        }
        if (::fstatat(folder_, lockName.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 || named.st_ino != held.st_ino ||
            named.st_dev != held.st_dev) {
            ::close(fd);
            fd = -1;
        }
    }
    if (fd < 0) throw FileInUse(name + " is open in another texgen studio: edit it there, or stop that studio first.");
    removeStale(name);
    removeStale(recoveryName(name));
    if (lock_ >= 0) {
        ::unlinkat(folder_, (claimed_ + ".lock").c_str(), 0);
        ::close(lock_);
    }
    lock_ = fd;
    claimed_ = name;
}

// Removes NAME.tmp-XXXXXX (this storage's temporary files) and NAME.tmpN
// (those of texgen's own atomic writes) left behind when a process ended
// between creating and renaming one.
void FolderStorage::removeStale(const std::string& name) const {
    const int copy = ::dup(folder_);
    DIR* entries = copy >= 0 ? ::fdopendir(copy) : nullptr;
    if (!entries) {
        if (copy >= 0) ::close(copy);
        return;
    }
    ::rewinddir(entries);
    std::vector<std::string> stale;
    const std::string prefix = name + ".tmp";
    while (const dirent* entry = ::readdir(entries)) {
        const std::string entryName = entry->d_name;
        if (entryName.size() <= prefix.size() || entryName.compare(0, prefix.size(), prefix) != 0) continue;
        const std::string rest = entryName.substr(prefix.size());
        const bool ours = rest.size() == SUFFIX_LETTERS + 1 && rest[0] == '-' &&
                          std::all_of(rest.begin() + 1, rest.end(), [](char c) { return std::isalnum((unsigned char)c); });
        const bool numbered = rest.size() <= 9 && std::all_of(rest.begin(), rest.end(), [](char c) { return std::isdigit((unsigned char)c); });
        if (ours || numbered) stale.push_back(entryName);
    }
    ::closedir(entries);
    for (const std::string& entryName : stale) {
        struct stat status {};
        if (::fstatat(folder_, entryName.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 &&
            (S_ISREG(status.st_mode) || S_ISLNK(status.st_mode)))
            ::unlinkat(folder_, entryName.c_str(), 0);
    }
}

}  // namespace studio
