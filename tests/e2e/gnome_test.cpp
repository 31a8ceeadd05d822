// The GNOME backend end to end: a real headless GNOME Shell 43 with the
// companion's extension, Wayland-native and Xwayland programs, the companion
// run as the session's user. One Shell serves the suite; the last test
// restarts it without the extension to try "allow", and again after it.
#include "tests/harness/companion.hpp"
#include "tests/harness/gnome_session.hpp"
#include "tests/harness/testwin.hpp"

#include <boost/json/serialize.hpp>
#include <gtest/gtest.h>
#include <turbojpeg.h>

#include <csignal>
#include <map>
#include <sys/wait.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <unistd.h>

namespace {

namespace json = boost::json;
namespace fs = std::filesystem;
using harness::Companion;
using harness::GnomeSession;
using harness::TestWin;
using namespace std::chrono_literals;

GnomeSession* session = nullptr;
std::string setupError;

class Gnome : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        try {
            session = new GnomeSession(true);
        } catch (const std::exception& e) {
            setupError = e.what();
        }
    }
    static void TearDownTestSuite() {
        delete session;
        session = nullptr;
    }
    void SetUp() override {
        if (!session) GTEST_SKIP() << "no GNOME session: " << setupError;
        ASSERT_TRUE(session->shellRunning()) << "the Shell ended:\n" << session->shellLog();
        setenv("XAUTHORITY", session->xAuthority.c_str(), 1);
    }

    static std::unique_ptr<Companion> companion() {
        harness::Launch how;
        how.prefix = harness::asUser(session->user, {});
        how.cleanEnv = true;
        return std::make_unique<Companion>(session->envMap(), how);
    }
};

int64_t nextId = 1;

// A program of the session, stopped with its process group when it goes.
struct Program {
    Program(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env = {})
        : pid(session->spawn(argv, env)) {}
    ~Program() { harness::stopGroup(pid); }
    pid_t pid;
};

json::object ask(Companion& c, json::object req) {
    req["id"] = nextId++;
    return c.ask(req, 20s);
}

json::object front(Companion& c, std::optional<int64_t> dovk = std::nullopt) {
    json::object req{{"cmd", "front"}};
    if (dovk) req["dovk"] = *dovk;
    return ask(c, req);
}

// Asks "front" until `pred` holds (the Shell and the companion catch up
// asynchronously); the last reply.
json::object frontUntil(Companion& c, const std::function<bool(const json::object&)>& pred,
                        std::optional<int64_t> dovk = std::nullopt, int tries = 300) {
    json::object r;
    for (int i = 0; i < tries; ++i) {
        r = front(c, dovk);
        if (pred(r)) return r;
        std::this_thread::sleep_for(100ms);
    }
    return r;
}

bool granted(const json::object& r) { return r.at("granted") == json::value(true); }

int64_t pidIn(const json::object& r) {
    return r.contains("app") ? r.at("app").at("pid").as_int64() : 0;
}

std::string titleIn(const json::object& r) {
    return r.contains("window") ? std::string(r.at("window").at("title").as_string()) : "";
}

std::string unbase64(json::string_view s) {
    auto v = [](char c) -> int {
        if (c >= 'A' && c <= 'Z') return c - 'A';
        if (c >= 'a' && c <= 'z') return c - 'a' + 26;
        if (c >= '0' && c <= '9') return c - '0' + 52;
        return c == '+' ? 62 : c == '/' ? 63 : -1;
    };
    std::string out;
    int bits = 0, acc = 0;
    for (char c : s) {
        int d = v(c);
        if (d < 0) continue;
        acc = acc << 6 | d;
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out += char(acc >> bits & 0xff);
        }
    }
    return out;
}

// The mean colour of the middle half of a capture reply's JPEG.
uint32_t middleColor(const json::object& r) {
    std::string jpeg = unbase64(r.at("jpeg").as_string());
    tjhandle tj = tjInitDecompress();
    int w = 0, h = 0, sub = 0, cs = 0;
    auto* bytes = reinterpret_cast<const unsigned char*>(jpeg.data());
    uint64_t sum[3] = {0, 0, 0}, n = 0;
    if (tjDecompressHeader3(tj, bytes, jpeg.size(), &w, &h, &sub, &cs) == 0) {
        std::vector<uint8_t> rgb(size_t(w) * size_t(h) * 3);
        if (tjDecompress2(tj, bytes, jpeg.size(), rgb.data(), w, 0, h, TJPF_RGB, 0) == 0)
            for (int y = h / 4; y < 3 * h / 4; ++y)
                for (int x = w / 4; x < 3 * w / 4; ++x, ++n)
                    for (int k = 0; k < 3; ++k) sum[k] += rgb[(size_t(y) * w + x) * 3 + k];
    }
    tjDestroy(tj);
    if (!n) return 0xffffffff;
    return uint32_t(sum[0] / n) << 16 | uint32_t(sum[1] / n) << 8 | uint32_t(sum[2] / n);
}

bool near(uint32_t a, uint32_t b, int tolerance = 24) {
    for (int shift : {16, 8, 0})
        if (std::abs(int(a >> shift & 0xff) - int(b >> shift & 0xff)) > tolerance) return false;
    return true;
}

std::string readAll(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

TEST_F(Gnome, FrontOfWaylandAndXwaylandPrograms) {
    auto c = companion();
    // The Shell has no window focused at first; the report falls back to the
    // topmost usable window.
    auto demoProgram = std::make_unique<Program>(
        std::vector<std::string>{"/usr/bin/gtk3-demo"},
        std::map<std::string, std::string>{{"GDK_BACKEND", "wayland"}});
    pid_t demo = demoProgram->pid;
    // Its first report may come before the window names its application.
    json::object r = frontUntil(*c, [&](const json::object& r) {
        return pidIn(r) == demo && r.contains("window") &&
               !r.at("app").at("bundle").as_string().empty();
    });
    ASSERT_EQ(pidIn(r), demo) << json::serialize(r);
    EXPECT_TRUE(granted(r));
    const json::object& app = r.at("app").as_object();
    EXPECT_EQ(app.at("bundle"), json::value("gtk3-demo")) << json::serialize(r);
    EXPECT_EQ(app.at("name"), json::value("GTK+ Demo"));
    EXPECT_EQ(app.at("path"), json::value("/usr/share/applications/gtk3-demo.desktop"));
    EXPECT_FALSE(app.at("icon").as_string().empty());
    const json::object& win = r.at("window").as_object();
    EXPECT_GT(win.at("id").as_int64(), 0);
    EXPECT_FALSE(win.at("title").as_string().empty());
    EXPECT_GE(win.at("w").to_number<double>(), 200);
    EXPECT_GE(win.at("h").to_number<double>(), 120);

    // Alone, so that it is in front whether or not the Shell focused the demo.
    demoProgram.reset();
    Program xtermProgram({"/usr/bin/xterm", "-title", "xterm on Xwayland", "-geometry", "90x30",
                          "-e", "sleep", "600"});
    pid_t xterm = xtermProgram.pid;
    r = frontUntil(*c, [&](const json::object& r) { return titleIn(r) == "xterm on Xwayland"; });
    ASSERT_EQ(pidIn(r), xterm) << json::serialize(r);
    EXPECT_EQ(r.at("app").at("bundle"), json::value("debian-xterm")) << json::serialize(r);
    EXPECT_EQ(r.at("app").at("name"), json::value("XTerm"));
    EXPECT_EQ(r.at("app").at("path"), json::value("/usr/share/applications/debian-xterm.desktop"));
    // Its entry's icon, mini.xterm, has no file of that name: no icon.
    EXPECT_EQ(titleIn(r), "xterm on Xwayland");
    EXPECT_GE(r.at("window").at("w").to_number<double>(), 200);
}

TEST_F(Gnome, ActivationsAndTheHostFallback) {
    auto c = companion();
    TestWin a(session->xDisplay), b(session->xDisplay), host(session->xDisplay);
    ASSERT_NE(a.open("a1", "title=Other w=500 h=400 color=00ff00"), 0u);
    ASSERT_NE(b.open("b", "title=Middle w=500 h=400 color=ff00ff"), 0u);
    ASSERT_NE(a.open("a2", "title=Small w=150 h=100"), 0u);
    ASSERT_NE(host.open("h", "title=Host w=500 h=400 color=0000ff"), 0u);
    a.command("activate a2");
    // Its small window is in front and unusable: its other one is reported.
    json::object r = frontUntil(*c, [&](const json::object& r) { return pidIn(r) == a.pid; });
    ASSERT_EQ(titleIn(r), "Other") << json::serialize(r);
    host.command("activate h");
    // The host in front: the report names the application that was active
    // before it (not the topmost other window, b's).
    r = frontUntil(*c, [&](const json::object& r) { return pidIn(r) != host.pid && pidIn(r) != 0; },
                   host.pid);
    EXPECT_EQ(pidIn(r), a.pid) << json::serialize(r);
    EXPECT_EQ(titleIn(r), "Other");
}

TEST_F(Gnome, CaptureOfACoveredWindowShowsItsOwnPixels) {
    auto c = companion();
    TestWin t(session->xDisplay);
    // The red window's number, from a report that names it.
    ASSERT_NE(t.open("red", "title=Red w=640 h=480 color=ff0000"), 0u);
    t.command("activate red");
    json::object r = frontUntil(*c, [&](const json::object& r) { return titleIn(r) == "Red"; });
    ASSERT_EQ(titleIn(r), "Red") << json::serialize(r);
    int64_t redId = r.at("window").at("id").as_int64();
    // Painted before it is covered: a window the Shell has not drawn yet has
    // no pixels of its own to show.
    for (int i = 0; i < 100; ++i) {
        json::object first = ask(*c, {{"cmd", "capture"}, {"window", redId}, {"edge", 320}});
        if (first.at("ok") == json::value(true) && near(middleColor(first), 0xff0000)) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    // A window of the same program over the whole work area, in front.
    t.open("cover", "title=Cover w=1800 h=1000 color=0000ff");  // may map after testwin gives up
    t.command("activate cover");
    r = frontUntil(*c, [&](const json::object& r) { return titleIn(r) == "Cover"; });
    ASSERT_EQ(titleIn(r), "Cover") << json::serialize(r);

    json::object shot = ask(*c, {{"cmd", "capture"}, {"window", redId}, {"edge", 320}});
    ASSERT_EQ(shot.at("ok"), json::value(true)) << shot.at("error");
    EXPECT_EQ(shot.at("w"), json::value(320));
    // The frame: the window and the title bar the Shell draws for it.
    EXPECT_GE(shot.at("h").as_int64(), 240);
    EXPECT_LE(shot.at("h").as_int64(), 280);
    EXPECT_TRUE(near(middleColor(shot), 0xff0000)) << std::hex << middleColor(shot);

    // Closed after it was listed: "gone", never another window's pixels.
    t.command("close red");
    t.command("sync");
    json::object gone;
    for (int i = 0; i < 100; ++i) {
        gone = ask(*c, {{"cmd", "capture"}, {"window", redId}, {"edge", 320}});
        if (gone.at("ok") == json::value(false)) break;
        std::this_thread::sleep_for(50ms);
    }
    EXPECT_EQ(gone.at("ok"), json::value(false));
    EXPECT_EQ(gone.at("error"), json::value("gone"));
}

TEST_F(Gnome, HostileTitlesStayBoundedAndValid) {
    auto c = companion();
    TestWin t(session->xDisplay);
    ASSERT_NE(t.open("big", "w=600 h=400"), 0u);
    t.command("title big " + std::string(1 << 20, 'x'));
    t.command("activate big");
    json::object r = frontUntil(*c, [&](const json::object& r) {
        return pidIn(r) == t.pid && titleIn(r).rfind("xxx", 0) == 0;
    });
    EXPECT_EQ(pidIn(r), t.pid) << json::serialize(r).substr(0, 300);
    EXPECT_LE(titleIn(r).size(), 16u * 1024);
    EXPECT_GE(titleIn(r).size(), 100u);  // the Shell keeps the first 512 characters

    t.command("title big bad\xff\xfe\xc3(title");
    r = frontUntil(*c, [&](const json::object& r) { return titleIn(r).rfind("bad", 0) == 0; });
    EXPECT_EQ(pidIn(r), t.pid);  // the reply parsed: its text is valid UTF-8
    EXPECT_EQ(titleIn(r).rfind("bad", 0), 0u) << titleIn(r);
}

TEST_F(Gnome, OnlyTheCompanionIsAnswered) {
    std::string log = session->home->path + "/busctl.log";
    pid_t p = session->spawn({"/usr/bin/busctl", "--user", "call", "org.companion.Windows",
                              "/org/companion/Windows", "org.companion.Windows", "List"},
                             {}, log);
    int status = 0;
    waitpid(p, &status, 0);
    EXPECT_NE(WEXITSTATUS(status), 0);
    EXPECT_NE(readAll(log).find("denied"), std::string::npos) << readAll(log);
    // The companion itself is answered.
    auto c = companion();
    EXPECT_TRUE(granted(frontUntil(*c, granted)));
}

TEST_F(Gnome, AnExtensionThatDoesNotAnswerCostsABoundedWait) {
    auto c = companion();
    ASSERT_TRUE(granted(frontUntil(*c, granted)));
    ::kill(session->shell, SIGSTOP);
    std::this_thread::sleep_for(1200ms);  // past the remembered answer
    json::object r = front(*c);
    json::object shot = ask(*c, {{"cmd", "capture"}, {"window", 1}, {"edge", 100}});
    ::kill(session->shell, SIGCONT);
    EXPECT_FALSE(granted(r)) << json::serialize(r);
    EXPECT_EQ(shot.at("ok"), json::value(false));
    EXPECT_TRUE(granted(frontUntil(*c, granted)));
}

// Windows asked for the moment they appear, while others close: a window the
// Shell has not drawn yet, or one going away, has no picture to give, and
// asking for it must not bring the Shell down.
TEST_F(Gnome, CapturesOfWindowsComingAndGoingLeaveTheShellRunning) {
    auto c = companion();
    TestWin t(session->xDisplay);
    ASSERT_NE(t.open("first", "title=First w=300 h=300"), 0u);
    t.command("activate first");
    json::object r = frontUntil(*c, [&](const json::object& r) { return titleIn(r) == "First"; });
    ASSERT_EQ(titleIn(r), "First") << json::serialize(r);
    // Numbers count up: the next windows take the ones after the newest.
    int64_t newest = r.at("window").at("id").as_int64();
    for (int round = 0; round < 6; ++round) {
        std::string name = "n" + std::to_string(round);
        t.open(name, "w=" + std::to_string(300 + 20 * round) + " h=300 color=00ff00");
        for (int i = 0; i < 30; ++i)
            for (int64_t id = newest + 1; id <= newest + 3; ++id)
                ask(*c, {{"cmd", "capture"}, {"window", id}, {"edge", 100}});
        if (round % 2) t.command("close n" + std::to_string(round - 1));
        r = front(*c);
        if (r.contains("window")) newest = std::max(newest, r.at("window").at("id").as_int64());
    }
    ASSERT_TRUE(session->shellRunning()) << session->shellLog();
    EXPECT_TRUE(granted(frontUntil(*c, granted)));
    std::string log = session->shellLog(std::string::npos);
    EXPECT_EQ(log.find("uncatchable"), std::string::npos) << log;
}

// Last: it restarts the Shell twice.
TEST_F(Gnome, ZAllowInstallsAndEnablesAndANewShellServes) {
    auto c = companion();
    ASSERT_TRUE(granted(frontUntil(*c, granted)));
    session->stopShell();
    session->removeExtension();
    session->startShell();
    setenv("XAUTHORITY", session->xAuthority.c_str(), 1);
    // The same companion, a new Shell without the extension.
    json::object r = frontUntil(*c, [](const json::object& r) { return !granted(r); });
    EXPECT_FALSE(granted(r));
    json::object allowed = ask(*c, {{"cmd", "allow"}});
    EXPECT_EQ(allowed.at("granted"), json::value(false)) << json::serialize(allowed);
    EXPECT_TRUE(fs::exists(session->extensionDir() + "/extension.js"));
    EXPECT_EQ(readAll(session->extensionDir() + "/trusted"), std::string(COMPANION_BIN) + "\n");
    EXPECT_NE(session->settingsText().find("windows@companion"), std::string::npos)
        << session->settingsText();

    // The next login loads it: the Shell restarted under the running companion.
    session->stopShell();
    session->startShell();
    setenv("XAUTHORITY", session->xAuthority.c_str(), 1);
    r = frontUntil(*c, granted);
    if (!granted(r)) {
        std::string log = session->home->path + "/info.log";
        pid_t p = session->spawn({"/usr/bin/gdbus", "call", "--session", "-d", "org.gnome.Shell",
                                  "-o", "/org/gnome/Shell", "-m",
                                  "org.gnome.Shell.Extensions.GetExtensionInfo",
                                  "windows@companion"}, {}, log);
        int status = 0;
        waitpid(p, &status, 0);
        FAIL() << readAll(log) << "\n" << session->settingsText() << "\n" << session->shellLog();
    }
    TestWin t(session->xDisplay);
    ASSERT_NE(t.open("late", "title=Late w=500 h=400"), 0u);
    t.command("activate late");
    r = frontUntil(*c, [&](const json::object& r) { return titleIn(r) == "Late"; });
    EXPECT_EQ(pidIn(r), t.pid) << json::serialize(r);
    EXPECT_EQ(titleIn(r), "Late");
    EXPECT_EQ(c->stderrText(), "");
}

}  // namespace
