// The small service commands: "allow", "app" and "haptic".
#pragma once

#include <boost/json/value.hpp>

#include <optional>
#include <string>

namespace services {

// Each runs on the main thread inside the dispatcher.
void allow(const boost::json::value& id);
void app(const boost::json::value& id, const std::string& path);
void haptic(const std::optional<std::string>& pattern);  // never replies

// The haptic pattern for a request's "pattern": 0 (generic) for exactly
// "generic", 1 (alignment) for anything else or nothing.
int hapticPattern(const std::optional<std::string>& pattern);

// The performance time every haptic request uses: now.
constexpr int kHapticNow = 1;

}  // namespace services
