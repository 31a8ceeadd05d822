#include "tests/harness/display.hpp"

#include <xcb/xcb.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <stdexcept>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace harness {
namespace {

pid_t spawnWith(const std::vector<std::string>& args, const std::string& display, int keepFd) {
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e)
        if (std::strncmp(*e, "DISPLAY=", 8) != 0) env.push_back(*e);
    if (!display.empty()) env.push_back("DISPLAY=" + display);
    std::vector<char*> envp;
    for (auto& s : env) envp.push_back(s.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    if (keepFd >= 0) posix_spawn_file_actions_adddup2(&fa, keepFd, 3);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attr, 0);
    pid_t pid = -1;
    int rc = posix_spawnp(&pid, argv[0], &fa, &attr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&fa);
    posix_spawnattr_destroy(&attr);
    if (rc != 0) throw std::runtime_error("cannot start " + args[0] + ": " + std::strerror(rc));
    return pid;
}

// Stops `pid` and whatever it started in its process group (i3's bar).
void reap(pid_t& pid) {
    if (pid <= 0) return;
    ::kill(-pid, SIGTERM);
    ::kill(pid, SIGTERM);
    for (int i = 0; i < 200; ++i) {
        if (waitpid(pid, nullptr, WNOHANG) == pid) {
            pid = -1;
            return;
        }
        usleep(5000);
    }
    ::kill(-pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    pid = -1;
}

// True once a compositing manager owns the _NET_WM_CM_S0 selection.
bool compositorReady(const std::string& display) {
    xcb_connection_t* c = xcb_connect(display.c_str(), nullptr);
    bool ready = false;
    if (!xcb_connection_has_error(c)) {
        const char name[] = "_NET_WM_CM_S0";
        auto* a = xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, sizeof name - 1, name), nullptr);
        if (a) {
            auto* o = xcb_get_selection_owner_reply(c, xcb_get_selection_owner(c, a->atom), nullptr);
            ready = o && o->owner != XCB_NONE;
            free(o);
        }
        free(a);
    }
    xcb_disconnect(c);
    return ready;
}

// True once a window manager has set _NET_SUPPORTING_WM_CHECK on the root.
bool wmReady(const std::string& display) {
    xcb_connection_t* c = xcb_connect(display.c_str(), nullptr);
    bool ready = false;
    if (!xcb_connection_has_error(c)) {
        xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
        const char name[] = "_NET_SUPPORTING_WM_CHECK";
        auto* a = xcb_intern_atom_reply(c, xcb_intern_atom(c, 1, sizeof name - 1, name), nullptr);
        if (a && a->atom) {
            auto* p = xcb_get_property_reply(
                c, xcb_get_property(c, 0, root, a->atom, XCB_ATOM_WINDOW, 0, 1), nullptr);
            ready = p && xcb_get_property_value_length(p) == 4;
            free(p);
        }
        free(a);
    }
    xcb_disconnect(c);
    return ready;
}

// True once the window manager maps a probe window. openbox sets
// _NET_SUPPORTING_WM_CHECK before it serves map requests, and drops the ones
// that come in between, so the probe is mapped again until it sticks.
bool wmServing(const std::string& display) {
    xcb_connection_t* c = xcb_connect(display.c_str(), nullptr);
    bool mapped = false;
    if (!xcb_connection_has_error(c)) {
        xcb_screen_t* s = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
        xcb_window_t w = xcb_generate_id(c);
        uint32_t overrideRedirect = 0;
        xcb_create_window(c, XCB_COPY_FROM_PARENT, w, s->root, 0, 0, 1, 1, 0,
                          XCB_WINDOW_CLASS_INPUT_OUTPUT, s->root_visual, XCB_CW_OVERRIDE_REDIRECT,
                          &overrideRedirect);
        for (int i = 0; i < 200 && !mapped; ++i) {
            xcb_map_window(c, w);
            usleep(25000);
            auto* a = xcb_get_window_attributes_reply(c, xcb_get_window_attributes(c, w), nullptr);
            mapped = a && a->map_state != XCB_MAP_STATE_UNMAPPED;
            free(a);
        }
        xcb_destroy_window(c, w);
        free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
    }
    xcb_disconnect(c);
    return mapped;
}

// Display numbers are shared with every X server and compositor on the
// machine: another suite's Xvfb, a compositor's Xwayland. Each Display holds
// its number the X way, by a lock file with this process's pid that servers
// and compositors read, from before its server starts until the object
// goes, so a restart finds the number still free.

// Takes the lock file `path`; a lock left by a process that is gone is taken
// over.
bool takeLock(const std::string& path) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0444);
        if (fd >= 0) {
            char pid[16];
            int n = snprintf(pid, sizeof pid, "%10d\n", int(getpid()));
            bool written = write(fd, pid, size_t(n)) == n;
            close(fd);
            if (written) return true;
            unlink(path.c_str());
            return false;
        }
        if (errno != EEXIST) return false;
        char text[16] = {};
        int in = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (in < 0) continue;  // removed meanwhile
        ssize_t got = read(in, text, sizeof text - 1);
        close(in);
        long other = got > 0 ? std::strtol(text, nullptr, 10) : 0;
        if (other <= 0 || ::kill(pid_t(other), 0) == 0 || errno != ESRCH) return false;
        unlink(path.c_str());
    }
    return false;
}

// Whether an X server listens on display `n` (its abstract socket bound).
bool displayInUse(int n) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return true;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::string path = "/tmp/.X11-unix/X" + std::to_string(n);
    std::memcpy(addr.sun_path + 1, path.data(), path.size());
    auto len = socklen_t(offsetof(sockaddr_un, sun_path) + 1 + path.size());
    bool used = bind(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0;
    close(fd);
    return used;
}

}  // namespace

const char* wmName(Wm wm) {
    switch (wm) {
        case Wm::none: return "none";
        case Wm::openbox: return "openbox";
        case Wm::xfwm4: return "xfwm4";
        case Wm::i3: return "i3";
        case Wm::openboxPicom: return "openbox_picom";
    }
    return "?";
}

Display::Display(bool windowManager, bool composite)
    : Display(windowManager ? Wm::openbox : Wm::none, composite) {}

Display::Display(Wm wm, bool composite) : wm_(wm), composite_(composite) {
    if (wm_ == Wm::i3) {
        char tmpl[] = "/tmp/harness-i3-XXXXXX";
        int fd = mkstemp(tmpl);
        if (fd < 0) throw std::runtime_error("mkstemp");
        const char conf[] = "# i3 config file (v4)\nfont pango:monospace 8\nfocus_on_window_activation focus\n";
        if (write(fd, conf, sizeof conf - 1) != ssize_t(sizeof conf - 1)) throw std::runtime_error("write");
        close(fd);
        config_ = tmpl;
    }
    // A server that ignores lock files may still bind a number between the
    // check and the start: the next one is tried then.
    for (int n = 0; n < 200; ++n) {
        std::string lock = "/tmp/.X" + std::to_string(n) + "-lock";
        if (!takeLock(lock)) continue;
        if (displayInUse(n)) {
            unlink(lock.c_str());
            continue;
        }
        lockFile_ = lock;
        name = ":" + std::to_string(n);
        if (startServer()) {
            try {
                startWindowManager();
            } catch (...) {
                kill();
                unlink(lock.c_str());
                throw;
            }
            return;
        }
        unlink(lock.c_str());
        lockFile_.clear();
    }
    throw std::runtime_error("Xvfb did not start");
}

Display::~Display() {
    kill();
    if (!lockFile_.empty()) unlink(lockFile_.c_str());
    if (!config_.empty()) unlink(config_.c_str());
}

bool Display::startServer() {
    int fds[2];
    if (pipe(fds) != 0) throw std::runtime_error("pipe");
    // -displayfd tells when it is ready (and makes it leave the lock alone).
    std::vector<std::string> args = {"Xvfb", name};
    args.insert(args.end(), {"-displayfd", "3", "-screen", "0", "1920x1200x24", "-nolisten",
                             "tcp", "-noreset", composite_ ? "+extension" : "-extension", "Composite"});
    server = spawnWith(args, "", fds[1]);
    close(fds[1]);
    std::string number;
    pollfd p{fds[0], POLLIN, 0};
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
        if (poll(&p, 1, 100) > 0) {
            char buf[32];
            ssize_t n = read(fds[0], buf, sizeof buf);
            if (n <= 0) break;
            number.append(buf, size_t(n));
            if (number.find('\n') != std::string::npos) break;
        }
    }
    close(fds[0]);
    while (!number.empty() && (number.back() == '\n' || number.back() == ' ')) number.pop_back();
    if (number.empty()) {
        reap(server);
        return false;
    }
    return true;
}

void Display::startWindowManager() {
    if (wm_ == Wm::none) return;
    std::vector<std::string> wmArgs = {"openbox", "--sm-disable"};
    if (wm_ == Wm::xfwm4) wmArgs = {"xfwm4", "--compositor=on", "--sm-client-disable"};
    if (wm_ == Wm::i3) wmArgs = {"i3", "-c", config_};
    wm = spawnWith(wmArgs, name, -1);
    for (int i = 0; i < 400 && !wmReady(name); ++i) usleep(25000);
    if (!wmReady(name) || !wmServing(name))
        throw std::runtime_error(std::string(wmName(wm_)) + " did not start");
    if (wm_ == Wm::openboxPicom)
        compositor = spawnWith({"picom", "--config", "/dev/null", "--backend", "xrender"}, name, -1);
    if (wm_ == Wm::openboxPicom || wm_ == Wm::xfwm4) {
        for (int i = 0; i < 400 && !compositorReady(name); ++i) usleep(25000);
        if (!compositorReady(name)) throw std::runtime_error("the compositor did not start");
    }
}

void Display::kill() {
    reap(compositor);
    reap(wm);
    reap(server);
}

void Display::restart() {
    kill();
    // The new server takes the same number, still held by its lock file.
    if (!startServer()) throw std::runtime_error("Xvfb did not start again on " + name);
    startWindowManager();
}

pid_t spawnClient(const std::string& display, const char* const argv[]) {
    std::vector<std::string> args;
    for (int i = 0; argv[i]; ++i) args.push_back(argv[i]);
    return spawnWith(args, display, -1);
}

void stopClient(pid_t pid) { reap(pid); }

}  // namespace harness
