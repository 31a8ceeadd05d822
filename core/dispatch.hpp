// The command table: picks a request's handler and reads its arguments.
#pragma once

#include <boost/json/object.hpp>
#include <boost/json/value.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace core {

// Serves one request. Main thread only, one request at a time. Every command
// but "haptic" ends in exactly one reply, written here or by the work it
// starts ("capture", "automation").
void handle(const boost::json::value& id, const std::string& cmd, const boost::json::object& args);

// Argument kinds. A key that is absent or holds another kind gives nothing.
// integer: a JSON number with an integral value that int64 holds exactly
// (800.0 is 800); number: any JSON number; string: a JSON string. Booleans
// and null are none of them.
std::optional<int64_t> integerArg(const boost::json::object& args, std::string_view key);
std::optional<double> numberArg(const boost::json::object& args, std::string_view key);
std::optional<std::string> stringArg(const boost::json::object& args, std::string_view key);

// The reply for a command name that no row serves.
void unknownCommand(const boost::json::value& id, std::string_view cmd);

}  // namespace core
