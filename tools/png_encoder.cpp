// The PNG encoder of texgen render and the studio's export: 8-bit RGB, no
// interlacing, on several threads.
//
// The rows are cut into strips. Each strip is filtered (per row, the filter
// whose bytes have the smallest sum of magnitudes, as usual for PNG) and
// compressed by libdeflate on its own, all strips side by side. The strips'
// deflate streams are then joined into the one zlib stream PNG wants: every
// stream but the last has the final-block bit of its last block cleared and
// ends with an empty stored block, which aligns it to a byte, so the next
// stream's blocks follow as they are. The last block of a stream is found by
// walking the stream's blocks with zlib's inflate (Z_BLOCK). The checksum of
// the whole is combined from the strips' checksums. Every decoder reads the
// result as one stream; the pixels are the layer's exactly.
#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#include "tools/texgen.h"

namespace texgen {

namespace {

// libdeflate's level: on the engine's textures level 1 compresses about as
// well as the higher ones (noise leaves little to find) and fastest.
constexpr int LEVEL = 1;
// Strips of about this many filtered bytes: large enough that starting each
// with an empty history costs nothing measurable.
constexpr size_t STRIP_BYTES = size_t(4) << 20;
// IDAT chunks of at most this many bytes.
constexpr size_t CHUNK_BYTES = size_t(1) << 24;

int magnitude(uint8_t v) { return v < 128 ? v : 256 - v; }

uint8_t paeth(int a, int b, int c) {
    const int p = a + b - c, pa = p > a ? p - a : a - p, pb = p > b ? p - b : b - p, pc = p > c ? p - c : c - p;
    return uint8_t(pa <= pb && pa <= pc ? a : pb <= pc ? b : c);
}

// Filters one row (rowBytes bytes, 3 per pixel) into out[0] (the filter
// type) and out[1..]; `up` is the row above, or zeros for the first row.
// Each candidate is formed in a plain loop into `trial`, the best so far
// kept in `best` (both rowBytes long).
void filterRow(const uint8_t* row, const uint8_t* up, size_t rowBytes, uint8_t* out, uint8_t* trial, uint8_t* best) {
    uint64_t bestSum = UINT64_MAX;
    const size_t n = rowBytes;
    for (int type = 0; type < 5; ++type) {
        uint8_t* v = trial;
        switch (type) {
            case 0: std::memcpy(v, row, n); break;
            case 1:
                for (size_t i = 0; i < 3 && i < n; ++i) v[i] = row[i];
                for (size_t i = 3; i < n; ++i) v[i] = uint8_t(row[i] - row[i - 3]);
                break;
            case 2:
                for (size_t i = 0; i < n; ++i) v[i] = uint8_t(row[i] - up[i]);
                break;
            case 3:
                for (size_t i = 0; i < 3 && i < n; ++i) v[i] = uint8_t(row[i] - (up[i] >> 1));
                for (size_t i = 3; i < n; ++i) v[i] = uint8_t(row[i] - ((row[i - 3] + up[i]) >> 1));
                break;
            default:
                for (size_t i = 0; i < 3 && i < n; ++i) v[i] = uint8_t(row[i] - up[i]);
                for (size_t i = 3; i < n; ++i) v[i] = uint8_t(row[i] - paeth(row[i - 3], up[i], up[i - 3]));
                break;
        }
        uint64_t sum = 0;
        for (size_t i = 0; i < n; ++i) sum += uint64_t(magnitude(v[i]));
        if (sum < bestSum) {
            bestSum = sum;
            out[0] = uint8_t(type);
            std::swap(trial, best);
        }
    }
    std::memcpy(out + 1, best, n);
}

struct Strip {
    int32_t firstRow = 0, rows = 0;
    std::vector<uint8_t> deflated;
    uint32_t adler = 1;
    size_t filteredBytes = 0;
    bool ok = false;
};

// The bit where the stream's last block starts and the number of unused
// (zero) bits after its end in its last byte, found by inflating it block by
// block: with Z_BLOCK, inflate stops before every block header and once
// after the last block, reporting the unused bits of the byte it is in.
bool findLastBlock(const std::vector<uint8_t>& stream, uint64_t& lastStart, int& padding) {
    z_stream z{};
    if (inflateInit2(&z, -15) != Z_OK) return false;
    std::vector<uint8_t> sink(size_t(1) << 18);
    z.next_in = const_cast<Bytef*>(stream.data());
    z.avail_in = uInt(stream.size());
    lastStart = 0;
    padding = -1;
    bool ok = false;
    for (;;) {
        z.next_out = sink.data();
        z.avail_out = uInt(sink.size());
        const int result = inflate(&z, Z_BLOCK);
        if (result == Z_STREAM_END) {
            ok = padding >= 0 && z.total_in == stream.size();
            break;
        }
        if (result != Z_OK && !(result == Z_BUF_ERROR && z.avail_out == 0)) break;
        const int unused = z.data_type & 63;
        if (!(z.data_type & 128)) continue;  // stopped inside a block: the sink was full
        if (unused >= 8) break;              // never so at a block boundary
        if (z.data_type & 64)
            padding = unused;  // after the last block
        else
            lastStart = uint64_t(z.total_in) * 8 - uint64_t(unused);
    }
    inflateEnd(&z);
    return ok;
}

void encodeStrip(const tex::Pixel* pixels, int32_t width, Strip& strip, libdeflate_compressor* compressor) {
    const size_t rowBytes = size_t(width) * 3;
    const auto* bytes = reinterpret_cast<const uint8_t*>(pixels);
    std::vector<uint8_t> filtered(size_t(strip.rows) * (rowBytes + 1)), trial(rowBytes), best(rowBytes);
    const std::vector<uint8_t> zeros(strip.firstRow == 0 ? rowBytes : 0);
    for (int32_t r = 0; r < strip.rows; ++r) {
        const size_t y = size_t(strip.firstRow + r);
        filterRow(bytes + y * rowBytes, y > 0 ? bytes + (y - 1) * rowBytes : zeros.data(), rowBytes,
                  filtered.data() + size_t(r) * (rowBytes + 1), trial.data(), best.data());
    }
    strip.filteredBytes = filtered.size();
    strip.adler = libdeflate_adler32(1, filtered.data(), filtered.size());
    strip.deflated.resize(libdeflate_deflate_compress_bound(compressor, filtered.size()) + 8);
    const size_t size = libdeflate_deflate_compress(compressor, filtered.data(), filtered.size(),
                                                    strip.deflated.data(), strip.deflated.size());
    strip.deflated.resize(size);
    strip.ok = size > 0;
}

// Makes the stream continue into the next one: no final block, and an empty
// stored block (three zero bits, zeros to the byte, then 0000 FFFF) at the end.
bool openEnd(Strip& strip) {
    uint64_t lastStart = 0;
    int padding = 0;
    if (!findLastBlock(strip.deflated, lastStart, padding)) return false;
    strip.deflated[size_t(lastStart >> 3)] &= uint8_t(~(1u << (lastStart & 7)));
    if (padding < 3) strip.deflated.push_back(0);
    for (uint8_t b : {0x00, 0x00, 0xFF, 0xFF}) strip.deflated.push_back(b);
    return true;
}

void putBig32(std::string& out, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(char((v >> shift) & 255));
}

void putChunk(std::string& out, const char* type, const uint8_t* data, size_t size) {
    putBig32(out, uint32_t(size));
    const size_t start = out.size();
    out.append(type, 4);
    if (size > 0) out.append(reinterpret_cast<const char*>(data), size);
    putBig32(out, libdeflate_crc32(0, out.data() + start, size + 4));
}

// The zlib stream of the filtered rows, strips of rowsPerStrip rows on the
// threads. Empty when a strip could not be compressed or joined.
std::vector<uint8_t> compressRows(const tex::Pixel* pixels, int32_t width, int32_t height, int32_t rowsPerStrip) {
    std::vector<Strip> strips(size_t((int64_t(height) + rowsPerStrip - 1) / rowsPerStrip));
    for (size_t i = 0; i < strips.size(); ++i) {
        strips[i].firstRow = int32_t(i) * rowsPerStrip;
        strips[i].rows = std::min(rowsPerStrip, height - strips[i].firstRow);
    }
    std::atomic<size_t> next{0};
    auto work = [&] {
        libdeflate_compressor* compressor = libdeflate_alloc_compressor(LEVEL);
        if (!compressor) return;
        for (size_t i; (i = next++) < strips.size();) {
            Strip& strip = strips[i];
            try {
                encodeStrip(pixels, width, strip, compressor);
                if (strip.ok && i + 1 < strips.size()) strip.ok = openEnd(strip);
            } catch (const std::bad_alloc&) {
                strip.ok = false;
            }
        }
        libdeflate_free_compressor(compressor);
    };
    const size_t wanted = std::min<size_t>(size_t(tex::threadCount()), strips.size());
    std::vector<std::thread> helpers;
    for (size_t t = 1; t < wanted; ++t) {
        try {
            helpers.emplace_back(work);
        } catch (const std::system_error&) {
            break;  // fewer threads; the strips are the same
        }
    }
    work();
    for (std::thread& t : helpers) t.join();

    size_t total = 0;
    for (const Strip& strip : strips) {
        if (!strip.ok) return {};
        total += strip.deflated.size();
    }
    // Header (deflate, 32 KB window), the joined strips, the checksum of all
    // filtered bytes.
    std::vector<uint8_t> stream;
    stream.reserve(total + 6);
    stream.push_back(0x78);
    stream.push_back(0x9C);
    uint32_t adler = 1;
    for (Strip& strip : strips) {
        stream.insert(stream.end(), strip.deflated.begin(), strip.deflated.end());
        adler = uint32_t(adler32_combine(adler, strip.adler, z_off_t(strip.filteredBytes)));
        std::vector<uint8_t>().swap(strip.deflated);
    }
    for (int shift = 24; shift >= 0; shift -= 8) stream.push_back(uint8_t((adler >> shift) & 255));
    return stream;
}

}  // namespace

std::string encodePng(const tex::Pixel* pixels, int32_t width, int32_t height) {
    try {
        const size_t rowBytes = size_t(width) * 3 + 1;
        const int32_t rowsPerStrip = int32_t(std::max<size_t>(1, STRIP_BYTES / rowBytes));
        std::vector<uint8_t> stream = compressRows(pixels, width, height, rowsPerStrip);
        // Should a stream ever not be joinable, one strip needs no joining.
        if (stream.empty() && rowsPerStrip < height) stream = compressRows(pixels, width, height, height);
        if (stream.empty()) throw CommandError("the image could not be compressed");

        std::string out;
        out.reserve(stream.size() + stream.size() / CHUNK_BYTES * 12 + 64);
        out.append("\x89PNG\r\n\x1a\n", 8);
        uint8_t header[13];
        for (int k = 0; k < 4; ++k) {
            header[k] = uint8_t(uint32_t(width) >> (24 - 8 * k));
            header[4 + k] = uint8_t(uint32_t(height) >> (24 - 8 * k));
        }
        header[8] = 8;   // bits per channel
        header[9] = 2;   // RGB
        header[10] = 0;  // deflate
        header[11] = 0;  // adaptive filters
        header[12] = 0;  // no interlacing
        putChunk(out, "IHDR", header, sizeof header);
        for (size_t at = 0; at < stream.size(); at += CHUNK_BYTES)
            putChunk(out, "IDAT", stream.data() + at, std::min(CHUNK_BYTES, stream.size() - at));
        putChunk(out, "IEND", nullptr, 0);
        return out;
    } catch (const std::bad_alloc&) {
        throw CommandError("not enough memory for the PNG file");
    }
}

}  // namespace texgen
