// Files built into texgen: the studio's page (under "/"), the operation
// pictures (under "/pictures/") and the example listings that give each
// operation its default arguments (under "examples/").
#pragma once

#include <cstddef>
#include <string>

namespace studio {

struct EmbeddedFile {
    const char* name;
    const unsigned char* data;
    size_t size;
};

// Ends with a row whose name is null.
extern const EmbeddedFile EMBEDDED_FILES[];

// The file of that name, or nullptr.
inline const EmbeddedFile* findEmbedded(const std::string& name) {
    for (const EmbeddedFile* file = EMBEDDED_FILES; file->name; ++file)
        if (name == file->name) return file;
    return nullptr;
}

}  // namespace studio
