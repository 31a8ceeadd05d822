// JPEG encoding of captured pictures with TurboJPEG, straight from the
// picture's YUV 4:2:0 planes.
#include "platform/platform.hpp"
#include "platform/codec/scale.hpp"

#include <turbojpeg.h>

#include <climits>
#include <cmath>

namespace platform {
namespace {

int jpegQuality(double quality) {
    double q = std::round(quality * 100.0);
    if (!(q >= 1.0)) return 1;  // NaN too
    return q > 100.0 ? 100 : int(q);
}

// One compressor per thread, kept for the thread's life.
tjhandle compressor() {
    struct Handle {
        tjhandle h = tjInitCompress();
        ~Handle() {
            if (h) tjDestroy(h);
        }
    };
    thread_local Handle handle;
    return handle.h;
}

}  // namespace

std::optional<Jpeg> encodeJpeg(const Picture& picture, double quality) {
    auto* yuv = static_cast<const Yuv420*>(picture.pixels.get());
    tjhandle tj = compressor();
    if (!yuv || !tj) return std::nullopt;
    // The worst case up front, so the encoder never reallocates or copies.
    unsigned long capacity = tjBufSize(yuv->width, yuv->height, TJSAMP_420);
    if (capacity == static_cast<unsigned long>(-1) || capacity > INT_MAX) return std::nullopt;
    unsigned char* buffer = tjAlloc(int(capacity));
    if (!buffer) return std::nullopt;
    std::shared_ptr<const unsigned char> owned(buffer, [](const unsigned char* b) {
        tjFree(const_cast<unsigned char*>(b));
    });
    const unsigned char* planes[3] = {yuv->y(), yuv->cb(), yuv->cr()};
    // The planes are packed: without strides TurboJPEG would pad an odd
    // luma width to even and read every row after the first askew.
    const int strides[3] = {yuv->width, yuv->chromaWidth(), yuv->chromaWidth()};
    unsigned long size = capacity;
    if (tjCompressFromYUVPlanes(tj, planes, yuv->width, strides, yuv->height, TJSAMP_420,
                                &buffer, &size, jpegQuality(quality), TJFLAG_NOREALLOC) != 0)
        return std::nullopt;
    return Jpeg{std::move(owned), size_t(size)};
}

}  // namespace platform
