// The front report: the application the user works in and its front window.
#pragma once

#include <boost/json/value.hpp>

namespace tracking {

// Writes the one reply to a "front" request. Main thread.
void front(const boost::json::value& id);

}  // namespace tracking
