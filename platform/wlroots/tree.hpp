// sway's layout tree (the `get_tree` reply) as the list of windows the
// companion reports: pure functions over the JSON text, tested without a
// compositor. Everything in the tree comes from another program and is
// checked for kind and range.
#pragma once

#include "platform/apps/identity.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform::wlroots {

struct Rect {
    double x = 0, y = 0, width = 0, height = 0;
};

// One window (sway "view") in the tree.
struct View {
    int64_t id = 0;                        // container id: the window number
    int32_t pid = 0;                       // 0 when the tree gives none
    std::optional<std::string> appId;      // Wayland app_id
    std::optional<apps::WmClass> x11Class; // Xwayland window's class
    uint32_t x11Window = 0;                // Xwayland window's X11 id, else 0
    std::string title;                     // valid UTF-8
    bool focused = false;
    bool floating = false;
    bool visible = false;
    bool fullscreen = false;               // covers its workspace or every output
    std::optional<double> opacity;         // 0..1
    Rect content;                          // layout (logical) coordinates
    std::string output;                    // the output's name
    Rect outputRect;                       // the output in layout coordinates
    double scale = 1;                      // the output's scale, > 0
};

// Every view of the tree in `json`, frontmost first: the focused view, then
// fullscreen views, then each output by focus order, and on each workspace
// floating views above tiled ones, each group by focus order. Invisible views (other workspaces,
// hidden tabs, the scratchpad) are kept with `visible` false, after the
// visible ones. Nothing when `json` is not a tree.
std::optional<std::vector<View>> parseTree(std::string_view json);

// The view with container id `id`, or null.
const View* findView(const std::vector<View>& views, int64_t id);

// Whether another visible view may lie over `v` on screen: a fullscreen one
// over a view that is not, a floating one over a tiled one, any floating one
// over a floating one that is not focused (sway raises the focused one; the
// rest of the floating order is not told). `v` must be one of `views`.
bool mayBeCovered(const std::vector<View>& views, const View& v);

}  // namespace platform::wlroots
