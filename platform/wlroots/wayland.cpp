// Bounded reading of Wayland events, one event queue per reader.
#include "platform/wlroots/wayland.hpp"

#include <wayland-client.h>

#include <cerrno>
#include <cstdarg>
#include <mutex>
#include <poll.h>

namespace platform::wlroots {
namespace {

using Clock = std::chrono::steady_clock;

// One read of the connection into every queue, waiting up to `waitMs`;
// false when the connection broke. `got` tells whether anything was read.
bool readOnce(wl_display* d, wl_event_queue* queue, int waitMs, bool& got) {
    got = false;
    while (wl_display_prepare_read_queue(d, queue) != 0)
        if (wl_display_dispatch_queue_pending(d, queue) < 0) return false;
    if (wl_display_flush(d) < 0 && errno != EAGAIN) {
        wl_display_cancel_read(d);
        return false;
    }
    pollfd p{wl_display_get_fd(d), POLLIN, 0};
    int n = ::poll(&p, 1, waitMs);
    if (n <= 0) {
        wl_display_cancel_read(d);
        return n == 0 || errno == EINTR;
    }
    if (wl_display_read_events(d) < 0) return false;
    got = true;
    return wl_display_dispatch_queue_pending(d, queue) >= 0;
}

void syncDone(void* data, wl_callback*, uint32_t) { *static_cast<bool*>(data) = true; }
const wl_callback_listener kSyncListener = {syncDone};

void quiet(const char*, va_list) {}

}  // namespace

wl_display* connectDisplay() {
    static std::once_flag once;
    std::call_once(once, [] { wl_log_set_handler_client(quiet); });
    return wl_display_connect(nullptr);
}

bool dispatchUntil(wl_display* d, wl_event_queue* queue, Clock::time_point deadline,
                   const std::function<bool()>& done) {
    if (wl_display_dispatch_queue_pending(d, queue) < 0) return false;
    while (!done()) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) return false;
        bool got = false;
        if (!readOnce(d, queue, int(left.count()), got)) return false;
    }
    return true;
}

bool roundtrip(wl_display* d, wl_event_queue* queue, Clock::time_point deadline) {
    auto* wrapper = static_cast<wl_display*>(wl_proxy_create_wrapper(d));
    if (!wrapper) return false;
    wl_proxy_set_queue(reinterpret_cast<wl_proxy*>(wrapper), queue);
    wl_callback* cb = wl_display_sync(wrapper);
    wl_proxy_wrapper_destroy(wrapper);
    if (!cb) return false;
    bool done = false;
    wl_callback_add_listener(cb, &kSyncListener, &done);
    bool ok = dispatchUntil(d, queue, deadline, [&] { return done; });
    wl_callback_destroy(cb);
    return ok;
}

bool dispatchAvailable(wl_display* d, wl_event_queue* queue) {
    bool got = true;
    while (got)
        if (!readOnce(d, queue, 0, got)) return false;
    return wl_display_get_error(d) == 0;
}

}  // namespace platform::wlroots
