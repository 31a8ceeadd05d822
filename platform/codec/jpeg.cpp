// JPEG encoding of captured pictures with TurboJPEG, straight from the
// picture's YUV 4:2:0 planes.
#include "platform/platform.hpp"
#include "platform/codec/scale.hpp"

#include <turbojpeg.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <new>

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

// Output room kept for the next picture: enough for 2560 x 1600.
constexpr unsigned long kKeepBelow = 16ul << 20;

// The encoder's output room, one per thread, kept between pictures: the
// worst case of a picture is much larger than its JPEG, and fresh memory that
// large costs page faults on every capture.
struct Output {
    unsigned char* buffer = nullptr;
    unsigned long capacity = 0;
    ~Output() { tjFree(buffer); }
};

}  // namespace

std::optional<Jpeg> encodeJpeg(const Picture& picture, double quality) {
    auto* yuv = static_cast<const Yuv420*>(picture.pixels.get());
    tjhandle tj = compressor();
    if (!yuv || !tj) return std::nullopt;
    // The worst case up front, so the encoder never reallocates or copies.
    unsigned long capacity = tjBufSize(yuv->width, yuv->height, TJSAMP_420);
    if (capacity == static_cast<unsigned long>(-1) || capacity > INT_MAX) return std::nullopt;
    thread_local Output out;
    if (out.capacity < capacity) {
        tjFree(out.buffer);
        out.capacity = 0;
        out.buffer = tjAlloc(int(capacity));
        if (!out.buffer) return std::nullopt;
        out.capacity = capacity;
    }
    const unsigned char* planes[3] = {yuv->y(), yuv->cb(), yuv->cr()};
    // The planes are packed: without strides TurboJPEG would pad an odd
    // luma width to even and read every row after the first askew.
    const int strides[3] = {yuv->width, yuv->chromaWidth(), yuv->chromaWidth()};
    unsigned char* buffer = out.buffer;
    unsigned long size = out.capacity;
    if (tjCompressFromYUVPlanes(tj, planes, yuv->width, strides, yuv->height, TJSAMP_420,
                                &buffer, &size, jpegQuality(quality), TJFLAG_NOREALLOC) != 0 ||
        buffer != out.buffer)
        return std::nullopt;
    std::shared_ptr<unsigned char[]> copy(new (std::nothrow) unsigned char[size]);
    if (!copy) return std::nullopt;
    std::memcpy(copy.get(), buffer, size);
    // Past the usual sizes, the room goes back with the picture.
    if (out.capacity > kKeepBelow) {
        tjFree(out.buffer);
        out.buffer = nullptr;
        out.capacity = 0;
    }
    return Jpeg{std::shared_ptr<const unsigned char>(copy, copy.get()), size_t(size)};
}

}  // namespace platform
