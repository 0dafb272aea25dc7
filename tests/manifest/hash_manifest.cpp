// The hash manifest: every build must render the same pixels as the manifest
// records. Each entry is a document at one size with the SHA-256 of each of
// its five layers after the replay (bytes red, green, blue, row after row, as
// texgen hash prints them). The documents are the shipped one, the gallery's
// starting documents, the docs examples, the fuzz seed corpus and 300 seeded
// random documents; and, with "keep-look:" before the size, the shipped one
// and the docs examples rendered keeping their design-size look.
//
//   hash_manifest SOURCE_DIR MANIFEST            check this build against it
//   hash_manifest SOURCE_DIR MANIFEST --write    write it from this build
//
// A plain program rather than a test framework's, so that it runs wherever
// the engine builds (under an emulator or in WebAssembly too).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "engine/threads.h"
#include "manifest_documents.h"
#include "tools/keep_look.h"
#include "tools/sha256.h"

namespace fs = std::filesystem;

using namespace textest;

namespace {

std::string hashes(const texlisting::Document& document, int32_t width, int32_t height, bool keepLook) {
    if (keepLook)
        texlisting::replayKeepingLook(document, width, height);
    else
        texlisting::replayDocument(document, width, height);
    std::string line;
    for (int32_t layer = 0; layer < tex::LAYER_COUNT; ++layer)
        line += " " + texlisting::sha256Hex(reinterpret_cast<const uint8_t*>(tex::layers[layer]),
                                            size_t(width) * size_t(height) * sizeof(tex::Pixel));
    tex::freeLayers();
    return line;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3 || argc > 4 || (argc == 4 && std::strcmp(argv[3], "--write") != 0)) {
        std::fprintf(stderr, "usage: hash_manifest SOURCE_DIR MANIFEST [--write]\n");
        return 2;
    }
    const fs::path source = argv[1];
    const std::string manifestName = argv[2];
    const bool write = argc == 4;
    const auto start = std::chrono::steady_clock::now();
    // Every layer is cut into bands, however small, so that with TEX_THREADS
    // above 1 the bands' edges are checked on the small sizes recorded here.
    tex::splitCutoff = 0;
    try {
        std::map<std::string, std::string> expected;
        if (!write) {
            std::ifstream in(manifestName);
            if (!in) throw std::runtime_error("cannot read " + manifestName);
            for (std::string line; std::getline(in, line);) {
                if (line.empty() || line[0] == '#') continue;
                const size_t split = line.find(' ', line.find(' ') + 1);  // after name and size
                expected[line.substr(0, split)] = line.substr(split);
            }
        }
        std::string written = "# name size, then the SHA-256 of layers 0 to 4 (bytes red, green, blue, row after row)\n";
        int failures = 0;
        const std::vector<Entry> list = manifestEntries(source);
        for (const Entry& entry : list) {
            const std::string got = hashes(loadEntry(source, entry.name), entry.width, entry.height, entry.keepLook);
            written += entry.key() + got + "\n";
            if (write) continue;
            const auto found = expected.find(entry.key());
            if (found == expected.end()) {
                std::printf("%s: not in the manifest\n", entry.key().c_str());
                ++failures;
            } else {
                if (found->second != got) {
                    for (int layer = 0; layer < tex::LAYER_COUNT; ++layer) {
                        const std::string want = found->second.substr(1 + 65 * layer, 64), have = got.substr(1 + 65 * layer, 64);
                        if (want != have)
                            std::printf("%s: layer %d is %s, the manifest says %s\n", entry.key().c_str(), layer,
                                        have.c_str(), want.c_str());
                    }
                    ++failures;
                }
                expected.erase(found);
            }
        }
        for (const auto& rest : expected) {
            std::printf("%s: in the manifest but no longer made\n", rest.first.c_str());
            ++failures;
        }
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (write) {
            std::ofstream out(manifestName, std::ios::binary);
            out << written;
            if (!out.flush()) throw std::runtime_error("cannot write " + manifestName);
            std::printf("wrote %zu entries to %s in %.1f s\n", list.size(), manifestName.c_str(), seconds);
            return 0;
        }
        std::printf("%zu entries, %d differing, %.1f s, %d threads\n", list.size(), failures, seconds,
                    int(tex::threadCount()));
        return failures ? 1 : 0;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "hash_manifest: %s\n", error.what());
        return 1;
    }
}
