// The one way out of the process: reply lines on standard output.
#pragma once

#include <boost/json/object.hpp>
#include <boost/json/value.hpp>

#include <mutex>
#include <optional>
#include <string>

namespace core {

// Serializes writes to standard output; held for exactly one line at a time.
// The exit path takes it too, so a line is never cut in half.
extern std::timed_mutex output;

// Writes `fields` plus "id" (the request id, replacing any "id" in fields) as
// one compact JSON line. Any thread; returns once the line is written or
// dropped (the host closed its end). The text is built on the caller's thread;
// only the write holds `output`. String values must be valid UTF-8.
void reply(const boost::json::value& id, boost::json::object fields);

// The line `reply` writes, line feed included: `fields` plus "id", with every
// non-finite number among the fields written as null. Nothing when memory for
// it runs out.
std::optional<std::string> replyLine(const boost::json::value& id, boost::json::object fields);

// The monotonic clock in milliseconds, fractions included.
double ms();

}  // namespace core
