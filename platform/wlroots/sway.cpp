// The sway backend: the window list and the frontmost application from
// get_tree, pictures of a window's content rectangle through screencopy.
// Container ids are the window numbers, for Wayland and Xwayland windows
// alike.
#include "platform/wlroots/sway.hpp"

#include "platform/apps/registry.hpp"
#include "platform/icons/theme.hpp"
#include "platform/wlroots/ipc.hpp"
#include "platform/wlroots/screencopy.hpp"
#include "platform/x11/backend.hpp"
#include "platform/x11/windows.hpp"

#include <chrono>
#include <cstdlib>
#include <mutex>

namespace platform::wlroots::sway {
namespace {

using Clock = std::chrono::steady_clock;

// A front report asks for the tree several times within a millisecond.
constexpr int kFrontAgeMs = 50;
// A capture job's steps use the tree its content listing read.
constexpr int kCaptureAgeMs = 500;

struct Snapshot {
    std::mutex lock;
    std::shared_ptr<const std::vector<View>> views;
    Clock::time_point at;
    uint64_t events = 0;  // eventsSeen() when it was taken
};
Snapshot& snapshot() {
    static auto* s = new Snapshot;
    return *s;
}

apps::Hints hintsOf(const View& v) {
    apps::Hints h;
    if (v.appId) {
        h.desktopId = v.appId;
        h.wmClass = apps::WmClass{*v.appId, *v.appId};
    } else if (v.x11Class) {
        h.wmClass = v.x11Class;
    }
    if (v.id > 0 && v.id <= UINT32_MAX) h.windows = {uint32_t(v.id)};
    return h;
}

bool preflight() { return views(kFrontAgeMs).has_value() && screencopyAvailable(); }

AppRef frontmost() {
    auto vs = views(kFrontAgeMs);
    if (!vs || vs->empty() || !vs->front().focused || !vs->front().visible) return nullptr;
    return appOf(vs->front());
}

AppRef running(int32_t pid) {
    if (pid <= 0) return nullptr;
    if (auto vs = views(kFrontAgeMs))
        for (const View& v : *vs)
            if (v.pid == pid) return appOf(v);
    return apps::appFor(pid, [] { return apps::Hints{}; });
}

std::optional<std::vector<uint32_t>> stack() {
    auto vs = views(kFrontAgeMs);
    if (!vs) return std::nullopt;
    std::vector<uint32_t> ids;
    for (const View& v : *vs)
        if (v.visible && v.id > 0 && v.id <= UINT32_MAX) ids.push_back(uint32_t(v.id));
    return ids;
}

std::vector<WindowRecord> records(const std::vector<uint32_t>& numbers) {
    std::vector<WindowRecord> out;
    auto vs = views(kFrontAgeMs);
    if (!vs) return out;
    for (uint32_t n : numbers) {
        const View* v = findView(*vs, n);
        if (!v || !v->visible) continue;
        WindowRecord r;
        r.layer = 0;
        r.alpha = v->opacity;
        r.bounds = Bounds{v->content.x * v->scale, v->content.y * v->scale,
                          v->content.width * v->scale, v->content.height * v->scale};
        if (v->pid > 0) r.ownerPid = v->pid;
        r.number = v->id;
        r.name = v->title;
        out.push_back(std::move(r));
    }
    return out;
}

// The desktop entry's icon; else, for Xwayland clients when the session's
// X server lets us in, their windows' own (the X11 backend's sources).
std::optional<RgbaImage> icon(const App& app) {
    if (app.iconName)
        if (auto img = icons::themeIcon(*app.iconName, 64)) return img;
    if (std::getenv("DISPLAY")) return x11::iconImage(app);
    return std::nullopt;
}

ShareableContent content() {
    ShareableContent c;
    auto vs = views(0);
    if (!vs) {
        c.error = "sway's IPC does not answer";
        return c;
    }
    for (const View& v : *vs)
        if (v.visible && v.id > 0 && v.id <= UINT32_MAX)
            c.windows.push_back({uint32_t(v.id), v.content.width, v.content.height});
    return c;
}

double pixelScale(uint32_t window) {
    if (auto vs = views(kCaptureAgeMs))
        if (const View* v = findView(*vs, window)) return v->scale;
    return 1.0;
}

// Whether the X server in DISPLAY is the session's Xwayland, as far as `v`
// can tell: its window of that number has the class sway reports. Another
// server (a nested session, a host started elsewhere) may hold another
// window under the same number.
bool sameX11Window(const View& v) {
    if (!v.x11Class || !std::getenv("DISPLAY")) return false;
    x11::ConnectionRef x = x11::connection();
    if (!x) return false;
    auto wc = x11::wmClassOf(*x, v.x11Window);
    return wc && wc->instance == v.x11Class->instance && wc->cls == v.x11Class->cls;
}

Shot shot(uint32_t window, int64_t width, int64_t height) {
    auto vs = views(kCaptureAgeMs);
    if (!vs) return {std::nullopt, "sway's IPC does not answer"};
    const View* v = findView(*vs, window);
    if (!v || !v->visible) return {std::nullopt, "gone"};
    // An Xwayland window's own pixels, covered parts included, when the
    // session's X server lets us in (it admits its own user); else what the
    // output shows.
    if (v->x11Window && sameX11Window(*v))
        if (Shot own = x11::screenshot(v->x11Window, width, height); own.picture) return own;
    // The output's pixels there would show the other window: no picture
    // rather than another window's pixels under this one's number.
    if (mayBeCovered(*vs, *v)) return {std::nullopt, "the window is covered by another window"};
    Rect local = v->content;
    local.x -= v->outputRect.x;
    local.y -= v->outputRect.y;
    return copyRegion(v->output, local, width, height);
}

}  // namespace

std::optional<std::vector<View>> views(int maxAgeMs) {
    Snapshot& s = snapshot();
    const uint64_t seen = eventsSeen();
    {
        std::lock_guard guard(s.lock);
        if (s.views && maxAgeMs > 0 && Clock::now() - s.at < std::chrono::milliseconds(maxAgeMs) &&
            s.events == seen && !eventsPending())
            return *s.views;
    }
    auto text = ipcRequest(kIpcGetTree);
    if (!text) return std::nullopt;
    auto parsed = parseTree(*text);
    if (!parsed) return std::nullopt;
    std::lock_guard guard(s.lock);
    s.views = std::make_shared<const std::vector<View>>(*parsed);
    s.at = Clock::now();
    s.events = seen;
    return parsed;
}

AppRef appOf(const View& v) {
    if (v.pid <= 0) return nullptr;
    return apps::appFor(v.pid, [&v] { return hintsOf(v); });
}

bool connect(Backend& b) {
    if (!ipcRequest(kIpcGetVersion)) return false;
    b.kind = BackendKind::sway;
    b.screenCapturePreflight = preflight;
    b.screenCaptureRequest = preflight;
    b.frontmostApplication = frontmost;
    b.runningApplication = running;
    b.windowStack = stack;
    b.windowRecords = records;
    b.iconImage = icon;
    b.watchActivations = watchActivations;
    b.shareableContent = content;
    b.pointPixelScale = pixelScale;
    b.screenshot = shot;
    return true;
}

}  // namespace platform::wlroots::sway
