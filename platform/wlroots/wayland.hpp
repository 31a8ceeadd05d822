// Bounded waits on a Wayland connection: the client library's own round trip
// and dispatch block without limit, which a compositor that stops answering
// would turn into a hung request. Internal to platform/.
#pragma once

#include <chrono>
#include <functional>

struct wl_display;
struct wl_event_queue;

namespace platform::wlroots {

// wl_display_connect(nullptr) with the client library's messages silenced
// (it prints to stderr by default, which the companion never does). Null
// when no compositor answers. Any thread.
wl_display* connectDisplay();

// Reads and dispatches `queue`'s events until `done` or `deadline`; false on
// time-out or a broken connection. Any thread (one reader per queue).
bool dispatchUntil(wl_display* d, wl_event_queue* queue,
                   std::chrono::steady_clock::time_point deadline,
                   const std::function<bool()>& done);

// A round trip on `queue`: every request sent before has been handled and
// its events dispatched. False on time-out or a broken connection.
bool roundtrip(wl_display* d, wl_event_queue* queue, std::chrono::steady_clock::time_point deadline);

// Dispatches whatever events have arrived, without waiting; false when the
// connection broke.
bool dispatchAvailable(wl_display* d, wl_event_queue* queue);

}  // namespace platform::wlroots
