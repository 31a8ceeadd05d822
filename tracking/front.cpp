#include "tracking/front.hpp"

#include "core/dispatch.hpp"

namespace tracking {

void front(const boost::json::value& id) { core::unknownCommand(id, "front"); }

}  // namespace tracking
