// Window capture over X11: the window list for capture, and screenshots of
// one window from its Composite pixmap, read through MIT-SHM when the server
// can share memory with us, scaled and converted for the JPEG encoder.
//
// The connection keeps every top-level window redirected, so each holds its
// own pixels while covered. A captured window is redirected by itself as
// well, which gives it a pixmap of its own to name; the server fills that
// pixmap from its top-level's, so it is right at once.
#include "platform/platform.hpp"
#include "platform/codec/scale.hpp"
#include "platform/x11/connection.hpp"
#include "platform/x11/shm.hpp"
#include "platform/x11/windows.hpp"

#include <xcb/composite.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <unordered_set>

namespace platform::x11 {
namespace {

using x11::ConnectionRef;

template <typename T>
using Owned = std::unique_ptr<T, decltype(&free)>;

template <typename T>
Owned<T> own(T* p) {
    return Owned<T>(p, &free);
}

const char* const kClosed = "the X server closed the connection";

// The text for an X error of a capture request.
std::string describe(const xcb_generic_error_t* e) {
    switch (e->error_code) {
        case XCB_WINDOW:
        case XCB_DRAWABLE:
            return "the window no longer exists";
        case XCB_MATCH:
            return "the window is not viewable";
        case XCB_ALLOC:
            return "the X server is out of memory";
        default:
            return "X error " + std::to_string(e->error_code) + " while capturing the window";
    }
}

// Errors of a failed reply: the X error's text, or the connection's loss.
std::string failure(const ConnectionRef& conn, xcb_generic_error_t* e) {
    std::string text = e ? describe(e) : kClosed;
    free(e);
    if (conn->broken()) text = kClosed;
    return text;
}

constexpr size_t kRememberedMax = 4096;

// Which windows this connection has redirected.
struct Redirections {
    std::mutex lock;
    std::weak_ptr<x11::Connection> owner;
    std::unordered_set<uint32_t> windows;
};
Redirections& redirections() {
    static auto* r = new Redirections;
    return *r;
}

// Makes sure `window` is redirected on `conn` (again: even if it seems to
// be); `fresh` tells whether it was done now. The redirection is sent under
// the lock, so no other job can name the pixmap before the server has seen
// it. The error's text on failure.
std::optional<std::string> redirect(const ConnectionRef& conn, uint32_t window, bool again,
                                    bool& fresh) {
    fresh = false;
    if (!conn->composite) return std::string("the X server cannot redirect windows (no Composite)");
    Redirections& r = redirections();
    xcb_void_cookie_t cookie;
    {
        std::lock_guard guard(r.lock);
        if (r.owner.lock() != conn) {
            r.owner = conn;
            r.windows.clear();
        }
        if (!again && r.windows.count(window)) return std::nullopt;
        // Windows that went away without a capture noticing stay listed; a
        // full list starts over, which costs each live window one more
        // redirection (automatic ones may be asked for again).
        if (r.windows.size() >= kRememberedMax) r.windows.clear();
        r.windows.insert(window);
        fresh = true;
        cookie = xcb_composite_redirect_window_checked(conn->c, window,
                                                       XCB_COMPOSITE_REDIRECT_AUTOMATIC);
    }
    if (xcb_generic_error_t* e = xcb_request_check(conn->c, cookie)) {
        std::lock_guard guard(r.lock);
        r.windows.erase(window);
        return failure(conn, e);
    }
    return std::nullopt;
}

void forget(uint32_t window) {
    Redirections& r = redirections();
    std::lock_guard guard(r.lock);
    r.windows.erase(window);
}

// True for 32-bit pixels in a byte order the scaler reads; `redFirst` when
// red is the lowest byte.
bool pixelLayout(const x11::Connection& conn, uint8_t depth, xcb_visualid_t visual, bool& redFirst) {
    const xcb_setup_t* setup = xcb_get_setup(conn.c);
    if (setup->image_byte_order != XCB_IMAGE_ORDER_LSB_FIRST) return false;
    bool bpp32 = false;
    for (auto f = xcb_setup_pixmap_formats_iterator(setup); f.rem; xcb_format_next(&f))
        if (f.data->depth == depth) bpp32 = f.data->bits_per_pixel == 32;
    if (!bpp32) return false;
    for (auto d = xcb_screen_allowed_depths_iterator(conn.screen); d.rem; xcb_depth_next(&d)) {
        for (auto v = xcb_depth_visuals_iterator(d.data); v.rem; xcb_visualtype_next(&v)) {
            if (v.data->visual_id != visual) continue;
            const xcb_visualtype_t& t = *v.data;
            if (t.green_mask != 0xff00) return false;
            if (t.red_mask == 0xff0000 && t.blue_mask == 0xff) return redFirst = false, true;
            if (t.red_mask == 0xff && t.blue_mask == 0xff0000) return redFirst = true, true;
            return false;
        }
    }
    return false;
}

// The largest size within `maxW` x `maxH` with the aspect of `w` x `h`.
void fit(int64_t& w, int64_t& h, int64_t maxW, int64_t maxH) {
    if (w <= maxW && h <= maxH) return;
    double s = std::min(double(maxW) / double(w), double(maxH) / double(h));
    w = std::clamp<int64_t>(int64_t(std::llround(double(w) * s)), 1, maxW);
    h = std::clamp<int64_t>(int64_t(std::llround(double(h) * s)), 1, maxH);
}

// What shows through the transparent parts of a 32-bit window (rounded
// corners, a shadow): a light neutral grey.
constexpr uint32_t kBackground = 0xEE;

// Premultiplied ARGB pixels (alpha in the fourth byte) composited over the
// background in place, so transparent parts do not come out black.
void overBackground(uint8_t* px, size_t bytes) {
    for (size_t i = 0; i + 4 <= bytes; i += 4) {
        uint32_t under = kBackground * (255u - px[i + 3]);
        for (int k = 0; k < 3; ++k)
            px[i + size_t(k)] = uint8_t(std::min<uint32_t>(255u, px[i + size_t(k)] + (under + 127) / 255));
    }
}

// Frees the named pixmap on every path, once.
struct PixmapGuard {
    xcb_connection_t* c;
    xcb_pixmap_t pixmap;
    void reset() {
        if (pixmap) {
            xcb_free_pixmap(c, pixmap);
            xcb_flush(c);
        }
        pixmap = 0;
    }
    ~PixmapGuard() { reset(); }
};

struct Named {
    xcb_pixmap_t pixmap = 0;
    Owned<xcb_get_window_attributes_reply_t> attrs{nullptr, &free};
    Owned<xcb_get_geometry_reply_t> geometry{nullptr, &free};
    std::vector<uint32_t> extents;  // _GTK_FRAME_EXTENTS
    std::string error;
};

// Names the window's pixmap and reads what describes it, in one round trip.
Named namePixmap(const ConnectionRef& conn, uint32_t window) {
    Named n;
    xcb_connection_t* c = conn->c;
    n.pixmap = xcb_generate_id(c);
    if (n.pixmap == uint32_t(-1)) {
        n.error = kClosed;
        return n;
    }
    auto named = xcb_composite_name_window_pixmap_checked(c, window, n.pixmap);
    auto attrs = xcb_get_window_attributes(c, window);
    auto geometry = xcb_get_geometry(c, window);
    auto extents = x11::askProperty(*conn, window, (*conn)[x11::_GTK_FRAME_EXTENTS],
                                    XCB_ATOM_CARDINAL, 4);
    if (auto p = x11::takeProperty(*conn, extents)) n.extents = x11::words(*p);
    xcb_generic_error_t* e = nullptr;
    n.attrs = own(xcb_get_window_attributes_reply(c, attrs, &e));
    if (!n.attrs) n.error = failure(conn, e);
    e = nullptr;
    n.geometry = own(xcb_get_geometry_reply(c, geometry, &e));
    if (!n.geometry && n.error.empty()) n.error = failure(conn, e);
    else free(e);
    if (xcb_generic_error_t* ne = xcb_request_check(c, named)) {
        if (n.error.empty()) {
            n.error = failure(conn, ne);
        } else {
            free(ne);
        }
        n.pixmap = 0;
    } else if (!n.error.empty()) {
        xcb_free_pixmap(c, n.pixmap);
        n.pixmap = 0;
    }
    return n;
}

}  // namespace

ShareableContent shareableContent() {
    ShareableContent content;
    ConnectionRef conn = x11::connection();
    if (!conn) {
        content.error = x11::connectionError();
        return content;
    }
    xcb_connection_t* c = conn->c;
    std::vector<xcb_window_t> windows = x11::clientsTopFirst(*conn);
    struct Ask {
        xcb_get_window_attributes_cookie_t attrs;
        xcb_get_geometry_cookie_t geometry;
        xcb_get_property_cookie_t extents, state;
    };
    std::vector<Ask> asks;
    asks.reserve(windows.size());
    for (xcb_window_t w : windows)
        asks.push_back({xcb_get_window_attributes(c, w), xcb_get_geometry(c, w),
                        x11::askProperty(*conn, w, (*conn)[x11::_GTK_FRAME_EXTENTS],
                                         XCB_ATOM_CARDINAL, 4),
                        x11::askProperty(*conn, w, (*conn)[x11::_NET_WM_STATE], XCB_ATOM_ATOM, 64)});
    for (size_t i = 0; i < windows.size(); ++i) {
        // A window that went away meanwhile is simply not on screen, and so
        // is one the window manager hides while it stays mapped.
        auto a = own(xcb_get_window_attributes_reply(c, asks[i].attrs, nullptr));
        auto g = own(xcb_get_geometry_reply(c, asks[i].geometry, nullptr));
        auto extents = x11::takeProperty(*conn, asks[i].extents);
        auto state = x11::takeProperty(*conn, asks[i].state);
        if (!a || !g || a->map_state != XCB_MAP_STATE_VIEWABLE) continue;
        bool hidden = false;
        if (state)
            for (uint32_t atom : x11::words(*state))
                hidden = hidden || (atom != XCB_NONE && atom == (*conn)[x11::_NET_WM_STATE_HIDDEN]);
        if (hidden) continue;
        Bounds v = x11::visibleArea(g->width, g->height,
                                    extents ? x11::words(*extents) : std::vector<uint32_t>{});
        content.windows.push_back({windows[i], v.width, v.height});
    }
    if (conn->broken()) {
        content.windows.clear();
        content.error = kClosed;
    }
    return content;
}

double pointPixelScale(uint32_t) { return 1.0; }

Shot screenshot(uint32_t window, int64_t width, int64_t height) {
    ConnectionRef conn = x11::connection();
    if (!conn) return {std::nullopt, x11::connectionError()};
    xcb_connection_t* c = conn->c;

    bool fresh = false;
    if (auto error = redirect(conn, window, false, fresh)) return {std::nullopt, *error};
    Named n = namePixmap(conn, window);
    if (!n.pixmap && !fresh && n.attrs && n.attrs->map_state == XCB_MAP_STATE_VIEWABLE &&
        n.geometry) {
        // Viewable yet no pixmap: the number now names a window we never
        // redirected (the old one's id was reused).
        if (auto error = redirect(conn, window, true, fresh)) return {std::nullopt, *error};
        n = namePixmap(conn, window);
    }
    if (!n.pixmap) {
        if (n.error == "the window no longer exists") forget(window);
        return {std::nullopt, n.error};
    }
    PixmapGuard freePixmap{c, n.pixmap};

    bool redFirst = false;
    if (!pixelLayout(*conn, n.geometry->depth, n.attrs->visual, redFirst))
        return {std::nullopt, "the window's pixel format is not supported"};
    if (n.geometry->width < 1 || n.geometry->height < 1)
        return {std::nullopt, "the window is not viewable"};
    // The visible part only: a client-drawn shadow margin is left out.
    const Bounds visible = x11::visibleArea(n.geometry->width, n.geometry->height, n.extents);
    const int srcW = int(visible.width), srcH = int(visible.height);
    const int16_t left = int16_t(n.geometry->border_width + int(visible.x));
    const int16_t top = int16_t(n.geometry->border_width + int(visible.y));
    const bool withAlpha = n.geometry->depth == 32;
    fit(width, height, srcW, srcH);

    Pixels32 src;
    src.width = srcW;
    src.height = srcH;
    src.stride = size_t(srcW) * 4;
    src.redFirst = redFirst;
    const size_t bytes = src.stride * size_t(srcH);
    x11::ShmLease segment = x11::leaseShm(conn, bytes);
    Owned<xcb_get_image_reply_t> plain(nullptr, &free);
    if (segment) {
        xcb_generic_error_t* e = nullptr;
        auto image = own(xcb_shm_get_image_reply(
            c,
            xcb_shm_get_image(c, n.pixmap, left, top, uint16_t(srcW), uint16_t(srcH),
                              ~0u, XCB_IMAGE_FORMAT_Z_PIXMAP, segment->id, 0),
            &e));
        freePixmap.reset();
        if (!image) return {std::nullopt, failure(conn, e)};
        if (image->size < bytes) return {std::nullopt, "the X server sent a short image"};
        if (withAlpha) overBackground(static_cast<uint8_t*>(segment->addr), bytes);
        src.data = static_cast<const uint8_t*>(segment->addr);
    } else {
        xcb_generic_error_t* e = nullptr;
        plain = own(xcb_get_image_reply(
            c,
            xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, n.pixmap, left, top,
                          uint16_t(srcW), uint16_t(srcH), ~0u),
            &e));
        freePixmap.reset();
        if (!plain) return {std::nullopt, failure(conn, e)};
        if (size_t(xcb_get_image_data_length(plain.get())) < bytes)
            return {std::nullopt, "the X server sent a short image"};
        if (withAlpha) overBackground(xcb_get_image_data(plain.get()), bytes);
        src.data = xcb_get_image_data(plain.get());
    }

    return {scaledPicture(src, int(width), int(height)), {}};
}

}  // namespace platform::x11
