#include "tracking/tracker.hpp"

#include <unistd.h>

namespace tracking {

int32_t dovkPid = 0;
platform::AppRef lastOther;

void noteActivation(platform::AppRef app) {
    if (!app || app->pid == dovkPid) return;
    lastOther = std::move(app);
}

void startTracking() { dovkPid = int32_t(getppid()); }

}  // namespace tracking
