// D-Bus probe, bundles on disk and haptics. (Placeholder until built.)
#include "platform/platform.hpp"

namespace platform {

std::optional<int32_t> automationStatus(const std::string&) { return std::nullopt; }
std::optional<Bundle> bundleAt(const std::string&) { return std::nullopt; }
std::string displayNameAt(const std::string& path) { return path; }
void performHaptic(int, int) {}

}  // namespace platform
