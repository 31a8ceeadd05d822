// Application icons over X11: the desktop entry's icon from the theme, else
// the best _NET_WM_ICON image of its windows. The entry comes first
// because window managers (openbox) write a default icon of their own into
// _NET_WM_ICON of windows that set none, or set a malformed one.
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
    }
    return std::nullopt;
}

}  // namespace platform::x11
