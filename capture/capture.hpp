// Window capture: one window as a scaled JPEG, in a background job.
#pragma once

#include <boost/json/value.hpp>

#include <cstdint>
#include <optional>

namespace capture {

// Starts the capture job and returns at once; the job writes the one reply.
// `window` is none when the request named a number no window can carry.
// Main thread.
void capture(const boost::json::value& id, std::optional<uint32_t> window, double edge,
             double quality);

}  // namespace capture
