// Halving on the server: RENDER scales a drawable by exact 2:1 bilinear
// steps, each of which averages 2 x 2 source pixels (a box filter), so a
// strong downscale sends a quarter of the pixels or fewer over the socket.
// Internal to platform/.
#pragma once

#include "platform/x11_connection.hpp"

#include <xcb/xcb.h>

namespace platform::x11 {

// The area to halve: `width` x `height` at `x`, `y` in `drawable`, whose
// pixels are of `visual` at `depth`.
struct Area {
    xcb_drawable_t drawable = 0;
    xcb_visualid_t visual = 0;
    uint8_t depth = 0;
    int16_t x = 0, y = 0;
    int width = 0, height = 0;
};

// A new pixmap holding `area` halved `times` times (odd sizes round up, the
// last row or column padded with its neighbour), its size in `width` and
// `height`; 0 when the server has no RENDER format for the visual. The
// caller frees the pixmap. Errors of the server show in the reads of it.
xcb_pixmap_t halve(const ConnectionRef& conn, const Area& area, int times, int& width,
                   int& height);

}  // namespace platform::x11
