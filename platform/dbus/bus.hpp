// Session-bus connections for the desktop backends (sd-bus): one of the
// caller's own, calls with a deadline, and a connection served by the main
// loop so that signals and incoming method calls run there as jobs.
// Internal to platform/.
#pragma once

#include <systemd/sd-bus.h>

#include <cerrno>
#include <cstdint>
#include <memory>
#include <string>

namespace boost::asio {
class io_context;
}

namespace platform::dbus {

// An sd-bus connection; closed and freed when the last holder lets go.
using BusRef = std::shared_ptr<sd_bus>;

// A new connection to the session bus (DBUS_SESSION_BUS_ADDRESS), or null.
// Its own, so a signal match or an object it serves reaches no one else.
BusRef openSessionBus();

// A message reference, unreffed when it goes.
using MessageRef = std::unique_ptr<sd_bus_message, decltype(&sd_bus_message_unref)>;

// Calls `method` and waits at most `timeoutUsec` for the answer; the reply,
// or null with the error's name and message in `error` (never thrown).
// The message is built by `fill` (may be null for no arguments). Any thread
// that holds `bus` alone (sd-bus connections are not thread-safe).
struct CallError {
    std::string name;
    std::string message;
};
MessageRef call(sd_bus* bus, const char* destination, const char* path, const char* interface,
                const char* method, uint64_t timeoutUsec, CallError& error,
                int (*fill)(sd_bus_message*, void*) = nullptr, void* fillData = nullptr);

// Serves `bus` from `loop`: its fd is watched, and every readable event or
// timeout processes what arrived, so match callbacks and vtable handlers run
// on the loop's thread. A connection that closes (the bus went away) calls
// `lost` once on the loop's thread and is then left alone. From then on,
// use `bus` only on the loop's thread.
void attach(boost::asio::io_context& loop, BusRef bus, void (*lost)(void*) = nullptr,
            void* lostData = nullptr);

// A message handler or match callback as sd-bus may call it: sd-bus calls
// through C, so nothing may unwind out of it; an exception (memory ran out)
// costs that one message, answered as an error where it was a call.
template <sd_bus_message_handler_t F>
int guarded(sd_bus_message* m, void* data, sd_bus_error* error) noexcept {
    try {
        return F(m, data, error);
    } catch (...) {
        return -ENOMEM;
    }
}

}  // namespace platform::dbus
