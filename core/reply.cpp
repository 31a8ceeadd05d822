#include "core/reply.hpp"

#include <boost/json/serialize.hpp>

#include <cerrno>
#include <ctime>
#include <poll.h>
#include <unistd.h>

namespace core {

std::timed_mutex output;

namespace {

// Writes `text` and a line feed to fd 1 under `output`, looping over partial
// writes and EINTR, and waiting for room when the host made fd 1 non-blocking.
// Other errors drop the rest of the line.
void writeLine(std::string text) {
    text.push_back('\n');
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

}  // namespace

void reply(const boost::json::value& id, boost::json::object fields) {
    std::string text;
    try {
        fields["id"] = id;
        text = boost::json::serialize(fields);
    } catch (const std::exception&) {
        return;  // cannot be serialized: no line
    }
    writeLine(std::move(text));
}

double ms() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    uint64_t ns = uint64_t(ts.tv_sec) * 1000000000ull + uint64_t(ts.tv_nsec);
    return double(ns) / 1000000.0;
}

}  // namespace core
