// Box-filter downscale fused with the JFIF colour conversion.
//
// Each output row is first blended vertically from its source rows into a
// row of 8.7 fixed-point samples (weights summing to 128, so a sample fits a
// signed 16-bit lane), then each output pixel sums its horizontal footprint
// with exact integer coverage, two source pixels a 16-bit multiply-add. The
// colour conversion uses libjpeg's own coefficients on the 8.7 values, so a
// flat colour converts exactly as the encoder would convert it.
#include "platform/codec/scale.hpp"

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

// acc = (acc if kAdd) + the sum of N weighted rows, in one pass.
template <int N, bool kAdd>
INLINE void mix(uint16_t* __restrict acc, const uint8_t* const* rows, const uint16_t* w,
                size_t n) {
    const uint8_t* __restrict row[N];
    for (int r = 0; r < N; ++r) row[r] = rows[r];
    for (size_t i = 0; i < n; ++i) {
        uint16_t sum = kAdd ? acc[i] : 0;
        for (int r = 0; r < N; ++r) sum = uint16_t(sum + row[r][i] * w[r]);
        acc[i] = sum;
    }
}

template <bool kAdd>
INLINE void mix(uint16_t* acc, const uint8_t* const* rows, const uint16_t* w, int count,
                size_t n) {
    switch (count) {
        case 1: return mix<1, kAdd>(acc, rows, w, n);
        case 2: return mix<2, kAdd>(acc, rows, w, n);
        case 3: return mix<3, kAdd>(acc, rows, w, n);
        default: return mix<4, kAdd>(acc, rows, w, n);
    }
}

// Up to four rows into `acc`, added to it or replacing it.
VECTORIZE void mixRows(uint16_t* acc, const uint8_t* const* rows, const uint16_t* w, int count,
                       bool add, size_t n) {
    if (add) mix<true>(acc, rows, w, count, n);
    else mix<false>(acc, rows, w, count, n);
}

// Vertical blend of output row `y` into `acc` (4 samples a pixel, 8.7).
void blendRows(const Pixels32& src, int y, int height, uint16_t* acc) {
    Span s = spanOf(y, src.height, height);
    size_t n = size_t(src.width) * 4;
    // Cumulative rounding keeps every weight >= 0 and their sum at 128.
    int64_t covered = 0, given = 0;
    const uint8_t* rows[4];
    uint16_t weights[4];
    int count = 0;
    bool added = false;
    for (int r = s.first; r <= s.last; ++r) {
        int64_t part = r == s.first ? s.head : r == s.last ? s.tail : height;
        covered += part;
        int64_t upTo = (covered * (1 << kFrac) + src.height / 2) / src.height;
        auto w = uint16_t(upTo - given);
        given = upTo;
        if (w == 0) continue;
        rows[count] = src.data + size_t(r) * src.stride;
        weights[count++] = w;
        if (count == 4) {
            mixRows(acc, rows, weights, count, added, n);
            added = true;
            count = 0;
        }
    }
    if (count) mixRows(acc, rows, weights, count, added, n);
    else if (!added) std::fill(acc, acc + n, uint16_t(0));
}

// Horizontal footprints: `tapPairs` pairs of source pixels from `first` on,
// whose weights sum to kUnit, so a flat row keeps its value exactly. `lanes`
// holds them as 16-bit lanes for the multiply-add: per pixel, per pair of
// taps, the pair four times over (a lone last tap paired with 0).
constexpr int kShift = 14;
constexpr uint32_t kUnit = 1u << kShift;

struct Columns {
    bool same = false;  // as wide as the source: each pixel is itself
    int tapPairs = 1;
    std::vector<int> first;
    std::vector<int16_t> lanes;
};

Columns columnsOf(int src, int dst) {
    Columns c;
    c.first.resize(size_t(dst));
    int taps = 1;
    for (int x = 0; x < dst; ++x) {
        Span s = spanOf(x, src, dst);
        taps = std::max(taps, s.last - s.first + 1);
    }
    c.same = src == dst;
    c.tapPairs = (taps + 1) / 2;
    const size_t lanes = size_t(c.tapPairs) * 8;
    c.lanes.assign(size_t(dst) * lanes, 0);
    for (int x = 0; x < dst; ++x) {
        Span s = spanOf(x, src, dst);
        // Near the right edge the window of taps would run past the row.
        int first = std::min(s.first, src - taps);
        c.first[size_t(x)] = first;
        int16_t* lane = &c.lanes[size_t(x) * lanes];
        // Cumulative rounding, as for rows: no weight below 0, sum kUnit.
        int64_t covered = 0, given = 0;
        for (int i = s.first; i <= s.last; ++i) {
            covered += i == s.first ? s.head : i == s.last ? s.tail : dst;
            int64_t upTo = (covered * kUnit + src / 2) / src;
            auto t = size_t(i - first);
            for (size_t k = 0; k < 4; ++k) lane[t / 2 * 8 + 2 * k + t % 2] = int16_t(upTo - given);
            given = upTo;
        }
    }
    return c;
}

// One blended output row as planes of 8.7 samples.
struct Planar {
    std::vector<uint16_t> r, g, b;
};

// Output pixel x's four samples (in the source's order) as 32-bit sums.
#if defined(__SSE2__)
// Pairs of source pixels (s0 t0 u0 v0 s1 t1 u1 v1) become (s0 s1 t0 t1 ...)
// and one multiply-add against (w0 w1 w0 w1 ...) sums both. A sample is at
// most 32640 and the weights of a pixel sum to kUnit, so no sum leaves the
// signed 32-bit range.
template <int kPairs>
INLINE __m128i footprint(const uint16_t* p, const int16_t* w, int pairs) {
    if constexpr (kPairs < 0)  // the same width: the pixel itself
        return _mm_unpacklo_epi16(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)),
                                  _mm_setzero_si128());
    __m128i sum = _mm_set1_epi32(int(kUnit / 2));
    int n = kPairs ? kPairs : pairs;
    for (int t = 0; t < n; ++t, p += 8, w += 8) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        v = _mm_unpacklo_epi16(v, _mm_srli_si128(v, 8));
        __m128i weight = _mm_loadu_si128(reinterpret_cast<const __m128i*>(w));
        sum = _mm_add_epi32(sum, _mm_madd_epi16(v, weight));
    }
    return _mm_srli_epi32(sum, kShift);
}

INLINE void store4(uint16_t* to, __m128i v) {
    _mm_storel_epi64(reinterpret_cast<__m128i*>(to), _mm_packs_epi32(v, v));
}

// Four output pixels from x on: their sums transposed into the planes.
template <int kPairs, bool kRedFirst>
INLINE void footprint4(const uint16_t* acc, const Columns& c, size_t x, Planar& out) {
    const size_t lanes = size_t(c.tapPairs) * 8;
    __m128i p[4];
    for (size_t k = 0; k < 4; ++k)
        p[k] = footprint<kPairs>(acc + size_t(c.first[x + k]) * 4, &c.lanes[(x + k) * lanes],
                                 c.tapPairs);
    __m128i lo01 = _mm_unpacklo_epi32(p[0], p[1]), hi01 = _mm_unpackhi_epi32(p[0], p[1]);
    __m128i lo23 = _mm_unpacklo_epi32(p[2], p[3]), hi23 = _mm_unpackhi_epi32(p[2], p[3]);
    __m128i first = _mm_unpacklo_epi64(lo01, lo23), second = _mm_unpackhi_epi64(lo01, lo23);
    __m128i third = _mm_unpacklo_epi64(hi01, hi23);
    store4(&out.r[x], kRedFirst ? first : third);
    store4(&out.g[x], second);
    store4(&out.b[x], kRedFirst ? third : first);
}

template <int kPairs, bool kRedFirst>
INLINE void footprint1(const uint16_t* acc, const Columns& c, size_t x, Planar& out) {
    alignas(16) uint32_t v[4];
    _mm_store_si128(reinterpret_cast<__m128i*>(v),
                    footprint<kPairs>(acc + size_t(c.first[x]) * 4,
                                      &c.lanes[x * size_t(c.tapPairs) * 8], c.tapPairs));
    out.r[x] = uint16_t(v[kRedFirst ? 0 : 2]);
    out.g[x] = uint16_t(v[1]);
    out.b[x] = uint16_t(v[kRedFirst ? 2 : 0]);
}
#else
template <int kPairs, bool kRedFirst>
INLINE void footprint1(const uint16_t* acc, const Columns& c, size_t x, Planar& out) {
    const uint16_t* p = acc + size_t(c.first[x]) * 4;
    const int16_t* w = &c.lanes[x * size_t(c.tapPairs) * 8];
    uint32_t v[4];
    for (int k = 0; k < 4; ++k) {
        uint32_t sum = kUnit / 2;
        for (int t = 0; t < c.tapPairs; ++t)
            sum += uint32_t(p[8 * t + k] * w[8 * t]) + uint32_t(p[8 * t + 4 + k] * w[8 * t + 1]);
        v[k] = sum >> kShift;
    }
    out.r[x] = uint16_t(v[kRedFirst ? 0 : 2]);
    out.g[x] = uint16_t(v[1]);
    out.b[x] = uint16_t(v[kRedFirst ? 2 : 0]);
}

template <int kPairs, bool kRedFirst>
INLINE void footprint4(const uint16_t* acc, const Columns& c, size_t x, Planar& out) {
    for (size_t k = 0; k < 4; ++k) footprint1<kPairs, kRedFirst>(acc, c, x + k, out);
}
#endif

template <int kPairs, bool kRedFirst>
INLINE void footprints(const uint16_t* acc, const Columns& c, int width, Planar& out) {
    size_t x = 0;
    for (; x + 4 <= size_t(width); x += 4) footprint4<kPairs, kRedFirst>(acc, c, x, out);
    for (; x < size_t(width); ++x) footprint1<kPairs, kRedFirst>(acc, c, x, out);
}

template <bool kRedFirst>
INLINE void footprints(const uint16_t* acc, const Columns& c, int width, Planar& out) {
    if (c.same) return footprints<-1, kRedFirst>(acc, c, width, out);
    switch (c.tapPairs) {
        case 1: return footprints<1, kRedFirst>(acc, c, width, out);
        case 2: return footprints<2, kRedFirst>(acc, c, width, out);
        default: return footprints<0, kRedFirst>(acc, c, width, out);
    }
}

// Horizontal footprint sums of one blended row into planes. `acc` has one
// pixel to spare at its end, for a lone last tap.
VECTORIZE void blendColumns(const uint16_t* acc, const Columns& c, int width, bool redFirst,
                            Planar& out) {
    if (redFirst) footprints<true>(acc, c, width, out);
    else footprints<false>(acc, c, width, out);
}

// Unsigned 32-bit arithmetic throughout: every numerator below lies in
// [0, 2^32) for 8.7 inputs up to 32640, and it vectorizes.
VECTORIZE void lumaRow(const uint16_t* __restrict r, const uint16_t* __restrict g,
                       const uint16_t* __restrict b, int width, uint8_t* __restrict y) {
    for (int x = 0; x < width; ++x)
        y[x] = uint8_t((kYr * r[x] + kYg * g[x] + kYb * b[x] + (1u << (15 + kFrac))) >>
                       (16 + kFrac));
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
VECTORIZE void chromaRow(const Planar& a, const Planar& b, int width, uint8_t* __restrict cb,
                         uint8_t* __restrict cr) {
    const uint16_t *ar = a.r.data(), *ag = a.g.data(), *ab = a.b.data();
    const uint16_t *br = b.r.data(), *bg = b.g.data(), *bb = b.b.data();
    const size_t pairs = size_t(width / 2);
    for (size_t cx = 0; cx < pairs; ++cx) {
        size_t i = 2 * cx, j = i + 1;
        chroma(uint32_t(ar[i] + ar[j] + br[i] + br[j]), uint32_t(ag[i] + ag[j] + bg[i] + bg[j]),
               uint32_t(ab[i] + ab[j] + bb[i] + bb[j]), cb[cx], cr[cx]);
    }
    if (width % 2) {
        size_t i = size_t(width - 1);
        chroma(2u * (ar[i] + br[i]), 2u * (ag[i] + bg[i]), 2u * (ab[i] + bb[i]), cb[pairs],
               cr[pairs]);
    }
}

}  // namespace

Yuv420 scaleToYuv420(const Pixels32& src, int width, int height) {
    Yuv420 out;
    out.width = width;
    out.height = height;
    size_t cw = size_t(out.chromaWidth()), ch = size_t(out.chromaHeight());
    out.data.reset(new uint8_t[size_t(width) * size_t(height) + 2 * cw * ch]);

    // At the same width each footprint is one pixel of weight kUnit.
    Columns columns = columnsOf(src.width, width);
    std::vector<uint16_t> acc(size_t(src.width + 1) * 4);  // a spare pixel, for footprints
    Planar rows[2];
    for (Planar& p : rows) p.r.resize(size_t(width)), p.g.resize(size_t(width)), p.b.resize(size_t(width));

    for (int y = 0; y < height; y += 2) {
        int pair = y + 1 < height ? 2 : 1;
        for (int k = 0; k < pair; ++k) {
            blendRows(src, y + k, height, acc.data());
            Planar& p = rows[k];
            blendColumns(acc.data(), columns, width, src.redFirst, p);
            lumaRow(p.r.data(), p.g.data(), p.b.data(), width,
                    out.y() + size_t(y + k) * size_t(width));
        }
        size_t cy = size_t(y / 2);
        chromaRow(rows[0], rows[pair - 1], width, out.cb() + cy * cw, out.cr() + cy * cw);
    }
    return out;
}

Picture scaledPicture(const Pixels32& src, int width, int height) {
    auto yuv = std::make_shared<Yuv420>(scaleToYuv420(src, width, height));
    Picture picture;
    picture.width = yuv->width;
    picture.height = yuv->height;
    picture.pixels = std::move(yuv);
    return picture;
}

}  // namespace platform
