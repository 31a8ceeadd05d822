// Area-averaging downscale of 32-bit pixels straight into the YUV 4:2:0
// planes that the JPEG encoder takes. Internal to platform/.
#pragma once

#include "platform/platform.hpp"

#include <cstdint>
#include <memory>

namespace platform {

// Full-range BT.601 (JFIF) planes, packed rows: Y is width x height, Cb and
// Cr are ceil(width / 2) x ceil(height / 2) each.
struct Yuv420 {
    int width = 0;
    int height = 0;
    std::unique_ptr<uint8_t[]> data;  // Y, then Cb, then Cr

    int chromaWidth() const { return (width + 1) / 2; }
    int chromaHeight() const { return (height + 1) / 2; }
    uint8_t* y() const { return data.get(); }
    uint8_t* cb() const { return y() + size_t(width) * size_t(height); }
    uint8_t* cr() const { return cb() + size_t(chromaWidth()) * size_t(chromaHeight()); }
};

// Source pixels: 4 bytes each, blue, green, red, ignored (or red first when
// `redFirst`), `stride` bytes a row.
struct Pixels32 {
    const uint8_t* data = nullptr;
    int width = 0;
    int height = 0;
    size_t stride = 0;
    bool redFirst = false;
};

// `src` averaged over each output pixel's footprint (a box filter with exact
// fractional coverage) into `width` x `height`, which must be at least 1 and
// at most the source size on each side. A flat colour comes out exactly as
// the JPEG colour conversion of that colour. Pure; any thread.
Yuv420 scaleToYuv420(const Pixels32& src, int width, int height);

// scaleToYuv420 as the Picture every backend's screenshot hands to
// encodeJpeg, its size the one delivered. Same requirements; any thread.
Picture scaledPicture(const Pixels32& src, int width, int height);

}  // namespace platform
