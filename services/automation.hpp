// The automation permission probe.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace services {

// One of "allowed", "denied", "ask", "not-running", "unknown". Blocks for a
// short time-out at most; never on the main thread.
std::string automation(const std::string& bundleId);

// The state word for a platform status: 0 "allowed", -1743 "denied", -1744
// "ask", -600 "not-running"; any other status, and no target, "unknown".
const char* stateWord(std::optional<int32_t> status);

}  // namespace services
