// The companion's side of the KWin session: one bus connection of its own
// serves the script's reports (accepted from KWin's connection alone) and
// follows KWin's name, so a restarted KWin gets the script again. A small
// child process, forked at start-up before any other thread exists, waits
// for the companion to end however it ends and then unloads the script.
#include "platform/kde/session.hpp"

#include "platform/apps/registry.hpp"
#include "platform/backend.hpp"
#include "platform/dbus/bus.hpp"
#include "platform/kde/capture.hpp"
#include "platform/kde/mirror.hpp"
#include "platform/resources.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace platform::kde {
namespace {

constexpr uint64_t kCallUsec = 2'000'000;
constexpr size_t kMaxScriptBytes = 256 * 1024;
constexpr int kLoadAttempts = 12;

// Touched on the main thread only.
struct State {
    dbus::BusRef bus;      // served by the main loop: reports and KWin's name
    dbus::BusRef control;  // calls to KWin, so none waits on the served one
    std::string uniqueName;
    std::string kwinOwner;  // KWin's unique name, "" while it is gone
    std::string plugin;     // the script's plugin name, one per companion
    std::string scriptPath;
    boost::asio::io_context* loop = nullptr;
    std::unique_ptr<boost::asio::steady_timer> retry;
    std::function<void(AppRef)> observer;
    int32_t activePid = 0;
    uint32_t nextNumber = 1;  // numbers are never reused, across KWin restarts too
    bool reported = false;    // a report came since KWin (re)started
};
State* state = nullptr;

bool isKdeWayland(const Session& s) {
    if (!s.wayland) return false;
    std::stringstream desktops(s.desktop);
    for (std::string d; std::getline(desktops, d, ':');)
        if (d == "KDE") return true;
    return false;
}

std::string nameOwner(sd_bus* bus, const char* name) {
    dbus::CallError error;
    auto reply = dbus::call(
        bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "GetNameOwner",
        kCallUsec, error,
        [](sd_bus_message* m, void* n) { return sd_bus_message_append(m, "s", n); },
        const_cast<char*>(name));
    const char* owner = nullptr;
    if (!reply || sd_bus_message_read(reply.get(), "s", &owner) < 0 || !owner) return {};
    return owner;
}

std::string scriptDir() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (!runtime || *runtime != '/') return {};
    return std::string(runtime) + "/companion";
}

// Unloads the script called `plugin` from KWin on `bus`; its answer.
bool unload(sd_bus* bus, const std::string& plugin) {
    dbus::CallError error;
    auto reply = dbus::call(
        bus, kKWinName, "/Scripting", "org.kde.kwin.Scripting", "unloadScript", kCallUsec, error,
        [](sd_bus_message* m, void* p) {
            return sd_bus_message_append(m, "s", static_cast<std::string*>(p)->c_str());
        },
        const_cast<std::string*>(&plugin));
    int done = 0;
    return reply && sd_bus_message_read(reply.get(), "b", &done) >= 0 && done;
}

// Scripts of companions that ended without unloading theirs (killed before
// their watcher could, or their watcher killed too).
void unloadStale(sd_bus* bus, const std::string& dir) {
    DIR* d = ::opendir(dir.c_str());
    if (!d) return;
    std::vector<long> stale;
    while (dirent* e = ::readdir(d)) {
        long pid = 0;
        char tail[8] = {};
        if (std::sscanf(e->d_name, "kwin-%ld.%3s", &pid, tail) != 2 || std::string(tail) != "js")
            continue;
        if (pid > 0 && pid != long(getpid()) && ::kill(pid_t(pid), 0) != 0 && errno == ESRCH)
            stale.push_back(pid);
        if (stale.size() >= 64) break;
    }
    ::closedir(d);
    for (long pid : stale) {
        unload(bus, "companion-" + std::to_string(pid));
        ::unlink((dir + "/kwin-" + std::to_string(pid) + ".js").c_str());
    }
}

// The script with this companion's bus name in it, written where KWin can
// read it; its path, or "" when it cannot be.
std::string writeScript(const std::string& uniqueName) {
    auto resources = resourceDir();
    std::string dir = scriptDir();
    if (!resources || dir.empty()) return {};
    std::ifstream in(*resources + "/kwin/mirror.js", std::ios::binary);
    std::string text(kMaxScriptBytes, '\0');
    in.read(text.data(), std::streamsize(text.size()));
    text.resize(size_t(in.gcount()));
    size_t at = text.find("@SERVICE@");
    if (text.empty() || at == std::string::npos) return {};
    text.replace(at, 9, uniqueName);

    ::mkdir(dir.c_str(), 0700);
    std::string path = dir + "/kwin-" + std::to_string(getpid()) + ".js";
    std::string temp = path + ".new";
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return {};
    bool ok = ::write(fd, text.data(), text.size()) == ssize_t(text.size());
    ok = ::close(fd) == 0 && ok;
    if (!ok || ::rename(temp.c_str(), path.c_str()) != 0) {
        ::unlink(temp.c_str());
        return {};
    }
    return path;
}

// The connection for calls to KWin, opened again when it closed: a call on
// the served connection would leave what arrives meanwhile unprocessed
// until its next wake-up.
sd_bus* control() {
    if (!state->control || sd_bus_is_open(state->control.get()) <= 0)
        state->control = dbus::openSessionBus();
    return state->control.get();
}

// Loads and runs the script in the KWin now on the bus; true once it runs.
bool loadScript() {
    sd_bus* bus = control();
    if (!bus) return false;
    if (state->scriptPath.empty()) state->scriptPath = writeScript(state->uniqueName);
    if (state->scriptPath.empty()) return false;
    unload(bus, state->plugin);  // a copy left in this KWin by an earlier attempt
    struct Args {
        const std::string* path;
        const std::string* plugin;
    } args{&state->scriptPath, &state->plugin};
    dbus::CallError error;
    auto reply = dbus::call(
        bus, kKWinName, "/Scripting", "org.kde.kwin.Scripting", "loadScript", kCallUsec, error,
        [](sd_bus_message* m, void* p) {
            auto* a = static_cast<Args*>(p);
            return sd_bus_message_append(m, "ss", a->path->c_str(), a->plugin->c_str());
        },
        &args);
    int32_t id = -1;
    if (!reply || sd_bus_message_read(reply.get(), "i", &id) < 0 || id < 0) return false;
    // Plasma 6 puts the script object under /Scripting, 5.27 at the root.
    for (std::string path : {"/Scripting/Script" + std::to_string(id), "/" + std::to_string(id)}) {
        if (dbus::call(bus, kKWinName, path.c_str(), "org.kde.kwin.Script", "run", kCallUsec, error))
            return true;
    }
    return false;
}

// Tries to load the script, again after a growing pause while KWin is still
// coming up, until it reports or KWin goes.
void loadSoon(int attempt) {
    if (!state->loop || attempt >= kLoadAttempts) return;
    auto pause = std::chrono::milliseconds(attempt == 0 ? 0 : std::min(100 << attempt, 4000));
    state->retry->expires_after(pause);
    std::string owner = state->kwinOwner;
    state->retry->async_wait([attempt, owner](const boost::system::error_code& ec) {
        if (ec || state->reported || state->kwinOwner != owner || owner.empty()) return;
        loadScript();
        // Loaded or not: check again later that it reports.
        loadSoon(attempt + 1);
    });
}

int onReport(sd_bus_message* m, void*, sd_bus_error*) {
    const char* sender = sd_bus_message_get_sender(m);
    if (!sender || state->kwinOwner.empty() || state->kwinOwner != sender)
        return sd_bus_reply_method_errorf(m, SD_BUS_ERROR_ACCESS_DENIED, "only KWin reports here");
    const char* text = nullptr;
    if (sd_bus_message_read(m, "s", &text) < 0 || !text)
        return sd_bus_reply_method_errorf(m, SD_BUS_ERROR_INVALID_ARGS, "a report is one string");
    auto report = parseReport(text);
    if (!report)
        return sd_bus_reply_method_errorf(m, SD_BUS_ERROR_INVALID_ARGS, "the report was ignored");

    MirrorRef before = currentMirror();
    Mirror carry;
    carry.nextNumber = state->nextNumber;
    MirrorRef now = applyReport(before ? before.get() : &carry, std::move(*report));
    state->nextNumber = now->nextNumber;
    state->reported = true;
    int32_t pid = now->active ? now->active->w.pid : 0;
    setMirror(now);
    if (pid != state->activePid) {
        state->activePid = pid;
        if (pid > 0 && state->observer)
            if (AppRef app = appOfPid(pid)) state->observer(std::move(app));
    }
    return sd_bus_reply_method_return(m, nullptr);
}

int onOwnerChanged(sd_bus_message* m, void*, sd_bus_error*) {
    const char *name = nullptr, *before = nullptr, *after = nullptr;
    if (sd_bus_message_read(m, "sss", &name, &before, &after) < 0 || !name || !after) return 0;
    if (std::string_view(name) != kKWinName) return 0;
    state->kwinOwner = after;
    state->reported = false;
    state->activePid = 0;
    setMirror(nullptr);
    forgetAuthorisation();
    if (!state->kwinOwner.empty()) loadSoon(0);
    return 0;
}

const sd_bus_vtable kVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("Report", "s", "", dbus::guarded<onReport>, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_VTABLE_END,
};

// Forks the watcher: it holds the read end of a pipe whose write end only
// the companion has, so the end of the companion (exit, crash or kill) is
// its end of file; it then unloads the script and removes its file.
void startWatcher() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return;
    pid_t child = ::fork();
    if (child < 0) {
        ::close(fds[0]);
        ::close(fds[1]);
        return;
    }
    if (child == 0) {
        int null = ::open("/dev/null", O_RDWR);
        ::dup2(null, 0);
        ::dup2(null, 1);
        ::dup2(null, 2);
        ::dup2(fds[0], 3);
        ::close_range(4, ~0u, 0);
        ::signal(SIGPIPE, SIG_IGN);
        char c;
        while (::read(3, &c, 1) < 0 && errno == EINTR) {
        }
        if (auto bus = dbus::openSessionBus()) unload(bus.get(), state->plugin);
        ::unlink(state->scriptPath.c_str());
        ::_exit(0);
    }
    ::close(fds[0]);
}

}  // namespace

bool startSession() {
    if (state || !isKdeWayland(currentSession())) return false;
    dbus::BusRef bus = dbus::openSessionBus();
    if (!bus) return false;
    std::string owner = nameOwner(bus.get(), kKWinName);
    const char* unique = nullptr;
    if (owner.empty() || sd_bus_get_unique_name(bus.get(), &unique) < 0 || !unique) return false;
    if (sd_bus_add_object_vtable(bus.get(), nullptr, kMirrorPath, kMirrorInterface, kVtable,
                                 nullptr) < 0)
        return false;
    if (sd_bus_add_match(bus.get(), nullptr,
                         "type='signal',sender='org.freedesktop.DBus',"
                         "interface='org.freedesktop.DBus',member='NameOwnerChanged',"
                         "arg0='org.kde.KWin'",
                         dbus::guarded<onOwnerChanged>, nullptr) < 0)
        return false;

    state = new State;
    state->bus = std::move(bus);
    state->uniqueName = unique;
    state->kwinOwner = owner;
    state->plugin = "companion-" + std::to_string(getpid());
    if (sd_bus* bus = control()) unloadStale(bus, scriptDir());
    loadScript();
    startWatcher();
    return true;
}

void serveSession(boost::asio::io_context& loop, std::function<void(AppRef)> observer) {
    if (!state || state->loop) return;
    state->loop = &loop;
    state->observer = std::move(observer);
    state->retry = std::make_unique<boost::asio::steady_timer>(loop);
    dbus::attach(loop, state->bus);
    // A script that failed to load at start-up, or that does not report.
    loadSoon(1);
}

void reloadScript() {
    if (!state || state->reported || state->kwinOwner.empty()) return;
    loadScript();
}

AppRef appOfPid(int32_t pid) {
    MirrorRef m = currentMirror();
    return apps::appFor(pid, [&]() {
        apps::Hints hints;
        if (!m) return hints;
        for (const MirroredWindow& w : m->windows) {
            if (w.w.pid != pid) continue;
            hints.windows.push_back(w.number);
            if (!hints.desktopId && !w.w.desktopFile.empty()) hints.desktopId = w.w.desktopFile;
            if (!hints.wmClass && (!w.w.resourceClass.empty() || !w.w.resourceName.empty()))
                hints.wmClass = apps::WmClass{w.w.resourceName, w.w.resourceClass};
        }
        return hints;
    });
}

}  // namespace platform::kde
