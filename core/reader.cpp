#include "core/reader.hpp"

#include "core/dispatch.hpp"
#include "core/loop.hpp"
#include "core/protocol.hpp"

#include <cerrno>
#include <cstring>
#include <chrono>
#include <memory>
#include <thread>
#include <unistd.h>

namespace core {

char* LineSplitter::reserve(size_t n) {
    if (start > 0 && start == used_) {
        used_ = start = scanned = 0;
    } else if (start > 0 && start >= buffer.size() / 2) {
        std::memmove(buffer.data(), buffer.data() + start, used_ - start);
        used_ -= start;
        start = 0;
    }
    if (buffer.size() - used_ < n) buffer.resize(std::max(buffer.size() * 2, used_ + n));
    return buffer.data() + used_;
}

void LineSplitter::commit(size_t n) { used_ += n; }

bool LineSplitter::next(std::string_view& line) {
    const char* base = buffer.data();
    size_t from = start + scanned;
    auto lf = static_cast<const char*>(std::memchr(base + from, '\n', used_ - from));
    if (!lf) {
        scanned = used_ - start;
        return false;
    }
    size_t end = size_t(lf - base);
    line = std::string_view(base + start, end - start);
    start = end + 1;
    scanned = 0;
    return true;
}

bool LineSplitter::rest(std::string_view& line) {
    if (start == used_) return false;
    line = std::string_view(buffer.data() + start, used_ - start);
    start = used_;
    return true;
}

namespace {

void submit(std::string_view line) {
    auto request = decodeRequest(line);
    if (!request) return;
    auto job = std::make_shared<Request>(std::move(*request));
    onMain([job] { handle(job->id, job->cmd, job->args); });
}

}  // namespace

void readRequests(int fd) {
    LineSplitter lines;
    for (;;) {
        char* room = lines.reserve(64 * 1024);
        size_t space = lines.buffer.size() - size_t(room - lines.buffer.data());
        ssize_t n = ::read(fd, room, space);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        lines.commit(size_t(n));
        std::string_view line;
        while (lines.next(line)) submit(line);
    }
    std::string_view last;
    if (lines.rest(last)) submit(last);
    // Requests already handed to the main loop are served if it gets to them
    // within about a second; background work still running is abandoned.
    onMain([] { exitNow(std::chrono::seconds(1)); });
    std::this_thread::sleep_for(std::chrono::seconds(1));
    exitNow(std::chrono::milliseconds(200));
}

}  // namespace core
