// XPM decoding: the header checked by hand, the rest by gdk-pixbuf.
#include "platform/icons/xpm.hpp"

#include "platform/icons/glib_quiet.hpp"

#include <gdk-pixbuf/gdk-pixbuf.h>

#include <charconv>

namespace platform::icons {

std::optional<XpmHeader> xpmHeader(std::string_view bytes) {
    size_t brace = bytes.find('{');
    if (brace == std::string_view::npos || bytes.substr(0, brace).find("XPM") == std::string_view::npos)
        return std::nullopt;
    size_t open = bytes.find('"', brace);
    if (open == std::string_view::npos) return std::nullopt;
    size_t close = bytes.find('"', open + 1);
    if (close == std::string_view::npos) return std::nullopt;
    std::string_view text = bytes.substr(open + 1, close - open - 1);
    uint32_t v[4] = {};
    const char* p = text.data();
    const char* end = text.data() + text.size();
    for (uint32_t& n : v) {
        while (p < end && (*p == ' ' || *p == '\t')) ++p;
        auto [next, ec] = std::from_chars(p, end, n);
        if (ec != std::errc()) return std::nullopt;
        p = next;
    }
    return XpmHeader{v[0], v[1], v[2], v[3]};
}

std::optional<RgbaImage> decodeXpm(std::string_view bytes, uint32_t maxSide) {
    silenceGlib();
    auto h = xpmHeader(bytes);
    if (!h || h->width == 0 || h->height == 0 || h->width > maxSide || h->height > maxSide ||
        h->colors == 0 || h->colors > (1u << 16) || h->charsPerPixel == 0 || h->charsPerPixel > 4)
        return std::nullopt;
    GError* err = nullptr;
    GdkPixbufLoader* loader = gdk_pixbuf_loader_new_with_type("xpm", &err);
    if (err) g_error_free(err);
    if (!loader) return std::nullopt;
    err = nullptr;
    bool ok = gdk_pixbuf_loader_write(loader, reinterpret_cast<const guchar*>(bytes.data()),
                                      bytes.size(), &err);
    if (err) g_error_free(err);
    err = nullptr;
    ok = gdk_pixbuf_loader_close(loader, &err) && ok;
    if (err) g_error_free(err);
    GdkPixbuf* pix = ok ? gdk_pixbuf_loader_get_pixbuf(loader) : nullptr;
    std::optional<RgbaImage> out;
    if (pix && gdk_pixbuf_get_colorspace(pix) == GDK_COLORSPACE_RGB &&
        gdk_pixbuf_get_bits_per_sample(pix) == 8 && gdk_pixbuf_get_width(pix) == int(h->width) &&
        gdk_pixbuf_get_height(pix) == int(h->height)) {
        int channels = gdk_pixbuf_get_n_channels(pix);
        bool alpha = gdk_pixbuf_get_has_alpha(pix);
        int stride = gdk_pixbuf_get_rowstride(pix);
        const guchar* data = gdk_pixbuf_read_pixels(pix);
        if ((channels == 4 && alpha) || (channels == 3 && !alpha)) {
            RgbaImage img;
            img.width = int(h->width);
            img.height = int(h->height);
            img.rgba.resize(size_t(img.width) * size_t(img.height) * 4);
            for (int y = 0; y < img.height; ++y)
                for (int x = 0; x < img.width; ++x) {
                    const guchar* s = data + size_t(y) * size_t(stride) + size_t(x) * size_t(channels);
                    uint8_t* o = &img.rgba[(size_t(y) * size_t(img.width) + size_t(x)) * 4];
                    o[0] = s[0];
                    o[1] = s[1];
                    o[2] = s[2];
                    o[3] = alpha ? s[3] : 255;
                }
            out = std::move(img);
        }
    }
    g_object_unref(loader);
    return out;
}

}  // namespace platform::icons
