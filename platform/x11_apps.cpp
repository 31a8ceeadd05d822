// Applications over X11 and /proc: the frontmost one, one by pid, and the
// screen-recording check (a usable display connection).
#include "platform/x11_apps.hpp"

#include "core/utf8.hpp"
#include "platform/desktop_entry.hpp"
#include "platform/x11_apps_match.hpp"
#include "platform/x11_windows.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <mutex>

namespace platform {
namespace x11 {
namespace {

// Up to `limit` bytes of a file that may be anything (a /proc entry, a FIFO):
// opened without blocking, never waited on.
std::optional<std::string> readSmall(const std::string& path, size_t limit) {
    int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return std::nullopt;
    std::string data;
    char chunk[4096];
    while (data.size() < limit) {
        ssize_t n = ::read(fd, chunk, std::min(sizeof chunk, limit - data.size()));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        data.append(chunk, size_t(n));
    }
    ::close(fd);
    return data;
}

std::string procPath(int32_t pid, const char* what) {
    return "/proc/" + std::to_string(pid) + "/" + what;
}

// Field 22 of /proc/PID/stat: the start time, which tells a reused pid apart.
std::optional<uint64_t> startTime(int32_t pid) {
    auto stat = readSmall(procPath(pid, "stat"), 4096);
    if (!stat) return std::nullopt;
    size_t close = stat->rfind(')');
    if (close == std::string::npos) return std::nullopt;
    size_t pos = close + 1;
    for (int field = 3; field <= 22; ++field) {
        pos = stat->find_first_not_of(' ', pos);
        if (pos == std::string::npos) return std::nullopt;
        if (field == 22) return std::strtoull(stat->c_str() + pos, nullptr, 10);
        pos = stat->find(' ', pos);
        if (pos == std::string::npos) return std::nullopt;
    }
    return std::nullopt;
}

std::optional<std::string> exeTarget(int32_t pid) {
    char buf[4096];
    ssize_t n = ::readlink(procPath(pid, "exe").c_str(), buf, sizeof buf);
    if (n <= 0 || size_t(n) >= sizeof buf) return std::nullopt;
    return core::repairUtf8(std::string_view(buf, size_t(n)));
}

std::optional<std::string> comm(int32_t pid) {
    auto c = readSmall(procPath(pid, "comm"), 256);
    if (!c) return std::nullopt;
    while (!c->empty() && (c->back() == '\n' || c->back() == '\0')) c->pop_back();
    if (c->empty()) return std::nullopt;
    return core::repairUtf8(*c);
}

// ---- The desktop entries on disk, read again when a directory changes ----

constexpr size_t kMaxEntries = 4096;

struct Index {
    std::vector<std::pair<std::string, struct timespec>> stamps;
    std::vector<DesktopEntry> entries;
};

bool sameStamps(const Index& index, const std::vector<std::pair<std::string, struct timespec>>& s) {
    if (index.stamps.size() != s.size()) return false;
    for (size_t i = 0; i < s.size(); ++i) {
        const auto& [d, t] = index.stamps[i];
        if (d != s[i].first || t.tv_sec != s[i].second.tv_sec || t.tv_nsec != s[i].second.tv_nsec)
            return false;
    }
    return true;
}

std::mutex indexLock;

// REQUIRES: indexLock held while the result is used.
const std::vector<DesktopEntry>& desktopEntries() {
    static Index index;
    static bool built = false;
    std::vector<std::pair<std::string, struct timespec>> stamps;
    for (const std::string& dir : applicationDirs()) {
        struct stat st;
        struct timespec t {};
        if (::stat(dir.c_str(), &st) == 0) t = st.st_mtim;
        stamps.emplace_back(dir, t);
    }
    if (built && sameStamps(index, stamps)) return index.entries;
    index = Index{stamps, {}};
    built = true;
    std::vector<std::string> seen;
    for (const auto& [dir, t] : stamps) {
        DIR* d = ::opendir(dir.c_str());
        if (!d) continue;
        std::vector<std::string> names;
        while (dirent* e = ::readdir(d)) {
            std::string_view n = e->d_name;
            if (n.size() > 8 && n.substr(n.size() - 8) == ".desktop") names.emplace_back(n);
            if (names.size() >= kMaxEntries) break;
        }
        ::closedir(d);
        std::sort(names.begin(), names.end());
        for (const std::string& n : names) {
            if (index.entries.size() >= kMaxEntries) break;
            std::string id = n.substr(0, n.size() - 8);
            if (std::find(seen.begin(), seen.end(), id) != seen.end()) continue;  // shadowed
            auto entry = readDesktopEntry(dir + "/" + n);
            if (!entry) continue;
            seen.push_back(id);
            if (!entry->hidden) index.entries.push_back(std::move(*entry));
        }
    }
    return index.entries;
}

// ---- Records per process ---------------------------------------------------

struct Cached {
    uint64_t start = 0;
    AppRef app;
};
std::mutex cacheLock;
std::map<int32_t, Cached> cache;
constexpr size_t kMaxCached = 512;

}  // namespace

std::vector<xcb_window_t> windowsOf(const Connection& x, int32_t pid) {
    std::vector<xcb_window_t> all = clientsTopFirst(x);
    std::vector<std::optional<int32_t>> owners = ownerPids(x, all);
    std::vector<xcb_window_t> mine;
    for (size_t i = 0; i < all.size(); ++i)
        if (owners[i] == pid) mine.push_back(all[i]);
    return mine;
}

AppRef appFor(const Connection* x, int32_t pid, std::optional<xcb_window_t> window) {
    if (pid <= 0) return nullptr;
    auto start = startTime(pid);
    if (!start) return nullptr;  // no such process
    {
        std::lock_guard guard(cacheLock);
        auto it = cache.find(pid);
        if (it != cache.end() && it->second.start == *start) return it->second.app;
    }

    auto app = std::make_shared<App>();
    app->pid = pid;
    if (window) app->windows = {*window};
    else if (x) app->windows = windowsOf(*x, pid);
    std::optional<WmClass> wc;
    if (x)
        for (xcb_window_t w : app->windows)
            if ((wc = wmClassOf(*x, w))) break;

    std::optional<DesktopEntry> entry;
    if (auto env = readSmall(procPath(pid, "environ"), 256 * 1024))
        if (auto file = launchedDesktopFile(*env, pid)) entry = readDesktopEntry(*file);
    if (!entry && wc) {
        std::lock_guard guard(indexLock);
        if (const DesktopEntry* e = matchEntry(desktopEntries(), *wc)) entry = *e;
    }

    if (entry && entry->name) app->name = entry->name;
    else if (wc && !wc->cls.empty()) app->name = wc->cls;
    else app->name = comm(pid);
    if (entry) {
        app->bundle = entry->id;
        app->path = entry->path;
        app->iconName = entry->icon;
    } else {
        app->path = exeTarget(pid);
    }

    // A record made before the process named itself is not kept.
    if (entry || wc) {
        std::lock_guard guard(cacheLock);
        if (cache.size() >= kMaxCached) cache.clear();
        cache[pid] = Cached{*start, app};
    }
    return app;
}

}  // namespace x11

bool screenCapturePreflight() { return x11::liveConnection() != nullptr; }

bool screenCaptureRequest() { return screenCapturePreflight(); }

AppRef frontmostApplication() {
    x11::ConnectionRef x = x11::connection();
    if (!x) return nullptr;
    auto w = x11::activeWindow(*x);
    if (!w) return nullptr;
    auto pid = x11::ownerPid(*x, *w);
    if (!pid) return nullptr;
    return x11::appFor(x.get(), *pid, *w);
}

AppRef runningApplication(int32_t pid) {
    x11::ConnectionRef x = x11::connection();
    return x11::appFor(x.get(), pid, std::nullopt);
}

}  // namespace platform
