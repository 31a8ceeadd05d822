// The sway and generic wlroots backends end to end: a real headless sway
// (pixman renderer, Xwayland on) run as the test user, Wayland-native foot
// and an Xwayland test window, and the companion run as that user inside
// the session. Also sway's IPC played by the test itself, misbehaving.
#include "tests/harness/companion.hpp"
#include "tests/harness/session_user.hpp"

#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>
#include <gtest/gtest.h>
#include <turbojpeg.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace {

namespace json = boost::json;
namespace fs = std::filesystem;
using harness::Companion;
using namespace std::chrono_literals;

// Runs a shell command as the test (root can use the user's IPC socket) and
// returns its stdout.
std::string run(const std::string& command) {
    std::string out;
    if (FILE* p = popen(command.c_str(), "r")) {
        char buf[65536];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
        pclose(p);
    }
    return out;
}

template <typename F>
bool waitFor(F ok, std::chrono::milliseconds limit = 20s) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        if (ok()) return true;
        std::this_thread::sleep_for(50ms);
    }
    return ok();
}

// A window as sway's tree has it.
struct Con {
    int64_t id = 0;
    int64_t pid = 0;
    bool visible = false;
    bool focused = false;
    int64_t w = 0, h = 0;
};

struct Session {
    harness::User user = harness::testUser();
    harness::PrivateDir run{user, "sway"};
    pid_t sway = -1;
    std::string sock, wayland, display;

    Session() {
        std::string config = run.path + "/config";
        std::ofstream(config) << "output HEADLESS-1 resolution 1920x1080\nxwayland enable\n"
                                 "default_border none\nfor_window [title=\"^cover$\"] floating enable\n";
        sway = harness::spawnAs(user, {"/usr/bin/sway", "-c", config},
                                {"XDG_RUNTIME_DIR=" + run.path, "HOME=" + run.path,
                                 "PATH=/usr/bin:/bin", "WLR_BACKENDS=headless",
                                 "WLR_RENDERER=pixman", "WLR_LIBINPUT_NO_DEVICES=1"});
        waitFor([&] {
            for (auto& e : fs::directory_iterator(run.path)) {
                std::string name = e.path().filename();
                if (name.rfind("sway-ipc.", 0) == 0) sock = e.path();
                if (name.rfind("wayland-", 0) == 0 && name.find(".lock") == std::string::npos)
                    wayland = name;
            }
            return !sock.empty() && !wayland.empty() && msg("-t get_version").find("major") != std::string::npos;
        });
        if (sock.empty()) throw std::runtime_error("sway did not start");
        std::string file = run.path + "/display";
        msg("exec 'printenv DISPLAY > " + file + "'");
        waitFor([&] {
            std::ifstream in(file);
            std::getline(in, display);
            return !display.empty();
        });
    }
    ~Session() { harness::stopGroup(sway); }

    std::string msg(const std::string& args) { return ::run("swaymsg -s " + sock + " " + args + " 2>/dev/null"); }

    // Every window of the tree matching `match` on its JSON object.
    std::vector<Con> cons(const std::function<bool(const json::object&)>& match) {
        std::vector<Con> out;
        boost::system::error_code ec;
        json::value tree = json::parse(msg("-t get_tree"), ec);
        if (ec) return out;
        std::function<void(const json::value&)> walk = [&](const json::value& v) {
            if (!v.is_object()) return;
            const json::object& o = v.as_object();
            if (o.contains("shell") && match(o)) {
                Con c;
                c.id = o.at("id").as_int64();
                if (o.at("pid").is_int64()) c.pid = o.at("pid").as_int64();
                c.visible = o.at("visible").as_bool();
                c.focused = o.at("focused").as_bool();
                c.w = o.at("window_rect").at("width").to_number<int64_t>();
                c.h = o.at("window_rect").at("height").to_number<int64_t>();
                out.push_back(c);
            }
            for (const char* k : {"nodes", "floating_nodes"})
                if (o.contains(k))
                    for (const json::value& c : o.at(k).as_array()) walk(c);
        };
        walk(tree);
        return out;
    }
    std::optional<Con> con(const std::string& title) {
        auto all = cons([&](const json::object& o) {
            return o.at("name").is_string() && o.at("name").as_string() == title;
        });
        if (all.size() != 1) return std::nullopt;
        return all.front();
    }
    std::optional<Con> waitCon(const std::string& title) {
        std::optional<Con> c;
        waitFor([&] { return (c = con(title)).has_value(); });
        return c;
    }

    std::map<std::string, std::string> env(bool withSwaySocket = true) {
        std::map<std::string, std::string> e = {{"XDG_RUNTIME_DIR", run.path},
                                                {"WAYLAND_DISPLAY", wayland},
                                                {"HOME", run.path},
                                                {"PATH", "/usr/bin:/bin"},
                                                {"DISPLAY", display}};
        if (withSwaySocket) e["SWAYSOCK"] = sock;
        return e;
    }
};

struct Decoded {
    int w = 0, h = 0;
    std::vector<unsigned char> rgb;
};

std::string unbase64(std::string_view in) {
    static const std::string abc =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    uint32_t acc = 0;
    int bits = 0;
    for (char ch : in) {
        auto p = abc.find(ch);
        if (p == std::string::npos) continue;
        acc = (acc << 6) | uint32_t(p);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(char((acc >> bits) & 0xff));
        }
    }
    return out;
}

Decoded decode(const json::object& r) {
    Decoded d;
    if (!r.contains("jpeg")) return d;
    std::string jpeg = unbase64(r.at("jpeg").as_string());
    tjhandle tj = tjInitDecompress();
    int sub = 0, cs = 0;
    auto* bytes = reinterpret_cast<const unsigned char*>(jpeg.data());
    if (tjDecompressHeader3(tj, bytes, jpeg.size(), &d.w, &d.h, &sub, &cs) == 0) {
        d.rgb.resize(size_t(d.w) * size_t(d.h) * 3);
        EXPECT_EQ(tjDecompress2(tj, bytes, jpeg.size(), d.rgb.data(), d.w, 0, d.h, TJPF_RGB, 0), 0);
    }
    tjDestroy(tj);
    return d;
}

// Share of the pixels within 24 of `rgb` on each channel, over the
// picture's top-left `fx` x `fy` part (fractions of its size).
double shareOf(const Decoded& d, uint32_t rgb, double fx = 1, double fy = 1) {
    if (d.rgb.empty()) return 0;
    size_t near = 0, n = 0;
    int want[3] = {int(rgb >> 16), int((rgb >> 8) & 0xff), int(rgb & 0xff)};
    for (int y = 0; y < int(d.h * fy); ++y)
        for (int x = 0; x < int(d.w * fx); ++x, ++n) {
            const unsigned char* p = &d.rgb[(size_t(y) * size_t(d.w) + size_t(x)) * 3];
            bool ok = true;
            for (int k = 0; k < 3; ++k) ok = ok && std::abs(int(p[k]) - want[k]) <= 24;
            near += ok;
        }
    return n ? double(near) / double(n) : 0;
}

// testwin paints the size it was opened at (640 x 480); sway tiles it
// larger. The painted part, less a margin.
double redShare(const Decoded& d, const Con& c) {
    return shareOf(d, 0xff0000, std::min(1.0, 600.0 / double(c.w)), std::min(1.0, 440.0 / double(c.h)));
}

int64_t pidOf(const json::object& r) {
    return r.contains("app") ? r.at("app").at("pid").to_number<int64_t>() : 0;
}

class Sway : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s = new Session;
        // A Wayland-native terminal in a known colour, and an Xwayland window.
        s->msg("exec \"foot -o colors.background=20c040 -T native sleep 600\"");
        // Xwayland admits only its own user: the X client runs in the
        // session too, fed its one command; the feeder ends with the session
        // (sway starts clients outside its process group).
        s->msg(std::string("exec \"sh -c '(echo open x title=xwin w=640 h=480 color=ff0000 "
                           "class=xdemo.XDemo icon=48x48; while [ -S \\$XDG_RUNTIME_DIR/\\$WAYLAND_DISPLAY ]; "
                           "do sleep 0.5; done) | ") +
               TOOLS_DIR + "/testwin'\"");
    }
    static void TearDownTestSuite() { delete s; }
    Companion start(bool withSwaySocket = true) {
        return Companion(s->env(withSwaySocket),
                         harness::Launch{.prefix = harness::asUser(s->user, {}), .cleanEnv = true});
    }
    json::object front(Companion& c, int64_t dovk = 0) {
        if (dovk) return c.ask({{"cmd", "front"}, {"id", "f"}, {"dovk", dovk}});
        return c.ask({{"cmd", "front"}, {"id", "f"}});
    }
    // Asks until the front report names `pid`.
    json::object frontUntil(Companion& c, int64_t pid, int64_t dovk = 0) {
        json::object r;
        waitFor([&] { return pidOf(r = front(c, dovk)) == pid; });
        return r;
    }
    json::object capture(Companion& c, int64_t window, int edge = 400) {
        return c.ask({{"cmd", "capture"}, {"id", "c"}, {"window", window}, {"edge", edge}}, 20s);
    }
    static Session* s;
};
Session* Sway::s = nullptr;

TEST_F(Sway, FrontNativeAndXwaylandWindowsThenActivationsAndTheHostFallback) {
    auto xw = s->waitCon("xwin");
    auto native = s->waitCon("native");
    ASSERT_TRUE(native && xw);
    // Both are mapped now: read their tiles again, the first one's shrank
    // when the second came.
    xw = s->waitCon("xwin");
    native = s->waitCon("native");
    ASSERT_TRUE(native && xw);
    s->msg("'[title=\"^native$\"] focus'");
    Companion c = start();
    auto r = frontUntil(c, native->pid);
    ASSERT_EQ(pidOf(r), native->pid) << json::serialize(r);
    EXPECT_EQ(r.at("granted"), json::value(true));
    const json::object& app = r.at("app").as_object();
    EXPECT_EQ(app.at("name"), json::value("Foot"));
    EXPECT_EQ(app.at("bundle"), json::value("foot"));
    EXPECT_EQ(app.at("path"), json::value("/usr/share/applications/foot.desktop"));
    EXPECT_FALSE(app.at("icon").as_string().empty());
    ASSERT_TRUE(r.contains("window")) << json::serialize(r);
    EXPECT_EQ(r.at("window").at("id"), json::value(native->id));
    EXPECT_EQ(r.at("window").at("title"), json::value("native"));
    EXPECT_EQ(r.at("window").at("w"), json::value(native->w));
    EXPECT_EQ(r.at("window").at("h"), json::value(native->h));

    // The Xwayland window: sway's container id, the X client's pid, its
    // class as the name (no desktop entry).
    s->msg("'[title=\"^xwin$\"] focus'");
    r = frontUntil(c, xw->pid);
    ASSERT_EQ(pidOf(r), xw->pid) << json::serialize(r);
    EXPECT_EQ(r.at("app").at("name"), json::value("XDemo"));
    EXPECT_FALSE(r.at("app").at("icon").as_string().empty());  // its _NET_WM_ICON
    EXPECT_EQ(r.at("window").at("id"), json::value(xw->id));
    EXPECT_EQ(r.at("window").at("title"), json::value("xwin"));
    EXPECT_EQ(r.at("window").at("w"), json::value(xw->w));
    EXPECT_EQ(r.at("window").at("h"), json::value(xw->h));

    // The X window's process is the host: its activation is not an
    // application of its own, the report falls back to the last other one
    // (foot, seen through the focus events).
    s->msg("'[title=\"^native$\"] focus'");
    frontUntil(c, native->pid);
    front(c, xw->pid);
    s->msg("'[title=\"^xwin$\"] focus'");
    r = frontUntil(c, native->pid, xw->pid);
    EXPECT_EQ(pidOf(r), native->pid) << json::serialize(r);
    EXPECT_EQ(r.at("window").at("id"), json::value(native->id));
    c.closeInput();
    EXPECT_EQ(c.wait(), 0);
    EXPECT_EQ(c.stderrText(), "");
}

TEST_F(Sway, CaptureShowsTheWindowsOwnPixelsAndOtherWorkspacesAreGone) {
    auto native = s->waitCon("native");
    auto xw = s->waitCon("xwin");
    ASSERT_TRUE(native && xw);
    Companion c = start();
    auto r = capture(c, native->id);
    ASSERT_EQ(r.at("ok"), json::value(true)) << json::serialize(r);
    Decoded d = decode(r);
    EXPECT_EQ(d.w, r.at("w").as_int64());
    EXPECT_GT(std::max(d.w, d.h), 390);
    EXPECT_GT(shareOf(d, 0x20c040), 0.8);  // foot's background, a little text
    EXPECT_LT(shareOf(d, 0xff0000), 0.01);

    r = capture(c, xw->id);
    ASSERT_EQ(r.at("ok"), json::value(true)) << json::serialize(r);
    d = decode(r);
    EXPECT_GT(redShare(d, *xw), 0.95);

    // Four at once, each its own window.
    for (int i = 0; i < 4; ++i)
        c.send({{"cmd", "capture"}, {"id", i}, {"window", i % 2 ? xw->id : native->id}, {"edge", 200}});
    for (int i = 0; i < 4; ++i) {
        auto one = c.next(20s);
        ASSERT_TRUE(one);
        ASSERT_EQ(one->at("ok"), json::value(true)) << json::serialize(*one);
        d = decode(*one);
        if (one->at("id").as_int64() % 2)
            EXPECT_GT(redShare(d, *xw), 0.95);
        else
            EXPECT_GT(shareOf(d, 0x20c040), 0.8);
    }

    // Covered by a floating Wayland window: the Xwayland window's own
    // pixels, through X11.
    s->msg("exec \"foot -o colors.background=20c040 -T cover sleep 600\"");
    ASSERT_TRUE(s->waitCon("cover"));
    r = capture(c, xw->id);
    ASSERT_EQ(r.at("ok"), json::value(true)) << json::serialize(r);
    d = decode(r);
    EXPECT_GT(redShare(d, *xw), 0.95);
    s->msg("'[title=\"^cover$\"] kill'");
    ASSERT_TRUE(waitFor([&] { return !s->con("cover"); }));

    // On another workspace: not on screen, not listed, "gone".
    s->msg("'[title=\"^xwin$\"] move container to workspace 2'");
    ASSERT_TRUE(waitFor([&] { auto v = s->con("xwin"); return v && !v->visible; }));
    r = capture(c, xw->id);
    EXPECT_EQ(r.at("ok"), json::value(false));
    EXPECT_EQ(r.at("error"), json::value("gone"));
    r = front(c);
    EXPECT_NE(pidOf(r), xw->pid) << json::serialize(r);
    s->msg("'[title=\"^xwin$\"] move container to workspace 1'");
    ASSERT_TRUE(waitFor([&] { auto v = s->con("xwin"); return v && v->visible; }));
    c.closeInput();
    EXPECT_EQ(c.wait(), 0);
    EXPECT_EQ(c.stderrText(), "");
}

TEST_F(Sway, WithoutSwaysSocketTheToplevelProtocolNamesTheApplicationWithoutAWindow) {
    auto native = s->waitCon("native");
    auto xw = s->waitCon("xwin");
    ASSERT_TRUE(native && xw);
    s->msg("'[title=\"^native$\"] focus'");
    Companion c = start(false);
    auto r = frontUntil(c, native->pid);
    ASSERT_EQ(pidOf(r), native->pid) << json::serialize(r);
    EXPECT_EQ(r.at("app").at("bundle"), json::value("foot"));
    EXPECT_EQ(r.at("granted"), json::value(true));
    EXPECT_FALSE(r.contains("window")) << json::serialize(r);
    // No process runs as the Xwayland window's app_id (its class): no pid
    // is guessed, the last application stays the answer.
    s->msg("'[title=\"^xwin$\"] focus'");
    ASSERT_TRUE(waitFor([&] { return s->con("xwin") && s->con("xwin")->focused; }));
    for (int i = 0; i < 5; ++i) {
        std::this_thread::sleep_for(100ms);
        EXPECT_NE(pidOf(front(c)), xw->pid);
    }
    auto cap = c.ask({{"cmd", "capture"}, {"id", "c"}, {"window", 1}}, 20s);
    EXPECT_EQ(cap.at("ok"), json::value(false));
    c.closeInput();
    EXPECT_EQ(c.wait(), 0);
    EXPECT_EQ(c.stderrText(), "");
}

// Last in the suite: it ends the session.
TEST_F(Sway, CompositorGoneMidSessionEveryRequestStillAnswered) {
    auto native = s->waitCon("native");
    ASSERT_TRUE(native);
    Companion c = start();
    auto r = c.ask({{"cmd", "capture"}, {"id", "c"}, {"window", native->id}, {"edge", 100}}, 20s);
    ASSERT_EQ(r.at("ok"), json::value(true)) << json::serialize(r);
    harness::stopGroup(s->sway);
    std::this_thread::sleep_for(100ms);  // past the 50 ms the tree is kept
    r = c.ask({{"cmd", "front"}, {"id", "f"}}, 20s);
    EXPECT_EQ(r.at("granted"), json::value(false)) << json::serialize(r);
    EXPECT_FALSE(r.contains("window"));
    r = c.ask({{"cmd", "capture"}, {"id", "c"}, {"window", native->id}}, 20s);
    EXPECT_EQ(r.at("ok"), json::value(false));
    r = c.ask({{"cmd", "allow"}, {"id", "a"}}, 20s);
    EXPECT_EQ(r.at("granted"), json::value(false));
    std::this_thread::sleep_for(1500ms);  // the watcher's retry runs meanwhile
    r = c.ask({{"cmd", "front"}, {"id", "f2"}}, 20s);
    EXPECT_EQ(r.at("granted"), json::value(false));
    c.closeInput();
    EXPECT_EQ(c.wait(), 0);
    EXPECT_EQ(c.stderrText(), "");
}

// sway's IPC played by the test: answers get_version, then serves get_tree
// by `mode`. The socket lives in a directory of the test's own.
struct FakeSway {
    std::string dir = fs::temp_directory_path() / ("fake-sway-" + std::to_string(getpid()));
    std::string path = dir + "/ipc.sock";
    std::atomic<int> mode{0};  // 0 good, 1 truncated, 2 huge, 3 not JSON, 4 stall
    int listener = -1;
    std::thread server;
    std::atomic<bool> stopping{false};

    FakeSway() { fs::create_directories(dir); }
    ~FakeSway() {
        stop();
        fs::remove_all(dir);
    }
    void start() {
        stopping = false;
        listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::strcpy(a.sun_path, path.c_str());
        ::unlink(path.c_str());
        ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        ::listen(listener, 8);
        server = std::thread([this] { serve(); });
    }
    void stop() {
        stopping = true;
        if (listener >= 0) ::shutdown(listener, SHUT_RDWR);
        if (server.joinable()) server.join();
        if (listener >= 0) ::close(listener);
        listener = -1;
    }
    static void send(int fd, uint32_t type, const std::string& payload, uint32_t length) {
        std::string f = "i3-ipc";
        f.append(reinterpret_cast<const char*>(&length), 4);
        f.append(reinterpret_cast<const char*>(&type), 4);
        f += payload;
        (void)!::write(fd, f.data(), f.size());
    }
    void serve() {
        std::vector<std::thread> clients;
        for (;;) {
            int fd = ::accept(listener, nullptr, nullptr);
            if (fd < 0 || stopping) {
                if (fd >= 0) ::close(fd);
                break;
            }
            clients.emplace_back([this, fd] { client(fd); });
        }
        for (auto& t : clients) t.join();
    }
    void client(int fd) {
        timeval tv{0, 200000};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        for (;;) {
            char h[14];
            ssize_t n = ::recv(fd, h, sizeof h, MSG_WAITALL);
            if (n < 0 && errno == EAGAIN && !stopping) continue;
            if (n != 14) break;
            uint32_t len = 0, type = 0;
            std::memcpy(&len, h + 6, 4);
            std::memcpy(&type, h + 10, 4);
            std::string body(len, '\0');
            if (len && ::recv(fd, body.data(), len, MSG_WAITALL) != ssize_t(len)) break;
            std::string tree = R"({"type":"root","id":1,"nodes":[{"type":"con","id":42,"shell":"xdg_shell",)"
                               R"("pid":)" + std::to_string(getpid()) +
                               R"(,"focused":true,"visible":true,"name":"fake",)"
                               R"("rect":{"x":0,"y":0,"width":800,"height":600},)"
                               R"("window_rect":{"x":0,"y":0,"width":800,"height":600}}]})";
            if (type == 7) send(fd, 7, R"({"major":1})", 11);
            else if (type == 2) send(fd, 2, R"({"success":true})", 16);
            else if (mode == 0) send(fd, type, tree, uint32_t(tree.size()));
            else if (mode == 1) send(fd, type, tree.substr(0, 40), uint32_t(tree.size()));
            else if (mode == 2) send(fd, type, tree, 0x7fffffff);
            else if (mode == 3) send(fd, type, "<html>", 6);
            // mode 4: no answer at all
        }
        ::close(fd);
    }
};

TEST(SwayIpc, MisbehavingOrVanishingCompositorStillGivesEachRequestOneReply) {
    FakeSway fake;
    fake.start();
    // Run as root with the test's socket; no Wayland compositor behind it.
    Companion c({{"WAYLAND_DISPLAY", "companion-test-none"}, {"SWAYSOCK", fake.path},
                 {"DISPLAY", ""}});
    auto r = c.ask({{"cmd", "front"}, {"id", 0}, {"dovk", 1}});
    EXPECT_EQ(pidOf(r), getpid()) << json::serialize(r);
    for (int mode : {1, 2, 3, 4}) {
        fake.mode = mode;
        std::this_thread::sleep_for(100ms);  // past the front report's cached tree
        r = c.ask({{"cmd", "front"}, {"id", mode}, {"dovk", 1}}, 15s);
        EXPECT_EQ(r.at("granted"), json::value(false)) << mode;
        EXPECT_FALSE(r.contains("window")) << mode << json::serialize(r);
        r = c.ask({{"cmd", "capture"}, {"id", "c"}, {"window", 42}}, 15s);
        EXPECT_EQ(r.at("ok"), json::value(false)) << mode;
    }
    // The compositor goes away, then comes back: the next request reconnects.
    fake.mode = 0;
    fake.stop();
    r = c.ask({{"cmd", "front"}, {"id", "gone"}, {"dovk", 1}}, 15s);
    EXPECT_FALSE(r.contains("app")) << json::serialize(r);
    fake.start();
    r = c.ask({{"cmd", "front"}, {"id", "back"}, {"dovk", 1}}, 15s);
    EXPECT_EQ(pidOf(r), getpid()) << json::serialize(r);
    c.closeInput();
    EXPECT_EQ(c.wait(), 0);
    EXPECT_EQ(c.stderrText(), "");
}

}  // namespace
