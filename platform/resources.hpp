// Where the files that ship with the companion lie at run time: the desktop
// add-ons (the GNOME Shell extension, the KWin script, the authorising
// desktop entry). Internal to platform/.
#pragma once

#include <functional>
#include <optional>
#include <string>

namespace platform {

// The companion's data directory: the first that exists of a build tree's
// share/companion beside the running executable, the install prefix's (fixed
// at build time), and a relocated install's, found from the executable
// (bin/../share/companion or libexec/companion/../../share/companion).
// Nothing when none exists. Any thread.
std::optional<std::string> resourceDir();

// resourceDir()'s choice for an executable at `exe` (absolute, or "" when
// unknown) built for `datadir`, with `isDir` telling which directories
// exist. Paths come back lexically normal. Pure but for `isDir`.
std::optional<std::string> resourceDirFor(const std::string& exe, const std::string& datadir,
                                          const std::function<bool(const std::string&)>& isDir);

// The running executable's path (/proc/self/exe), or nothing.
std::optional<std::string> selfExecutable();

}  // namespace platform
