// The activation tracker: who the host is, and the last other application
// that became active.
#pragma once

#include "platform/platform.hpp"

#include <cstdint>

namespace tracking {

// The host's process id; an application with it counts as the host.
// Main thread only.
extern int32_t dovkPid;

// The last application other than the host that became active; null until
// one has. Never cleared. Main thread only.
extern platform::AppRef lastOther;

// Stores `app` in lastOther unless its pid is dovkPid.
void noteActivation(platform::AppRef app);

// Start-up: dovkPid from the parent, lastOther seeded from the frontmost
// application, the activation observer registered. Main thread, once.
void startTracking();

}  // namespace tracking
