// The starting documents of data/gallery: there are enough of them, each
// listing is named and titled as data/gallery/README.md says, reads without a
// record the engine would skip or change, renders to a texture that is neither
// flat nor seamed at its wrap-around edges, and ships a picture that is
// exactly its render.
#include <png.h>

#include <algorithm>
#include <chrono>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tools/listing.h"
#include "tools/texgen.h"

namespace {

namespace fs = std::filesystem;

constexpr int32_t SIDE = 256;
constexpr size_t MIN_DOCUMENTS = 16;

const fs::path GALLERY = fs::path(TEX_SOURCE_DIR) / "data" / "gallery";

std::string readText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<fs::path> listings() {
    std::vector<fs::path> paths;
    if (fs::is_directory(GALLERY))
        for (const auto& item : fs::directory_iterator(GALLERY))
            if (item.path().extension() == ".listing") paths.push_back(item.path());
    std::sort(paths.begin(), paths.end());
    return paths;
}

// Layer 4 of a listing rendered at SIDE by SIDE, as bytes red, green, blue.
std::vector<uint8_t> render(const fs::path& path) {
    const texlisting::Document document = texlisting::parseListing(readText(path), path.string());
    texlisting::replayDocument(document, SIDE, SIDE);
    const auto* bytes = reinterpret_cast<const uint8_t*>(tex::layers[4]);
    std::vector<uint8_t> pixels(bytes, bytes + size_t(SIDE) * SIDE * 3);
    tex::freeLayers();
    return pixels;
}

// An 8-bit RGB PNG file's pixels through libpng; empty when it cannot be read.
std::vector<uint8_t> decodePng(const fs::path& path, uint32_t& width, uint32_t& height) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    std::vector<uint8_t> pixels;
    if (!png_image_begin_read_from_file(&image, path.string().c_str())) return pixels;
    const bool rgb8 = image.format == PNG_FORMAT_RGB;
    image.format = PNG_FORMAT_RGB;
    pixels.resize(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr) || !rgb8) {
        png_image_free(&image);
        pixels.clear();
        return pixels;
    }
    width = image.width;
    height = image.height;
    return pixels;
}

struct Texture {
    const std::vector<uint8_t>& bytes;
    int channel(int x, int y, int c) const { return bytes[(size_t(y) * SIDE + size_t(x)) * 3 + size_t(c)]; }
};

// For each line i of pixel pairs across one direction, the mean absolute
// difference over every channel between pixel i and pixel i + 1 of every row
// (horizontal) or column (vertical). Line SIDE - 1 pairs the last pixel with
// the first: the wrap-around edge.
std::vector<double> neighbourDifferences(const Texture& t, bool horizontal) {
    std::vector<double> lines(SIDE, 0.0);
    for (int i = 0; i < SIDE; ++i) {
        const int next = (i + 1) & (SIDE - 1);
        double sum = 0;
        for (int j = 0; j < SIDE; ++j)
            for (int c = 0; c < 3; ++c)
                sum += horizontal ? std::abs(t.channel(i, j, c) - t.channel(next, j, c))
                                  : std::abs(t.channel(j, i, c) - t.channel(j, next, c));
        lines[size_t(i)] = sum / (3.0 * SIDE);
    }
    return lines;
}

// A seam is a wrap-around edge that differs more than the inside does: more
// than a few times the mean of the inside lines, and more than the inside's
// own hard lines (mortar, joints) at their largest.
void expectNoSeam(const std::vector<double>& lines, const char* edges) {
    const double wrap = lines.back();
    double mean = 0, largest = 0;
    for (size_t i = 0; i + 1 < lines.size(); ++i) {
        mean += lines[i];
        largest = std::max(largest, lines[i]);
    }
    mean /= double(lines.size() - 1);
    EXPECT_LT(wrap, std::max(2.5 * mean + 2.0, 1.1 * largest))
        << edges << ": inside lines differ by " << mean << " on average and " << largest << " at most";
}

// The file name a title gives: lowercase letters and digits, every other run
// of characters one hyphen ("Night sky" gives "night-sky").
std::string nameOf(const std::string& title) {
    std::string name;
    for (const char c : title) {
        if (std::isalnum(static_cast<unsigned char>(c)))
            name += char(std::tolower(static_cast<unsigned char>(c)));
        else if (!name.empty() && name.back() != '-')
            name += '-';
    }
    while (!name.empty() && name.back() == '-') name.pop_back();
    return name;
}

TEST(Gallery, ListingsAreNamedTitledAndWellFormed) {
    const std::vector<fs::path> paths = listings();
    EXPECT_GE(paths.size(), MIN_DOCUMENTS);
    const std::regex title("// Title: (\\S.*\\S|\\S)\r?");
    const std::regex keywords("// Keywords: \\S.*");
    std::set<std::string> titles;
    for (const fs::path& path : paths) {
        SCOPED_TRACE(path.filename().string());
        std::istringstream text(readText(path));
        std::string first, second;
        std::getline(text, first);
        std::getline(text, second);
        std::smatch match;
        ASSERT_TRUE(std::regex_match(first, match, title)) << "first line: " << first;
        EXPECT_TRUE(titles.insert(match[1].str()).second) << "title used twice: " << match[1];
        EXPECT_EQ(path.stem().string(), nameOf(match[1].str())) << "the name is not the title's";
        if (second.rfind("// Keywords:", 0) == 0) {
            EXPECT_TRUE(std::regex_match(second, keywords)) << second;
        }

        texlisting::Document document;
        ASSERT_NO_THROW(document = texlisting::parseListing(readText(path), path.string()));
        EXPECT_EQ(texgen::malformation(document), "");
        for (const std::string& warning : texgen::documentWarnings(document)) ADD_FAILURE() << warning;
        EXPECT_GT(document.programs[4].count, 0) << "layer 4, the texture, has no program";
    }
}

// Fast: a starting document renders at once (a few tens of milliseconds; the
// bound only catches a record that costs seconds). Not flat: the brightness
// varies across the picture. Tiles: the differences between the last column
// and the first (and the last row and the first) are of the same order as
// those between neighbouring columns (rows) inside the picture, so no edge
// shows when the texture is repeated.
TEST(Gallery, TexturesHaveContentAndTile) {
    for (const fs::path& path : listings()) {
        SCOPED_TRACE(path.filename().string());
        const auto start = std::chrono::steady_clock::now();
        const std::vector<uint8_t> bytes = render(path);
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        std::printf("%-24s %6.1f ms at %dx%d\n", path.filename().string().c_str(), 1000 * seconds, SIDE, SIDE);
        EXPECT_LT(seconds, 2.0);
        const Texture t{bytes};

        double mean = 0, square = 0;
        for (int y = 0; y < SIDE; ++y)
            for (int x = 0; x < SIDE; ++x) {
                const double v = (t.channel(x, y, 0) + t.channel(x, y, 1) + t.channel(x, y, 2)) / 3.0;
                mean += v;
                square += v * v;
            }
        const double n = double(SIDE) * SIDE;
        const double deviation = std::sqrt(std::max(0.0, square / n - (mean / n) * (mean / n)));
        EXPECT_GT(deviation, 8.0) << "brightness standard deviation";

        expectNoSeam(neighbourDifferences(t, true), "left and right edges");
        expectNoSeam(neighbourDifferences(t, false), "top and bottom edges");
    }
}

TEST(Gallery, PicturesAreTheirRenders) {
    for (const fs::path& path : listings()) {
        SCOPED_TRACE(path.filename().string());
        fs::path picture = path;
        picture.replace_extension(".png");
        ASSERT_TRUE(fs::exists(picture)) << "run scripts/make-gallery.sh";
        uint32_t width = 0, height = 0;
        const std::vector<uint8_t> decoded = decodePng(picture, width, height);
        ASSERT_FALSE(decoded.empty()) << "not an 8-bit RGB PNG file";
        EXPECT_EQ(width, uint32_t(SIDE));
        EXPECT_EQ(height, uint32_t(SIDE));
        // A picture that differs is stale: scripts/make-gallery.sh renders it again.
        EXPECT_TRUE(decoded == render(path)) << "the picture is not the listing's render";
    }
}

}  // namespace
