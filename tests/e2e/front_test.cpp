// The "front" command end to end: the real companion against a private Xvfb
// with openbox, test windows of separate processes and real X clients.
#include "platform/codec/png.hpp"
#include "tests/harness/companion.hpp"
#include "tests/harness/display.hpp"
#include "tests/harness/resources.hpp"
#include "tests/harness/testwin.hpp"

#include <boost/json/serialize.hpp>
#include <gtest/gtest.h>
#include <xcb/xcb.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <thread>
#include <unistd.h>

namespace {

namespace json = boost::json;
namespace fs = std::filesystem;
using harness::Companion;
using harness::TestWin;
using namespace std::chrono_literals;

json::object frontOf(Companion& c, std::optional<int64_t> dovk = std::nullopt) {
    static int64_t next = 1;
    json::object req{{"cmd", "front"}, {"id", next++}};
    if (dovk) req["dovk"] = *dovk;
    return c.ask(req);
}

int64_t pidIn(const json::object& r) {
    if (!r.contains("app")) return 0;
    return r.at("app").at("pid").as_int64();
}

int64_t windowIn(const json::object& r) {
    if (!r.contains("window")) return 0;
    return r.at("window").at("id").as_int64();
}

// _NET_ACTIVE_WINDOW as the window manager has set it, 0 when none.
uint32_t activeWindow(const std::string& display) {
    xcb_connection_t* c = xcb_connect(display.c_str(), nullptr);
    uint32_t active = 0;
    if (!xcb_connection_has_error(c)) {
        xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
        const char name[] = "_NET_ACTIVE_WINDOW";
        auto* a = xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, sizeof name - 1, name), nullptr);
        if (a) {
            auto* p = xcb_get_property_reply(
                c, xcb_get_property(c, 0, root, a->atom, XCB_ATOM_WINDOW, 0, 1), nullptr);
            if (p && xcb_get_property_value_length(p) == 4)
                active = *static_cast<uint32_t*>(xcb_get_property_value(p));
            free(p);
        }
        free(a);
    }
    xcb_disconnect(c);
    return active;
}

bool waitActive(const std::string& display, uint32_t window) {
    for (int i = 0; i < 200; ++i) {
        if (activeWindow(display) == window) return true;
        usleep(20000);
    }
    return false;
}

// Asks until `pid` is reported (activations reach the window manager and the
// companion asynchronously).
json::object frontUntil(Companion& c, int64_t pid, std::optional<int64_t> dovk = std::nullopt) {
    json::object r;
    for (int i = 0; i < 100; ++i) {
        r = frontOf(c, dovk);
        if (pidIn(r) == pid) break;
        std::this_thread::sleep_for(30ms);
    }
    return r;
}

std::string exeOf(pid_t pid) {
    return fs::read_symlink("/proc/" + std::to_string(pid) + "/exe").string();
}

void expectOnlyKeys(const json::object& r, std::set<std::string> keys) {
    std::set<std::string> got;
    for (auto& kv : r) got.insert(std::string(kv.key()));
    EXPECT_EQ(got, keys) << json::serialize(r);
}

std::string base64Decode(const std::string& text) {
    static const std::string kAlphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    uint32_t acc = 0;
    int bits = 0;
    for (char ch : text) {
        if (ch == '=') break;
        acc = acc << 6 | uint32_t(kAlphabet.find(ch));
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(char(acc >> bits & 0xFF));
        }
    }
    return out;
}

std::optional<platform::RgbaImage> iconIn(const json::object& r, uint8_t* colorType = nullptr) {
    if (!r.contains("app")) return std::nullopt;
    std::string text(r.at("app").at("icon").as_string());
    if (text.empty()) return std::nullopt;
    EXPECT_EQ(text.size() % 4, 0u);
    EXPECT_EQ(text.find_first_not_of(
                  "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/="),
              std::string::npos);
    std::string png = base64Decode(text);
    if (colorType && png.size() > 25) *colorType = uint8_t(png[25]);  // IHDR colour type
    return platform::decodePng(png, 4096);
}

struct Front : ::testing::Test {
    harness::Display display;
    std::map<std::string, std::string> env() { return {{"DISPLAY", display.name}}; }
};

TEST_F(Front, FrontmostOtherApplicationAndItsWindow) {
    const char* clock[] = {"xclock", "-geometry", "300x300+600+50", nullptr};
    pid_t xclock = harness::spawnClient(display.name, clock);
    TestWin a(display.name);
    uint32_t wa = a.open("a", "title=Alpha w=800 h=600 class=alpha.Alpha");
    ASSERT_TRUE(waitActive(display.name, wa));
    Companion c(env());

    auto r = frontUntil(c, a.pid);
    EXPECT_EQ(r["granted"], json::value(true));
    ASSERT_TRUE(r["ms"].is_number());
    EXPECT_GE(r["ms"].to_number<double>(), 0.0);
    EXPECT_LT(r["ms"].to_number<double>(), 1000.0);
    auto& app = r["app"].as_object();
    EXPECT_EQ(app["name"], json::value("Alpha"));  // WM_CLASS class: no desktop entry
    EXPECT_EQ(app["bundle"], json::value(""));
    EXPECT_EQ(app["path"], json::value(exeOf(a.pid)));
    if (!app["icon"].as_string().empty()) {  // openbox's default icon, when it set one
        auto icon = iconIn(r);
        ASSERT_TRUE(icon);
        EXPECT_EQ(icon->width, 64);
    }
    auto& win = r["window"].as_object();
    EXPECT_EQ(win["id"], json::value(int64_t(wa)));
    EXPECT_EQ(win["title"], json::value("Alpha"));
    EXPECT_EQ(win["w"], json::value(800));
    EXPECT_EQ(win["h"], json::value(600));
    expectOnlyKeys(r, {"granted", "ms", "app", "window", "id"});

    // A real client: xterm, its pid from the server, its own title.
    const char* term[] = {"xterm", "-T", "real term", "-geometry", "80x24+100+100", nullptr};
    pid_t xterm = harness::spawnClient(display.name, term);
    r = frontUntil(c, xterm);
    EXPECT_EQ(pidIn(r), xterm);
    EXPECT_EQ(r["window"].at("title"), json::value("real term"));
    EXPECT_FALSE(r["app"].at("name").as_string().empty());
    EXPECT_FALSE(r["app"].at("path").as_string().empty());

    c.closeInput();
    EXPECT_EQ(c.wait(), 0);
    EXPECT_EQ(c.stderrText(), "");
    harness::stopClient(xterm);
    harness::stopClient(xclock);
}

TEST_F(Front, HostFrontmostFallsBackToLastOtherBehindOtherWindows) {
    TestWin other(display.name), a(display.name), host(display.name);
    uint32_t wc = other.open("c", "w=900 h=700");
    ASSERT_TRUE(waitActive(display.name, wc));
    uint32_t wa = a.open("a", "title=Behind w=640 h=480");
    ASSERT_TRUE(waitActive(display.name, wa));
    Companion c(env());  // A frontmost at start: the seed
    frontOf(c, host.pid);
    uint32_t wh = host.open("h", "w=1000 h=800");
    ASSERT_TRUE(waitActive(display.name, wh));
    other.command("raise c");  // in front of everything, not activated
    ASSERT_EQ(activeWindow(display.name), wh);

    auto r = frontOf(c);
    EXPECT_EQ(pidIn(r), a.pid) << json::serialize(r);
    EXPECT_EQ(windowIn(r), wa);
    EXPECT_EQ(r["window"].at("title"), json::value("Behind"));

    // The observer: another application becomes active, then the host again.
    other.command("activate c");
    ASSERT_TRUE(waitActive(display.name, wc));
    frontUntil(c, other.pid);
    host.command("activate h");
    ASSERT_TRUE(waitActive(display.name, wh));
    r = frontUntil(c, other.pid);
    EXPECT_EQ(pidIn(r), other.pid);
    EXPECT_EQ(windowIn(r), wc);

    // "dovk" naming the frontmost application makes it the host: its own
    // activation is ignored and the report falls back to the last other one.
    frontOf(c, a.pid);
    a.command("activate a");
    ASSERT_TRUE(waitActive(display.name, wa));
    r = frontOf(c, a.pid);
    EXPECT_EQ(pidIn(r), other.pid) << json::serialize(r);
    EXPECT_EQ(windowIn(r), wc);
    EXPECT_EQ(c.stderrText(), "");
}

TEST_F(Front, CandidateWithoutUsableWindowMovesToAnotherApplication) {
    TestWin b(display.name), host(display.name), a(display.name);
    uint32_t wb = b.open("b", "title=Bee w=400 h=300");
    host.open("h", "w=800 h=600");
    a.open("narrow", "w=199 h=500");
    uint32_t faint = a.open("faint", "w=800 h=600 opacity=0.1");
    uint32_t dock = a.open("dock", "w=800 h=60 type=dock");
    ASSERT_NE(dock, 0u);
    ASSERT_TRUE(waitActive(display.name, faint));
    Companion c(env());
    auto r = frontOf(c, host.pid);
    EXPECT_EQ(pidIn(r), b.pid) << json::serialize(r);
    EXPECT_EQ(windowIn(r), wb);
    EXPECT_EQ(r["window"].at("title"), json::value("Bee"));
    EXPECT_EQ(r["app"].at("pid"), json::value(b.pid));

    // With only the host's and the narrow windows left, no window; the
    // candidate is still reported.
    b.quit();
    r = frontOf(c);
    for (int i = 0; i < 50 && r.contains("window"); ++i) {
        std::this_thread::sleep_for(20ms);
        r = frontOf(c);
    }
    EXPECT_FALSE(r.contains("window")) << json::serialize(r);
    EXPECT_EQ(pidIn(r), a.pid);
}

TEST_F(Front, EmptyDesktopHasNeitherAppNorWindow) {
    Companion c(env());
    auto r = frontOf(c);
    EXPECT_EQ(r["granted"], json::value(true));
    expectOnlyKeys(r, {"granted", "ms", "id"});
}

TEST(FrontNoDisplay, NotGrantedAndNothingReported) {
    Companion c(std::map<std::string, std::string>{{"DISPLAY", ""}});
    auto r = frontOf(c, 12345);
    EXPECT_EQ(r["granted"], json::value(false));
    expectOnlyKeys(r, {"granted", "ms", "id"});
    Companion bad(std::map<std::string, std::string>{{"DISPLAY", ":4097"}});
    r = frontOf(bad);
    EXPECT_EQ(r["granted"], json::value(false));
    expectOnlyKeys(r, {"granted", "ms", "id"});
    EXPECT_EQ(c.stderrText(), "");
    EXPECT_EQ(bad.stderrText(), "");
}

TEST_F(Front, IconIs64x64PngWithAlphaRenderedOnce) {
    TestWin a(display.name);
    uint32_t w = a.open("a", "w=500 h=400 icon=128x128");
    ASSERT_TRUE(waitActive(display.name, w));
    Companion c(env());
    auto r = frontUntil(c, a.pid);
    uint8_t colorType = 0;
    auto icon = iconIn(r, &colorType);
    ASSERT_TRUE(icon) << json::serialize(r).substr(0, 300);
    EXPECT_EQ(colorType, 6);  // RGBA
    ASSERT_EQ(icon->width, 64);
    ASSERT_EQ(icon->height, 64);
    auto px = [&](int x, int y) { return &icon->rgba[size_t(y * 64 + x) * 4]; };
    EXPECT_EQ(px(8, 8)[0], 255);  // left: red, opaque
    EXPECT_EQ(px(8, 8)[2], 0);
    EXPECT_EQ(px(8, 8)[3], 255);
    EXPECT_EQ(px(56, 8)[2], 255);  // right: blue
    EXPECT_NEAR(px(8, 56)[3], 128, 2);  // lower half: half transparent

    // Cached: a new icon on the window does not change the text.
    std::string first(r["app"].at("icon").as_string());
    a.command("icon a 32x32");
    r = frontOf(c);
    EXPECT_EQ(r["app"].at("icon"), json::value(first));
}

TEST_F(Front, IconFromTheDesktopEntryAndTheTheme) {
    fs::path dir = fs::temp_directory_path() / ("front_test_" + std::to_string(getpid()));
    fs::create_directories(dir / "applications");
    fs::create_directories(dir / "icons/hicolor/48x48/apps");
    fs::create_directories(dir / "icons/hicolor/128x128/apps");
    fs::create_directories(dir / "icons/hicolor/256x256/apps");
    std::ofstream(dir / "applications/org.example.Themed.desktop")
        << "[Desktop Entry]\nType=Application\nName=Themed App\nExec=themed\n"
           "Icon=themed-icon\nStartupWMClass=ThemedClass\n";
    auto write = [&](const char* sizeDir, int side, uint8_t r, uint8_t g) {
        platform::RgbaImage img{side, side, {}};
        for (int i = 0; i < side * side; ++i) img.rgba.insert(img.rgba.end(), {r, g, 0, 255});
        std::ofstream(dir / "icons/hicolor" / sizeDir / "apps/themed-icon.png", std::ios::binary)
            << *platform::renderPng(img, side, side);
    };
    write("48x48", 48, 255, 0);
    write("128x128", 128, 0, 255);  // the smallest at least 64
    write("256x256", 256, 255, 255);
    // The user's own entry for the same class, deleted with Hidden=true.
    fs::create_directories(dir / "home/applications");
    std::ofstream(dir / "home/applications/org.example.Ghost.desktop")
        << "[Desktop Entry]\nType=Application\nName=Ghost\nHidden=true\n"
           "StartupWMClass=ThemedClass\n";

    TestWin a(display.name);
    uint32_t w = a.open("a", "w=500 h=400 class=themed.ThemedClass");
    ASSERT_TRUE(waitActive(display.name, w));
    Companion c({{"DISPLAY", display.name},
                 {"XDG_DATA_DIRS", dir.string()},
                 {"XDG_DATA_HOME", (dir / "home").string()}});
    auto r = frontUntil(c, a.pid);
    ASSERT_TRUE(r.contains("app")) << json::serialize(r);
    EXPECT_EQ(r["app"].at("name"), json::value("Themed App"));
    EXPECT_EQ(r["app"].at("bundle"), json::value("org.example.Themed"));
    EXPECT_EQ(r["app"].at("path"),
              json::value((dir / "applications/org.example.Themed.desktop").string()));
    auto icon = iconIn(r);
    ASSERT_TRUE(icon);
    EXPECT_EQ(icon->width, 64);
    EXPECT_EQ(icon->rgba[0], 0);
    EXPECT_EQ(icon->rgba[1], 255);
    fs::remove_all(dir);
}

TEST_F(Front, HostileWindowsNeitherCrashNorCorruptTheReply) {
    TestWin a(display.name);
    uint32_t w = a.open("a", "w=500 h=400");
    ASSERT_TRUE(waitActive(display.name, w));
    Companion c(env());
    auto r = frontUntil(c, a.pid);

    std::string big;
    while (big.size() < (1u << 20)) big += "\xc3\xa9t\xc3\xa9 \"\\\t ";
    ASSERT_EQ(a.command("title a " + big).substr(0, 2), "ok");
    r = frontOf(c);
    EXPECT_EQ(r["window"].at("title"), json::value(big));

    a.command("title a bad\xff\xfe end\xed\xa0\x80");
    r = frontOf(c);
    EXPECT_EQ(r["window"].at("title"),
              json::value("bad\xef\xbf\xbd\xef\xbf\xbd end\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"));

    a.command("wmname a caf\xe9");  // Latin-1, as WM_NAME is by convention
    r = frontOf(c);
    EXPECT_EQ(r["window"].at("title"), json::value("caf\xc3\xa9"));

    // Windows that vanish between the list and the lookups.
    std::atomic<bool> stop = false;
    std::thread churn([&] {
        xcb_connection_t* x = xcb_connect(display.name.c_str(), nullptr);
        xcb_screen_t* s = xcb_setup_roots_iterator(xcb_get_setup(x)).data;
        while (!stop) {
            xcb_window_t ids[8];
            for (auto& id : ids) {
                id = xcb_generate_id(x);
                xcb_create_window(x, XCB_COPY_FROM_PARENT, id, s->root, 0, 0, 640, 480, 0,
                                  XCB_WINDOW_CLASS_INPUT_OUTPUT, s->root_visual, 0, nullptr);
                xcb_map_window(x, id);
            }
            xcb_flush(x);
            usleep(2000);
            for (auto id : ids) xcb_destroy_window(x, id);
            free(xcb_get_input_focus_reply(x, xcb_get_input_focus(x), nullptr));
        }
        xcb_disconnect(x);
    });
    for (int i = 0; i < 200; ++i) {
        auto f = frontOf(c);
        ASSERT_EQ(f["granted"], json::value(true));
        if (f.contains("window") && f.contains("app")) {
            EXPECT_TRUE(f["window"].at("id").is_int64());
        }
    }
    stop = true;
    churn.join();
    r = frontOf(c);
    EXPECT_EQ(pidIn(r), a.pid);
    c.closeInput();
    EXPECT_EQ(c.wait(), 0);
    EXPECT_EQ(c.stderrText(), "");
}

// No window manager: the root's children in stacking order, the focus for the
// frontmost window, and _NET_WM_ICON exactly as the client wrote it.
TEST(FrontWithoutWindowManager, StackingOrderFocusAndALyingIcon) {
    harness::Display display(false);
    TestWin a(display.name), b(display.name);
    uint32_t wa = a.open("a", "title=Liar w=500 h=400 icon=16x16:100000x100000");
    uint32_t wb = b.open("b", "title=Top w=600 h=400");
    // Minimised but left mapped, as some window managers do: not on screen.
    uint32_t wm = b.open("m", "title=Minimised w=700 h=500 state=hidden");
    ASSERT_NE(wa, 0u);
    ASSERT_NE(wb, 0u);
    ASSERT_NE(wm, 0u);
    Companion c({{"DISPLAY", display.name}});
    auto r = frontOf(c);  // nothing has the focus: the topmost usable window
    EXPECT_EQ(windowIn(r), wb) << json::serialize(r);
    EXPECT_EQ(pidIn(r), b.pid);

    xcb_connection_t* x = xcb_connect(display.name.c_str(), nullptr);
    xcb_set_input_focus(x, XCB_INPUT_FOCUS_PARENT, wa, XCB_CURRENT_TIME);
    free(xcb_get_input_focus_reply(x, xcb_get_input_focus(x), nullptr));
    xcb_disconnect(x);
    r = frontOf(c);
    EXPECT_EQ(windowIn(r), wa) << json::serialize(r);
    EXPECT_EQ(pidIn(r), a.pid);
    EXPECT_EQ(r["window"].at("title"), json::value("Liar"));
    EXPECT_EQ(r["app"].at("icon"), json::value("")) << "a lying icon is skipped";

    a.command("icon a 16x16:65536x65536");  // wraps to 0 in 32-bit arithmetic
    r = frontOf(c);
    EXPECT_EQ(r["app"].at("icon"), json::value(""));
    a.command("icon a 2000x2000");  // real, but past the size believed
    r = frontOf(c);
    EXPECT_EQ(r["app"].at("icon"), json::value(""));
    a.command("icon a 20x20");
    r = frontOf(c);
    auto icon = iconIn(r);
    ASSERT_TRUE(icon);
    EXPECT_EQ(icon->width, 64);
    c.closeInput();
    EXPECT_EQ(c.wait(), 0);
    EXPECT_EQ(c.stderrText(), "");
}

// Windows that can never be chosen, each with a title of megabytes, in front
// of the one the user works in: its title comes back whole and the huge ones
// are not all held at once.
TEST(FrontWithoutWindowManager, HugeTitlesInFrontAreNotAllHeld) {
    harness::Display display(false);
    TestWin good(display.name), bad(display.name);
    uint32_t wg = good.open("g", "title=Good w=600 h=400");
    ASSERT_NE(wg, 0u);
    std::string huge((4u << 20) - 1, 'x');
    for (int i = 0; i < 24; ++i) {
        std::string name = "b" + std::to_string(i);
        ASSERT_NE(bad.open(name, "w=100 h=50"), 0u);
        ASSERT_EQ(bad.command("title " + name + " " + huge).substr(0, 2), "ok");
    }
    xcb_connection_t* x = xcb_connect(display.name.c_str(), nullptr);
    xcb_set_input_focus(x, XCB_INPUT_FOCUS_PARENT, wg, XCB_CURRENT_TIME);
    free(xcb_get_input_focus_reply(x, xcb_get_input_focus(x), nullptr));
    xcb_disconnect(x);

    // Freed memory goes back at once, also in a sanitizer build.
    const char* asan = std::getenv("ASAN_OPTIONS");
    std::string options = std::string(asan ? asan : "") + ":quarantine_size_mb=0";
    Companion c({{"DISPLAY", display.name}, {"ASAN_OPTIONS", options}});
    c.ask({{"cmd", "allow"}});
    long before = harness::sample(c.pid, "").peakKb;
    auto r = frontOf(c);
    long after = harness::sample(c.pid, "").peakKb;
    EXPECT_EQ(windowIn(r), wg);
    EXPECT_EQ(r["window"].at("title"), json::value("Good"));
    EXPECT_LT(after - before, 48 << 10) << "KiB more at the peak, for 96 MiB of titles";
    EXPECT_EQ(c.stderrText(), "");
}

TEST_F(Front, ActivationsAreFollowedAgainAfterTheServerComesBack) {
    Companion c(env());
    frontOf(c);
    display.restart();
    TestWin a(display.name), b(display.name), host(display.name);
    auto r = frontOf(c, host.pid);  // reconnects
    EXPECT_EQ(r["granted"], json::value(true));
    uint32_t wa = a.open("a", "w=600 h=400");
    ASSERT_TRUE(waitActive(display.name, wa));
    frontUntil(c, a.pid);
    uint32_t wh = host.open("h", "w=800 h=600");
    ASSERT_TRUE(waitActive(display.name, wh));
    // B activated last, then the host again. The notification carries no
    // value, so an activation over before the watcher reads the property
    // cannot be seen: B's lasts a moment.
    uint32_t wb = b.open("b", "w=300 h=300");
    ASSERT_TRUE(waitActive(display.name, wb));
    std::this_thread::sleep_for(100ms);
    host.command("activate h");
    ASSERT_TRUE(waitActive(display.name, wh));
    r = frontUntil(c, b.pid);
    EXPECT_EQ(pidIn(r), b.pid) << json::serialize(r);
    EXPECT_EQ(c.stderrText(), "");
}

// The application that became active while no connection watched (the
// server was away) is noted once the watcher is back: it is the last other
// application when the host comes to the front, not a window stacked above.
TEST_F(Front, ApplicationActiveWhenTheWatcherComesBackIsNoted) {
    Companion c(env());
    frontOf(c);
    display.restart();
    TestWin a(display.name), b(display.name), host(display.name);
    uint32_t wh = host.open("h", "w=800 h=600");
    uint32_t wb = b.open("b", "w=640 h=480");
    uint32_t wa = a.open("a", "w=600 h=400");
    ASSERT_TRUE(wh && wb && wa && waitActive(display.name, wa));
    EXPECT_EQ(pidIn(frontOf(c, host.pid)), a.pid);  // reconnects
    c.ask({{"cmd", "allow"}});  // served after the watcher attached
    b.command("raise b");  // above a, still not active
    b.command("sync");
    ASSERT_EQ(activeWindow(display.name), wa);
    host.command("activate h");
    ASSERT_TRUE(waitActive(display.name, wh));
    auto r = frontUntil(c, a.pid, host.pid);
    EXPECT_EQ(pidIn(r), a.pid) << json::serialize(r);
    EXPECT_EQ(windowIn(r), wa);
}

// Capture jobs make round trips on other threads all the time; an activation
// that happens meanwhile is still seen, however briefly it lasts.
TEST_F(Front, ActivationsAreSeenWhileCapturesRun) {
    TestWin other(display.name), a(display.name), host(display.name);
    uint32_t wc = other.open("c", "w=1900 h=1100");
    uint32_t wa = a.open("a", "w=640 h=480");
    uint32_t wh = host.open("h", "w=800 h=600");
    ASSERT_TRUE(wc && wa && wh);
    Companion c(env());
    frontOf(c, host.pid);
    int sent = 0, captured = 0, missed = 0;
    // The front reply, the capture replies before it counted.
    auto front = [&] {
        c.send({{"cmd", "front"}, {"id", "f"}});
        for (;;) {
            auto r = c.next(20s);
            if (!r) return json::object{};
            if (r->at("id") == json::value("f")) return *r;
            EXPECT_EQ(r->at("ok"), json::value(true)) << json::serialize(*r);
            ++captured;
        }
    };
    for (int round = 0; round < 12; ++round) {
        for (int i = 0; i < 4; ++i)
            c.send({{"cmd", "capture"}, {"id", sent++}, {"window", wc}, {"edge", 1900}});
        TestWin& last = round % 2 ? a : other;
        last.command(round % 2 ? "activate a" : "activate c");
        ASSERT_TRUE(waitActive(display.name, round % 2 ? wa : wc));
        std::this_thread::sleep_for(100ms);  // long enough to be read
        host.command("activate h");
        ASSERT_TRUE(waitActive(display.name, wh));
        if (pidIn(front()) != last.pid) ++missed;
    }
    EXPECT_EQ(missed, 0);
    while (captured < sent && c.next(20s)) ++captured;
    EXPECT_EQ(captured, sent);
    EXPECT_EQ(c.stderrText(), "");
}

}  // namespace
