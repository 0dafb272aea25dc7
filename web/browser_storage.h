// The web studio's storage: the session's files in the worker's memory. A
// file the author opens is put here first and a saved one is read back from
// here for the page to write or download; what outlives the tab is the whole
// session, which the worker keeps in IndexedDB after every edit.
#pragma once

#include <map>

#include "tools/studio/storage.h"

namespace studio {

class BrowserStorage : public Storage {
public:
    std::string where() const override { return "this browser"; }
    bool read(const std::string& name, std::string& content) override;
    void write(const std::string& name, const std::string& content) override;
    void remove(const std::string& name) override { files_.erase(name); }
    std::vector<std::string> list(size_t limit) override;
    // Nothing else writes here: a file changes only through this storage.
    bool changed(const std::string&) override { return false; }
    // One tab, one session: nothing to hold.
    void claim(const std::string&) override {}

private:
    std::map<std::string, std::string> files_;
};

}  // namespace studio
