// Haptic feedback: a Linux desktop has no haptic device to play it on.
#include "platform/platform.hpp"

namespace platform {

void performHaptic(int, int) {}

}  // namespace platform
