// The line protocol end to end: the real binary over its pipes, no display.
#include "tests/harness/companion.hpp"

#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>
#include <gtest/gtest.h>

#include <thread>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define COMPANION_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define COMPANION_SANITIZED 1
#endif
#endif

namespace {

namespace json = boost::json;
using harness::Companion;
using namespace std::chrono_literals;

// No display: nothing here may depend on one.
std::map<std::string, std::string> noDisplay() { return {{"DISPLAY", ""}}; }

TEST(Protocol, UnknownCommandEchoesIdOfEveryType) {
    Companion c(noDisplay());
    c.send(R"({"cmd":"ping","id":"a1"})");
    EXPECT_EQ(c.line(), R"({"error":"unknown command ping","id":"a1"})");
    for (const char* id : {"null", "[1,{\"a\":[]}]", "{\"k\":\"v\"}", "true", "-3", "2.5",
                           "18446744073709551615", "\"\\n\""}) {
        c.send(std::string(R"({"cmd":"nope","id":)") + id + "}");
        auto r = c.next();
        ASSERT_TRUE(r) << id;
        EXPECT_EQ(r->at("id"), json::parse(id)) << id;
        EXPECT_EQ(r->size(), 2u);
    }
    c.send(R"({"cmd":""})");
    EXPECT_EQ(c.line(), R"({"error":"unknown command ","id":0})");
    for (const char* name : {"Front", "FRONT", "front "}) {
        auto r = c.ask({{"cmd", name}, {"id", 1}});
        EXPECT_EQ(r["error"], json::value(std::string("unknown command ") + name));
    }
    c.closeInput();
    EXPECT_EQ(c.wait(), 0);
    EXPECT_EQ(c.stderrText(), "");
}

TEST(Protocol, MalformedLinesAreDroppedSilentlyAndServingGoesOn) {
    Companion c(noDisplay());
    for (const char* bad : {"", "   ", "[1]", "\"front\"", "7", "{\"id\":1}", "{\"cmd\":5}",
                            "{\"cmd\":null}", "{\"cmd\":[]}", "{broken", "{\"cmd\":\"a\"} tail",
                            "{\"cmd\":\"a\",}", "{\"cmd\":\"a\",\"id\":NaN}"})
        c.send(bad);
    c.send(std::string(100000, '[') + "\"x\"");
    c.send("{\"cmd\":\"x\",\"id\":" + std::string(100000, '['));
    c.send(R"({"cmd":"ok","id":"after"})" "\r");
    auto r = c.next();
    ASSERT_TRUE(r);
    EXPECT_EQ(r->at("id"), json::value("after"));
    EXPECT_TRUE(c.silentFor(200ms));
    c.closeInput();
    EXPECT_EQ(c.wait(), 0);
    EXPECT_EQ(c.stderrText(), "");
}

TEST(Protocol, InvalidUtf8IsRepairedAndRepliesStayOneLine) {
    Companion c(noDisplay());
    c.send("{\"cmd\":\"a\xff\\nb\",\"id\":\"\xed\xa0\x80\"}");
    auto l = c.line();
    ASSERT_TRUE(l);
    EXPECT_EQ(*l, "{\"error\":\"unknown command a\xEF\xBF\xBD\\nb\",\"id\":\""
                  "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\"}");
}

TEST(Protocol, EndOfInputAtOnceExitsZeroWithNoOutput) {
    Companion c(noDisplay());
    c.closeInput();
    EXPECT_EQ(c.wait(), 0);
    EXPECT_FALSE(c.line(100ms));
    EXPECT_EQ(c.stderrText(), "");
}

TEST(Protocol, LastLineWithoutLineFeedIsServed) {
    Companion c(noDisplay());
    c.write(R"({"cmd":"tail","id":9})");
    c.closeInput();
    auto r = c.next();
    ASSERT_TRUE(r);
    EXPECT_EQ(r->at("id"), json::value(9));
    EXPECT_EQ(c.wait(), 0);
}

TEST(Protocol, BurstIsAnsweredInOrderAndNothingIsLostWhileTheHostDoesNotRead) {
    Companion c(noDisplay());
    const int n = 20000;
    std::thread writer([&] {
        std::string burst;
        for (int i = 0; i < n; ++i) burst += R"({"cmd":"q","id":)" + std::to_string(i) + "}\n";
        c.write(burst);
    });
    // Let the pipe fill up: the companion must block, not drop.
    std::this_thread::sleep_for(1s);
    for (int i = 0; i < n; ++i) {
        auto r = c.next();
        ASSERT_TRUE(r) << i;
        ASSERT_EQ(r->at("id"), json::value(i));
    }
    writer.join();
    c.closeInput();
    EXPECT_EQ(c.wait(), 0);
    EXPECT_EQ(c.stderrText(), "");
}

TEST(Protocol, MultiMegabyteLineIsServed) {
    Companion c(noDisplay());
    std::string big(8 << 20, 'x');
    std::thread writer([&] { c.send(R"({"cmd":"big","id":1,"pad":")" + big + "\"}"); });
    auto r = c.next(30s);
    writer.join();
    ASSERT_TRUE(r);
    EXPECT_EQ(r->at("id"), json::value(1));
    std::string longId(3 << 20, 'y');
    auto r2 = c.ask({{"cmd", "x"}, {"id", longId}}, 30s);
    EXPECT_EQ(r2["id"], json::value(longId));
}

TEST(Protocol, LongLinesOneAfterAnotherAreAllServed) {
    // Memory reused from request to request must not grow with each long one.
    Companion c(noDisplay());
    const std::string pad(1 << 20, 'p');
    const int n = 24;
    std::thread writer([&] {
        for (int i = 0; i < n; ++i) c.send(json::object{{"cmd", "x"}, {"pad", pad}, {"id", i}});
    });
    for (int i = 0; i < n; ++i) {
        auto r = c.next(30s);
        ASSERT_TRUE(r) << i;
        ASSERT_EQ(r->at("id"), json::value(i));
    }
    writer.join();
    c.closeInput();
    EXPECT_EQ(c.wait(), 0);
}

TEST(Protocol, LinesThatMemoryCannotHoldAreDroppedAndServingGoesOn) {
#ifdef COMPANION_SANITIZED
    GTEST_SKIP() << "sanitizers reserve more address space than the limit allows";
#endif
    const size_t limit = size_t(384) << 20;
    Companion c(noDisplay(), {.addressSpace = limit});
    std::thread writer([&] {
        const std::string mib(1 << 20, 'x');
        // Longer than the whole address space: the reader cannot hold it.
        c.write(R"({"cmd":"huge","id":1,"pad":")");
        for (size_t i = 0; i <= limit >> 20; ++i) c.write(mib);
        c.send("\"}");
        // Held, but its UTF-8 repair (three bytes for each bad one) is not.
        c.send(R"({"cmd":"bad","id":2,"pad":")" + std::string(100 << 20, '\xff') + "\"}");
        c.send(R"({"cmd":"after","id":3})");
    });
    auto r = c.next(60s);
    writer.join();
    ASSERT_TRUE(r);
    EXPECT_EQ(r->at("id"), json::value(3));
    EXPECT_EQ(c.ask({{"cmd", "again"}, {"id", 4}})["id"], json::value(4));
    c.closeInput();
    EXPECT_EQ(c.wait(), 0);
    EXPECT_EQ(c.stderrText(), "");
}

TEST(Protocol, NonBlockingStdoutIsWaitedOnAndNoReplyIsCut) {
    Companion c(noDisplay(), {.nonblockingStdout = true});
    // Replies several times the pipe's size while the host does not read.
    const int n = 12;
    auto id = [](int i) { return std::to_string(i) + std::string(300000, 'i'); };
    for (int i = 0; i < n; ++i) c.send(json::object{{"cmd", "x"}, {"id", id(i)}});
    std::this_thread::sleep_for(500ms);
    for (int i = 0; i < n; ++i) {
        auto r = c.next();
        ASSERT_TRUE(r) << i;
        ASSERT_EQ(r->at("id"), json::value(id(i)));
    }
    c.closeInput();
    EXPECT_EQ(c.wait(), 0);
    EXPECT_EQ(c.stderrText(), "");
}

TEST(Protocol, NonBlockingStdinIsWaitedOnNotTakenForItsEnd) {
    Companion c(noDisplay(), {.nonblockingStdin = true});
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(c.ask({{"cmd", "late"}, {"id", 1}})["id"], json::value(1));
    c.closeInput();
    EXPECT_EQ(c.wait(), 0);
    EXPECT_EQ(c.stderrText(), "");
}

TEST(Protocol, HostClosingStdoutDoesNotStopServing) {
    Companion c(noDisplay());
    close(c.out);
    c.out = -1;
    for (int i = 0; i < 100; ++i) c.send(R"({"cmd":"x","id":1})");
    c.closeInput();
    EXPECT_EQ(c.wait(), 0);
    EXPECT_EQ(c.stderrText(), "");
}

TEST(Protocol, ExitsWithinAboutASecondWhenTheHostStopsReading) {
    Companion c(noDisplay());
    std::string burst;
    for (int i = 0; i < 50000; ++i) burst += R"({"cmd":"padding-padding-padding","id":1})" "\n";
    c.write(burst);
    c.closeInput();
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(c.wait(10s), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 4s);
}

}  // namespace
