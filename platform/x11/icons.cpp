// Application icons over X11: the desktop entry's icon from the theme, else
// the best _NET_WM_ICON image of its windows, else the ICCCM WM_HINTS icon
// pixmap and mask. The entry comes first because window managers (openbox)
// write a default icon of their own into _NET_WM_ICON of windows that set
// none, or set a malformed one.
#include "platform/x11/backend.hpp"
#include "platform/icons/theme.hpp"
#include "platform/x11/apps.hpp"
#include "platform/x11/windows.hpp"

#include <algorithm>

namespace platform::x11 {
namespace {

// The most of a _NET_WM_ICON property read (8 MiB): room for a 1024 x 1024
// image and the usual smaller ones; entries past it are not seen.
constexpr uint32_t kMaxIconWords = 2u << 20;
constexpr uint32_t kWant = 64;

std::optional<RgbaImage> windowIcon(const Connection& x, xcb_window_t w) {
    auto p = readProperty(x, w, x[_NET_WM_ICON], XCB_ATOM_CARDINAL, kMaxIconWords);
    if (!p || p->format != 32) return std::nullopt;
    std::vector<uint32_t> pixels = words(*p);
    return decodeIcon(pixels.data(), pixels.size(), kWant);
}

// WM_HINTS flags and word positions (ICCCM 4.1.2.4).
constexpr uint32_t kIconPixmapHint = 1u << 2;
constexpr uint32_t kIconMaskHint = 1u << 5;
constexpr size_t kPixmapWord = 3, kMaskWord = 7;

struct Drawn {
    uint16_t width = 0, height = 0;
    uint8_t depth = 0;
    std::string bytes;  // Z_PIXMAP data
    size_t stride = 0;
    uint8_t bpp = 0;
};

// Bits per pixel and row padding of Z_PIXMAP images of `depth`.
bool formatOf(const Connection& x, uint8_t depth, uint8_t& bpp, uint8_t& pad) {
    const xcb_setup_t* setup = xcb_get_setup(x.c);
    for (auto f = xcb_setup_pixmap_formats_iterator(setup); f.rem; xcb_format_next(&f))
        if (f.data->depth == depth) {
            bpp = f.data->bits_per_pixel;
            pad = f.data->scanline_pad;
            return bpp > 0 && pad >= 8 && pad % 8 == 0;
        }
    return false;
}

// The pixmaps' sizes first; only those within kMaxIconSide are fetched, so a
// huge pixmap costs one small reply.
std::vector<std::optional<Drawn>> fetch(const Connection& x, const std::vector<xcb_pixmap_t>& ids) {
    std::vector<xcb_get_geometry_cookie_t> geo;
    for (xcb_pixmap_t p : ids) geo.push_back(xcb_get_geometry(x.c, p));
    std::vector<std::optional<Drawn>> out(ids.size());
    std::vector<std::pair<size_t, xcb_get_image_cookie_t>> images;
    for (size_t i = 0; i < ids.size(); ++i) {
        xcb_generic_error_t* err = nullptr;
        Reply<xcb_get_geometry_reply_t> g(xcb_get_geometry_reply(x.c, geo[i], &err));
        std::free(err);
        if (!g || g->width == 0 || g->height == 0 || g->width > kMaxIconSide ||
            g->height > kMaxIconSide)
            continue;
        Drawn d;
        d.width = g->width;
        d.height = g->height;
        d.depth = g->depth;
        uint8_t pad = 0;
        if (!formatOf(x, d.depth, d.bpp, pad) || (d.bpp != 1 && d.bpp != 32)) continue;
        d.stride = (size_t(d.width) * d.bpp + pad - 1) / pad * pad / 8;
        out[i] = std::move(d);
        images.emplace_back(i, xcb_get_image(x.c, XCB_IMAGE_FORMAT_Z_PIXMAP, ids[i], 0, 0,
                                             g->width, g->height, ~0u));
    }
    for (auto& [i, cookie] : images) {
        xcb_generic_error_t* err = nullptr;
        Reply<xcb_get_image_reply_t> img(xcb_get_image_reply(x.c, cookie, &err));
        std::free(err);
        int len = img ? xcb_get_image_data_length(img.get()) : 0;
        if (!img || len < 0 || size_t(len) < out[i]->stride * out[i]->height) {
            out[i].reset();
            continue;
        }
        out[i]->bytes.assign(reinterpret_cast<const char*>(xcb_get_image_data(img.get())), size_t(len));
    }
    return out;
}

bool bitAt(const Connection& x, const Drawn& d, size_t px, size_t py) {
    uint8_t byte = uint8_t(d.bytes[py * d.stride + px / 8]);
    bool lsb = xcb_get_setup(x.c)->bitmap_format_bit_order == XCB_IMAGE_ORDER_LSB_FIRST;
    return (byte >> (lsb ? px % 8 : 7 - px % 8)) & 1;
}

std::optional<RgbaImage> hintsIcon(const Connection& x, xcb_window_t w) {
    auto p = readProperty(x, w, XCB_ATOM_WM_HINTS, XCB_ATOM_WM_HINTS, 9);
    if (!p) return std::nullopt;
    std::vector<uint32_t> h = words(*p);
    if (h.size() <= kMaskWord || !(h[0] & kIconPixmapHint) || h[kPixmapWord] == XCB_NONE)
        return std::nullopt;
    std::vector<xcb_pixmap_t> ids = {h[kPixmapWord]};
    if ((h[0] & kIconMaskHint) && h[kMaskWord] != XCB_NONE) ids.push_back(h[kMaskWord]);
    auto drawn = fetch(x, ids);
    if (!drawn[0]) return std::nullopt;
    const Drawn& icon = *drawn[0];
    const Drawn* mask = ids.size() > 1 && drawn[1] && drawn[1]->bpp == 1 &&
                                drawn[1]->width == icon.width && drawn[1]->height == icon.height
                            ? &*drawn[1]
                            : nullptr;
    const xcb_setup_t* setup = xcb_get_setup(x.c);
    if (icon.bpp == 32 && setup->image_byte_order != XCB_IMAGE_ORDER_LSB_FIRST) return std::nullopt;
    RgbaImage img;
    img.width = icon.width;
    img.height = icon.height;
    img.rgba.resize(size_t(icon.width) * icon.height * 4);
    for (size_t y = 0; y < icon.height; ++y)
        for (size_t xx = 0; xx < icon.width; ++xx) {
            uint8_t* o = &img.rgba[(y * icon.width + xx) * 4];
            if (icon.bpp == 1) {
                // A bitmap icon: set bits in the foreground (black) on white.
                uint8_t v = bitAt(x, icon, xx, y) ? 0 : 255;
                o[0] = o[1] = o[2] = v;
            } else {
                const uint8_t* s = reinterpret_cast<const uint8_t*>(icon.bytes.data()) + y * icon.stride + xx * 4;
                o[0] = s[2];
                o[1] = s[1];
                o[2] = s[0];
            }
            o[3] = !mask || bitAt(x, *mask, xx, y) ? 255 : 0;
        }
    return img;
}

}  // namespace

std::optional<RgbaImage> iconImage(const App& app) {
    if (app.iconName)
        if (auto img = icons::themeIcon(*app.iconName, kWant)) return img;
    if (ConnectionRef x = connection()) {
        // The process's windows now (a closed window's number may belong to
        // another client), those the record was made with first.
        std::vector<xcb_window_t> mine = windowsOf(*x, app.pid);
        std::stable_partition(mine.begin(), mine.end(), [&app](xcb_window_t w) {
            return std::find(app.windows.begin(), app.windows.end(), w) != app.windows.end();
        });
        for (xcb_window_t w : mine)
            if (auto img = windowIcon(*x, w)) return img;
        for (xcb_window_t w : mine)
            if (auto img = hintsIcon(*x, w)) return img;
    }
    return std::nullopt;
}

}  // namespace platform::x11
