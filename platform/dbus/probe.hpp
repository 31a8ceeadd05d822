// The automation probe's target check: which identifiers name a bus peer.
#pragma once

#include <string_view>

namespace platform {

// True when `name` is a valid D-Bus well-known bus name: at most 255 bytes,
// two or more non-empty dot-separated elements of [A-Za-z0-9_-], none
// starting with a digit. Unique names (":1.5") are not well-known names.
bool wellKnownBusName(std::string_view name);

}  // namespace platform
