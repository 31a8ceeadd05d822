#include "core/dispatch.hpp"

#include "capture/capture.hpp"
#include "core/loop.hpp"
#include "core/reply.hpp"
#include "services/automation.hpp"
#include "services/services.hpp"
#include "tracking/front.hpp"
#include "tracking/tracker.hpp"

#include <boost/json/monotonic_resource.hpp>

#include <cmath>
#include <limits>

namespace core {

namespace json = boost::json;

std::optional<int64_t> integerArg(const json::object& args, std::string_view key) {
    auto it = args.find(key);
    if (it == args.end()) return std::nullopt;
    const json::value& v = it->value();
    if (v.is_int64()) return v.get_int64();
    if (v.is_uint64()) {
        uint64_t u = v.get_uint64();
        if (u <= uint64_t(std::numeric_limits<int64_t>::max())) return int64_t(u);
        return std::nullopt;
    }
    if (v.is_double()) {
        double d = v.get_double();
        // [-2^63, 2^63): both bounds are exact doubles.
        if (std::trunc(d) == d && d >= -9223372036854775808.0 && d < 9223372036854775808.0)
            return int64_t(d);
    }
    return std::nullopt;
}

std::optional<double> numberArg(const json::object& args, std::string_view key) {
    auto it = args.find(key);
    if (it == args.end()) return std::nullopt;
    const json::value& v = it->value();
    if (v.is_int64()) return double(v.get_int64());
    if (v.is_uint64()) return double(v.get_uint64());
    if (v.is_double()) return v.get_double();
    return std::nullopt;
}

std::optional<std::string> stringArg(const json::object& args, std::string_view key) {
    auto it = args.find(key);
    if (it == args.end() || !it->value().is_string()) return std::nullopt;
    return std::string(it->value().get_string());
}

void unknownCommand(const json::value& id, std::string_view cmd) {
    // The reply's fields live in this thread's scratch memory, given back
    // whole once the line is written.
    thread_local unsigned char first[1024];
    json::monotonic_resource scratch(first, sizeof first);
    json::object fields(&scratch);
    json::string& error = fields["error"].emplace_string();
    error.reserve(16 + cmd.size());
    error.append("unknown command ").append(cmd);
    reply(id, std::move(fields));
}

namespace {

using Args = json::object;
using Id = json::value;

void frontRow(const Id& id, const Args& args) {
    if (auto dovk = integerArg(args, "dovk")) {
        // Outside the signed 32-bit range there is no process id to store.
        if (*dovk >= std::numeric_limits<int32_t>::min() &&
            *dovk <= std::numeric_limits<int32_t>::max())
            tracking::dovkPid = int32_t(*dovk);
    }
    tracking::front(id);
}

void captureRow(const Id& id, const Args& args) {
    int64_t window = integerArg(args, "window").value_or(0);
    std::optional<uint32_t> number;  // none: no window can carry it
    if (window >= 0 && window <= int64_t(std::numeric_limits<uint32_t>::max()))
        number = uint32_t(window);
    capture::capture(id, number, numberArg(args, "edge").value_or(768.0),
                     numberArg(args, "quality").value_or(0.7));
}

void automationRow(const Id& id, const Args& args) {
    std::string bundle = stringArg(args, "bundle").value_or("");
    onProbes([id, bundle = std::move(bundle)] {
        json::object fields;
        fields["state"] = services::automation(bundle);
        reply(id, std::move(fields));
    });
}

void allowRow(const Id& id, const Args&) { services::allow(id); }

void appRow(const Id& id, const Args& args) {
    services::app(id, stringArg(args, "path").value_or(""));
}

void hapticRow(const Id&, const Args& args) { services::haptic(stringArg(args, "pattern")); }

struct Row {
    std::string_view name;
    void (*run)(const Id&, const Args&);
};

constexpr Row kCommands[] = {
    {"front", frontRow},         {"capture", captureRow}, {"automation", automationRow},
    {"allow", allowRow},         {"app", appRow},         {"haptic", hapticRow},
};

}  // namespace

void handle(const json::value& id, const std::string& cmd, const json::object& args) {
    for (const Row& row : kCommands) {
        if (row.name == cmd) {
            row.run(id, args);
            return;
        }
    }
    unknownCommand(id, cmd);
}

}  // namespace core
