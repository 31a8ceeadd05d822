#include "core/reply.hpp"

#include <boost/json/serializer.hpp>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <ctime>
#include <memory>
#include <poll.h>
#include <unistd.h>

namespace core {

std::timed_mutex output;

namespace {

// Writes `text`, a whole line, to fd 1 under `output`, looping over partial
// writes and EINTR, and waiting for room when the host made fd 1 non-blocking.
// Other errors drop the rest of the line.
void writeLine(std::string_view text) {
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

// Room for reply lines, one per thread, reused from line to line. A buffer
// grown past kKeepBelow by one giant line is given back after it.
struct LineBuffer {
    static constexpr size_t kKeepBelow = size_t(1) << 20;
    std::unique_ptr<char[]> data;
    size_t capacity = 0;

    void grow(size_t keep) {
        size_t more = capacity < 4096 ? 4096 : capacity * 2;
        auto bigger = std::make_unique<char[]>(more);
        if (keep) std::memcpy(bigger.get(), data.get(), keep);
        data = std::move(bigger);
        capacity = more;
    }
    void trim() {
        if (capacity > kKeepBelow) data.reset(), capacity = 0;
    }
};

// `fields` plus "id" serialized into `out`, line feed included; its length.
size_t serializeLine(const boost::json::value& id, boost::json::object& fields, LineBuffer& out) {
    for (auto& kv : fields) nullNonFinite(kv.value());
    fields["id"] = id;
    thread_local boost::json::serializer writer;
    writer.reset(&fields);
    size_t used = 0;
    for (;;) {
        if (used == out.capacity) out.grow(used);
        if (writer.done()) break;
        used += writer.read(out.data.get() + used, out.capacity - used).size();
    }
    out.data[used++] = '\n';
    return used;
}

}  // namespace

std::optional<std::string> replyLine(const boost::json::value& id, boost::json::object fields) {
    try {
        LineBuffer buffer;
        size_t n = serializeLine(id, fields, buffer);
        return std::string(buffer.data.get(), n);
    } catch (const std::exception&) {
        return std::nullopt;  // out of memory
    }
}

void reply(const boost::json::value& id, boost::json::object fields) {
    thread_local LineBuffer buffer;
    try {
        size_t n = serializeLine(id, fields, buffer);
        writeLine(std::string_view(buffer.data.get(), n));
    } catch (const std::exception&) {
        // Out of memory: the line is dropped.
    }
    buffer.trim();
}

double ms() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    uint64_t ns = uint64_t(ts.tv_sec) * 1000000000ull + uint64_t(ts.tv_nsec);
    return double(ns) / 1000000.0;
}

}  // namespace core
