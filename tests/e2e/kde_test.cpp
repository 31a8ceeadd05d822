// The KDE backend end to end: the real companion against a headless KWin
// 5.27 with Xwayland, a Wayland-native GTK program and X clients the test
// paints, all in a session bus of their own, run as the test user.
#include "tests/harness/companion.hpp"
#include "tests/harness/kwin_session.hpp"

#include <boost/json/serialize.hpp>
#include <turbojpeg.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <thread>

namespace {

namespace json = boost::json;
using harness::Companion;
using harness::KWinSession;
using namespace std::chrono_literals;

KWinSession* session = nullptr;

class Kde : public ::testing::Test {
protected:
    static void SetUpTestSuite() { session = new KWinSession; }
    static void TearDownTestSuite() {
        delete session;
        session = nullptr;
    }
};

std::unique_ptr<Companion> startCompanion() {
    harness::Launch how;
    how.prefix = harness::asUser(session->user, {});
    how.cleanEnv = true;
    return std::make_unique<Companion>(session->companionEnv(), how);
}

std::string authorisingEntryPath() {
    return session->home.path + "/.local/share/applications/companion.desktop";
}

// Makes the window for which the JS expression `test` (over `w`) holds
// KWin's active one.
void activateWhere(const std::string& test) {
    ASSERT_TRUE(session->runScript(
        "var l = workspace.windowList ? workspace.windowList() : workspace.clientList();\n"
        "for (var i = 0; i < l.length; i++) { var w = l[i]; if (" + test +
        ") { if (workspace.windowList) workspace.activeWindow = w; else workspace.activeClient = w; } }\n"));
}

void activate(const std::string& caption) {
    activateWhere("w.caption == " + json::serialize(json::value(caption)));
}

void activatePid(pid_t pid) { activateWhere("w.pid == " + std::to_string(pid)); }

// Asks "front" until `want` holds for the reply (generously bounded).
json::object frontUntil(Companion& c, const std::function<bool(const json::object&)>& want) {
    json::object r;
    for (int i = 0; i < 300; ++i) {
        r = c.ask({{"cmd", "front"}, {"id", i}});
        if (want(r)) return r;
        std::this_thread::sleep_for(100ms);
    }
    ADD_FAILURE() << "front never became what was expected: " << json::serialize(r);
    return r;
}

// "allow", then "front" until access is granted (KWin may take a moment to
// read a new entry).
void authorise(Companion& c) {
    json::object allowed = c.ask({{"cmd", "allow"}, {"id", "allow"}});
    EXPECT_TRUE(allowed.at("granted").is_bool()) << json::serialize(allowed);
    frontUntil(c, [](const json::object& r) { return r.at("granted") == json::value(true); });
}

std::string titleOf(const json::object& r) {
    if (!r.contains("window")) return {};
    return std::string(r.at("window").at("title").as_string());
}

int64_t pidOf(const json::object& r) {
    if (!r.contains("app")) return 0;
    return r.at("app").at("pid").as_int64();
}

std::string unbase64(std::string_view text) {
    auto value = [](char c) -> int {
        if (c >= 'A' && c <= 'Z') return c - 'A';
        if (c >= 'a' && c <= 'z') return c - 'a' + 26;
        if (c >= '0' && c <= '9') return c - '0' + 52;
        if (c == '+') return 62;
        if (c == '/') return 63;
        return 0;
    };
    std::string out;
    for (size_t i = 0; i + 3 < text.size(); i += 4) {
        uint32_t n = 0;
        for (int k = 0; k < 4; ++k) n = n << 6 | uint32_t(text[i + size_t(k)] == '=' ? 0 : value(text[i + size_t(k)]));
        out += char(n >> 16);
        if (text[i + 2] != '=') out += char(n >> 8);
        if (text[i + 3] != '=') out += char(n);
    }
    return out;
}

// The centre pixel of a successful capture, 0xRRGGBB.
uint32_t centreOf(const json::object& r) {
    EXPECT_EQ(r.at("ok"), json::value(true)) << json::serialize(r);
    if (!r.contains("jpeg")) return 0xFFFFFFFF;
    std::string jpeg = unbase64(r.at("jpeg").as_string());
    tjhandle tj = tjInitDecompress();
    int w = 0, h = 0, sub = 0, cs = 0;
    auto* bytes = reinterpret_cast<const unsigned char*>(jpeg.data());
    uint32_t centre = 0xFFFFFFFF;
    if (tjDecompressHeader3(tj, bytes, jpeg.size(), &w, &h, &sub, &cs) == 0) {
        std::vector<uint8_t> rgb(size_t(w) * size_t(h) * 3);
        if (tjDecompress2(tj, bytes, jpeg.size(), rgb.data(), w, 0, h, TJPF_RGB, 0) == 0) {
            const uint8_t* p = &rgb[(size_t(h / 2) * size_t(w) + size_t(w / 2)) * 3];
            centre = uint32_t(p[0]) << 16 | uint32_t(p[1]) << 8 | p[2];
        }
    }
    tjDestroy(tj);
    return centre;
}

bool near(uint32_t got, uint32_t want) {
    for (int shift : {0, 8, 16})
        if (std::abs(int((got >> shift) & 0xFF) - int((want >> shift) & 0xFF)) > 24) return false;
    return true;
}

std::unique_ptr<harness::SessionWin> xClient() { return session->xClient(); }

bool scriptLoaded(const std::string& plugin) {
    sd_bus_error e = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    int loaded = 0;
    if (sd_bus_call_method(session->bus(), "org.kde.KWin", "/Scripting", "org.kde.kwin.Scripting",
                           "isScriptLoaded", &e, &reply, "s", plugin.c_str()) >= 0)
        sd_bus_message_read(reply, "b", &loaded);
    sd_bus_message_unref(reply);
    sd_bus_error_free(&e);
    return loaded;
}

// Without the authorising entry, KWin refuses the companion's captures and
// "granted" says so; "allow" writes the entry and access is granted at once.
TEST_F(Kde, AllowAuthorisesTheCompanion) {
    std::filesystem::remove(authorisingEntryPath());
    auto x = xClient();
    x->open("plain", "title=Plain w=300 h=200 color=00ff00");
    auto c = startCompanion();
    activate("Plain");
    json::object r = frontUntil(*c, [](const json::object& r) { return titleOf(r) == "Plain"; });
    EXPECT_EQ(r.at("granted"), json::value(false));
    int64_t number = r.at("window").at("id").as_int64();
    json::object shot = c->ask({{"cmd", "capture"}, {"id", "s"}, {"window", number}, {"edge", 64}});
    EXPECT_EQ(shot.at("ok"), json::value(false)) << json::serialize(shot);

    authorise(*c);
    EXPECT_TRUE(std::filesystem::exists(authorisingEntryPath()));
    shot = c->ask({{"cmd", "capture"}, {"id", "s2"}, {"window", number}, {"edge", 64}});
    EXPECT_TRUE(near(centreOf(shot), 0x00ff00)) << std::hex << centreOf(shot);
    EXPECT_EQ(c->stderrText(), "");
}

// "front" for a Wayland-native GTK program and for an X client under
// Xwayland, following each activation; when the host's own window is
// active, the application active before it.
TEST_F(Kde, FrontFollowsActivations) {
    auto c = startCompanion();
    authorise(*c);  // icons and pictures come with access
    pid_t gtk = session->startApp({"/usr/bin/gtk3-demo"});
    auto x = xClient();
    x->open("one", "title=XOne w=320 h=240 color=ff0000");
    // Claims the test's pid: the host (the companion's parent) owns it.
    x->open("host", "title=HostWindow w=320 h=240 color=0000ff pid=" + std::to_string(getpid()));

    json::object r = frontUntil(*c, [&](const json::object& r) {
        if (pidOf(r) != gtk) activatePid(gtk);
        return pidOf(r) == gtk;
    });
    EXPECT_EQ(r.at("app").at("bundle"), json::value("gtk3-demo")) << json::serialize(r);
    EXPECT_FALSE(titleOf(r).empty());
    EXPECT_FALSE(r.at("app").at("icon").as_string().empty());
    // The Wayland-native window is captured too.
    json::object shot = c->ask(
        {{"cmd", "capture"}, {"id", "gtk"}, {"window", r.at("window").at("id")}, {"edge", 256}}, 20s);
    EXPECT_EQ(shot.at("ok"), json::value(true)) << json::serialize(shot);

    activate("XOne");
    r = frontUntil(*c, [](const json::object& r) { return titleOf(r) == "XOne"; });
    EXPECT_EQ(pidOf(r), x->pid) << json::serialize(r);
    EXPECT_EQ(r.at("window").at("w").as_int64(), 320);

    activate("HostWindow");
    // The host's window is active: the report stays with the X client.
    std::this_thread::sleep_for(500ms);
    r = c->ask({{"cmd", "front"}, {"id", "host"}});
    EXPECT_EQ(pidOf(r), x->pid) << json::serialize(r);
    EXPECT_EQ(titleOf(r), "XOne");
    EXPECT_EQ(c->stderrText(), "");
}

// A covered window's capture shows its own pixels, not what covers it.
TEST_F(Kde, CaptureOfACoveredWindowShowsItsOwnPixels) {
    auto c = startCompanion();
    authorise(*c);
    auto x = xClient();
    x->open("under", "title=Under w=400 h=300 color=ff0000");
    activate("Under");
    json::object r = frontUntil(*c, [](const json::object& r) { return titleOf(r) == "Under"; });
    int64_t under = r.at("window").at("id").as_int64();
    x->open("over", "title=Over w=1900 h=1050 color=0000ff");
    activate("Over");
    r = frontUntil(*c, [](const json::object& r) { return titleOf(r) == "Over"; });
    int64_t over = r.at("window").at("id").as_int64();
    EXPECT_NE(under, over);

    // Each shows its own colour once painted (a new window may not be yet).
    auto shows = [&](int64_t window, uint32_t colour) {
        json::object shot;
        for (int i = 0; i < 100; ++i) {
            shot = c->ask({{"cmd", "capture"}, {"id", i}, {"window", window}, {"edge", 200}}, 20s);
            if (shot.at("ok") == json::value(true) && near(centreOf(shot), colour)) break;
            std::this_thread::sleep_for(100ms);
        }
        EXPECT_TRUE(near(centreOf(shot), colour)) << std::hex << centreOf(shot);
        if (shot.contains("w")) {
            EXPECT_LE(shot.at("w").as_int64(), 200);
        }
    };
    shows(over, 0x0000ff);
    shows(under, 0xff0000);

    // A window that is gone is "gone".
    x->command("close under");
    json::object gone;
    for (int i = 0; i < 100; ++i) {
        gone = c->ask({{"cmd", "capture"}, {"id", "g"}, {"window", under}, {"edge", 64}});
        if (gone.at("ok") == json::value(false)) break;
        std::this_thread::sleep_for(100ms);
    }
    EXPECT_EQ(gone.at("ok"), json::value(false)) << json::serialize(gone);
    EXPECT_EQ(gone.at("error"), json::value("gone")) << json::serialize(gone);
    EXPECT_EQ(c->stderrText(), "");
}

// The companion's service answers KWin alone: a stranger's report is
// refused and changes nothing.
TEST_F(Kde, StrangersCannotReport) {
    auto c = startCompanion();
    auto x = xClient();
    x->open("real", "title=Real w=200 h=200 color=808080");
    activate("Real");
    frontUntil(*c, [](const json::object& r) { return titleOf(r) == "Real"; });
    std::optional<std::string> name;
    for (int i = 0; i < 100 && !name; ++i) {
        name = session->busNameOf(c->pid);
        if (!name) std::this_thread::sleep_for(50ms);
    }
    ASSERT_TRUE(name);
    sd_bus_error e = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    std::string fake = R"({"active":"{x}","windows":[{"id":"{x}","pid":1,"caption":"Fake",)"
                       R"("x":0,"y":0,"width":10,"height":10,"normal":true,"layer":2}]})";
    int rc = sd_bus_call_method(session->bus(), name->c_str(), "/org/companion/KWinMirror",
                                "org.companion.KWinMirror", "Report", &e, &reply, "s", fake.c_str());
    EXPECT_LT(rc, 0);
    EXPECT_TRUE(sd_bus_error_has_name(&e, SD_BUS_ERROR_ACCESS_DENIED)) << (e.name ? e.name : "");
    sd_bus_error_free(&e);
    sd_bus_message_unref(reply);
    EXPECT_EQ(titleOf(c->ask({{"cmd", "front"}, {"id", "after"}})), "Real");
}

// When the companion ends, however it ends, its script leaves KWin.
TEST_F(Kde, ScriptLeavesWithTheCompanion) {
    auto c = startCompanion();
    std::string plugin = "companion-" + std::to_string(c->pid);
    c->ask({{"cmd", "front"}, {"id", 1}});  // started
    EXPECT_TRUE(scriptLoaded(plugin));
    kill(c->pid, SIGKILL);
    c->wait();
    bool gone = false;
    for (int i = 0; i < 200 && !gone; ++i) {
        gone = !scriptLoaded(plugin);
        if (!gone) std::this_thread::sleep_for(50ms);
    }
    EXPECT_TRUE(gone);
}

// KWin going away mid-capture costs those captures an error each, nothing
// more; the KWin that comes next gets the script again.
TEST_F(Kde, KWinRestartedGetsTheScriptAgain) {
    auto c = startCompanion();
    authorise(*c);
    auto x = xClient();
    x->open("big", "title=Big w=1200 h=900 color=00ffff");
    activate("Big");
    json::object r = frontUntil(*c, [](const json::object& r) { return titleOf(r) == "Big"; });
    int64_t number = r.at("window").at("id").as_int64();
    for (int i = 0; i < 6; ++i)
        c->send({{"cmd", "capture"}, {"id", i}, {"window", number}, {"edge", 1200}});
    session->stopKWin();
    x.reset();
    for (int i = 0; i < 6; ++i) {
        auto reply = c->next(30s);
        ASSERT_TRUE(reply) << "capture " << i << " got no reply";
        EXPECT_TRUE(reply->contains("ok"));
    }
    r = c->ask({{"cmd", "front"}, {"id", "nokwin"}});
    EXPECT_EQ(r.at("granted"), json::value(false));

    session->startKWin();
    pid_t gtk = session->startApp({"/usr/bin/gtk3-demo"});
    r = frontUntil(*c, [&](const json::object& r) {
        if (pidOf(r) != gtk) activatePid(gtk);
        return pidOf(r) == gtk;
    });
    EXPECT_EQ(r.at("granted"), json::value(true)) << json::serialize(r);
    EXPECT_EQ(c->stderrText(), "");
}

}  // namespace
