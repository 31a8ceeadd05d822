#include "core/reply.hpp"

#include <boost/json/serialize.hpp>

#include <cerrno>
#include <cmath>
#include <ctime>
#include <poll.h>
#include <unistd.h>

namespace core {

std::timed_mutex output;

namespace {

// Writes `text`, a whole line, to fd 1 under `output`, looping over partial
// writes and EINTR, and waiting for room when the host made fd 1 non-blocking.
// Other errors drop the rest of the line.
void writeLine(const std::string& text) {
    std::lock_guard lock(output);
    const char* p = text.data();
    size_t left = text.size();
    while (left > 0) {
        ssize_t n = ::write(STDOUT_FILENO, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                pollfd room{STDOUT_FILENO, POLLOUT, 0};
                if (::poll(&room, 1, -1) >= 0 || errno == EINTR) continue;
            }
            return;  // EPIPE and friends: the host is not listening
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
}

// Boost.JSON writes non-finite doubles as bare NaN or Infinity, which no JSON
// reader takes; they go out as null. Reply fields are built by the handlers and
// nest only a few levels deep.
void nullNonFinite(boost::json::value& v) {
    if (v.is_double()) {
        if (!std::isfinite(v.get_double())) v = nullptr;
    } else if (v.is_array()) {
        for (boost::json::value& e : v.get_array()) nullNonFinite(e);
    } else if (v.is_object()) {
        for (auto& kv : v.get_object()) nullNonFinite(kv.value());
    }
}

}  // namespace

std::optional<std::string> replyLine(const boost::json::value& id, boost::json::object fields) {
    try {
        for (auto& kv : fields) nullNonFinite(kv.value());
        fields["id"] = id;
        std::string text = boost::json::serialize(fields);
        text.push_back('\n');
        return text;
    } catch (const std::exception&) {
        return std::nullopt;  // out of memory
    }
}

void reply(const boost::json::value& id, boost::json::object fields) {
    if (std::optional<std::string> line = replyLine(id, std::move(fields)))
        writeLine(*line);
}

double ms() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    uint64_t ns = uint64_t(ts.tv_sec) * 1000000000ull + uint64_t(ts.tv_nsec);
    return double(ns) / 1000000.0;
}

}  // namespace core
