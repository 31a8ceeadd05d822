#include "platform/x11_halve.hpp"

#include <xcb/render.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_map>

namespace platform::x11 {
namespace {

// RENDER's picture formats of one connection's server, by visual.
struct Formats {
    std::mutex lock;
    std::weak_ptr<Connection> owner;
    std::unordered_map<xcb_visualid_t, xcb_render_pictformat_t> byVisual;
};

xcb_render_pictformat_t formatOf(const ConnectionRef& conn, xcb_visualid_t visual) {
    static auto* formats = new Formats;
    std::lock_guard guard(formats->lock);
    if (formats->owner.lock() != conn) {
        formats->owner = conn;
        formats->byVisual.clear();
        const xcb_query_extension_reply_t* ext = xcb_get_extension_data(conn->c, &xcb_render_id);
        if (ext && ext->present) {
            auto* r = xcb_render_query_pict_formats_reply(
                conn->c, xcb_render_query_pict_formats(conn->c), nullptr);
            if (r) {
                for (auto s = xcb_render_query_pict_formats_screens_iterator(r); s.rem;
                     xcb_render_pictscreen_next(&s))
                    for (auto d = xcb_render_pictscreen_depths_iterator(s.data); d.rem;
                         xcb_render_pictdepth_next(&d))
                        for (auto v = xcb_render_pictdepth_visuals_iterator(d.data); v.rem;
                             xcb_render_pictvisual_next(&v))
                            formats->byVisual[v.data->visual] = v.data->format;
            }
            free(r);
        }
    }
    auto it = formats->byVisual.find(visual);
    return it == formats->byVisual.end() ? 0 : it->second;
}

xcb_render_fixed_t fixed(int v) { return xcb_render_fixed_t(v * 65536); }

}  // namespace

xcb_pixmap_t halve(const ConnectionRef& conn, const Area& area, int times, int& width,
                   int& height) {
    width = area.width;
    height = area.height;
    xcb_render_pictformat_t format = formatOf(conn, area.visual);
    if (!format || times < 1) return 0;
    xcb_connection_t* c = conn->c;
    static const char kFilter[] = "bilinear";
    const uint32_t pad = XCB_RENDER_REPEAT_PAD;

    xcb_render_picture_t source = xcb_generate_id(c);
    xcb_render_create_picture(c, source, area.drawable, format, XCB_RENDER_CP_REPEAT, &pad);
    xcb_pixmap_t previous = 0;
    int16_t x = area.x, y = area.y;
    for (int i = 0; i < times; ++i) {
        int w = (width + 1) / 2, h = (height + 1) / 2;
        xcb_pixmap_t pixmap = xcb_generate_id(c);
        xcb_create_pixmap(c, area.depth, pixmap, conn->root, uint16_t(w), uint16_t(h));
        xcb_render_picture_t target = xcb_generate_id(c);
        xcb_render_create_picture(c, target, pixmap, format, XCB_RENDER_CP_REPEAT, &pad);
        // Target pixel centre i + 0.5 samples the source at 2i + 1: halfway
        // between two pixel centres on each axis.
        xcb_render_transform_t twice{fixed(2), 0, fixed(x), 0, fixed(2), fixed(y), 0, 0, fixed(1)};
        xcb_render_set_picture_transform(c, source, twice);
        xcb_render_set_picture_filter(c, source, uint16_t(std::strlen(kFilter)), kFilter, 0,
                                      nullptr);
        xcb_render_composite(c, XCB_RENDER_PICT_OP_SRC, source, XCB_NONE, target, 0, 0, 0, 0, 0,
                             0, uint16_t(w), uint16_t(h));
        xcb_render_free_picture(c, source);
        if (previous) xcb_free_pixmap(c, previous);
        source = target;
        previous = pixmap;
        x = y = 0;
        width = w;
        height = h;
    }
    xcb_render_free_picture(c, source);
    return previous;
}

}  // namespace platform::x11
