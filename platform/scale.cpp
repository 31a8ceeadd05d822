// Box-filter downscale fused with the JFIF colour conversion.
//
// Each output row is first blended vertically from its source rows into a
// row of 8.8 fixed-point samples (weights summing to 256), then each output
// pixel sums its horizontal footprint with exact integer coverage. The colour
// conversion uses libjpeg's own coefficients on the 8.8 values, so a flat
// colour converts exactly as the encoder would convert it.
#include "platform/scale.hpp"

#include <algorithm>
#include <cstring>
#include <vector>

// The hot loops are written for the vectorizer; GCC runs it fully at -O3 only.
// ThreadSanitizer cannot run the ifunc resolvers of target clones (they run
// before its runtime is up), so its build gets the plain loops.
#if defined(__SANITIZE_THREAD__)
#define VECTORIZE
#elif defined(__GNUC__) && !defined(__clang__)
#define VECTORIZE __attribute__((optimize("O3"), target_clones("avx2", "default")))
#else
#define VECTORIZE __attribute__((target_clones("avx2", "default")))
#endif

namespace platform {
namespace {

// libjpeg's FIX(x) with 16 fraction bits.
constexpr uint32_t kYr = 19595, kYg = 38470, kYb = 7471;
constexpr uint32_t kCbR = 11059, kCbG = 21709, kHalf = 32768;
constexpr uint32_t kCrG = 27439, kCrB = 5329;

// One source pixel's share of one output pixel along one axis.
struct Span {
    int first = 0;  // first source index
    int last = 0;   // last source index
    int64_t head = 0, tail = 0;  // overlaps of first and last, in 1/dst units
};

// Output pixel i covers [i * src, (i + 1) * src) where source pixel k is
// [k * dst, (k + 1) * dst).
Span spanOf(int i, int src, int dst) {
    int64_t lo = int64_t(i) * src, hi = int64_t(i + 1) * src;
    Span s;
    s.first = int(lo / dst);
    s.last = int((hi - 1) / dst);
    s.head = std::min<int64_t>(int64_t(s.first + 1) * dst, hi) - lo;
    s.tail = hi - int64_t(s.last) * dst;
    return s;
}

VECTORIZE void setRow(uint16_t* __restrict acc, const uint8_t* __restrict row,
                                                               size_t n, uint16_t w) {
    for (size_t i = 0; i < n; ++i) acc[i] = uint16_t(row[i] * w);
}

VECTORIZE void addRow(uint16_t* __restrict acc, const uint8_t* __restrict row,
                                                               size_t n, uint16_t w) {
    for (size_t i = 0; i < n; ++i) acc[i] = uint16_t(acc[i] + row[i] * w);
}

// Vertical blend of output row `y` into `acc` (4 samples a pixel, 8.8).
void blendRows(const Pixels32& src, int y, int height, uint16_t* acc) {
    Span s = spanOf(y, src.height, height);
    size_t n = size_t(src.width) * 4;
    // Cumulative rounding keeps every weight >= 0 and their sum at 256.
    int64_t covered = 0, given = 0;
    bool first = true;
    for (int r = s.first; r <= s.last; ++r) {
        int64_t part = r == s.first ? s.head : r == s.last ? s.tail : height;
        covered += part;
        int64_t upTo = (covered * 256 + src.height / 2) / src.height;
        auto w = uint16_t(upTo - given);
        given = upTo;
        if (w == 0) continue;
        const uint8_t* row = src.data + size_t(r) * src.stride;
        if (first) setRow(acc, row, n, w);
        else addRow(acc, row, n, w);
        first = false;
    }
    if (first) std::fill(acc, acc + n, uint16_t(0));
}

struct Planar {
    std::vector<uint16_t> r, g, b;  // 8.8
};

// Horizontal footprints as `taps` weights a pixel from `first` on; the
// weights of one pixel sum to the source width.
struct Columns {
    int taps = 1;
    std::vector<int> first;
    std::vector<uint32_t> weights;
};

Columns columnsOf(int src, int dst) {
    Columns c;
    c.first.resize(size_t(dst));
    for (int x = 0; x < dst; ++x) {
        Span s = spanOf(x, src, dst);
        c.taps = std::max(c.taps, s.last - s.first + 1);
    }
    c.weights.assign(size_t(dst) * size_t(c.taps), 0);
    for (int x = 0; x < dst; ++x) {
        Span s = spanOf(x, src, dst);
        // Near the right edge the window of taps would run past the row.
        int first = std::min(s.first, src - c.taps);
        c.first[size_t(x)] = first;
        uint32_t* w = &c.weights[size_t(x) * size_t(c.taps)];
        for (int i = s.first; i <= s.last; ++i)
            w[i - first] = uint32_t(i == s.first ? s.head : i == s.last ? s.tail : dst);
    }
    return c;
}

typedef int32_t I32x4 __attribute__((vector_size(16)));
typedef uint16_t U16x4 __attribute__((vector_size(8)));
typedef double F64x4 __attribute__((vector_size(32)));

// `taps` weighted pixels from `p` on, normalized back to 8.8. Each weighted
// sum is at most 65280 x source width < 2^31, and a double holds it exactly,
// so a flat row keeps its value.
template <int kTaps>
inline I32x4 footprint(const uint16_t* p, const uint32_t* w, int taps, double inv) {
    I32x4 sum = {0, 0, 0, 0};
    int n = kTaps ? kTaps : taps;
    for (int t = 0; t < n; ++t, p += 4) {
        U16x4 v;
        std::memcpy(&v, p, sizeof v);
        sum += __builtin_convertvector(v, I32x4) * int32_t(w[t]);
    }
    F64x4 f = __builtin_convertvector(sum, F64x4) * inv + 0.5;
    return __builtin_convertvector(f, I32x4);
}

template <int kTaps>
void footprints(const uint16_t* acc, const Columns& c, int width, int ri, int bi, double inv,
                Planar& out) {
    const uint32_t* w = c.weights.data();
    for (size_t x = 0; x < size_t(width); ++x, w += c.taps) {
        I32x4 v = footprint<kTaps>(acc + size_t(c.first[x]) * 4, w, c.taps, inv);
        out.r[x] = uint16_t(v[ri]);
        out.g[x] = uint16_t(v[1]);
        out.b[x] = uint16_t(v[bi]);
    }
}

// Horizontal footprint sums of one blended row.
VECTORIZE void blendColumns(const uint16_t* acc, const Columns& c, int srcWidth, int width,
                            bool redFirst, Planar& out) {
    const int ri = redFirst ? 0 : 2, bi = redFirst ? 2 : 0;
    if (srcWidth == width) {
        for (size_t x = 0; x < size_t(width); ++x) {
            out.r[x] = acc[4 * x + size_t(ri)];
            out.g[x] = acc[4 * x + 1];
            out.b[x] = acc[4 * x + size_t(bi)];
        }
        return;
    }
    const double inv = 1.0 / srcWidth;
    switch (c.taps) {
        case 2: return footprints<2>(acc, c, width, ri, bi, inv, out);
        case 3: return footprints<3>(acc, c, width, ri, bi, inv, out);
        case 4: return footprints<4>(acc, c, width, ri, bi, inv, out);
        default: return footprints<0>(acc, c, width, ri, bi, inv, out);
    }
}

// Unsigned 32-bit arithmetic throughout: every numerator below lies in
// [0, 2^32) for 8.8 inputs up to 65280, and it vectorizes.
VECTORIZE void lumaRow(const uint16_t* __restrict r, const uint16_t* __restrict g,
                       const uint16_t* __restrict b, int width, uint8_t* __restrict y) {
    for (int x = 0; x < width; ++x)
        y[x] = uint8_t((kYr * r[x] + kYg * g[x] + kYb * b[x] + (1u << 23)) >> 24);
}

// Chroma of the 2 x 2 blocks of rows `a` and `b` (the same row at an odd end).
void chromaRow(const Planar& a, const Planar& b, int width, uint8_t* cb, uint8_t* cr) {
    constexpr uint32_t offset = (128u << 24) + (1u << 23) - 1;
    for (int cx = 0; cx < (width + 1) / 2; ++cx) {
        auto i = size_t(2 * cx), j = std::min(i + 1, size_t(width - 1));
        uint32_t r = (a.r[i] + a.r[j] + b.r[i] + b.r[j] + 2u) >> 2;
        uint32_t g = (a.g[i] + a.g[j] + b.g[i] + b.g[j] + 2u) >> 2;
        uint32_t bl = (a.b[i] + a.b[j] + b.b[i] + b.b[j] + 2u) >> 2;
        cb[cx] = uint8_t((offset - kCbR * r - kCbG * g + kHalf * bl) >> 24);
        cr[cx] = uint8_t((offset + kHalf * r - kCrG * g - kCrB * bl) >> 24);
    }
}

}  // namespace

Yuv420 scaleToYuv420(const Pixels32& src, int width, int height) {
    Yuv420 out;
    out.width = width;
    out.height = height;
    size_t cw = size_t(out.chromaWidth()), ch = size_t(out.chromaHeight());
    out.data.reset(new uint8_t[size_t(width) * size_t(height) + 2 * cw * ch]);

    Columns columns = columnsOf(src.width, width);
    std::vector<uint16_t> acc(static_cast<size_t>(src.width) * 4);
    Planar rows[2];
    for (Planar& p : rows) p.r.resize(size_t(width)), p.g.resize(size_t(width)), p.b.resize(size_t(width));

    for (int y = 0; y < height; y += 2) {
        int pair = y + 1 < height ? 2 : 1;
        for (int k = 0; k < pair; ++k) {
            blendRows(src, y + k, height, acc.data());
            Planar& p = rows[k];
            blendColumns(acc.data(), columns, src.width, width, src.redFirst, p);
            lumaRow(p.r.data(), p.g.data(), p.b.data(), width,
                    out.y() + size_t(y + k) * size_t(width));
        }
        size_t cy = size_t(y / 2);
        chromaRow(rows[0], rows[pair - 1], width, out.cb() + cy * cw, out.cr() + cy * cw);
    }
    return out;
}

}  // namespace platform
