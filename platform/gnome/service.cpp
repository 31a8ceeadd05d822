// Calls to the companion's Shell extension, their replies read defensively,
// and the picture handed over in a memfd the companion creates.
#include "platform/gnome/service.hpp"

#include "core/utf8.hpp"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <mutex>

namespace platform::gnome {
namespace {

constexpr size_t kMaxWindows = 4096;
constexpr size_t kMaxText = 16 * 1024;  // bytes of a title or an id
constexpr size_t kPoolMax = 4;
constexpr int64_t kMaxSide = 16384;

struct Pool {
    std::mutex lock;
    std::vector<dbus::BusRef> idle;
};
Pool& pool() {
    static auto* p = new Pool;
    return *p;
}

// Valid UTF-8, at most kMaxText bytes, cut at a character boundary.
std::string text(const char* s) {
    if (!s) return {};
    std::string_view v(s);
    if (v.size() > kMaxText) {
        size_t end = kMaxText;
        while (end > 0 && (static_cast<unsigned char>(v[end]) & 0xC0) == 0x80) --end;
        v = v.substr(0, end);
    }
    return core::repairUtf8(v);
}

bool finite(double v) { return v == v && v < 1e12 && v > -1e12; }

int readWindow(sd_bus_message* m, ShellWindow& w) {
    const char *title, *tracker, *gtk, *sandbox, *instance, *cls;
    int32_t x, y, width, height;
    int minimized, onWorkspace;
    int r = sd_bus_message_read(m, "(uiidiiiissssssbbd)", &w.number, &w.pid, &w.layer,
                                &w.opacity, &x, &y, &width, &height, &title, &tracker, &gtk,
                                &sandbox, &instance, &cls, &minimized, &onWorkspace, &w.scale);
    if (r <= 0) return r;
    w.x = x;
    w.y = y;
    w.width = std::max(0, width);
    w.height = std::max(0, height);
    w.title = text(title);
    w.trackerId = text(tracker);
    w.gtkId = text(gtk);
    w.sandboxId = text(sandbox);
    w.wmInstance = text(instance);
    w.wmClass = text(cls);
    w.minimized = minimized;
    w.onWorkspace = onWorkspace;
    if (!finite(w.opacity)) w.opacity = 1;
    w.opacity = std::clamp(w.opacity, 0.0, 1.0);
    if (!finite(w.scale) || w.scale < 0.25 || w.scale > 16) w.scale = 1;
    if (w.pid < 0) w.pid = 0;
    return 1;
}

}  // namespace

dbus::BusRef takeBus() {
    {
        Pool& p = pool();
        std::lock_guard guard(p.lock);
        while (!p.idle.empty()) {
            dbus::BusRef bus = std::move(p.idle.back());
            p.idle.pop_back();
            if (sd_bus_is_open(bus.get()) > 0) return bus;
        }
    }
    return dbus::openSessionBus();
}

void giveBack(dbus::BusRef bus) {
    if (!bus || sd_bus_is_open(bus.get()) <= 0) return;
    Pool& p = pool();
    std::lock_guard guard(p.lock);
    if (p.idle.size() < kPoolMax) p.idle.push_back(std::move(bus));
}

void dropPool() {
    std::vector<dbus::BusRef> old;
    Pool& p = pool();
    std::lock_guard guard(p.lock);
    old.swap(p.idle);
}

std::optional<ShellList> readList(sd_bus_message* m, bool withFocus) {
    ShellList list;
    if (withFocus && sd_bus_message_read(m, "u", &list.focused) <= 0) return std::nullopt;
    if (sd_bus_message_enter_container(m, 'a', "(uiidiiiissssssbbd)") <= 0) return std::nullopt;
    for (;;) {
        ShellWindow w;
        int r = readWindow(m, w);
        if (r < 0) return std::nullopt;
        if (r == 0) break;
        if (list.windows.size() < kMaxWindows) list.windows.push_back(std::move(w));
    }
    if (sd_bus_message_exit_container(m) < 0) return std::nullopt;
    return list;
}

std::string shellConnection(sd_bus* bus, dbus::CallError& error) {
    dbus::MessageRef reply = dbus::call(
        bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
        "GetNameOwner", kListTimeoutUsec, error,
        [](sd_bus_message* m, void*) { return sd_bus_message_append(m, "s", kShellName); });
    const char* owner = nullptr;
    if (!reply || sd_bus_message_read(reply.get(), "s", &owner) < 0 || !owner || !*owner) {
        if (error.name.empty()) error = {"org.freedesktop.DBus.Error.NameHasNoOwner", "no Shell"};
        return {};
    }
    return owner;
}

std::optional<ShellList> listWindows(sd_bus* bus, dbus::CallError& error) {
    std::string shell = shellConnection(bus, error);
    if (shell.empty()) return std::nullopt;
    dbus::MessageRef reply =
        dbus::call(bus, shell.c_str(), kObjectPath, kInterface, "List", kListTimeoutUsec, error);
    if (!reply) return std::nullopt;
    auto list = readList(reply.get(), true);
    if (!list) error = {"org.freedesktop.DBus.Error.InvalidSignature", "a malformed window list"};
    return list;
}

std::optional<ShellWindow> focusedWindow(sd_bus* bus, dbus::CallError& error) {
    std::string shell = shellConnection(bus, error);
    if (shell.empty()) return std::nullopt;
    dbus::MessageRef reply =
        dbus::call(bus, shell.c_str(), kObjectPath, kInterface, "Focus", kListTimeoutUsec, error);
    if (!reply) return std::nullopt;
    auto list = readList(reply.get(), false);
    if (!list) {
        error = {"org.freedesktop.DBus.Error.InvalidSignature", "a malformed focus reply"};
        return std::nullopt;
    }
    if (list->windows.empty()) return std::nullopt;
    return std::move(list->windows.front());
}

bool answers() {
    dbus::BusRef bus = takeBus();
    if (!bus) return false;
    dbus::CallError error;
    focusedWindow(bus.get(), error);
    if (!error.name.empty()) return false;
    giveBack(std::move(bus));
    return true;
}

std::optional<ShellPicture> capturePicture(uint32_t window, int64_t width, int64_t height,
                                           std::string& error) {
    width = std::clamp<int64_t>(width, 1, kMaxSide);
    height = std::clamp<int64_t>(height, 1, kMaxSide);
    int fd = memfd_create("companion-capture", MFD_CLOEXEC);
    if (fd < 0) {
        error = std::string("no memory for the picture: ") + strerror(errno);
        return std::nullopt;
    }
    struct Args {
        uint32_t window, width, height;
        int fd;
    } args{window, uint32_t(width), uint32_t(height), fd};
    dbus::BusRef bus = takeBus();
    if (!bus) {
        ::close(fd);
        error = "the session bus cannot be reached";
        return std::nullopt;
    }
    dbus::CallError failure;
    std::string shell = shellConnection(bus.get(), failure);
    if (shell.empty()) {
        ::close(fd);
        giveBack(std::move(bus));
        error = "GNOME Shell is not on the session bus";
        return std::nullopt;
    }
    dbus::MessageRef reply = dbus::call(
        bus.get(), shell.c_str(), kObjectPath, kInterface, "Capture", kCaptureTimeoutUsec, failure,
        [](sd_bus_message* m, void* data) {
            auto* a = static_cast<Args*>(data);
            return sd_bus_message_append(m, "uuuh", a->window, a->width, a->height, a->fd);
        },
        &args);
    if (!reply) {
        ::close(fd);
        if (failure.name == std::string(kInterface) + ".Error.Gone") error = "gone";
        else error = failure.message.empty() ? failure.name : text(failure.message.c_str());
        if (failure.name != "org.freedesktop.DBus.Error.Timeout") giveBack(std::move(bus));
        return std::nullopt;
    }
    giveBack(std::move(bus));
    uint32_t w = 0, h = 0, stride = 0;
    if (sd_bus_message_read(reply.get(), "uuu", &w, &h, &stride) <= 0 || w < 1 || h < 1 ||
        w > uint32_t(width) || h > uint32_t(height) || stride < uint64_t(w) * 4 ||
        stride > uint64_t(w) * 4 + 64) {
        ::close(fd);
        error = "the Shell sent a malformed picture";
        return std::nullopt;
    }
    const size_t bytes = size_t(stride) * size_t(h);
    struct stat st;
    if (fstat(fd, &st) != 0 || st.st_size < 0 || size_t(st.st_size) < bytes - stride + size_t(w) * 4) {
        ::close(fd);
        error = "the Shell sent a short picture";
        return std::nullopt;
    }
    void* map = mmap(nullptr, size_t(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
    ::close(fd);
    if (map == MAP_FAILED) {
        error = "the picture cannot be mapped";
        return std::nullopt;
    }
    size_t mapped = size_t(st.st_size);
    ShellPicture picture;
    picture.width = int(w);
    picture.height = int(h);
    picture.stride = stride;
    picture.pixels = std::shared_ptr<const uint8_t>(
        static_cast<const uint8_t*>(map),
        [mapped](const uint8_t* p) { munmap(const_cast<uint8_t*>(p), mapped); });
    return picture;
}

}  // namespace platform::gnome
