#include "tracking/tracker.hpp"

#include "core/loop.hpp"

#include <unistd.h>

namespace tracking {

int32_t dovkPid = 0;
platform::AppRef lastOther;

void noteActivation(platform::AppRef app) {
    if (!app || app->pid == dovkPid) return;
    lastOther = std::move(app);
}

void startTracking() {
    dovkPid = int32_t(getppid());
    lastOther.reset();
    if (platform::AppRef front = platform::frontmostApplication()) noteActivation(std::move(front));
    platform::watchActivations(core::mainLoop(),
                               [](platform::AppRef app) { noteActivation(std::move(app)); });
}

}  // namespace tracking
