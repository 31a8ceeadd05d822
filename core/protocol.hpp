// Request decoding: one input line in, one request or nothing out.
#pragma once

#include <boost/json/object.hpp>
#include <boost/json/storage_ptr.hpp>
#include <boost/json/value.hpp>

#include <optional>
#include <string>
#include <string_view>

namespace core {

struct Request {
    std::string cmd;           // any string, the empty one included
    boost::json::value id;     // echoed unchanged; the integer 0 when absent
    boost::json::object args;  // the whole request object
};

// Decodes the bytes of one line (without its line feed). Invalid UTF-8 is
// repaired first, so bad bytes alone never drop a line. Yields nothing for
// anything that is not one JSON object with a string "cmd". `args` lives in
// `sp`; `id` always in the default storage, so it may outlive `sp`.
std::optional<Request> decodeRequest(std::string_view line, boost::json::storage_ptr sp = {});

}  // namespace core
