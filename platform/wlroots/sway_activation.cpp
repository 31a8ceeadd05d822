// Activations on sway: a connection of its own subscribed to window,
// workspace and output events, read by the main loop. A focus event whose
// window belongs to another process than the last one raises an activation.
// When the compositor goes away, the watcher tries again every second and,
// once back, reports the application active then.
#include "platform/wlroots/ipc.hpp"
#include "platform/wlroots/sway.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>
#include <boost/json/value.hpp>

#include <atomic>
#include <cerrno>
#include <poll.h>
#include <unistd.h>

namespace platform::wlroots::sway {
namespace {

namespace json = boost::json;

// Events past this are not believed; the buffer never holds more than this
// and one read.
constexpr size_t kMaxBuffered = kIpcMaxPayload + 65536;

// The watcher's state; touched on the loop's thread only (but `fd`, which
// other threads poll).
struct Watch {
    boost::asio::io_context* loop = nullptr;
    std::function<void(AppRef)> observer;
    std::unique_ptr<boost::asio::posix::stream_descriptor> stream;
    std::string buffer;
    std::optional<int32_t> activePid;
    std::unique_ptr<boost::asio::steady_timer> retry;
};
Watch* watch = nullptr;
std::atomic<int> watchedFd{-1};
std::atomic<uint64_t> seen{0};

void attach(bool announce);

void detach() {
    watchedFd = -1;
    if (watch->stream) {
        boost::system::error_code ec;
        watch->stream->close(ec);
        watch->stream.reset();
    }
    watch->buffer.clear();
    watch->activePid.reset();
}

void retryLater() {
    watch->retry->expires_after(std::chrono::seconds(1));
    watch->retry->async_wait([](const boost::system::error_code& ec) {
        if (!ec && !watch->stream) attach(true);
    });
}

// The pid of the focused window in a focus event, when it is one.
std::optional<int32_t> focusedPid(const std::string& payload, std::optional<View>& view) {
    boost::system::error_code ec;
    json::value v = json::parse(payload, ec);
    if (ec || !v.is_object()) return std::nullopt;
    const json::value* change = v.get_object().if_contains("change");
    if (!change || !change->is_string() || change->get_string() != "focus") return std::nullopt;
    const json::value* con = v.get_object().if_contains("container");
    if (!con || !con->is_object()) return std::nullopt;
    // The container parses like a tree of one view.
    auto views = parseTree(json::serialize(*con));
    if (!views || views->empty() || views->front().pid <= 0) return std::nullopt;
    view = views->front();
    return view->pid;
}

void announce(const View& view) {
    if (watch->activePid == view.pid) return;
    watch->activePid = view.pid;
    if (AppRef app = appOf(view)) watch->observer(std::move(app));
}

// An event that cannot be handled (memory ran out) is lost alone; the
// watcher goes on.
void handle(const IpcMessage& m) {
    if (!(m.type & kIpcEventBit)) return;
    ++seen;
    if ((m.type & ~kIpcEventBit) != 3) return;  // window events
    try {
        std::optional<View> view;
        if (focusedPid(m.payload, view)) announce(*view);
    } catch (...) {
    }
}

void arm();

// Reads what has arrived, a bounded amount a wake-up so that a flood of
// events leaves the loop its other work.
void pump() {
    char chunk[65536];
    for (int reads = 0; reads < 64; ++reads) {
        ssize_t n = ::read(watchedFd, chunk, sizeof(chunk));
        if (n > 0) {
            watch->buffer.append(chunk, size_t(n));
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            break;
        } else {
            detach();
            retryLater();
            return;
        }
        std::optional<IpcMessage> frame;
        size_t taken = 0;
        do {
            if (!ipcFrameAt(watch->buffer, taken, frame)) {
                detach();
                retryLater();
                return;
            }
            if (frame) handle(*frame);
        } while (frame);
        watch->buffer.erase(0, taken);
        if (watch->buffer.size() > kMaxBuffered) {
            detach();
            retryLater();
            return;
        }
    }
    arm();
}

void arm() {
    if (!watch->stream) return;
    watch->stream->async_wait(boost::asio::posix::descriptor_base::wait_read,
                              [fd = watchedFd.load()](const boost::system::error_code& ec) {
                                  if (ec || fd != watchedFd) return;
                                  pump();
                              });
}

// Subscribes on a new connection. With `announce`, the application active
// now is reported (it may have changed while nobody watched).
void attach(bool announceNow) {
    int fd = ipcConnect();
    if (fd < 0) {
        retryLater();
        return;
    }
    auto deadline = std::chrono::steady_clock::now() + kIpcDeadline;
    std::optional<IpcMessage> reply;
    if (ipcSend(fd, kIpcSubscribe, R"(["window","workspace","output"])", deadline))
        reply = ipcRead(fd, deadline);
    if (!reply || reply->type != kIpcSubscribe) {
        ::close(fd);
        retryLater();
        return;
    }
    try {
        watch->stream = std::make_unique<boost::asio::posix::stream_descriptor>(*watch->loop, fd);
    } catch (const std::exception&) {
        ::close(fd);
        retryLater();
        return;
    }
    watchedFd = fd;
    ++seen;
    auto vs = views(0);
    if (vs && !vs->empty() && vs->front().focused && vs->front().pid > 0) {
        if (announceNow)
            announce(vs->front());
        else
            watch->activePid = vs->front().pid;
    }
    pump();
}

}  // namespace

bool eventsPending() {
    int fd = watchedFd;
    if (fd < 0) return false;
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 0) > 0;
}

uint64_t eventsSeen() { return seen; }

void watchActivations(boost::asio::io_context& loop, std::function<void(AppRef)> observer) {
    if (watch) return;
    watch = new Watch;
    watch->loop = &loop;
    watch->observer = std::move(observer);
    watch->retry = std::make_unique<boost::asio::steady_timer>(loop);
    attach(false);
}

}  // namespace platform::wlroots::sway
