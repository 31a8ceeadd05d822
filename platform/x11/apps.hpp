// Running applications over X11: the shared records, described by the
// WM_CLASS of one of the process's windows. Internal to platform/.
#pragma once

#include "platform/platform.hpp"
#include "platform/x11/connection.hpp"

#include <cstdint>
#include <optional>
#include <vector>

namespace platform::x11 {

// The application of process `pid`, whose window `window` is when known (its
// WM_CLASS is then used instead of searching the pid's windows). Null when no
// such process runs. `x` may be null.
AppRef appFor(const Connection* x, int32_t pid, std::optional<xcb_window_t> window);

// The client windows of process `pid`, frontmost first.
std::vector<xcb_window_t> windowsOf(const Connection& x, int32_t pid);

}  // namespace platform::x11
