// Texture documents: the five LayerPrograms written out verbatim (22020
// bytes, little-endian as in memory, no header). Loading reads them with one
// block read, replays every layer's program in layer order and converts layer
// 4 to 32-bit display pixels (red * 65536 + green * 256 + blue).
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <new>
#include <system_error>

#include "engine/internal.h"

namespace tex {

static_assert(sizeof(layerPrograms) == 22020, "a document is five 4404-byte programs");

namespace fs = std::filesystem;

// The loader's message for a failed open.
static const char* openFailure(int error, const std::string& fileName) {
    switch (error) {
        case ENOENT: {
            // A missing file in an existing folder, or a folder that is missing.
            std::error_code ec;
            const fs::path folder = fs::path(fileName).parent_path();
            return folder.empty() || fs::is_directory(folder, ec) ? "File not found" : "Invalid filename";
        }
        case ENOTDIR:
        case ENAMETOOLONG:
        case EINVAL:
            return "Invalid filename";
        default:
            return "Access denied";
    }
}

void loadTexture(uint32_t*& pixels, const std::string& fileName, int32_t width, int32_t height, bool allocate) {
    initLayers(width, height);  // validates the size before anything is allocated for it
    if (allocate) {
        void* resized = std::realloc(pixels, layerPixels() * sizeof(uint32_t));
        if (!resized) throw std::bad_alloc();
        pixels = static_cast<uint32_t*>(resized);
    }
    if (!pixels) throw std::invalid_argument("loadTexture needs a pixel buffer: pass allocate = true");

    // Read access is all a load needs: a read-only document loads.
    std::FILE* file = std::fopen(fileName.c_str(), "rb");
    if (!file) throw IoError(openFailure(errno, fileName));
    const size_t got = std::fread(layerPrograms, 1, sizeof layerPrograms, file);
    const bool readError = std::ferror(file) != 0;
    std::fclose(file);
    if (got < sizeof layerPrograms) throw IoError(readError && got == 0 ? "Access denied" : "Read past end of file");

    for (int32_t layer = 0; layer < LAYER_COUNT; ++layer) replayProgram(layer);

    const Pixel* texture = layers[4];
    for (size_t i = 0, n = layerPixels(); i < n; ++i)
        pixels[i] = uint32_t(texture[i].red) << 16 | uint32_t(texture[i].green) << 8 | texture[i].blue;
    freeLayers();
}

void saveTexture(const std::string& fileName) {
    const fs::path target(fileName);
    if (fileName.empty()) throw IoError("Cannot write a document without a file name");
    // A fresh name beside the target, so that the final rename stays on one file system.
    fs::path temporary;
    std::error_code ec;
    for (unsigned attempt = 0;; ++attempt) {
        temporary = target;
        temporary += ".tmp" + std::to_string(attempt);
        if (!fs::exists(temporary, ec)) break;
    }
    std::FILE* file = std::fopen(temporary.string().c_str(), "wb");
    auto fail = [&](const std::string& reason) {
        if (file) std::fclose(file);
        fs::remove(temporary, ec);
        throw IoError("Cannot write " + fileName + ": " + reason);
    };
    if (!file) fail(std::strerror(errno));
    if (std::fwrite(layerPrograms, 1, sizeof layerPrograms, file) != sizeof layerPrograms || std::fflush(file) != 0)
        fail(std::strerror(errno));
    const int closed = std::fclose(file);
    file = nullptr;
    if (closed != 0) fail(std::strerror(errno));
    fs::rename(temporary, target, ec);
    if (ec) fail(ec.message());
}

}  // namespace tex
