// Polar and radial distortions: twirl, kaleidoscope, tunnel and log-polar.
// They remap the source around the integer centre (width div 2, height div 2)
// or its centre lines, rows top to bottom, pixels left to right.
//
// twirlLayer and tunnelDistort stage the source in the scratch layer and
// write straight into the destination; logPolLayer reads the source in place
// and builds its result in the scratch layer, copied at the end (or straight
// in a destination that is not the source); kaleidLayer copies one quadrant and
// mirrors it inside the destination. Coordinates that come out infinite or
// NaN (a twist scale of 0, say) sample position 0 as sampleLayer defines.
//
// Values that depend only on a row or column are computed once for it with
// the same roundings; sines, cosines, arc tangents and samples go through the
// fast forms of sampling.h, which give the plain formulas' bits.
#include "engine/distort/sampling.h"
#include "engine/numeric/decide.h"

namespace tex {

using distort::sampleRow;

// Per-column values of one call (log-polar cosines and sines, tunnel reciprocals).
static ext columnCos[MAX_LAYER_SIDE], columnSin[MAX_LAYER_SIDE];
static float columnInverse[MAX_LAYER_SIDE];
// Per row, so one set per thread.
struct PolarRows {
    float tunnelAngle[MAX_LAYER_SIDE], tunnelSource[MAX_LAYER_SIDE];  // tunnel: one row's values
    float mirrorAngle[MAX_LAYER_SIDE];                                 // tunnel: the mirrored row's angles
    bool outside[MAX_LAYER_SIDE];                                     // twirl: the row's pixels outside the disc
    // Twirl: per distance from the centre column, inside the disc, sine, cosine.
    bool twistInside[MAX_LAYER_SIDE / 2 + 1];
    float twistSin[MAX_LAYER_SIDE / 2 + 1], twistCos[MAX_LAYER_SIDE / 2 + 1], twistAngle[MAX_LAYER_SIDE / 2 + 1];
    // Twirl: one row's sines and cosines (0 outside the disc) and its coordinates left open.
    float rowSin[MAX_LAYER_SIDE], rowCos[MAX_LAYER_SIDE];
    int32_t open[MAX_LAYER_SIDE];
};

// Sine and cosine of the twist angles angle[0 .. count - 1] by
// sinCosDouble and its bound, in loops that vectorise (one width of lanes
// each, blocks of the doubles on the stack); open[j] marks the angles beyond
// 4096 in magnitude (NaN included) and the values not settled.
static TEX_ALWAYS_INLINE void twistLoop(const float* angle, float* sine, float* cosine, int32_t* open,
                                        int32_t count) {
    constexpr int32_t BLOCK = 512;
    float reduced[BLOCK];
    double s[BLOCK], c[BLOCK];
    for (int32_t start = 0; start < count; start += BLOCK) {
        const int32_t n = std::min(BLOCK, count - start);
        for (int32_t i = 0; i < n; ++i) {
            const bool inRange = std::fabs(angle[start + i]) <= 4096.0f;  // false for NaN
            reduced[i] = inRange ? angle[start + i] : 0.0f;
            open[start + i] = int32_t(!inRange);
        }
        for (int32_t i = 0; i < n; ++i) distort::sinCosDouble(reduced[i], s[i], c[i]);
        for (int32_t i = 0; i < n; ++i) {
            const double es = distort::sinCosBound(s[i]), ec = distort::sinCosBound(c[i]);
            const float sLow = static_cast<float>(s[i] - es), sHigh = static_cast<float>(s[i] + es);
            const float cLow = static_cast<float>(c[i] - ec), cHigh = static_cast<float>(c[i] + ec);
            sine[start + i] = sLow;
            cosine[start + i] = cLow;
            open[start + i] |= int32_t(sLow != sHigh) | int32_t(cLow != cHigh);
        }
    }
}
#if TEX_X86_VECTORS
TEX_AVX2_FUNCTION static void twistAvx2(const float* angle, float* sine, float* cosine, int32_t* open,
                                        int32_t count) {
    twistLoop(angle, sine, cosine, open, count);
}
#endif

// The twist's sine and cosine depend on dx and dy only through their squares:
// they are computed once per distance |dx| = 0..cx from the centre column for
// each |dy|, and serve both sides of the centre and the rows cy - |dy| and
// cy + |dy| alike. Outside the disc the angle is taken as 0; its values are
// not used.
static void twistValues(int32_t cx, float dy, float strength, float k) {
    PolarRows& rows = perThread<PolarRows>();
    bool* twistInside = rows.twistInside;
    float *twistSin = rows.twistSin, *twistCos = rows.twistCos, *angle = rows.twistAngle;
    int32_t* open = rows.open;
    for (int32_t j = 0; j <= cx; ++j) {
        // Whole squares below 2^31: the sum is exact in double.
        const float dist = fastSqrt(static_cast<float>(double(j) * j + double(dy) * dy));
        const float d = static_cast<float>(cx) - dist;  // one float32 subtraction
        twistInside[j] = d > 0.0f;
        angle[j] = twistInside[j] ? distort::twistAngle(strength, d, k) : 0.0f;
    }
#if TEX_X86_VECTORS
    if (vectorUnits() >= VectorUnits::Avx2)
        twistAvx2(angle, twistSin, twistCos, open, cx + 1);
    else
#endif
        twistLoop(angle, twistSin, twistCos, open, cx + 1);
    uint32_t left = 0;
    for (int32_t j = 0; j <= cx; ++j) {
        open[j] &= int32_t(twistInside[j]);
        left += uint32_t(open[j]);
    }
    numeric::countDecisions(2 * (uint64_t(cx) + 1), left);
    if (left)
        for (int32_t j = 0; j <= cx; ++j)
            if (open[j]) distort::sinCosFast(angle[j], twistSin[j], twistCos[j]);
}

// Rotated coordinates of one row, rotatedCoordinate's double form and bound
// in a loop that vectorises: rowX and rowY get single(cx + (dx cosA - dy sinA))
// and single(cy + (dx sinA + dy cosA)) where the bound settles them, and
// open[x] marks the rest (NaN included); entry x is column first + x. Outside the disc sine and cosine are
// 0 and the coordinates, cx and cy, are settled; the caller replaces them.
static TEX_ALWAYS_INLINE void rotateLoop(const float* rowSin, const float* rowCos, float* rowX, float* rowY,
                                         int32_t* open, int32_t cx, int32_t cy, float dy, int32_t first,
                                         int32_t count) {
    const double centreX = cx, centreY = cy;
    for (int32_t x = 0; x < count; ++x) {
        const double dx = double(first + x - cx), sinA = rowSin[x], cosA = rowCos[x];
        const double px = dx * cosA, qx = double(dy) * -sinA, py = dx * sinA, qy = double(dy) * cosA;
        const double u = centreX + (px + qx), v = centreY + (py + qy);
        const double eu = (std::fabs(px) + std::fabs(qx) + centreX) * 0x1p-50;
        const double ev = (std::fabs(py) + std::fabs(qy) + centreY) * 0x1p-50;
        const float uLow = static_cast<float>(u - eu), vLow = static_cast<float>(v - ev);
        rowX[x] = uLow;
        rowY[x] = vLow;
        open[x] = int32_t(uLow != static_cast<float>(u + eu)) | int32_t(vLow != static_cast<float>(v + ev));
    }
}
#if TEX_X86_VECTORS
TEX_AVX2_FUNCTION static void rotateAvx2(const float* rowSin, const float* rowCos, float* rowX, float* rowY,
                                         int32_t* open, int32_t cx, int32_t cy, float dy, int32_t first,
                                         int32_t count) {
    rotateLoop(rowSin, rowCos, rowX, rowY, open, cx, cy, dy, first, count);
}
#endif

// Row y of dst from the twist values of its |dy|. Only the columns from the
// first inside the disc to the last are sampled (entry i is column
// first + i); the rest of the row is the staged row as it stands.
static void twirlRow(int32_t dst, int32_t y, int32_t cx, int32_t cy) {
    PolarRows& rows = perThread<PolarRows>();
    bool* outside = rows.outside;
    const bool* twistInside = rows.twistInside;
    const float *twistSin = rows.twistSin, *twistCos = rows.twistCos;
    float *rowSin = rows.rowSin, *rowCos = rows.rowCos;
    int32_t* open = rows.open;
    float *rowX = distort::rowSamples().x, *rowY = distort::rowSamples().y;
    const float dy = static_cast<float>(y - cy);
    Pixel* out = &pixelAt(dst, 0, y);
    const Pixel* staged = &pixelAt(SCRATCH_LAYER, 0, y);
    int32_t first = 0, end = layerWidth;
    auto inside = [&](int32_t x) { return twistInside[x < cx ? cx - x : x - cx]; };
    while (first < end && !inside(first)) ++first;
    while (end > first && !inside(end - 1)) --end;
    std::memcpy(out, staged, size_t(first) * sizeof(Pixel));
    std::memcpy(out + end, staged + end, size_t(layerWidth - end) * sizeof(Pixel));
    const int32_t count = end - first;
    if (count == 0) return;
    for (int32_t i = 0; i < count; ++i) {
        const int32_t x = first + i, j = x < cx ? cx - x : x - cx;
        outside[i] = !twistInside[j];
        rowSin[i] = outside[i] ? 0.0f : twistSin[j];
        rowCos[i] = outside[i] ? 0.0f : twistCos[j];
    }
#if TEX_X86_VECTORS
    if (vectorUnits() >= VectorUnits::Avx2)
        rotateAvx2(rowSin, rowCos, rowX, rowY, open, cx, cy, dy, first, count);
    else
#endif
        rotateLoop(rowSin, rowCos, rowX, rowY, open, cx, cy, dy, first, count);
    uint32_t left = 0;
    for (int32_t i = 0; i < count; ++i) {
        if (outside[i]) {
            rowX[i] = rowY[i] = 0.0f;  // replaced by the staged pixel below
            open[i] = 0;
        }
        left += uint32_t(open[i]);
    }
    numeric::countDecisions(2 * uint64_t(count), left);
    if (left)
        for (int32_t i = 0; i < count; ++i)
            if (open[i]) {
                const float dx = static_cast<float>(first + i - cx), sinA = rowSin[i], cosA = rowCos[i];
                rowX[i] = distort::rotatedCoordinate(cx, dx, cosA, dy, -sinA);
                rowY[i] = distort::rotatedCoordinate(cy, dx, sinA, dy, cosA);
            }
    sampleRow(SCRATCH_LAYER, out + first, count, true);
    for (int32_t i = 0; i < count; ++i)
        if (outside[i]) out[first + i] = staged[first + i];
}

// Rows are written in pairs cy - t, cy + t; each reads only the staged copy,
// so the order does not matter.
void twirlLayer(int32_t src, int32_t dst, float strength, float scale) {
    if (!validLayers(src, dst)) return;
    copyLayer(src, SCRATCH_LAYER);
    const int32_t cx = layerWidth / 2, cy = layerHeight / 2;
    const float k = static_cast<float>(ext(1.0) / (extSqrt(ext(2.0) * layerWidth * layerHeight) * scale));
    forEachRange(cy + 1, 2 * int64_t(layerWidth), [&](int64_t t0, int64_t t1) {
    for (int32_t t = int32_t(t0); t < t1; ++t) {
        twistValues(cx, static_cast<float>(t), strength, k);
        twirlRow(dst, cy - t, cx, cy);
        if (t > 0 && cy + t < layerHeight) twirlRow(dst, cy + t, cx, cy);
    }
    });
}

// Copies the cx-pixel run of row `fromRow` starting at column `column` of dst
// into row `toRow`, in order or mirrored.
static void copyRun(Pixel* layer, int32_t fromRow, int32_t toRow, int32_t column, int32_t count) {
    std::memmove(layer + size_t(toRow) * layerWidth + column, layer + size_t(fromRow) * layerWidth + column,
                 size_t(count) * sizeof(Pixel));
}

// One mirror step: writes quadrant (step + 1) mod 4 of dst from quadrant step.
static void mirrorStep(Pixel* layer, int32_t step, int32_t cx, int32_t cy) {
    const int32_t width = layerWidth, height = layerHeight;
    switch (step) {
        case 0:  // top-left to top-right, across the vertical centre line
            for (int32_t r = 0; r < cy; ++r)
                for (int32_t j = 0; j < cx; ++j) layer[size_t(r) * width + (width - 1 - j)] = layer[size_t(r) * width + j];
            break;
        case 1:  // top-right to bottom-right, across the horizontal centre line
            for (int32_t r = 0; r < cy; ++r) copyRun(layer, r, height - 1 - r, cx, cx);
            break;
        case 2:  // bottom-right to bottom-left
            for (int32_t y = cy; y < height; ++y)
                for (int32_t j = 0; j < cx; ++j) layer[size_t(y) * width + j] = layer[size_t(y) * width + (width - 1 - j)];
            break;
        default:  // bottom-left to top-left
            for (int32_t r = 0; r < cy; ++r) copyRun(layer, height - 1 - r, r, 0, cx);
            break;
    }
}

// A corner outside 1..4 names no quadrant: the call changes nothing.
void kaleidLayer(int32_t src, int32_t dst, int32_t corner) {
    if (!validLayers(src, dst) || corner < 1 || corner > 4) return;
    const int32_t cx = layerWidth / 2, cy = layerHeight / 2, q = corner - 1;
    const int32_t firstRow = (q == 0 || q == 1) ? 0 : cy, lastRow = (q == 0 || q == 1) ? cy : layerHeight;
    const int32_t firstColumn = (q == 0 || q == 3) ? 0 : cx;
    if (src != dst)
        for (int32_t y = firstRow; y < lastRow; ++y)
            std::memcpy(&pixelAt(dst, firstColumn, y), &pixelAt(src, firstColumn, y), size_t(cx) * sizeof(Pixel));
    for (int32_t i = 0; i < 3; ++i) mirrorStep(layers[dst], (q + i) % 4, cx, cy);
}

// rowX[x] = single(k * angle[x] + c), c = cx right of the centre and 0
// elsewhere, for x = start .. start + n - 1 by scaledAngle's double form and
// bound; open[x] is raised where that does not settle it. wide holds n doubles.
static TEX_ALWAYS_INLINE void scaledLoop(const float* angle, float* rowX, int32_t* open, double* wide, float k,
                                         double centre, int32_t start, int32_t n) {
    for (int32_t i = 0; i < n; ++i) {
        const double x = start + i;
        wide[i] = double(k) * angle[start + i] + (x > centre ? centre : 0.0);
    }
    for (int32_t i = 0; i < n; ++i) {
        const double u = wide[i], eu = std::fabs(u) * 0x1p-50;
        const float uLow = static_cast<float>(u - eu), uHigh = static_cast<float>(u + eu);
        rowX[start + i] = uLow;
        open[start + i] |= int32_t(uLow != uHigh);
    }
}

// Columns first .. count - 1 of one row's tunnel values in loops that vectorise: the angle
// single(atan(dy * inv)) (dy * inv, 16 by 24 bits, is exact in double), the
// source row single(|cos(angle) * depth * inv|) and rowX's
// single(k * angle + c), each by the double form and bound of atanFast,
// cosDepthFast and scaledAngle; open[x] marks the columns any of the three
// leaves unsettled (NaN or infinite depths among them). The centre column's
// inverse is 0; its values are discarded. Blocks of columns, each loop on
// one width of lanes where it can (the compilers vectorise loops mixing
// float and double selections poorly), the doubles between them on the stack.
static TEX_ALWAYS_INLINE void tunnelLoop(float* angle, float* source, float* rowX, int32_t* open, float dy, float k,
                                         float depth, int32_t cx, int32_t first, int32_t count) {
    constexpr int32_t BLOCK = 512;
    const double centre = cx;
    double z[BLOCK], wide[BLOCK];
    for (int32_t start = first; start < count; start += BLOCK) {
        const int32_t n = std::min(BLOCK, count - start);
        const float* inv = columnInverse + start;
        for (int32_t i = 0; i < n; ++i) {
            z[i] = double(dy) * inv[i];
            wide[i] = distort::atanInverse(z[i]);
        }
        for (int32_t i = 0; i < n; ++i) wide[i] = distort::atanReduced(z[i], wide[i]);
        for (int32_t i = 0; i < n; ++i) {
            const double a = wide[i], ea = std::fabs(a) * 0x1p-46;
            const float aLow = static_cast<float>(a - ea), aHigh = static_cast<float>(a + ea);
            angle[start + i] = aLow;
            open[start + i] = int32_t(aLow != aHigh);
        }
        // cosineSmall's two series, both formed (the compiler would put the
        // one not taken under a branch), then the choice.
        for (int32_t i = 0; i < n; ++i) {
            const double a = std::fabs(double(angle[start + i]));
            z[i] = distort::cosineSeries(a);
            wide[i] = distort::sineSeries(distort::cosineComplement(a));
        }
        for (int32_t i = 0; i < n; ++i) {
            const double a = std::fabs(double(angle[start + i]));
            z[i] = std::fabs((a <= 0.78539816339744831 ? z[i] : wide[i]) * depth * inv[i]);
        }
        for (int32_t i = 0; i < n; ++i) {
            const double v = z[i], ev = v * 0x1p-46;
            const float vLow = static_cast<float>(v - ev), vHigh = static_cast<float>(v + ev);
            source[start + i] = vLow;
            open[start + i] |= int32_t(vLow != vHigh);
        }
        scaledLoop(angle, rowX, open, wide, k, centre, start, n);
    }
}
// The mirrored row's rowX from the angles its columns take over (angle[x]
// for column x), open[x] set where scaledAngle's bound does not settle it.
static TEX_ALWAYS_INLINE void mirrorLoop(const float* angle, float* rowX, int32_t* open, float k, int32_t cx,
                                         int32_t count) {
    constexpr int32_t BLOCK = 512;
    const double centre = cx;
    double wide[BLOCK];
    for (int32_t i = 0; i < count; ++i) open[i] = 0;
    for (int32_t start = 0; start < count; start += BLOCK)
        scaledLoop(angle, rowX, open, wide, k, centre, start, std::min(BLOCK, count - start));
}
#if TEX_X86_VECTORS
TEX_AVX2_FUNCTION static void tunnelAvx2(float* angle, float* source, float* rowX, int32_t* open, float dy, float k,
                                         float depth, int32_t cx, int32_t first, int32_t count) {
    tunnelLoop(angle, source, rowX, open, dy, k, depth, cx, first, count);
}
TEX_AVX2_FUNCTION static void mirrorAvx2(const float* angle, float* rowX, int32_t* open, float k, int32_t cx,
                                         int32_t count) {
    mirrorLoop(angle, rowX, open, k, cx, count);
}
#endif

// The two row loops at the widest vector level the machine has.
static void tunnelRow(float* angle, float* source, float* rowX, int32_t* open, float dy, float k, float depth,
                      int32_t cx, int32_t first, int32_t count) {
#if TEX_X86_VECTORS
    if (vectorUnits() >= VectorUnits::Avx2)
        return tunnelAvx2(angle, source, rowX, open, dy, k, depth, cx, first, count);
#endif
    tunnelLoop(angle, source, rowX, open, dy, k, depth, cx, first, count);
}
static void mirrorRow(const float* angle, float* rowX, int32_t* open, float k, int32_t cx, int32_t count) {
#if TEX_X86_VECTORS
    if (vectorUnits() >= VectorUnits::Avx2) return mirrorAvx2(angle, rowX, open, k, cx, count);
#endif
    mirrorLoop(angle, rowX, open, k, cx, count);
}

// One column's tunnel values by the scalar forms.
static void tunnelColumn(int32_t x, float dy, float k, float depth, int32_t cx, float& angle, float& v, float& u) {
    const float inv = columnInverse[x];
    angle = distort::atanFast(static_cast<double>(dy) * inv);
    v = distort::cosDepthFast(angle, depth, inv);
    u = distort::scaledAngle(k, angle, x > cx ? cx : 0);
}

// Tunnel row coordinates. The first row of a pair (mirror false) computes
// and keeps each column's angle and source row; the second, row 2 cy - y,
// takes them for column x from column 2 cx - x: negating both dx and dy
// leaves dy * (1 / dx) and |cos(angle) * depth * inv| unchanged, bit for bit,
// since 1 / -dx is exactly -(1 / dx). Within the first row, negating dx alone
// negates dy * (1 / dx), and with it the angle (the arc tangent is odd,
// exactly: the engine's and the double form both work on |z| and put the
// sign back, and single(-y) is -single(y)), and leaves the source row as it
// is (the cosine is even, exactly, both forms taking |angle|): so only the
// columns from the centre on are computed, and those left of it that have a
// partner take its values, negated or not; their rowX, whose constant
// differs, is formed anew. The centre column is filled in afterwards.
static void tunnelCoordinates(int32_t y, int32_t cx, int32_t cy, float k, float depth, bool mirror) {
    PolarRows& rows = perThread<PolarRows>();
    float *tunnelAngle = rows.tunnelAngle, *tunnelSource = rows.tunnelSource;
    int32_t* open = rows.open;
    float *rowX = distort::rowSamples().x, *rowY = distort::rowSamples().y;
    const float dy = static_cast<float>(y - cy);
    const int32_t width = layerWidth;
    if (!mirror) {
        // Columns lo .. cx - 1 have a partner 2 cx - x right of the centre;
        // those before lo (column 0 of an even width) are computed alone.
        const int32_t lo = std::max(0, 2 * cx - width + 1);
        tunnelRow(tunnelAngle, tunnelSource, rowX, open, dy, k, depth, cx, cx, width);
        open[cx] = 0;
        uint32_t left = 0;
        for (int32_t x = cx; x < width; ++x) left += uint32_t(open[x]);
        numeric::countDecisions(3 * uint64_t(width - cx), left);
        if (left)
            for (int32_t x = cx; x < width; ++x)
                if (open[x]) tunnelColumn(x, dy, k, depth, cx, tunnelAngle[x], tunnelSource[x], rowX[x]);
        for (int32_t x = 0; x < cx; ++x) {
            const bool partner = x >= lo;
            tunnelAngle[x] = partner ? -tunnelAngle[2 * cx - x] : 0.0f;
            tunnelSource[x] = partner ? tunnelSource[2 * cx - x] : 0.0f;
        }
        mirrorRow(tunnelAngle, rowX, open, k, cx, cx);
        left = 0;
        for (int32_t x = lo; x < cx; ++x) left += uint32_t(open[x]);
        numeric::countDecisions(uint64_t(cx - lo), left);
        for (int32_t x = 0; x < cx; ++x)
            if (x < lo)
                tunnelColumn(x, dy, k, depth, cx, tunnelAngle[x], tunnelSource[x], rowX[x]);
            else if (open[x])
                rowX[x] = distort::scaledAngle(k, tunnelAngle[x], 0);
        std::memcpy(rowY, tunnelSource, size_t(width) * sizeof(float));
    } else {
        // Columns lo .. hi - 1 have a partner; the others (column 0 of an even
        // width) are computed by the scalar forms.
        float* angle = rows.mirrorAngle;
        const int32_t lo = std::max(0, 2 * cx - width + 1), hi = std::min(width, 2 * cx + 1);
        for (int32_t x = 0; x < width; ++x) angle[x] = 0.0f;
        for (int32_t x = lo; x < hi; ++x) {
            angle[x] = tunnelAngle[2 * cx - x];
            rowY[x] = tunnelSource[2 * cx - x];
        }
        mirrorRow(angle, rowX, open, k, cx, width);
        for (int32_t x = 0; x < width; ++x)
            if (x < lo || x >= hi) {
                float unused;
                tunnelColumn(x, dy, k, depth, cx, unused, rowY[x], rowX[x]);
            } else if (open[x]) {
                rowX[x] = distort::scaledAngle(k, angle[x], x > cx ? cx : 0);
            }
    }
    rowX[cx] = rowY[cx] = 0.0f;
}

// The whole parts and weights of a tunnel row's coordinates. Its source rows
// (rowY) are those of the first row of its pair, by the definition, and
// within the first row those of columns x and 2 cx - x are equal (see
// tunnelCoordinates): so the second row of a pair keeps the first's, and the
// first weighs them from the centre on and gives the columns left of it their
// partners'. It must follow the first row on the same thread.
static void weighTunnelRow(int32_t cx, bool mirror) {
    distort::RowSamples& row = distort::rowSamples();
    const int32_t width = layerWidth;
    if (!mirror) {
        const int32_t lo = std::max(0, 2 * cx - width + 1);
        distort::weighCoordinates(row, row.y, row.wholeY, row.weightY, cx, width - cx);
        for (int32_t x = lo; x < cx; ++x) {
            row.wholeY[x] = row.wholeY[2 * cx - x];
            row.weightY[x] = row.weightY[2 * cx - x];
        }
        distort::weighCoordinates(row, row.y, row.wholeY, row.weightY, 0, lo);
    }
    distort::weighCoordinates(row, row.x, row.wholeX, row.weightX, 0, width);
}

// The centre column repeats the pixel to its left. A layer one pixel wide has
// no column to its left: there the staged source pixel is kept. Rows are
// written in pairs cy - t, cy + t; each reads only the staged copy.
void tunnelDistort(int32_t src, int32_t dst, float depth) {
    if (!validLayers(src, dst)) return;
    copyLayer(src, SCRATCH_LAYER);
    const int32_t cx = layerWidth / 2, cy = layerHeight / 2;
    const float k = static_cast<float>(layerWidth / (ext(PI_F) * ext(2.0)));
    // single(1 / dx) of a float32 dx is one float32 division (the centre
    // column has none).
    for (int32_t x = 0; x < layerWidth; ++x) columnInverse[x] = x == cx ? 0.0f : 1.0f / static_cast<float>(x - cx);
    auto writeRow = [&](int32_t y, bool mirror) {
        tunnelCoordinates(y, cx, cy, k, depth, mirror);
        weighTunnelRow(cx, mirror);
        Pixel* out = &pixelAt(dst, 0, y);
        distort::sampleWeighed(distort::rowSamples(), SCRATCH_LAYER, out, layerWidth);
        out[cx] = cx > 0 ? out[cx - 1] : pixelAt(SCRATCH_LAYER, cx, y);
    };
    forEachRange(cy + 1, 2 * int64_t(layerWidth), [&](int64_t t0, int64_t t1) {
    for (int32_t t = int32_t(t0); t < t1; ++t) {
        writeRow(cy - t, false);
        if (t > 0 && cy + t < layerHeight) writeRow(cy + t, true);
    }
    });
}

// single(r * c + centre) for float32 r and ext c, in double, from a double
// c' within e of c: the product and the sum round once each (2^-53 of their
// values), the ext form rounds the product (88 bits) and the sum to 64 bits
// (2^-64 each). So |double - ext| <= |r| e + 2^-51 (|r c'| + |result|).
// e is 2^-46 where c' is the library's double cosine or sine of the angle,
// which for |angle| <= 4096 lies that close to the engine's extended one
// (both within 1 ulp: 2^-52 and 2^-63); elsewhere c' is c rounded to double
// (2^-53 of it, inside the second term) and e is 0.
static double columnCosDouble[MAX_LAYER_SIDE], columnSinDouble[MAX_LAYER_SIDE], columnError[MAX_LAYER_SIDE];
static float columnAngle[MAX_LAYER_SIDE];
struct LogPolRow {  // one per thread: the row's coordinates left open
    int32_t open[MAX_LAYER_SIDE];
};

static TEX_ALWAYS_INLINE void logPolLoop(float* rowX, float* rowY, int32_t* logPolOpen, float r, float cx, float cy,
                                         int32_t width) {
    for (int32_t j = 0; j < width; ++j) {
        const double px = double(r) * columnCosDouble[j], py = double(r) * columnSinDouble[j];
        const double x = px + cx, y = py + cy, e = double(r) * columnError[j];
        const double wx = numeric::decisionWidth(x, e + (std::fabs(px) + std::fabs(x)) * 0x1p-51);
        const double wy = numeric::decisionWidth(y, e + (std::fabs(py) + std::fabs(y)) * 0x1p-51);
        const float xLow = static_cast<float>(x - wx), yLow = static_cast<float>(y - wy);
        rowX[j] = xLow;
        rowY[j] = yLow;
        logPolOpen[j] = int32_t(xLow != static_cast<float>(x + wx)) | int32_t(yLow != static_cast<float>(y + wy));
    }
}
#if TEX_X86_VECTORS
TEX_AVX2_FUNCTION static void logPolAvx2(float* rowX, float* rowY, int32_t* open, float r, float cx, float cy,
                                         int32_t width) {
    logPolLoop(rowX, rowY, open, r, cx, cy, width);
}
#endif
static uint32_t logPolRow(float* rowX, float* rowY, int32_t* logPolOpen, float r, float cx, float cy,
                          int32_t width) {
#if TEX_X86_VECTORS
    if (vectorUnits() >= VectorUnits::Avx2) {
        logPolAvx2(rowX, rowY, logPolOpen, r, cx, cy, width);
    } else
#endif
        logPolLoop(rowX, rowY, logPolOpen, r, cx, cy, width);
    uint32_t open = 0;
    for (int32_t j = 0; j < width; ++j) open += uint32_t(logPolOpen[j]);
    return open;
}

// The radius single(exp(i * step)): the argument is exact in double (16 by
// 24 bits) and the library's exponential and the engine's (within 1 ulp,
// 2^-52 and 2^-63 relative) differ by far less than the 2^-46 relative used.
static float logPolRadius(int32_t i, float step) {
    const double e = std::exp(double(i) * step);
    return numeric::singleOr(e, e * 0x1p-46, [&] { return static_cast<float>(extExp(ext(i) * step)); });
}

void logPolLayer(int32_t src, int32_t dst) {
    if (!validLayers(src, dst)) return;
    const float step = static_cast<float>(ext(PI_F) * ext(2.0) / layerHeight);
    const float cx = float(layerWidth / 2), cy = float(layerHeight / 2);
    // The radius belongs to the row, the angle (and its extended cosine and
    // sine) to the column.
    // a = single(j * step) is one rounding of a product exact in double.
    // Its extended cosine and sine are formed only where the library's do not
    // serve (see logPolLoop), and otherwise for the coordinates left open.
    for (int32_t j = 0; j < layerWidth; ++j) {
        const float a = static_cast<float>(double(j) * step);
        columnAngle[j] = a;
        if (std::fabs(a) <= 4096.0f) {
            columnCosDouble[j] = std::cos(double(a));
            columnSinDouble[j] = std::sin(double(a));
            columnError[j] = 0x1p-46;
        } else {
            columnCos[j] = extCos(a);
            columnSin[j] = extSin(a);
            columnCosDouble[j] = static_cast<double>(columnCos[j]);
            columnSinDouble[j] = static_cast<double>(columnSin[j]);
            columnError[j] = 0.0;
        }
    }
    // Straight into a destination that is not the source.
    const int32_t result = dst == src ? SCRATCH_LAYER : dst;
    forEachRow([&](int64_t y0, int64_t y1) {
    float *rowX = distort::rowSamples().x, *rowY = distort::rowSamples().y;
    int32_t* logPolOpen = perThread<LogPolRow>().open;
    Pixel* out = &pixelAt(result, 0, int32_t(y0));
    for (int32_t i = int32_t(y0); i < y1; ++i) {
        const float r = logPolRadius(i, step);
        // Finite and not huge (r < 2^100: always, but for absurd sizes), so
        // that the double forms below stay inside float32's range.
        const bool fast = r < 0x1p100f;
        uint32_t open = 0;
        if (fast) open = logPolRow(rowX, rowY, logPolOpen, r, cx, cy, layerWidth);
        numeric::countDecisions(2 * uint64_t(layerWidth), open);
        if (!fast || open)
            for (int32_t j = 0; j < layerWidth; ++j)
                if (!fast || logPolOpen[j]) {
                    const bool library = columnError[j] != 0.0;
                    const ext c = library ? extCos(columnAngle[j]) : columnCos[j];
                    const ext sine = library ? extSin(columnAngle[j]) : columnSin[j];
                    rowX[j] = static_cast<float>(ext(r) * c + cx);
                    rowY[j] = static_cast<float>(ext(r) * sine + cy);
                }
        sampleRow(src, out, layerWidth);
        out += layerWidth;
    }
    });
    if (result == SCRATCH_LAYER) copyLayer(SCRATCH_LAYER, dst);
}

}  // namespace tex
