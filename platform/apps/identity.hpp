// Which desktop entry describes a running application: pure rules over the
// entries on disk, the process's environment and what its windows say of
// themselves. Shared by every backend; internal to platform/.
#pragma once

#include "platform/apps/desktop_entry.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform::apps {

// An X11 window's WM_CLASS, or what a Wayland compositor reports in its
// place: instance and class, valid UTF-8.
struct WmClass {
    std::string instance;
    std::string cls;
};

// What a window system says about the application behind a window. Every
// field is a hint from another program, never trusted as a path.
struct Hints {
    std::optional<std::string> desktopId;  // a desktop entry id the window names
    std::optional<WmClass> wmClass;
    std::vector<uint32_t> windows;  // the process's window numbers, when known
};

// The desktop file that launched process `pid`, from its environment block
// (NUL-separated KEY=VALUE): GIO_LAUNCHED_DESKTOP_FILE, believed only when
// GIO_LAUNCHED_DESKTOP_FILE_PID is absent or names `pid` itself (children
// inherit the variable from whoever was launched).
std::optional<std::string> launchedDesktopFile(std::string_view environ, int32_t pid);

// The entry whose StartupWMClass equals the class (or the instance), else the
// one whose id equals the instance or the class, ignoring ASCII case. Entries
// are taken in their order; null when none matches.
const DesktopEntry* matchEntry(const std::vector<DesktopEntry>& entries, const WmClass& wc);

}  // namespace platform::apps
