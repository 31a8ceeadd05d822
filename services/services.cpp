#include "services/services.hpp"

#include "core/dispatch.hpp"

namespace services {

void allow(const boost::json::value& id) { core::unknownCommand(id, "allow"); }
void app(const boost::json::value& id, const std::string&) { core::unknownCommand(id, "app"); }
void haptic(const std::optional<std::string>&) {}

}  // namespace services
