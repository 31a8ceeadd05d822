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
    std::vector<std::string> desktopIds;   // more such ids, tried after desktopId in order
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

// The entry with id `id`, or named by `id` as a file name or path ("x.desktop",
// "/path/x.desktop": only the last component counts, never read as a path);
// exact first, then ignoring ASCII case. Null when none.
const DesktopEntry* entryById(const std::vector<DesktopEntry>& entries, std::string_view id);

// The application id a Flatpak sandbox declares in its .flatpak-info
// ([Application] name=...); nothing when absent.
std::optional<std::string> flatpakInfoId(std::string_view flatpakInfo);

// The unified cgroup path from /proc/PID/cgroup ("0::/path"); nothing when
// there is none.
std::optional<std::string> unifiedCgroup(std::string_view procCgroup);

// The desktop entry id of a sandboxed program from its cgroup path: Flatpak
// ("app-flatpak-ID-N.scope") gives ID, Snap ("snap.NAME.APP...") gives
// "NAME_APP". Nothing for any other path.
std::optional<std::string> sandboxId(std::string_view cgroup);

// The application id of the systemd user unit a desktop launched a program
// in ("app[-LAUNCHER]-ID-RANDOM.scope", "app[-LAUNCHER]-ID[@RANDOM].service",
// with systemd's \x2d escapes undone), believed only when the process is the
// unit's own first process: its parent lies in another cgroup (a program
// started from a terminal shares the terminal's unit and its parent's
// cgroup). Nothing otherwise.
std::optional<std::string> launchedUnitId(std::string_view cgroup, std::string_view parentCgroup);

// The program an Exec line runs (its first word, unquoted, past a leading
// "env" and its assignments); nothing when it cannot be told.
std::optional<std::string> execProgram(std::string_view exec);

// The one entry whose Exec program is `exe` (an absolute program equal to
// it, a bare name equal to its last component); null when none or several.
const DesktopEntry* entryByExec(const std::vector<DesktopEntry>& entries, std::string_view exe);

}  // namespace platform::apps
