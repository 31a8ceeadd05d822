// Applications over X11: the frontmost one, one by pid, and the
// screen-recording check (a usable display connection).
#include "platform/x11/apps.hpp"

#include "platform/apps/registry.hpp"
#include "platform/x11/backend.hpp"
#include "platform/x11/windows.hpp"

#include <algorithm>

namespace platform::x11 {

std::vector<xcb_window_t> windowsOf(const Connection& x, int32_t pid) {
    std::vector<xcb_window_t> all = clientsTopFirst(x);
    std::vector<std::optional<int32_t>> owners = ownerPids(x, all);
    std::vector<xcb_window_t> mine;
    for (size_t i = 0; i < all.size(); ++i)
        if (owners[i] == pid) mine.push_back(all[i]);
    return mine;
}

namespace {

// The desktop entry ids the windows name (_GTK_APPLICATION_ID, then
// _KDE_NET_WM_DESKTOP_FILE), the first windows' first; at most a few.
std::vector<std::string> desktopIdsOf(const Connection& x, const std::vector<xcb_window_t>& windows) {
    std::vector<std::string> ids;
    for (size_t i = 0; i < windows.size() && i < 4; ++i)
        for (Atom a : {_GTK_APPLICATION_ID, _KDE_NET_WM_DESKTOP_FILE}) {
            auto p = readProperty(x, windows[i], x[a], XCB_GET_PROPERTY_TYPE_ANY, 64);
            if (!p || p->format != 8 || p->cut || p->bytes.empty()) continue;
            std::string id = propertyText(p->bytes.substr(0, p->bytes.find('\0')), false);
            if (!id.empty() && std::find(ids.begin(), ids.end(), id) == ids.end()) ids.push_back(id);
        }
    return ids;
}

}  // namespace

AppRef appFor(const Connection* x, int32_t pid, std::optional<xcb_window_t> window) {
    return apps::appFor(pid, [&]() {
        apps::Hints hints;
        if (window) hints.windows = {*window};
        else if (x) hints.windows = windowsOf(*x, pid);
        if (x) {
            for (xcb_window_t w : hints.windows)
                if ((hints.wmClass = wmClassOf(*x, w))) break;
            hints.desktopIds = desktopIdsOf(*x, hints.windows);
        }
        return hints;
    });
}

bool screenCapturePreflight() { return liveConnection() != nullptr; }

bool screenCaptureRequest() { return screenCapturePreflight(); }

AppRef frontmostApplication() {
    ConnectionRef x = connection();
    if (!x) return nullptr;
    auto w = activeWindow(*x);
    if (!w) return nullptr;
    auto pid = ownerPid(*x, *w);
    if (!pid) return nullptr;
    return appFor(x.get(), *pid, *w);
}

AppRef runningApplication(int32_t pid) {
    ConnectionRef x = connection();
    return appFor(x.get(), pid, std::nullopt);
}

}  // namespace platform::x11
