// A session's storage in memory: files as a map from name to content, for
// tests, fuzzing and hosts without a file system. Nothing survives it.
#pragma once

#include <map>

#include "tools/studio/storage.h"

namespace studio {

class MemoryStorage : public Storage {
public:
    std::string where() const override { return "memory"; }
    bool read(const std::string& name, std::string& content) override {
        const auto found = files.find(name);
        if (found == files.end()) return false;
        content = found->second;
        seen_[name] = content;
        return true;
    }
    void write(const std::string& name, const std::string& content) override {
        files[name] = content;
        seen_[name] = content;
    }
    void remove(const std::string& name) override {
        files.erase(name);
        seen_.erase(name);
    }
    std::vector<std::string> list(size_t limit) override {
        std::vector<std::string> names;
        for (const auto& file : files)
            if (names.size() < limit) names.push_back(file.first);
        return names;
    }
    bool changed(const std::string& name) override {
        const auto file = files.find(name);
        const auto seen = seen_.find(name);
        return file != files.end() && (seen == seen_.end() || seen->second != file->second);
    }
    void claim(const std::string& name) override { claimed = name; }

    std::map<std::string, std::string> files;
    std::string claimed;

private:
    std::map<std::string, std::string> seen_;
};

}  // namespace studio
