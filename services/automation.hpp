// The automation permission probe.
#pragma once

#include <string>

namespace services {

// One of "allowed", "denied", "ask", "not-running", "unknown". Blocks for a
// short time-out at most; never on the main thread.
std::string automation(const std::string& bundleId);

}  // namespace services
