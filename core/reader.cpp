#include "core/reader.hpp"

#include "core/dispatch.hpp"
#include "core/loop.hpp"
#include "core/protocol.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/json/monotonic_resource.hpp>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <chrono>
#include <memory>
#include <poll.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace core {

char* LineSplitter::reserve(size_t n) {
    if (start == used_) {
        clear();
        // After a giant line: back to the usual size.
        if (buffer.size() > 16 * n) std::string().swap(buffer);
    } else if (start > 0 && start >= buffer.size() / 2) {
        std::memmove(buffer.data(), buffer.data() + start, used_ - start);
        used_ -= start;
        start = 0;
    }
    if (room() >= n) return buffer.data() + used_;
    try {
        buffer.resize(std::max(buffer.size() * 2, used_ + n));
    } catch (const std::exception&) {  // bad_alloc, or past max_size
        skipping = true;
        clear();
        if (room() >= n) return buffer.data();
        try {
            buffer.resize(n);
        } catch (const std::exception&) {
            return nullptr;
        }
    }
    return buffer.data() + used_;
}

void LineSplitter::commit(size_t n) { used_ += n; }

bool LineSplitter::next(std::string_view& line) {
    for (;;) {
        const char* base = buffer.data();
        size_t from = start + scanned;
        auto lf = static_cast<const char*>(std::memchr(base + from, '\n', used_ - from));
        if (!lf) {
            if (skipping) clear();  // nothing of a dropped line is kept
            else scanned = used_ - start;
            return false;
        }
        size_t end = size_t(lf - base);
        line = std::string_view(base + start, end - start);
        start = end + 1;
        scanned = 0;
        if (!skipping) return true;
        skipping = false;  // that was the end of the dropped line
    }
}

bool LineSplitter::rest(std::string_view& line) {
    if (start == used_ || skipping) {
        skipping = false;
        start = used_;
        return false;
    }
    line = std::string_view(buffer.data() + start, used_ - start);
    start = used_;
    return true;
}

namespace {

constexpr size_t kReadSize = 64 * 1024;

// The whole lines of one read, copied out of the splitter's buffer, handed
// to the main loop in one job.
struct Batch {
    std::string bytes;
    std::vector<size_t> ends;  // where each line ends in `bytes`

    // Out of memory drops this line alone, like any line that does not decode.
    void add(std::string_view line) {
        try {
            bytes.append(line);
            ends.push_back(bytes.size());
        } catch (const std::exception&) {
            bytes.resize(ends.empty() ? 0 : ends.back());
        }
    }
};

// Serves one line on the main thread. Its decoded tree lives in this thread's
// scratch memory, given back whole after the request; a request that throws
// or runs out of memory costs only itself.
void serveLine(std::string_view line) {
    // A fresh resource each time: one reused through release() keeps the
    // growing size of its next block, until a block is more than memory holds.
    thread_local unsigned char first[4096];
    try {
        boost::json::monotonic_resource scratch(first, sizeof first);
        if (std::optional<Request> request = decodeRequest(line, &scratch))
            handle(request->id, request->cmd, request->args);
    } catch (...) {
    }
}

void post(std::unique_ptr<Batch> batch) {
    boost::asio::post(mainLoop(), [batch = std::move(batch)] {
        size_t from = 0;
        for (size_t end : batch->ends) {
            serveLine(std::string_view(batch->bytes).substr(from, end - from));
            from = end;
        }
    });
}

}  // namespace

void readRequests(int fd) {
    LineSplitter lines;
    for (;;) {
        char* room = lines.reserve(kReadSize);
        if (!room) {
            // Not even one read's worth of memory: wait for some to come back.
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            continue;
        }
        ssize_t n = ::read(fd, room, lines.room());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            // The host made our stdin non-blocking: wait for input as read would.
            pollfd input{fd, POLLIN, 0};
            if (::poll(&input, 1, -1) >= 0 || errno == EINTR) continue;
        }
        if (n <= 0) break;
        lines.commit(size_t(n));
        try {
            auto batch = std::make_unique<Batch>();
            std::string_view line;
            while (lines.next(line)) batch->add(line);
            if (!batch->ends.empty()) post(std::move(batch));
        } catch (const std::exception&) {
            // No memory for the batch: this read's lines are dropped.
        }
    }
    try {
        auto batch = std::make_unique<Batch>();
        std::string_view last;
        if (lines.rest(last)) batch->add(last);
        if (!batch->ends.empty()) post(std::move(batch));
    } catch (const std::exception&) {
    }
    // Requests already handed to the main loop are served if it gets to them
    // within about a second; background work still running is abandoned.
    try {
        onMain([] { exitNow(std::chrono::seconds(1)); });
    } catch (const std::exception&) {
    }
    std::this_thread::sleep_for(std::chrono::seconds(1));
    exitNow(std::chrono::milliseconds(200));
}

}  // namespace core
