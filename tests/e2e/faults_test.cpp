// Faults around the companion: its X server dies, its host stops reading or
// goes away, its input ends in the middle of work.
#include "tests/harness/companion.hpp"
#include "tests/harness/display.hpp"
#include "tests/harness/resources.hpp"
#include "tests/harness/testwin.hpp"

#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>
#include <gtest/gtest.h>

#include <set>
#include <thread>

namespace {

namespace json = boost::json;
using harness::Companion;
using namespace std::chrono_literals;

json::object captureOf(uint32_t window, int64_t id) {
    return {{"cmd", "capture"}, {"id", id}, {"window", window}, {"edge", 512}};
}

TEST(Faults, XServerKilledMidSessionThenANewOneIsUsed) {
    harness::Display display;
    std::optional<harness::TestWin> win(std::in_place, display.name);
    uint32_t w = win->open("a", "w=800 h=600 color=3060c0");
    ASSERT_NE(w, 0u);
    Companion c({{"DISPLAY", display.name}});
    auto first = c.ask({{"cmd", "capture"}, {"id", 0}, {"window", w}});
    ASSERT_EQ(first["ok"], json::value(true));

    for (int i = 1; i <= 10; ++i) c.send(captureOf(w, i));
    win.reset();
    display.kill();
    std::set<int64_t> answered;
    for (int i = 0; i < 10; ++i) {
        auto r = c.next(20s);
        ASSERT_TRUE(r);
        answered.insert(r->at("id").as_int64());
        ASSERT_TRUE(r->at("ok").is_bool());
        if (!r->at("ok").as_bool()) {
            EXPECT_TRUE(r->at("error").is_string());
        }
    }
    EXPECT_EQ(answered.size(), 10u);

    auto front = c.ask({{"cmd", "front"}, {"id", "f"}});
    EXPECT_EQ(front["granted"], json::value(false));
    // No server, no window; the last other application is still remembered.
    EXPECT_FALSE(front.contains("window"));
    if (front.contains("app")) {
        EXPECT_EQ(front["app"].at("icon"), json::value(""));
    }
    auto gone = c.ask(captureOf(w, 99));
    EXPECT_EQ(gone["ok"], json::value(false));
    EXPECT_NE(gone["error"], json::value("gone")) << "no server is no window list at all";

    display.restart();
    harness::TestWin again(display.name);
    uint32_t w2 = again.open("b", "w=640 h=480 color=20a040");
    ASSERT_NE(w2, 0u);
    auto back = c.ask(captureOf(w2, 100));
    EXPECT_EQ(back["ok"], json::value(true)) << json::serialize(back);
    auto front2 = c.ask({{"cmd", "front"}, {"id", "f2"}});
    EXPECT_EQ(front2["granted"], json::value(true));

    c.closeInput();
    EXPECT_EQ(c.wait(), 0);
    EXPECT_EQ(c.stderrText(), "");
}

TEST(Faults, ServerWithoutCompositeStillReportsAndCaptureSaysWhy) {
    harness::Display display(true, false);
    harness::TestWin win(display.name);
    uint32_t w = win.open("a", "w=800 h=600 color=3060c0");
    ASSERT_NE(w, 0u);
    Companion c({{"DISPLAY", display.name}});
    json::object front;
    for (int i = 0; i < 100; ++i) {
        front = c.ask({{"cmd", "front"}, {"id", i}});
        if (front.contains("window") && front["window"].at("id") == json::value(w)) break;
        std::this_thread::sleep_for(50ms);
    }
    EXPECT_EQ(front["granted"], json::value(true)) << json::serialize(front);
    ASSERT_TRUE(front.contains("window")) << json::serialize(front);
    EXPECT_EQ(front["window"].at("id"), json::value(w));
    EXPECT_EQ(front["app"].at("pid"), json::value(win.pid));

    auto shot = c.ask(captureOf(w, 200));
    EXPECT_EQ(shot["ok"], json::value(false));
    ASSERT_TRUE(shot["error"].is_string());
    EXPECT_NE(shot["error"].as_string().find("Composite"), json::string::npos)
        << json::serialize(shot);
    c.closeInput();
    EXPECT_EQ(c.wait(), 0);
    EXPECT_EQ(c.stderrText(), "");
}

TEST(Faults, HostThatStopsReadingLosesNothingAndMemoryStaysBounded) {
    harness::Display display;
    harness::TestWin win(display.name);
    uint32_t w = win.open("a", "w=1280 h=800 color=c03030");
    ASSERT_NE(w, 0u);
    Companion c({{"DISPLAY", display.name}});
    const int n = 1000;
    std::thread writer([&] {
        for (int i = 0; i < n; ++i) c.send(captureOf(w, i));
    });
    std::this_thread::sleep_for(10s);
    long rssStalled = harness::sample(c.pid, "").rssKb;
    std::set<int64_t> ids;
    for (int i = 0; i < n; ++i) {
        auto r = c.next(60s);
        ASSERT_TRUE(r) << "reply " << i;
        EXPECT_EQ(r->at("ok"), json::value(true));
        ids.insert(r->at("id").as_int64());
    }
    writer.join();
    EXPECT_EQ(ids.size(), size_t(n));
    // While stalled, at most a pool's worth of finished replies wait in
    // memory: far less than a thousand JPEGs.
    EXPECT_LT(rssStalled, 400 * 1024) << "KiB resident while the host did not read";
    c.closeInput();
    EXPECT_EQ(c.wait(), 0);
}

TEST(Faults, EndOfInputWhileWorkIsInFlightExitsAtOnceWithoutAPartialLine) {
    harness::Display display;
    harness::TestWin win(display.name);
    uint32_t w = win.open("a", "w=1920 h=1080 color=808080");
    Companion c({{"DISPLAY", display.name}});
    for (int i = 0; i < 50; ++i) {
        c.send(captureOf(w, i));
        c.send({{"cmd", "automation"}, {"id", 1000 + i}, {"bundle", "org.example.Nobody"}});
    }
    c.closeInput();
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(c.wait(10s), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
    // Whatever came out is whole lines only.
    while (auto l = c.line(200ms)) EXPECT_TRUE(json::parse(*l).is_object());
    char tail;
    EXPECT_EQ(read(c.out, &tail, 1), 0) << "a line was cut in half";
    EXPECT_EQ(c.stderrText(), "");
}

TEST(Faults, EndOfInputWhileTheHostDoesNotReadStillExitsQuickly) {
    harness::Display display;
    harness::TestWin win(display.name);
    uint32_t w = win.open("a", "w=1920 h=1080 color=808080");
    Companion c({{"DISPLAY", display.name}});
    for (int i = 0; i < 200; ++i) c.send(captureOf(w, i));
    std::this_thread::sleep_for(3s);  // the pipe to the host is full by now
    c.closeInput();
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(c.wait(10s), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
}

}  // namespace
