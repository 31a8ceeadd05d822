// "front" benchmark: round trip (request written to reply read) with 10, 50
// and 200 windows on the display in DISPLAY, icon cached (a running companion)
// and uncached (the first request of a fresh one), beside the per-call time
// of `xdotool getactivewindow getwindowpid getwindowname`.
//   bench_front [roundtrips=500] [fresh=20]
// Last, the uncached icon of an SVG-only program (xterm under a class whose
// entry names an SVG): the render alone, the first front of a fresh
// companion, and the first front after the program starts.
// Run it through bench/front.sh, which brings up Xvfb and openbox.
#include "bench/peer.hpp"
#include "platform/icons/svg.hpp"

#include <xcb/xcb.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <spawn.h>
#include <sstream>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>


namespace {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point t) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

struct Stats {
    double p50 = 0, p99 = 0;
};
Stats stats(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    auto at = [&](double q) { return v[std::min(v.size() - 1, size_t(q * double(v.size())))]; };
    return {at(0.50), at(0.99)};
}

// ---- Windows -----------------------------------------------------------------

xcb_connection_t* x;
xcb_screen_t* screen;
std::vector<xcb_window_t> windows;

xcb_atom_t atom(const char* name) {
    auto* r = xcb_intern_atom_reply(x, xcb_intern_atom(x, 0, uint16_t(strlen(name)), name), nullptr);
    xcb_atom_t a = r ? r->atom : 0;
    free(r);
    return a;
}

bool viewable(xcb_window_t w) {
    auto* a = xcb_get_window_attributes_reply(x, xcb_get_window_attributes(x, w), nullptr);
    bool v = a && a->map_state == XCB_MAP_STATE_VIEWABLE;
    free(a);
    return v;
}

void addWindows(size_t total) {
    std::vector<uint32_t> icon = {128, 128};
    for (int i = 0; i < 128 * 128; ++i) icon.push_back(i % 128 < 64 ? 0xFFE04010u : 0x802060F0u);
    xcb_atom_t netName = atom("_NET_WM_NAME"), utf8 = atom("UTF8_STRING"),
               netIcon = atom("_NET_WM_ICON");
    while (windows.size() < total) {
        xcb_window_t w = xcb_generate_id(x);
        int n = int(windows.size());
        xcb_create_window(x, XCB_COPY_FROM_PARENT, w, screen->root, int16_t(20 + n % 40 * 20),
                          int16_t(20 + n % 30 * 20), 400, 300, 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                          screen->root_visual, 0, nullptr);
        std::string title = "bench window " + std::to_string(n);
        xcb_change_property(x, XCB_PROP_MODE_REPLACE, w, netName, utf8, 8, uint32_t(title.size()),
                            title.data());
        const char cls[] = "bench\0Bench";
        xcb_change_property(x, XCB_PROP_MODE_REPLACE, w, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 8,
                            sizeof cls, cls);
        xcb_change_property(x, XCB_PROP_MODE_REPLACE, w, netIcon, XCB_ATOM_CARDINAL, 32,
                            uint32_t(icon.size()), icon.data());
        xcb_map_window(x, w);
        windows.push_back(w);
    }
    xcb_flush(x);
    // Until the window manager has mapped each one (it may drop early requests).
    for (int round = 0; round < 100; ++round) {
        usleep(50000);
        size_t missing = 0;
        for (xcb_window_t w : windows)
            if (!viewable(w)) {
                xcb_map_window(x, w);
                ++missing;
            }
        xcb_flush(x);
        if (!missing) break;
    }
    usleep(200000);
}

// ---- The companion over its pipes ---------------------------------------------

using bench::Peer;
using bench::readLine;
using bench::stop;

Peer start(const char* bin) { return bench::start({bin}); }

// One round trip. The host is pid 1, so the bench's windows are another
// application's; with `ownHost` the bench is the host, and the whole list is
// walked to find no window.
double roundTrip(Peer& p, std::string* line = nullptr, bool ownHost = false) {
    static const std::string other = "{\"cmd\":\"front\",\"id\":1,\"dovk\":1}\n";
    static const std::string self =
        "{\"cmd\":\"front\",\"id\":1,\"dovk\":" + std::to_string(getpid()) + "}\n";
    const std::string& req = ownHost ? self : other;
    auto t = Clock::now();
    if (write(p.in, req.data(), req.size()) != ssize_t(req.size())) std::exit(2);
    std::string l = readLine(p);
    double ms = msSince(t);
    if (line) *line = std::move(l);
    return ms;
}

double xdotoolCall() {
    const char* argv[] = {"xdotool", "getactivewindow", "getwindowpid", "getwindowname", nullptr};
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    auto t = Clock::now();
    pid_t pid;
    if (posix_spawnp(&pid, "xdotool", &fa, nullptr, const_cast<char**>(argv), environ) != 0)
        return -1;
    waitpid(pid, nullptr, 0);
    double ms = msSince(t);
    posix_spawn_file_actions_destroy(&fa);
    return ms;
}

// ---- SVG icons -----------------------------------------------------------------

// A data directory holding an entry whose only icon is an SVG (xterm's own,
// a real icon), for programs of class "benchsvg".
std::string svgDataDir() {
    namespace fs = std::filesystem;
    fs::path dir = fs::temp_directory_path() / ("bench-svg-" + std::to_string(getpid()));
    fs::create_directories(dir / "applications");
    fs::create_directories(dir / "icons/hicolor/scalable/apps");
    fs::copy_file("/usr/share/icons/hicolor/scalable/apps/mini.xterm.svg",
                  dir / "icons/hicolor/scalable/apps/bench-svg.svg", fs::copy_options::overwrite_existing);
    std::ofstream(dir / "applications/benchsvg.desktop")
        << "[Desktop Entry]\nType=Application\nName=Bench SVG\nExec=xterm\nIcon=bench-svg\n";
    return dir.string();
}

pid_t spawnXterm() {
    const char* argv[] = {"xterm", "-name", "benchsvg", "-class", "Benchsvg", "-geometry", "80x24+300+300", nullptr};
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    if (posix_spawnp(&pid, "xterm", &fa, nullptr, const_cast<char**>(argv), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&fa);
    return pid;
}

void stopXterm(pid_t pid) {
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
}

// The "ms" of the first reply that names `pid`, asking until one does.
double firstFrontOf(Peer& p, pid_t pid) {
    std::string line, want = "\"pid\":" + std::to_string(pid);
    for (int i = 0; i < 400; ++i) {
        roundTrip(p, &line);
        if (line.find(want) != std::string::npos) {
            if (line.find("\"icon\":\"iVBOR") == std::string::npos)
                std::fprintf(stderr, "bench_front: no SVG icon in %.200s\n", line.c_str());
            auto at = line.find("\"ms\":");
            return at == std::string::npos ? -1 : std::atof(line.c_str() + at + 5);
        }
        usleep(10000);
    }
    return -1;
}

void benchSvg(int fresh) {
    std::ifstream in("/usr/share/icons/hicolor/scalable/apps/mini.xterm.svg");
    std::stringstream svg;
    svg << in.rdbuf();
    std::vector<double> render;
    for (int i = 0; i < 50; ++i) {
        auto t = Clock::now();
        if (!platform::icons::renderSvg(svg.str(), 64)) std::fprintf(stderr, "bench_front: SVG failed\n");
        render.push_back(msSince(t));
    }
    Stats r = stats(render);
    std::printf("%-8s %-22s %9.3f %9.3f\n", "-", "SVG render 64x64", r.p50, r.p99);

    std::string dir = svgDataDir();
    setenv("XDG_DATA_HOME", dir.c_str(), 1);
    // The first "front" of a fresh companion, an SVG-only program in front.
    pid_t term = spawnXterm();
    std::vector<double> first;
    for (int i = 0; i < fresh; ++i) {
        Peer q = start(COMPANION_BIN);
        first.push_back(firstFrontOf(q, term));
        stop(q);
    }
    stopXterm(term);
    Stats f = stats(first);
    std::printf("%-8s %-22s %9s %9s %12.3f\n", "-", "front, SVG first", "", "", f.p50);
    // The first "front" of a running companion after the program starts.
    Peer q = start(COMPANION_BIN);
    std::vector<double> launched;
    for (int i = 0; i < std::max(3, fresh / 4); ++i) {
        pid_t t = spawnXterm();
        launched.push_back(firstFrontOf(q, t));
        stopXterm(t);
    }
    stop(q);
    Stats l = stats(launched);
    std::printf("%-8s %-22s %9s %9s %12.3f\n", "-", "front, SVG new program", "", "", l.p50);
    unsetenv("XDG_DATA_HOME");
    std::filesystem::remove_all(dir);
}

}  // namespace

int main(int argc, char** argv) {
    int roundtrips = argc > 1 ? std::atoi(argv[1]) : 500;
    int fresh = argc > 2 ? std::atoi(argv[2]) : 20;
    x = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(x)) {
        std::fprintf(stderr, "bench_front: no display (run bench/front.sh)\n");
        return 1;
    }
    screen = xcb_setup_roots_iterator(xcb_get_setup(x)).data;
    xcb_atom_t check = atom("_NET_SUPPORTING_WM_CHECK");
    for (int i = 0; i < 200; ++i) {  // the window manager is up
        auto* r = xcb_get_property_reply(
            x, xcb_get_property(x, 0, screen->root, check, XCB_ATOM_WINDOW, 0, 1), nullptr);
        bool up = r && xcb_get_property_value_length(r) == 4;
        free(r);
        if (up) break;
        usleep(50000);
    }

    std::printf("%-8s %-22s %9s %9s %12s\n", "windows", "case", "p50 ms", "p99 ms", "reply \"ms\"");
    for (size_t n : {10, 50, 200}) {
        addWindows(n);

        Peer p = start(COMPANION_BIN);
        std::string line;
        for (int i = 0; i < 20; ++i) roundTrip(p, &line);  // warm: icon cached
        if (line.find("\"icon\":\"iVBOR") == std::string::npos)
            std::fprintf(stderr, "bench_front: no icon in %.200s\n", line.c_str());
        std::vector<double> cached, inner;
        for (int i = 0; i < roundtrips; ++i) {
            cached.push_back(roundTrip(p, &line));
            auto at = line.find("\"ms\":");
            inner.push_back(at == std::string::npos ? 0 : std::atof(line.c_str() + at + 5));
        }
        Stats c = stats(cached), in = stats(inner);
        std::printf("%-8zu %-22s %9.3f %9.3f %12.3f\n", n, "front, icon cached", c.p50, c.p99, in.p50);
        stop(p);
        // A companion of its own, so that the host (the bench, its parent) was
        // never anything else and there is no last other application.
        p = start(COMPANION_BIN);
        for (int i = 0; i < 5; ++i) roundTrip(p, &line, true);
        if (line.find("\"window\"") != std::string::npos)
            std::fprintf(stderr, "bench_front: whole-list case found a window\n");
        std::vector<double> whole, wholeInner;
        for (int i = 0; i < roundtrips / 2; ++i) {
            whole.push_back(roundTrip(p, &line, true));
            auto at = line.find("\"ms\":");
            wholeInner.push_back(at == std::string::npos ? 0 : std::atof(line.c_str() + at + 5));
        }
        stop(p);
        Stats wl = stats(whole), wi = stats(wholeInner);
        std::printf("%-8zu %-22s %9.3f %9.3f %12.3f\n", n, "front, whole list", wl.p50, wl.p99, wi.p50);

        std::vector<double> cold, coldInner;
        for (int i = 0; i < fresh; ++i) {
            Peer q = start(COMPANION_BIN);
            cold.push_back(roundTrip(q, &line));
            auto at = line.find("\"ms\":");
            coldInner.push_back(at == std::string::npos ? 0 : std::atof(line.c_str() + at + 5));
            stop(q);
        }
        Stats u = stats(cold), ui = stats(coldInner);
        std::printf("%-8zu %-22s %9.3f %9.3f %12.3f\n", n, "front, icon uncached", u.p50, u.p99, ui.p50);

        std::vector<double> xdo;
        for (int i = 0; i < fresh * 2; ++i) xdo.push_back(xdotoolCall());
        if (xdo.front() < 0) {
            std::printf("%-8zu %-22s %9s\n", n, "xdotool (missing)", "-");
        } else {
            Stats d = stats(xdo);
            std::printf("%-8zu %-22s %9.3f %9.3f\n", n, "xdotool per call", d.p50, d.p99);
        }
        std::fflush(stdout);
    }
    benchSvg(fresh);
    xcb_disconnect(x);
    return 0;
}
