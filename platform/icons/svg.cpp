// SVG rendering through librsvg onto a cairo image surface.
#include "platform/icons/svg.hpp"

#include "platform/icons/glib_quiet.hpp"

#include <cairo.h>
#include <librsvg/rsvg.h>
#include <zlib.h>

#include <algorithm>
#include <memory>
#include <string>

namespace platform::icons {
namespace {

// Gzip data inflated, at most kMaxSvgBytes of it; nothing when it is corrupt
// or inflates past that.
std::optional<std::string> inflateBounded(std::string_view gz) {
    z_stream z{};
    if (inflateInit2(&z, 16 + MAX_WBITS) != Z_OK) return std::nullopt;
    std::string out;
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(gz.data()));
    z.avail_in = uInt(gz.size());
    int rc = Z_OK;
    char chunk[16384];
    while (rc == Z_OK) {
        z.next_out = reinterpret_cast<Bytef*>(chunk);
        z.avail_out = sizeof chunk;
        rc = inflate(&z, Z_NO_FLUSH);
        if (rc != Z_OK && rc != Z_STREAM_END) break;
        out.append(chunk, sizeof chunk - z.avail_out);
        if (out.size() > kMaxSvgBytes) rc = Z_MEM_ERROR;
        if (rc == Z_OK && z.avail_in == 0 && z.avail_out != 0) rc = Z_BUF_ERROR;  // truncated
    }
    inflateEnd(&z);
    if (rc != Z_STREAM_END) return std::nullopt;
    return out;
}

template <class T, void (*F)(T*)>
struct Deleter {
    void operator()(T* p) const { if (p) F(p); }
};
void unrefObject(void* p) { g_object_unref(p); }

}  // namespace

std::optional<RgbaImage> renderSvg(std::string_view bytes, uint32_t size) {
    silenceGlib();
    if (size == 0 || size > 1024 || bytes.empty()) return std::nullopt;
    std::string inflated;
    if (bytes.size() >= 2 && uint8_t(bytes[0]) == 0x1f && uint8_t(bytes[1]) == 0x8b) {
        auto doc = inflateBounded(bytes);
        if (!doc) return std::nullopt;
        inflated = std::move(*doc);
        bytes = inflated;
    }
    if (bytes.size() > kMaxSvgBytes) return std::nullopt;

    // No base file: librsvg then loads no external reference at all. The
    // default flags keep its limits on elements and XML depth.
    std::unique_ptr<GInputStream, Deleter<void, unrefObject>> stream(
        g_memory_input_stream_new_from_data(bytes.data(), gssize(bytes.size()), nullptr));
    GError* err = nullptr;
    std::unique_ptr<RsvgHandle, Deleter<void, unrefObject>> handle(rsvg_handle_new_from_stream_sync(
        stream.get(), nullptr, RSVG_HANDLE_FLAGS_NONE, nullptr, &err));
    if (err) g_error_free(err);
    if (!handle) return std::nullopt;

    std::unique_ptr<cairo_surface_t, Deleter<cairo_surface_t, cairo_surface_destroy>> surface(
        cairo_image_surface_create(CAIRO_FORMAT_ARGB32, int(size), int(size)));
    if (cairo_surface_status(surface.get()) != CAIRO_STATUS_SUCCESS) return std::nullopt;
    std::unique_ptr<cairo_t, Deleter<cairo_t, cairo_destroy>> cr(cairo_create(surface.get()));
    RsvgRectangle viewport{0, 0, double(size), double(size)};
    err = nullptr;
    gboolean ok = rsvg_handle_render_document(static_cast<RsvgHandle*>(handle.get()), cr.get(),
                                              &viewport, &err);
    if (err) g_error_free(err);
    if (!ok || cairo_status(cr.get()) != CAIRO_STATUS_SUCCESS) return std::nullopt;
    cairo_surface_flush(surface.get());

    // Cairo's pixels are native-endian premultiplied ARGB words.
    RgbaImage img;
    img.width = int(size);
    img.height = int(size);
    img.rgba.resize(size_t(size) * size * 4);
    const unsigned char* data = cairo_image_surface_get_data(surface.get());
    int stride = cairo_image_surface_get_stride(surface.get());
    for (uint32_t y = 0; y < size; ++y) {
        const uint32_t* row = reinterpret_cast<const uint32_t*>(data + size_t(y) * size_t(stride));
        for (uint32_t x = 0; x < size; ++x) {
            uint32_t p = row[x];
            uint32_t a = p >> 24;
            uint8_t* o = &img.rgba[(size_t(y) * size + x) * 4];
            auto straight = [a](uint32_t c) { return uint8_t(a ? std::min(255u, (c * 255 + a / 2) / a) : 0); };
            o[0] = straight(p >> 16 & 0xff);
            o[1] = straight(p >> 8 & 0xff);
            o[2] = straight(p & 0xff);
            o[3] = uint8_t(a);
        }
    }
    return img;
}

}  // namespace platform::icons
