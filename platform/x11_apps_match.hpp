// Which desktop entry describes a running application: pure rules over the
// entries on disk, the process's environment and its window's WM_CLASS.
// Internal to platform/.
#pragma once

#include "platform/desktop_entry.hpp"
#include "platform/x11_props.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform::x11 {

// The desktop file that launched process `pid`, from its environment block
// (NUL-separated KEY=VALUE): GIO_LAUNCHED_DESKTOP_FILE, believed only when
// GIO_LAUNCHED_DESKTOP_FILE_PID is absent or names `pid` itself (children
// inherit the variable from whoever was launched).
std::optional<std::string> launchedDesktopFile(std::string_view environ, int32_t pid);

// The entry whose StartupWMClass equals the class (or the instance), else the
// one whose id equals the instance or the class, ignoring ASCII case. Entries
// are taken in their order; null when none matches.
const DesktopEntry* matchEntry(const std::vector<DesktopEntry>& entries, const WmClass& wc);

}  // namespace platform::x11
