// The PNG encoder: libpng reads back exactly the pixels it was given, for
// one strip and for many joined into one stream, and the file is the same
// for every thread count.
#include <gtest/gtest.h>
#include <png.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "tools/texgen.h"

namespace {

// The RGB bytes libpng decodes from a file held in memory; empty on failure.
std::vector<uint8_t> decode(const std::string& file, int32_t& width, int32_t& height) {
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&image, file.data(), file.size())) return {};
    image.format = PNG_FORMAT_RGB;
    std::vector<uint8_t> bytes(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, bytes.data(), 0, nullptr)) return {};
    width = int32_t(image.width);
    height = int32_t(image.height);
    return bytes;
}

// Noise on the left, gradients on the right, a flat band at the bottom: rows
// where each of the filters wins, and runs long enough for matches.
std::vector<tex::Pixel> picture(int32_t width, int32_t height) {
    std::vector<tex::Pixel> pixels(size_t(width) * size_t(height));
    std::mt19937 random(uint32_t(width * 31 + height));
    for (int32_t y = 0; y < height; ++y)
        for (int32_t x = 0; x < width; ++x) {
            tex::Pixel& p = pixels[size_t(y) * size_t(width) + size_t(x)];
            if (y > height * 3 / 4)
                p = {40, 80, 120};
            else if (x < width / 2)
                p = {uint8_t(random()), uint8_t(random()), uint8_t(random())};
            else
                p = {uint8_t(x), uint8_t(y), uint8_t(x + y)};
        }
    return pixels;
}

}  // namespace

TEST(PngEncoder, LibpngReadsBackThePixelsForEveryThreadCount) {
    // 1x1 and odd sizes in one strip; 1024x2048 (6 MB of rows) in several.
    const std::pair<int32_t, int32_t> sizes[] = {{1, 1}, {5, 3}, {3, 700}, {1024, 2048}};
    for (const auto& size : sizes) {
        const std::vector<tex::Pixel> pixels = picture(size.first, size.second);
        std::string first;
        for (const int32_t threads : {1, 3}) {
            tex::setThreadCount(threads);
            const std::string file = texgen::encodePng(pixels.data(), size.first, size.second);
            int32_t width = 0, height = 0;
            const std::vector<uint8_t> decoded = decode(file, width, height);
            ASSERT_EQ(width, size.first);
            ASSERT_EQ(height, size.second);
            ASSERT_EQ(decoded.size(), pixels.size() * 3);
            EXPECT_EQ(std::memcmp(decoded.data(), pixels.data(), decoded.size()), 0)
                << size.first << "x" << size.second << " with " << threads << " threads";
            if (first.empty())
                first = file;
            else
                EXPECT_TRUE(file == first) << "the file depends on the thread count";
        }
    }
    tex::setThreadCount(0);
}
