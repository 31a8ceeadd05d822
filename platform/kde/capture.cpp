// Capture on KDE: ScreenShot2.CaptureWindow writes the window's own pixels
// (covered or not) into a pipe and answers with their size and layout; the
// picture is read bounded by that answer, then scaled for the encoder.
// Calls go over one connection of their own, held by one thread at a time;
// the pipe is read after the lock is let go.
#include "platform/kde/capture.hpp"

#include "platform/codec/scale.hpp"
#include "platform/dbus/bus.hpp"
#include "platform/kde/mirror.hpp"
#include "platform/kde/pipe_read.hpp"
#include "platform/kde/session.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <mutex>

namespace platform::kde {
namespace {

constexpr uint64_t kCaptureUsec = 5'000'000;
constexpr uint64_t kProbeUsec = 1'000'000;
constexpr int64_t kMaxSide = 16384;
constexpr auto kPictureIdle = std::chrono::milliseconds(5000);
constexpr auto kProbeAgain = std::chrono::seconds(2);

std::mutex callLock;
dbus::BusRef callBus;  // under callLock

// The calls' connection, opened again when it was closed. REQUIRES callLock.
sd_bus* calls() {
    if (callBus && sd_bus_is_open(callBus.get()) > 0) return callBus.get();
    callBus = dbus::openSessionBus();
    return callBus.get();
}

enum class Known { unknown, yes, no };
std::atomic<Known> authorisation{Known::unknown};
std::atomic<int64_t> lastProbe{0};

int64_t nowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

bool endsWith(const std::string& s, std::string_view tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

struct Pipe {
    int read = -1, write = -1;
    ~Pipe() {
        if (read >= 0) ::close(read);
        if (write >= 0) ::close(write);
    }
};

struct Request {
    const char* handle;
    int fd;
};

int fillCapture(sd_bus_message* m, void* p) {
    auto* r = static_cast<Request*>(p);
    int e = sd_bus_message_append(m, "s", r->handle);
    if (e >= 0)
        e = sd_bus_message_append(m, "a{sv}", 3, "include-decoration", "b", 0, "include-cursor",
                                  "b", 0, "native-resolution", "b", 1);
    if (e >= 0) e = sd_bus_message_append(m, "h", r->fd);
    return e;
}

// What KWin announces of the picture it writes.
struct Layout {
    uint32_t width = 0, height = 0, stride = 0, format = 0;
    std::string type;
};

// Reads the answer's a{sv}; false when it is not one.
bool readLayout(sd_bus_message* m, Layout& out) {
    if (sd_bus_message_enter_container(m, 'a', "{sv}") <= 0) return false;
    for (int entries = 0; entries < 64; ++entries) {
        int r = sd_bus_message_enter_container(m, 'e', "sv");
        if (r < 0) return false;
        if (r == 0) break;
        const char* key = nullptr;
        char type = 0;
        const char* contents = nullptr;
        if (sd_bus_message_read(m, "s", &key) < 0 ||
            sd_bus_message_peek_type(m, &type, &contents) < 0 || type != 'v' || !contents)
            return false;
        std::string_view k = key, c = contents;
        uint32_t* field = k == "width" ? &out.width : k == "height" ? &out.height
                        : k == "stride" ? &out.stride : k == "format" ? &out.format : nullptr;
        if (field && c == "u") {
            if (sd_bus_message_read(m, "v", "u", field) < 0) return false;
        } else if (k == "type" && c == "s") {
            const char* s = nullptr;
            if (sd_bus_message_read(m, "v", "s", &s) < 0 || !s) return false;
            out.type = s;
        } else if (sd_bus_message_skip(m, "v") < 0) {
            return false;
        }
        if (sd_bus_message_exit_container(m) < 0) return false;
    }
    return sd_bus_message_exit_container(m) >= 0;
}

// Asks KWin for the picture of `handle`, written into `fd`; the answer, or
// nothing with `error` set.
dbus::MessageRef capture(const std::string& handle, int fd, dbus::CallError& error, uint64_t usec) {
    Request req{handle.c_str(), fd};
    std::lock_guard guard(callLock);
    sd_bus* bus = calls();
    if (!bus) {
        error = {"org.freedesktop.DBus.Error.Disconnected", "the session bus cannot be reached"};
        return dbus::MessageRef(nullptr, &sd_bus_message_unref);
    }
    return dbus::call(bus, kKWinName, "/org/kde/KWin/ScreenShot2", "org.kde.KWin.ScreenShot2",
                      "CaptureWindow", usec, error, fillCapture, &req);
}

bool openPipe(Pipe& p) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return false;
    p.read = fds[0];
    p.write = fds[1];
    return true;
}

// The text for a failed call.
std::string describe(const dbus::CallError& e) {
    if (endsWith(e.name, ".InvalidWindow")) return "gone";
    if (endsWith(e.name, ".NoAuthorized")) authorisation = Known::no;
    if (!e.message.empty()) return e.message;
    return e.name.empty() ? "KWin did not answer" : e.name;
}

// Whether ScreenShot2 accepts the companion: it checks the caller before it
// looks for the window, so a handle that names no window tells.
bool probe() {
    Pipe p;
    if (!openPipe(p)) return false;
    dbus::CallError error;
    auto reply = capture("{00000000-0000-0000-0000-000000000000}", p.write, error, kProbeUsec);
    return !reply && endsWith(error.name, ".InvalidWindow");
}

// The largest size within `maxW` x `maxH` with the aspect of `w` x `h`.
void fit(int64_t& w, int64_t& h, int64_t maxW, int64_t maxH) {
    if (w <= maxW && h <= maxH) return;
    double s = std::min(double(maxW) / double(w), double(maxH) / double(h));
    w = std::clamp<int64_t>(int64_t(std::llround(double(w) * s)), 1, maxW);
    h = std::clamp<int64_t>(int64_t(std::llround(double(h) * s)), 1, maxH);
}

// QImage formats of 32-bit pixels: blue first (RGB32, ARGB32 and its
// premultiplied form) or red first (RGBX8888, RGBA8888 and premultiplied).
bool pixelOrder(uint32_t format, bool& redFirst) {
    if (format >= 4 && format <= 6) return redFirst = false, true;
    if (format >= 16 && format <= 18) return redFirst = true, true;
    return false;
}

}  // namespace

bool authorised() {
    Known k = authorisation.load();
    if (k == Known::yes) return true;
    int64_t now = nowMs();
    int64_t last = lastProbe.load();
    if (k == Known::no && now - last < std::chrono::milliseconds(kProbeAgain).count()) return false;
    lastProbe = now;
    bool yes = probe();
    authorisation = yes ? Known::yes : Known::no;
    return yes;
}

void forgetAuthorisation() { authorisation = Known::unknown; }

ShareableContent shareableContent() {
    ShareableContent content;
    MirrorRef m = currentMirror();
    if (!m) {
        content.error = "KWin's window list is not available";
        return content;
    }
    for (const MirroredWindow& w : m->windows)
        if (onScreen(w.w)) content.windows.push_back({w.number, *w.w.width, *w.w.height});
    return content;
}

double pointPixelScale(uint32_t) { return 1.0; }

Shot screenshot(uint32_t window, int64_t width, int64_t height) {
    std::string handle;
    if (MirrorRef m = currentMirror())
        if (const MirroredWindow* w = m->find(window)) handle = w->w.id;
    if (handle.empty()) return {std::nullopt, "gone"};

    Pipe p;
    if (!openPipe(p)) return {std::nullopt, "no pipe for the picture"};
    ::fcntl(p.read, F_SETPIPE_SZ, 1 << 20);  // fewer wake-ups; a smaller pipe works too
    dbus::CallError error;
    auto reply = capture(handle, p.write, error, kCaptureUsec);
    ::close(p.write);  // KWin holds its own copy; its end of file is ours
    p.write = -1;
    if (!reply) return {std::nullopt, describe(error)};
    authorisation = Known::yes;

    Layout layout;
    bool redFirst = false;
    if (!readLayout(reply.get(), layout)) return {std::nullopt, "KWin's answer is not understood"};
    if (!layout.type.empty() && layout.type != "raw")
        return {std::nullopt, "KWin sent the picture as " + layout.type};
    if (!pixelOrder(layout.format, redFirst))
        return {std::nullopt, "the window's pixel format is not supported"};
    const int64_t w = layout.width, h = layout.height, stride = layout.stride;
    if (w < 1 || h < 1 || w > kMaxSide || h > kMaxSide || stride < w * 4 || stride > w * 8)
        return {std::nullopt, "KWin announced a picture of an impossible size"};

    const size_t bytes = size_t(stride) * size_t(h);
    std::unique_ptr<uint8_t[]> pixels(new (std::nothrow) uint8_t[bytes]);
    if (!pixels) return {std::nullopt, "no memory for the picture"};
    std::string failed = readExactly(p.read, pixels.get(), bytes, kPictureIdle);
    if (!failed.empty()) return {std::nullopt, failed};

    fit(width, height, w, h);
    Pixels32 src;
    src.data = pixels.get();
    src.width = int(w);
    src.height = int(h);
    src.stride = size_t(stride);
    src.redFirst = redFirst;
    return {scaledPicture(src, int(width), int(height)), {}};
}

}  // namespace platform::kde
