// The companion's side of its GNOME Shell extension: the window list, the
// focused window and window pictures over the session bus. Replies are
// checked and bounded like any other program's. Internal to platform/.
#pragma once

#include "platform/dbus/bus.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace platform::gnome {

inline constexpr const char* kBusName = "org.companion.Windows";
// The Shell's own bus name. Calls go to its owner's unique name, not to
// kBusName: another program of the user could own kBusName and hand out
// made-up windows and pictures; only the Shell owns this one.
inline constexpr const char* kShellName = "org.gnome.Shell";
inline constexpr const char* kObjectPath = "/org/companion/Windows";
inline constexpr const char* kInterface = "org.companion.Windows";

// One window as the extension describes it. Strings are valid UTF-8.
struct ShellWindow {
    uint32_t number = 0;  // stable for the window's life
    int32_t pid = 0;      // 0 when the Shell does not know
    int32_t layer = 0;
    double opacity = 1;
    double x = 0, y = 0, width = 0, height = 0;  // frame, without shadows
    std::string title;
    std::string trackerId;  // the Shell's desktop entry id ("foo.desktop"), or empty
    std::string gtkId, sandboxId, wmInstance, wmClass;
    bool minimized = false;
    bool onWorkspace = true;
    double scale = 1;  // its monitor's scale
};

struct ShellList {
    uint32_t focused = 0;  // 0 when no window has the focus
    std::vector<ShellWindow> windows;  // frontmost first
};

// How long the Shell may take to answer.
inline constexpr uint64_t kListTimeoutUsec = 500'000;
inline constexpr uint64_t kCaptureTimeoutUsec = 5'000'000;

// The unique name of the Shell's connection (the one the extension serves
// on), or empty with `error` set when the Shell is not on the bus.
std::string shellConnection(sd_bus* bus, dbus::CallError& error);

// A session-bus connection for one caller at a time, from a small pool;
// null when there is no bus. Hand it back with giveBack when the calls on it
// went well (a broken one is dropped). Any thread.
dbus::BusRef takeBus();
void giveBack(dbus::BusRef bus);
// Closes the pooled connections, so the next calls are new callers.
void dropPool();

// The windows, or nothing with `error` set. Any thread holding `bus`.
std::optional<ShellList> listWindows(sd_bus* bus, dbus::CallError& error);
// The focused window, nothing without one (`error` tells failure apart).
std::optional<ShellWindow> focusedWindow(sd_bus* bus, dbus::CallError& error);

// The parse of one reply of List or Focus, for use from a signal handler.
// REQUIRES: `m` positioned at the reply's start.
std::optional<ShellList> readList(sd_bus_message* m, bool withFocus);

// True when the extension answers now (with a fresh pooled connection).
bool answers();

// The picture of `window` at most `width` x `height`: RGBA rows, `stride`
// bytes each. `error` is "gone" when the window no longer exists.
struct ShellPicture {
    int width = 0, height = 0;
    size_t stride = 0;
    std::shared_ptr<const uint8_t> pixels;  // stride * height bytes
};
std::optional<ShellPicture> capturePicture(uint32_t window, int64_t width, int64_t height,
                                           std::string& error);

}  // namespace platform::gnome
