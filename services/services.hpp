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

}  // namespace services
