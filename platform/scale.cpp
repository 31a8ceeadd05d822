// Box-filter downscale fused with the JFIF colour conversion.
//
// Each output row is first blended vertically from its source rows into a
// row of 8.7 fixed-point samples (weights summing to 128, so a sample fits a
// signed 16-bit lane), then each output pixel sums its horizontal footprint
// with exact integer coverage, two source pixels a 16-bit multiply-add. The
// colour conversion uses libjpeg's own coefficients on the 8.7 values, so a
// flat colour converts exactly as the encoder would convert it.
#include "platform/scale.hpp"

#include <algorithm>
#include <cstring>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

// Fraction bits of the blended samples.
constexpr int kFrac = 7;

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

// Vertical blend of output row `y` into `acc` (4 samples a pixel, 8.7).
void blendRows(const Pixels32& src, int y, int height, uint16_t* acc) {
    Span s = spanOf(y, src.height, height);
    size_t n = size_t(src.width) * 4;
    // Cumulative rounding keeps every weight >= 0 and their sum at 128.
    int64_t covered = 0, given = 0;
    bool first = true;
    for (int r = s.first; r <= s.last; ++r) {
        int64_t part = r == s.first ? s.head : r == s.last ? s.tail : height;
        covered += part;
        int64_t upTo = (covered * (1 << kFrac) + src.height / 2) / src.height;
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
// `lanes` holds them as 16-bit lanes for the multiply-add: per pixel, per
// pair of taps, the pair four times over (a lone last tap paired with 0).
constexpr int kShift = 14;
constexpr uint32_t kUnit = 1u << kShift;

struct Columns {
    int taps = 1;
    int tapPairs = 1;
    std::vector<int> first;
    std::vector<uint32_t> weights;
    std::vector<int16_t> lanes;
};

Columns columnsOf(int src, int dst) {
    Columns c;
    c.first.resize(size_t(dst));
    for (int x = 0; x < dst; ++x) {
        Span s = spanOf(x, src, dst);
        c.taps = std::max(c.taps, s.last - s.first + 1);
    }
    c.tapPairs = (c.taps + 1) / 2;
    const size_t taps = size_t(c.taps), pairs = size_t(c.tapPairs);
    c.weights.assign(size_t(dst) * taps, 0);
    c.lanes.assign(size_t(dst) * pairs * 8, 0);
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
        int16_t* lane = &c.lanes[size_t(x) * pairs * 8];
        for (size_t t = 0; t < taps; ++t)
            for (size_t k = 0; k < 4; ++k) lane[t / 2 * 8 + 2 * k + t % 2] = int16_t(w[t]);
    }
    return c;
}

#if defined(__SSE2__)
// One output pixel: pairs of source pixels (b0 g0 r0 x0 b1 g1 r1 x1) become
// (b0 b1 g0 g1 r0 r1 x0 x1), and one multiply-add against (w0 w1 ...) sums
// both into 32-bit lanes. A sample is at most 32640 and the weights of a
// pixel sum to kUnit, so no sum leaves the signed 32-bit range.
template <int kPairs>
INLINE void footprint(const uint16_t* p, const int16_t* w, int pairs, uint16_t* out) {
    __m128i sum = _mm_set1_epi32(int(kUnit / 2));
    int n = kPairs ? kPairs : pairs;
    for (int t = 0; t < n; ++t, p += 8, w += 8) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        v = _mm_unpacklo_epi16(v, _mm_srli_si128(v, 8));
        __m128i weight = _mm_loadu_si128(reinterpret_cast<const __m128i*>(w));
        sum = _mm_add_epi32(sum, _mm_madd_epi16(v, weight));
    }
    sum = _mm_srli_epi32(sum, kShift);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out), _mm_packs_epi32(sum, sum));
}
#else
template <int kPairs>
INLINE void footprint(const uint16_t* p, const int16_t* w, int pairs, uint16_t* out) {
    int n = kPairs ? kPairs : pairs;
    for (int c = 0; c < 4; ++c) {
        uint32_t sum = kUnit / 2;
        for (int t = 0; t < n; ++t)
            sum += uint32_t(p[8 * t + c] * w[8 * t]) + uint32_t(p[8 * t + 4 + c] * w[8 * t + 1]);
        out[c] = uint16_t(sum >> kShift);
    }
}
#endif

template <int kPairs>
INLINE void footprints(const uint16_t* acc, const Columns& c, int width, uint16_t* out) {
    const size_t lanes = size_t(c.tapPairs) * 8;
    for (size_t x = 0; x < size_t(width); ++x)
        footprint<kPairs>(acc + size_t(c.first[x]) * 4, &c.lanes[x * lanes], c.tapPairs,
                          out + 4 * x);
}

// Horizontal footprint sums of one blended row into `out` (4 samples a
// pixel, 8.7, in the source's order). `acc` has one pixel to spare at its
// end, for a lone last tap.
VECTORIZE void blendColumns(const uint16_t* acc, const Columns& c, int width, uint16_t* out) {
    switch (c.tapPairs) {
        case 1: return footprints<1>(acc, c, width, out);
        case 2: return footprints<2>(acc, c, width, out);
        default: return footprints<0>(acc, c, width, out);
    }
}

// Unsigned 32-bit arithmetic throughout: every numerator below lies in
// [0, 2^32) for 8.7 inputs up to 32640, and it vectorizes.
template <bool kRedFirst>
INLINE void lumaOf(const uint16_t* __restrict row, int width, uint8_t* __restrict y) {
    constexpr size_t ri = kRedFirst ? 0 : 2, bi = kRedFirst ? 2 : 0;
    for (size_t x = 0; x < size_t(width); ++x) {
        const uint16_t* p = row + 4 * x;
        y[x] = uint8_t((kYr * p[ri] + kYg * p[1] + kYb * p[bi] + (1u << (15 + kFrac))) >>
                       (16 + kFrac));
    }
}

VECTORIZE void lumaRow(const uint16_t* row, int width, bool redFirst, uint8_t* y) {
    if (redFirst) lumaOf<true>(row, width, y);
    else lumaOf<false>(row, width, y);
}

// Chroma of one 2 x 2 block's summed samples (each sum up to 4 x 32640).
INLINE void chroma(uint32_t r, uint32_t g, uint32_t b, uint8_t& cb, uint8_t& cr) {
    constexpr uint32_t offset = (128u << (16 + kFrac)) + (1u << (15 + kFrac)) - 1;
    r = (r + 2u) >> 2;
    g = (g + 2u) >> 2;
    b = (b + 2u) >> 2;
    cb = uint8_t((offset - kCbR * r - kCbG * g + kHalf * b) >> (16 + kFrac));
    cr = uint8_t((offset + kHalf * r - kCrG * g - kCrB * b) >> (16 + kFrac));
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
        acc[k].resize(size_t(src.width + 1) * 4);  // a spare pixel, for footprints
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
