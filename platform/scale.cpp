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

// Helpers of the hot loops are inlined into them, so they get the loops'
// target instructions.
#define INLINE inline __attribute__((always_inline))

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

// Horizontal footprints as `taps` weights a pixel from `first` on; the
// weights of one pixel sum to kUnit, so a flat row keeps its value exactly.
// `pairs` holds the same weights two pixels at a time, each repeated for the
// four samples of its pixel: one vector per tap.
constexpr int kShift = 14;
constexpr uint32_t kUnit = 1u << kShift;

struct Columns {
    int taps = 1;
    std::vector<int> first;
    std::vector<uint32_t> weights;
    std::vector<uint32_t> pairs;
};

Columns columnsOf(int src, int dst) {
    Columns c;
    c.first.resize(size_t(dst));
    for (int x = 0; x < dst; ++x) {
        Span s = spanOf(x, src, dst);
        c.taps = std::max(c.taps, s.last - s.first + 1);
    }
    const size_t taps = size_t(c.taps);
    c.weights.assign(size_t(dst) * taps, 0);
    for (int x = 0; x < dst; ++x) {
        Span s = spanOf(x, src, dst);
        // Near the right edge the window of taps would run past the row.
        int first = std::min(s.first, src - c.taps);
        c.first[size_t(x)] = first;
        uint32_t* w = &c.weights[size_t(x) * taps];
        // Cumulative rounding, as for rows: no weight below 0, sum kUnit.
        int64_t covered = 0, given = 0;
        for (int i = s.first; i <= s.last; ++i) {
            covered += i == s.first ? s.head : i == s.last ? s.tail : dst;
            int64_t upTo = (covered * kUnit + src / 2) / src;
            w[i - first] = uint32_t(upTo - given);
            given = upTo;
        }
    }
    c.pairs.resize(size_t(dst / 2) * taps * 8);
    for (size_t pair = 0; pair < size_t(dst / 2); ++pair)
        for (size_t t = 0; t < taps; ++t)
            for (size_t k = 0; k < 8; ++k)
                c.pairs[(pair * taps + t) * 8 + k] = c.weights[(2 * pair + k / 4) * taps + t];
    return c;
}

typedef uint32_t U32x4 __attribute__((vector_size(16)));
typedef uint16_t U16x4 __attribute__((vector_size(8)));
typedef uint32_t U32x8 __attribute__((vector_size(32)));
typedef uint16_t U16x8 __attribute__((vector_size(16)));

// Two output pixels' footprints, `taps` pixels each from `a` and from `b`,
// back in 8.8 into `out`. Each product is at most 65280 x kUnit < 2^30 and
// so is their sum: no overflow in 32 bits.
template <int kTaps>
INLINE void footprintPair(const uint16_t* a, const uint16_t* b, const uint32_t* w, int taps,
                          uint16_t* out) {
    U32x8 sum = {kUnit / 2, kUnit / 2, kUnit / 2, kUnit / 2,
                 kUnit / 2, kUnit / 2, kUnit / 2, kUnit / 2};
    int n = kTaps ? kTaps : taps;
    for (int t = 0; t < n; ++t, a += 4, b += 4, w += 8) {
        U16x4 va, vb;
        std::memcpy(&va, a, sizeof va);
        std::memcpy(&vb, b, sizeof vb);
        U32x8 v = __builtin_shufflevector(__builtin_convertvector(va, U32x4),
                                          __builtin_convertvector(vb, U32x4), 0, 1, 2, 3, 4, 5, 6, 7);
        U32x8 weight;
        std::memcpy(&weight, w, sizeof weight);
        sum += v * weight;
    }
    U16x8 result = __builtin_convertvector(sum >> kShift, U16x8);
    std::memcpy(out, &result, sizeof result);
}

// One output pixel's footprint (the last of an odd width).
INLINE void footprint(const uint16_t* p, const uint32_t* w, int taps, uint16_t* out) {
    U32x4 sum = {kUnit / 2, kUnit / 2, kUnit / 2, kUnit / 2};
    for (int t = 0; t < taps; ++t, p += 4) {
        U16x4 v;
        std::memcpy(&v, p, sizeof v);
        sum += __builtin_convertvector(v, U32x4) * w[t];
    }
    U16x4 result = __builtin_convertvector(sum >> kShift, U16x4);
    std::memcpy(out, &result, sizeof result);
}

template <int kTaps>
INLINE void footprints(const uint16_t* acc, const Columns& c, int width, uint16_t* out) {
    const size_t taps = size_t(c.taps);
    for (size_t x = 0; x + 1 < size_t(width); x += 2)
        footprintPair<kTaps>(acc + size_t(c.first[x]) * 4, acc + size_t(c.first[x + 1]) * 4,
                             &c.pairs[x / 2 * taps * 8], c.taps, out + 4 * x);
    if (width % 2) {
        size_t x = size_t(width - 1);
        footprint(acc + size_t(c.first[x]) * 4, &c.weights[x * taps], c.taps, out + 4 * x);
    }
}

// Horizontal footprint sums of one blended row into `out` (4 samples a
// pixel, 8.8, in the source's order).
VECTORIZE void blendColumns(const uint16_t* acc, const Columns& c, int width, uint16_t* out) {
    switch (c.taps) {
        case 2: return footprints<2>(acc, c, width, out);
        case 3: return footprints<3>(acc, c, width, out);
        case 4: return footprints<4>(acc, c, width, out);
        default: return footprints<0>(acc, c, width, out);
    }
}

// Unsigned 32-bit arithmetic throughout: every numerator below lies in
// [0, 2^32) for 8.8 inputs up to 65280, and it vectorizes.
template <bool kRedFirst>
INLINE void lumaOf(const uint16_t* __restrict row, int width, uint8_t* __restrict y) {
    constexpr size_t ri = kRedFirst ? 0 : 2, bi = kRedFirst ? 2 : 0;
    for (size_t x = 0; x < size_t(width); ++x) {
        const uint16_t* p = row + 4 * x;
        y[x] = uint8_t((kYr * p[ri] + kYg * p[1] + kYb * p[bi] + (1u << 23)) >> 24);
    }
}

VECTORIZE void lumaRow(const uint16_t* row, int width, bool redFirst, uint8_t* y) {
    if (redFirst) lumaOf<true>(row, width, y);
    else lumaOf<false>(row, width, y);
}

// Chroma of one 2 x 2 block's summed samples (each sum up to 4 x 65280).
INLINE void chroma(uint32_t r, uint32_t g, uint32_t b, uint8_t& cb, uint8_t& cr) {
    constexpr uint32_t offset = (128u << 24) + (1u << 23) - 1;
    r = (r + 2u) >> 2;
    g = (g + 2u) >> 2;
    b = (b + 2u) >> 2;
    cb = uint8_t((offset - kCbR * r - kCbG * g + kHalf * b) >> 24);
    cr = uint8_t((offset + kHalf * r - kCrG * g - kCrB * b) >> 24);
}

// Chroma of the 2 x 2 blocks of rows `a` and `b` (the same row at an odd
// end); an odd last column pairs with itself.
template <bool kRedFirst>
INLINE void chromaOf(const uint16_t* __restrict a, const uint16_t* __restrict b, int width,
                     uint8_t* __restrict cb, uint8_t* __restrict cr) {
    constexpr size_t ri = kRedFirst ? 0 : 2, bi = kRedFirst ? 2 : 0;
    const size_t pairs = size_t(width / 2);
    auto sum = [&](size_t i, size_t c) {
        return uint32_t(a[4 * i + c]) + a[4 * i + 4 + c] + b[4 * i + c] + b[4 * i + 4 + c];
    };
    for (size_t cx = 0; cx < pairs; ++cx)
        chroma(sum(2 * cx, ri), sum(2 * cx, 1), sum(2 * cx, bi), cb[cx], cr[cx]);
    if (width % 2) {
        const size_t i = 4 * size_t(width - 1);
        chroma(2u * (a[i + ri] + b[i + ri]), 2u * (a[i + 1] + b[i + 1]),
               2u * (a[i + bi] + b[i + bi]), cb[pairs], cr[pairs]);
    }
}

VECTORIZE void chromaRow(const uint16_t* a, const uint16_t* b, int width, bool redFirst,
                         uint8_t* cb, uint8_t* cr) {
    if (redFirst) chromaOf<true>(a, b, width, cb, cr);
    else chromaOf<false>(a, b, width, cb, cr);
}

}  // namespace

Yuv420 scaleToYuv420(const Pixels32& src, int width, int height) {
    Yuv420 out;
    out.width = width;
    out.height = height;
    size_t cw = size_t(out.chromaWidth()), ch = size_t(out.chromaHeight());
    out.data.reset(new uint8_t[size_t(width) * size_t(height) + 2 * cw * ch]);

    const bool sameWidth = src.width == width;
    Columns columns;
    if (!sameWidth) columns = columnsOf(src.width, width);
    // Two blended source rows; at the same width they are the output rows.
    std::vector<uint16_t> acc[2], rows[2];
    for (int k = 0; k < 2; ++k) {
        acc[k].resize(size_t(src.width) * 4);
        if (!sameWidth) rows[k].resize(size_t(width) * 4);
    }

    for (int y = 0; y < height; y += 2) {
        int pair = y + 1 < height ? 2 : 1;
        const uint16_t* row[2] = {};
        for (int k = 0; k < pair; ++k) {
            blendRows(src, y + k, height, acc[k].data());
            if (sameWidth) {
                row[k] = acc[k].data();
            } else {
                blendColumns(acc[k].data(), columns, width, rows[k].data());
                row[k] = rows[k].data();
            }
            lumaRow(row[k], width, src.redFirst, out.y() + size_t(y + k) * size_t(width));
        }
        size_t cy = size_t(y / 2);
        chromaRow(row[0], row[pair - 1], width, src.redFirst, out.cb() + cy * cw,
                  out.cr() + cy * cw);
    }
    return out;
}

}  // namespace platform
