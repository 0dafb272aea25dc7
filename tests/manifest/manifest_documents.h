// The documents of the hash manifest, shared by the manifest check and the
// fallback counts: the shipped document, the gallery's starting documents,
// the docs examples, the fuzz seed corpus and 300 seeded random documents,
// each at its sizes; and the shipped document and the docs examples rendered
// keeping their design-size look.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "random_documents.h"

namespace textest {

struct Entry {
    std::string name;
    int32_t width, height;
    bool keepLook = false;  // rendered keeping the design size's look ("keep-look:" before the size)
    std::string key() const {
        return name + " " + (keepLook ? "keep-look:" : "") + std::to_string(width) + "x" + std::to_string(height);
    }
};

// Every entry, in the manifest's order.
std::vector<Entry> manifestEntries(const std::filesystem::path& source);

// The document an entry names ("random/N" or a file under source).
texlisting::Document loadEntry(const std::filesystem::path& source, const std::string& name);

}  // namespace textest
