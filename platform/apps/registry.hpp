// Running applications as the front report sees them, built from a pid and
// what its windows say (Hints) by the shared identity rules, and kept per
// process. Every backend builds its records here. Internal to platform/.
#pragma once

#include "platform/apps/desktop_entry.hpp"
#include "platform/apps/identity.hpp"
#include "platform/platform.hpp"

#include <cstdint>
#include <functional>
#include <vector>

namespace platform::apps {

// The application of process `pid`, described by `hints` and the process
// itself. Null when no such
// process runs. A record is kept per process (pid and start time) once it
// names an entry or a class, so a second call for a running process costs
// one /proc read and `hints` is not asked for again. `hints` is called at
// most once, only when there is no kept record. Any thread.
AppRef appFor(int32_t pid, const std::function<Hints()>& hints);

// Calls `use` with the desktop entries of every applications directory,
// shadowed and hidden ones left out, read again when a directory changed.
// Any thread; `use` runs under a lock and must not call back in.
void withDesktopEntries(const std::function<void(const std::vector<DesktopEntry>&)>& use);

}  // namespace platform::apps
