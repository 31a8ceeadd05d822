// The backends behind the seam. One serves the whole process, chosen once at
// start-up by what the session offers, best first; each fills a Backend with
// its own functions when its display answers. The choice itself is a pure
// function of the session, so it is tested without any display.
// Internal to platform/.
#pragma once

#include "platform/platform.hpp"

#include <string>
#include <vector>

namespace platform {

enum class BackendKind { x11, sway, gnome, kde, wlroots };

// What the session offers, read from the environment at start-up.
struct Session {
    bool wayland = false;     // WAYLAND_DISPLAY is set
    bool swaySocket = false;  // SWAYSOCK is set
    std::string desktop;      // XDG_CURRENT_DESKTOP, as set
};

// The session as the environment describes it.
Session currentSession();

// The backends worth trying for `session`, best first. X11 is always last:
// it also serves a session without any display, with the answers for that.
std::vector<BackendKind> backendOrder(const Session& session);

// The functions a backend provides: the window system's half of the seam.
// Each has the contract of its namesake in platform.hpp.
struct Backend {
    BackendKind kind = BackendKind::x11;
    bool (*screenCapturePreflight)() = nullptr;
    bool (*screenCaptureRequest)() = nullptr;
    AppRef (*frontmostApplication)() = nullptr;
    AppRef (*runningApplication)(int32_t pid) = nullptr;
    std::optional<std::vector<uint32_t>> (*windowStack)() = nullptr;
    std::vector<WindowRecord> (*windowRecords)(const std::vector<uint32_t>& numbers) = nullptr;
    std::optional<RgbaImage> (*iconImage)(const App& app) = nullptr;
    void (*watchActivations)(boost::asio::io_context& loop,
                             std::function<void(AppRef)> observer) = nullptr;
    ShareableContent (*shareableContent)() = nullptr;
    double (*pointPixelScale)(uint32_t window) = nullptr;
    Shot (*screenshot)(uint32_t window, int64_t width, int64_t height) = nullptr;
};

// The backend serving this process: chosen on the first call (selectBackend
// at start-up), the same for the process's life. Any thread.
const Backend& backend();

}  // namespace platform
