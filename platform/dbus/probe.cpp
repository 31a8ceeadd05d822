// Automation permission over the D-Bus session bus: one Peer.Ping to the
// target's well-known name, never starting it, bounded by a short deadline.
// Each probe opens its own connection: probes run on several pool threads at
// once, and a shared connection would need a lock held across a peer that may
// never answer.
#include "platform/dbus/probe.hpp"

#include "platform/platform.hpp"

#include <systemd/sd-bus.h>
#include <time.h>

#include <cerrno>
#include <cstring>

namespace platform {
namespace {

constexpr uint64_t kTimeoutUsec = 500 * 1000;  // connection, hand-shake and call together

constexpr int32_t kAllowed = 0;
constexpr int32_t kNotRunning = -600;
constexpr int32_t kDenied = -1743;
constexpr int32_t kWouldAsk = -1744;
constexpr int32_t kNoAnswer = -1;  // no bus, no answer in time, or any other error

uint64_t nowUsec() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64_t(ts.tv_sec) * 1000000u + uint64_t(ts.tv_nsec) / 1000u;
}

bool elementChar(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
           c == '_' || c == '-';
}

int32_t statusOf(sd_bus_message* answer) {
    if (!sd_bus_message_is_method_error(answer, nullptr)) return kAllowed;
    const sd_bus_error* e = sd_bus_message_get_error(answer);
    if (!e || !e->name) return kNoAnswer;
    struct Row {
        const char* error;
        int32_t status;
    };
    static constexpr Row kStatuses[] = {
        {"org.freedesktop.DBus.Error.ServiceUnknown", kNotRunning},
        {"org.freedesktop.DBus.Error.NameHasNoOwner", kNotRunning},
        {"org.freedesktop.DBus.Error.AccessDenied", kDenied},
        {"org.freedesktop.DBus.Error.InteractiveAuthorizationRequired", kWouldAsk},
    };
    for (const Row& row : kStatuses)
        if (std::strcmp(e->name, row.error) == 0) return row.status;
    return kNoAnswer;
}

struct Pending {
    bool done = false;
    int32_t status = kNoAnswer;
};

int onAnswer(sd_bus_message* answer, void* userdata, sd_bus_error*) {
    auto* p = static_cast<Pending*>(userdata);
    p->status = statusOf(answer);
    p->done = true;
    return 0;
}

int32_t ping(const std::string& name) {
    uint64_t deadline = nowUsec() + kTimeoutUsec;
    sd_bus* bus = nullptr;
    // Not yet connected when this returns: the hand-shake runs in the loop below.
    if (sd_bus_open_user(&bus) < 0) return kNoAnswer;
    Pending pending;
    sd_bus_message* call = nullptr;
    int r = sd_bus_message_new_method_call(bus, &call, name.c_str(), "/",
                                           "org.freedesktop.DBus.Peer", "Ping");
    if (r >= 0) r = sd_bus_message_set_auto_start(call, 0);
    if (r >= 0) r = sd_bus_message_set_allow_interactive_authorization(call, 0);
    if (r >= 0) r = sd_bus_call_async(bus, nullptr, call, onAnswer, &pending, kTimeoutUsec);
    sd_bus_message_unref(call);
    while (r >= 0 && !pending.done) {
        r = sd_bus_process(bus, nullptr);
        if (r != 0) continue;  // progress made, or an error that ends the loop
        uint64_t now = nowUsec();
        if (now >= deadline) break;
        r = sd_bus_wait(bus, deadline - now);
        if (r == -EINTR) r = 0;
    }
    sd_bus_close_unref(bus);
    return pending.done ? pending.status : kNoAnswer;
}

}  // namespace

bool wellKnownBusName(std::string_view name) {
    if (name.empty() || name.size() > 255) return false;
    size_t elements = 0;
    size_t start = 0;
    while (start <= name.size()) {
        size_t dot = name.find('.', start);
        std::string_view element =
            name.substr(start, dot == std::string_view::npos ? std::string_view::npos : dot - start);
        if (element.empty() || (element.front() >= '0' && element.front() <= '9')) return false;
        for (char c : element)
            if (!elementChar(c)) return false;
        ++elements;
        if (dot == std::string_view::npos) break;
        start = dot + 1;
    }
    return elements >= 2;
}

std::optional<int32_t> automationStatus(const std::string& bundleId) {
    if (!wellKnownBusName(bundleId)) return std::nullopt;
    return ping(bundleId);
}

}  // namespace platform
