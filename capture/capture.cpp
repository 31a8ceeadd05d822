#include "capture/capture.hpp"

#include "core/dispatch.hpp"

namespace capture {

void capture(const boost::json::value& id, std::optional<uint32_t>, double, double) {
    core::unknownCommand(id, "capture");
}

}  // namespace capture
