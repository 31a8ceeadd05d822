// Where the files that ship with the companion lie at run time: the desktop
// add-ons (the GNOME Shell extension, the KWin script, the authorising
// desktop entry). Internal to platform/.
#pragma once

#include <optional>
#include <string>

namespace platform {

// The companion's data directory: the install prefix's (fixed at build
// time) when it holds the files, else one found beside the running
// executable (a relocated install's ../share/companion, or a build tree's
// share/companion). Nothing when none exists. Any thread.
std::optional<std::string> resourceDir();

// The running executable's path (/proc/self/exe), or nothing.
std::optional<std::string> selfExecutable();

}  // namespace platform
