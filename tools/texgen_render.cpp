// texgen render: rebuilds a document at any power-of-two size and writes
// layers as 8-bit RGB PNG files (png_encoder.cpp). A layer's Pixels are
// already rows of red, green and blue bytes, top row first, so each PNG row
// is a row of the layer as it stands.
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <new>

#include "tools/keep_look.h"
#include "tools/sha256.h"
#include "tools/texgen.h"

namespace texgen {

namespace fs = std::filesystem;

static bool powerOfTwo(int64_t value) { return value > 0 && (value & (value - 1)) == 0; }

void parseSize(const std::string& text, int32_t& width, int32_t& height) {
    const auto side = [&](const std::string& part) -> int64_t {
        if (part.empty() || part.size() > 9 || part.find_first_not_of("0123456789") != std::string::npos)
            throw CommandError("size \"" + text + "\" is not N or WxH with whole numbers");
        return std::stoll(part);
    };
    const size_t cross = text.find('x');
    const int64_t w = side(text.substr(0, cross));
    const int64_t h = cross == std::string::npos ? w : side(text.substr(cross + 1));
    if (!powerOfTwo(w) || !powerOfTwo(h)) throw CommandError("size \"" + text + "\": each side must be a power of two");
    if (w > tex::MAX_LAYER_SIDE || h > tex::MAX_LAYER_SIDE || w * h > tex::MAX_LAYER_PIXELS)
        throw CommandError("size \"" + text + "\" is too large: at most " + std::to_string(tex::MAX_LAYER_SIDE) +
                           " pixels a side and " + std::to_string(tex::MAX_LAYER_PIXELS) + " pixels in all");
    width = int32_t(w);
    height = int32_t(h);
}

void useThreads(int32_t n) { tex::setThreadCount(n); }

std::string layerFileName(const std::string& output, int32_t layer) {
    const fs::path path(output);
    fs::path name = path.parent_path() / path.stem();
    name += "-layer" + std::to_string(layer);
    name += path.extension().empty() ? fs::path(".png") : path.extension();
    return name.string();
}

namespace {

void writePng(const std::string& fileName, const tex::Pixel* pixels, int32_t width, int32_t height) {
    std::string bytes;
    try {
        bytes = encodePng(pixels, width, height);
    } catch (const CommandError& error) {
        throw CommandError("Cannot write " + fileName + ": " + error.what());
    }
    texlisting::writeFileAtomically(fileName, bytes);
}

}  // namespace

// Replays the document as the loader does, or keeping its look, refusing a
// malformed one unless lenient; a size of 0 becomes the design size. The
// layers stay allocated for the caller.
void rebuild(const texlisting::Document& document, const std::string& name, int32_t& width, int32_t& height,
             bool lenient, bool keepLook) {
    if (width == 0 || height == 0) texlisting::designSize(document, width, height);
    const std::string malformed = malformation(document);
    if (!malformed.empty() && !lenient)
        throw CommandError(name + " is malformed: " + malformed +
                           " (--lenient renders it as the viewers would, replaying at most " +
                           std::to_string(tex::MAX_OPS) + " records and none for a negative count)");
    try {
        if (keepLook)
            texlisting::replayKeepingLook(document, width, height);
        else
            texlisting::replayDocument(document, width, height);
    } catch (const std::bad_alloc&) {
        throw CommandError("Not enough memory to rebuild " + name + " at " + std::to_string(width) + "x" +
                           std::to_string(height));
    } catch (const std::invalid_argument& error) {
        throw CommandError("Cannot rebuild " + name + ": " + error.what());
    }
}

std::string render(const RenderOptions& options) {
    const texlisting::Document document = texlisting::readDocumentOrListing(options.document);
    int32_t width = options.width, height = options.height;
    rebuild(document, options.document, width, height, options.lenient, options.keepLook);
    std::string written;
    try {
        for (int32_t layer = 0; layer < tex::LAYER_COUNT; ++layer) {
            if (options.allLayers ? false : layer != options.layer) continue;
            const std::string name = options.allLayers ? layerFileName(options.output, layer) : options.output;
            writePng(name, tex::layers[layer], width, height);
            written += (written.empty() ? "" : " ") + name;
        }
    } catch (...) {
        tex::freeLayers();
        throw;
    }
    tex::freeLayers();
    return written;
}

std::string hash(const HashOptions& options) {
    const texlisting::Document document = texlisting::readDocumentOrListing(options.document);
    int32_t width = options.width, height = options.height;
    rebuild(document, options.document, width, height, options.lenient, options.keepLook);
    std::string lines;
    for (int32_t layer = 0; layer < tex::LAYER_COUNT; ++layer) {
        if (options.allLayers ? false : layer != options.layer) continue;
        const std::string digest =
            texlisting::sha256Hex(reinterpret_cast<const uint8_t*>(tex::layers[layer]),
                                  size_t(width) * size_t(height) * sizeof(tex::Pixel));
        lines += options.allLayers ? "layer " + std::to_string(layer) + " " + digest + "\n" : digest + "\n";
    }
    tex::freeLayers();
    return lines;
}

}  // namespace texgen
