#include "core/reply.hpp"

#include <boost/json/serializer.hpp>

#include <algorithm>
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

    void grow(size_t keep, size_t atLeast = 0) {
        size_t more = std::max(atLeast, capacity < 4096 ? 4096 : capacity * 2);
        auto bigger = std::make_unique_for_overwrite<char[]>(more);
        if (keep) std::memcpy(bigger.get(), data.get(), keep);
        data = std::move(bigger);
        capacity = more;
    }
    void trim() {
        if (capacity > kKeepBelow) data.reset(), capacity = 0;
    }
};

// About the length of `v` as compact JSON: exact for text without escapes,
// generous for numbers. Request ids nest at most kMaxJsonDepth levels.
size_t textSize(const boost::json::value& v);

size_t textSize(const boost::json::object& o) {
    size_t n = 2;
    for (const auto& kv : o) n += kv.key().size() + 4 + textSize(kv.value());
    return n;
}

size_t textSize(const boost::json::value& v) {
    switch (v.kind()) {
        case boost::json::kind::string: return v.get_string().size() + 2;
        case boost::json::kind::array: {
            size_t n = 2;
            for (const boost::json::value& e : v.get_array()) n += textSize(e) + 1;
            return n;
        }
        case boost::json::kind::object: return textSize(v.get_object());
        default: return 32;
    }
}

// `fields` plus "id" serialized into `out`, line feed included; its length.
// The serializer copies a string in one piece only when all of it fits in
// the room it is given, and goes a character at a time otherwise, so the
// room for the whole line is made first.
size_t serializeLine(const boost::json::value& id, boost::json::object& fields, LineBuffer& out) {
    for (auto& kv : fields) nullNonFinite(kv.value());
    fields["id"] = id;
    size_t expected = textSize(fields) + 64;
    if (out.capacity < expected) out.grow(0, expected);
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
