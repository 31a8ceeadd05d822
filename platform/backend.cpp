// Choosing the backend, and the seam's window-system functions handed to it.
#include "platform/backend.hpp"

#include "platform/gnome/backend.hpp"
#include "platform/kde/backend.hpp"
#include "platform/wlroots/sway.hpp"
#include "platform/wlroots/wlroots.hpp"
#include "platform/x11/backend.hpp"

#include <cstdlib>

namespace platform {
namespace {

// Each backend's connect: fills the table and says whether its display
// answers. Backends not built into this binary have no row.
struct Connector {
    BackendKind kind;
    bool (*connect)(Backend&);
};
constexpr Connector kConnectors[] = {
    {BackendKind::sway, wlroots::sway::connect},
    {BackendKind::gnome, gnome::connect},
    {BackendKind::kde, kde::connect},
    {BackendKind::wlroots, wlroots::connect},
    {BackendKind::x11, x11::connect},
};

bool setAndNotEmpty(const char* name) {
    const char* v = std::getenv(name);
    return v && *v;
}

Backend choose() {
    for (BackendKind kind : backendOrder(currentSession()))
        for (const Connector& c : kConnectors) {
            Backend b;
            if (c.kind == kind && c.connect(b)) return b;
        }
    Backend b;
    x11::connect(b);
    return b;
}

}  // namespace

Session currentSession() {
    Session s;
    s.wayland = setAndNotEmpty("WAYLAND_DISPLAY");
    s.swaySocket = setAndNotEmpty("SWAYSOCK");
    if (const char* d = std::getenv("XDG_CURRENT_DESKTOP")) s.desktop = d;
    return s;
}

std::vector<BackendKind> backendOrder(const Session& s) {
    std::vector<BackendKind> order;
    if (s.wayland) {
        if (s.swaySocket) order.push_back(BackendKind::sway);
        order.push_back(BackendKind::gnome);
        order.push_back(BackendKind::kde);
        order.push_back(BackendKind::wlroots);
    }
    order.push_back(BackendKind::x11);
    return order;
}

const Backend& backend() {
    static const Backend chosen = choose();
    return chosen;
}

void selectBackend() { backend(); }

bool screenCapturePreflight() { return backend().screenCapturePreflight(); }
bool screenCaptureRequest() { return backend().screenCaptureRequest(); }
AppRef frontmostApplication() { return backend().frontmostApplication(); }
AppRef runningApplication(int32_t pid) { return backend().runningApplication(pid); }
std::optional<std::vector<uint32_t>> windowStack() { return backend().windowStack(); }
std::vector<WindowRecord> windowRecords(const std::vector<uint32_t>& numbers) {
    return backend().windowRecords(numbers);
}
std::optional<std::vector<WindowRecord>> windowList() {
    auto ids = windowStack();
    if (!ids) return std::nullopt;
    return windowRecords(*ids);
}
std::optional<RgbaImage> iconImage(const App& app) { return backend().iconImage(app); }
void watchActivations(boost::asio::io_context& loop, std::function<void(AppRef)> observer) {
    backend().watchActivations(loop, std::move(observer));
}
ShareableContent shareableContent() { return backend().shareableContent(); }
double pointPixelScale(uint32_t window) { return backend().pointPixelScale(window); }
Shot screenshot(uint32_t window, int64_t width, int64_t height) {
    return backend().screenshot(window, width, height);
}

}  // namespace platform
