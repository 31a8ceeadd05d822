#include "services/automation.hpp"

namespace services {

std::string automation(const std::string&) { return "unknown"; }

}  // namespace services
