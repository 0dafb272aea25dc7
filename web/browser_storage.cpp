#include "web/browser_storage.h"

namespace studio {

bool BrowserStorage::read(const std::string& name, std::string& content) {
    const auto found = files_.find(name);
    if (found == files_.end()) return false;
    content = found->second;
    return true;
}

void BrowserStorage::write(const std::string& name, const std::string& content) {
    checkFileName(name.size() > 9 && name.compare(name.size() - 9, 9, ".recovery") == 0 ? name.substr(0, name.size() - 9)
                                                                                      : name);
    files_[name] = content;
}

std::vector<std::string> BrowserStorage::list(size_t limit) {
    std::vector<std::string> names;
    for (const auto& file : files_) {
        if (names.size() >= limit) break;
        names.push_back(file.first);
    }
    return names;
}

}  // namespace studio
