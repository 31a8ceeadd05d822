// Icon codecs: pixman scaling and libspng encoding and decoding.
#include "platform/codec/png.hpp"

#include <pixman.h>
#include <spng.h>

#include <cstdlib>
#include <cstring>
#include <memory>

namespace platform {
namespace {

constexpr int kMaxSide = 16384;

uint32_t premultiplied(const uint8_t* p) {
    uint32_t a = p[3];
    auto mul = [a](uint32_t c) { return (c * a + 127) / 255; };
    return a << 24 | mul(p[0]) << 16 | mul(p[1]) << 8 | mul(p[2]);
}

void straight(uint32_t px, uint8_t* out) {
    uint32_t a = px >> 24;
    auto div = [a](uint32_t c) { return a ? std::min<uint32_t>(255, (c * 255 + a / 2) / a) : 0; };
    out[0] = uint8_t(div((px >> 16) & 0xFF));
    out[1] = uint8_t(div((px >> 8) & 0xFF));
    out[2] = uint8_t(div(px & 0xFF));
    out[3] = uint8_t(a);
}

struct ImageFree {
    void operator()(pixman_image_t* i) const { pixman_image_unref(i); }
};
using Image = std::unique_ptr<pixman_image_t, ImageFree>;

struct CtxFree {
    void operator()(spng_ctx* c) const { spng_ctx_free(c); }
};
using Ctx = std::unique_ptr<spng_ctx, CtxFree>;

// `src` (premultiplied ARGB words) scaled into `dst`: an area average where it
// shrinks, bilinear where it grows; edges padded, so no dark rim.
bool scale(std::vector<uint32_t>& src, int sw, int sh, std::vector<uint32_t>& dst, int dw, int dh) {
    Image s(pixman_image_create_bits(PIXMAN_a8r8g8b8, sw, sh, src.data(), sw * 4));
    Image d(pixman_image_create_bits(PIXMAN_a8r8g8b8, dw, dh, dst.data(), dw * 4));
    if (!s || !d) return false;
    double sx = double(sw) / dw, sy = double(sh) / dh;
    pixman_transform_t t;
    pixman_transform_init_scale(&t, pixman_double_to_fixed(sx), pixman_double_to_fixed(sy));
    pixman_image_set_transform(s.get(), &t);
    pixman_image_set_repeat(s.get(), PIXMAN_REPEAT_PAD);
    if (sx > 1 || sy > 1) {
        int n = 0;
        pixman_fixed_t* params = pixman_filter_create_separable_convolution(
            &n, pixman_double_to_fixed(std::max(sx, 1.0)), pixman_double_to_fixed(std::max(sy, 1.0)),
            PIXMAN_KERNEL_IMPULSE, PIXMAN_KERNEL_IMPULSE, PIXMAN_KERNEL_BOX, PIXMAN_KERNEL_BOX, 4, 4);
        if (!params) return false;
        bool ok = pixman_image_set_filter(s.get(), PIXMAN_FILTER_SEPARABLE_CONVOLUTION, params, n);
        std::free(params);
        if (!ok) return false;
    } else {
        pixman_image_set_filter(s.get(), PIXMAN_FILTER_BILINEAR, nullptr, 0);
    }
    pixman_image_composite32(PIXMAN_OP_SRC, s.get(), nullptr, d.get(), 0, 0, 0, 0, 0, 0, dw, dh);
    return true;
}

std::optional<std::string> encode(const std::vector<uint8_t>& rgba, int w, int h) {
    Ctx ctx(spng_ctx_new(SPNG_CTX_ENCODER));
    if (!ctx) return std::nullopt;
    spng_set_option(ctx.get(), SPNG_ENCODE_TO_BUFFER, 1);
    spng_ihdr ihdr{};
    ihdr.width = uint32_t(w);
    ihdr.height = uint32_t(h);
    ihdr.bit_depth = 8;
    ihdr.color_type = SPNG_COLOR_TYPE_TRUECOLOR_ALPHA;
    if (spng_set_ihdr(ctx.get(), &ihdr)) return std::nullopt;
    if (spng_encode_image(ctx.get(), rgba.data(), rgba.size(), SPNG_FMT_PNG, SPNG_ENCODE_FINALIZE))
        return std::nullopt;
    size_t len = 0;
    int err = 0;
    void* buf = spng_get_png_buffer(ctx.get(), &len, &err);
    if (!buf || err) {
        std::free(buf);
        return std::nullopt;
    }
    std::string png(static_cast<const char*>(buf), len);
    std::free(buf);
    return png;
}

}  // namespace

std::optional<std::string> renderPng(const RgbaImage& image, int width, int height) {
    if (image.width <= 0 || image.height <= 0 || image.width > kMaxSide || image.height > kMaxSide ||
        width <= 0 || height <= 0 || width > kMaxSide || height > kMaxSide)
        return std::nullopt;
    size_t pixels = size_t(image.width) * size_t(image.height);
    if (image.rgba.size() != pixels * 4) return std::nullopt;
    try {
        std::vector<uint32_t> src(pixels);
        for (size_t i = 0; i < pixels; ++i) src[i] = premultiplied(&image.rgba[i * 4]);
        std::vector<uint32_t> dst(size_t(width) * size_t(height), 0);
        if (!scale(src, image.width, image.height, dst, width, height)) return std::nullopt;
        std::vector<uint8_t> rgba(dst.size() * 4);
        for (size_t i = 0; i < dst.size(); ++i) straight(dst[i], &rgba[i * 4]);
        return encode(rgba, width, height);
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
}

std::optional<RgbaImage> decodePng(std::string_view bytes, uint32_t maxSide) {
    Ctx ctx(spng_ctx_new(0));
    if (!ctx) return std::nullopt;
    spng_set_image_limits(ctx.get(), maxSide, maxSide);
    spng_set_chunk_limits(ctx.get(), 1u << 20, 4u << 20);
    if (spng_set_png_buffer(ctx.get(), bytes.data(), bytes.size())) return std::nullopt;
    spng_ihdr ihdr{};
    if (spng_get_ihdr(ctx.get(), &ihdr)) return std::nullopt;
    if (ihdr.width == 0 || ihdr.height == 0 || ihdr.width > maxSide || ihdr.height > maxSide)
        return std::nullopt;
    size_t size = 0;
    if (spng_decoded_image_size(ctx.get(), SPNG_FMT_RGBA8, &size)) return std::nullopt;
    if (size != size_t(ihdr.width) * ihdr.height * 4) return std::nullopt;
    RgbaImage img;
    try {
        img.rgba.resize(size);
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
    if (spng_decode_image(ctx.get(), img.rgba.data(), size, SPNG_FMT_RGBA8, SPNG_DECODE_TRNS))
        return std::nullopt;
    img.width = int(ihdr.width);
    img.height = int(ihdr.height);
    return img;
}

}  // namespace platform
