// Prints, for each document given, how far its 4x and 8x renders stray from
// its look at the design size, exactly and keeping the look (see
// look_difference.h): one Markdown table row per document, percentages of
// full scale as the mean over the three channels.
#include <cstdio>
#include <exception>
#include <filesystem>

#include "look_difference.h"

int main(int argc, char** argv) {
    std::printf("| document | 4x exact | 4x keep-look | 8x exact | 8x keep-look |\n|---|---|---|---|---|\n");
    for (int i = 1; i < argc; ++i) {
        try {
            const texlisting::Document document = texlisting::readDocumentOrListing(argv[i]);
            std::printf("| %s", std::filesystem::path(argv[i]).stem().string().c_str());
            for (int32_t factor : {4, 8})
                for (bool keep : {false, true}) std::printf(" | %.1f", looktest::difference(document, factor, keep).mean());
            std::printf(" |\n");
            std::fflush(stdout);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "look_difference: %s\n", e.what());
            return 1;
        }
    }
    return 0;
}
