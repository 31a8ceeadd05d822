// The "capture" command end to end: the real companion against a private
// Xvfb with openbox, capturing windows that the test client paints.
#include "tests/harness/companion.hpp"
#include "tests/harness/display.hpp"
#include "tests/harness/testwin.hpp"

#include <boost/json/serialize.hpp>
#include <turbojpeg.h>

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

namespace json = boost::json;
using harness::Companion;
using harness::TestWin;
using namespace std::chrono_literals;

std::string unbase64(std::string_view text) {
    auto value = [](char c) -> int {
        if (c >= 'A' && c <= 'Z') return c - 'A';
        if (c >= 'a' && c <= 'z') return c - 'a' + 26;
        if (c >= '0' && c <= '9') return c - '0' + 52;
        if (c == '+') return 62;
        if (c == '/') return 63;
        return -1;
    };
    std::string out;
    if (text.size() % 4) return "";
    for (size_t i = 0; i < text.size(); i += 4) {
        int v[4];
        for (int k = 0; k < 4; ++k) v[k] = text[i + size_t(k)] == '=' ? 0 : value(text[i + size_t(k)]);
        if (v[0] < 0 || v[1] < 0 || v[2] < 0 || v[3] < 0) return "";
        uint32_t n = uint32_t(v[0] << 18 | v[1] << 12 | v[2] << 6 | v[3]);
        out += char(n >> 16);
        if (text[i + 2] != '=') out += char(n >> 8);
        if (text[i + 3] != '=') out += char(n);
    }
    return out;
}

struct Decoded {
    int w = 0, h = 0;
    std::vector<uint8_t> rgb;
    uint32_t at(int x, int y) const {
        const uint8_t* p = &rgb[(size_t(y) * size_t(w) + size_t(x)) * 3];
        return uint32_t(p[0]) << 16 | uint32_t(p[1]) << 8 | p[2];
    }
};

// Checks a success reply's shape and decodes its JPEG.
Decoded decode(const json::object& r) {
    Decoded d;
    EXPECT_EQ(r.size(), 9u) << json::serialize(r);
    EXPECT_EQ(r.at("ok"), json::value(true)) << json::serialize(r);
    if (!r.contains("jpeg")) return d;
    for (const char* k : {"contentMs", "shotMs", "encodeMs"}) EXPECT_GE(r.at(k).to_number<double>(), 0.0);
    std::string jpeg = unbase64(r.at("jpeg").as_string());
    EXPECT_EQ(int64_t(jpeg.size()), r.at("bytes").as_int64());
    tjhandle tj = tjInitDecompress();
    int sub = 0, cs = 0;
    auto* bytes = reinterpret_cast<const unsigned char*>(jpeg.data());
    if (tjDecompressHeader3(tj, bytes, jpeg.size(), &d.w, &d.h, &sub, &cs) == 0) {
        d.rgb.resize(size_t(d.w) * size_t(d.h) * 3);
        EXPECT_EQ(tjDecompress2(tj, bytes, jpeg.size(), d.rgb.data(), d.w, 0, d.h, TJPF_RGB, 0), 0);
    } else {
        ADD_FAILURE() << "not a JPEG";
    }
    tjDestroy(tj);
    EXPECT_EQ(d.w, r.at("w").as_int64());
    EXPECT_EQ(d.h, r.at("h").as_int64());
    return d;
}

// A reply for a failure message: all but the picture.
std::string shown(json::object reply) {
    reply.erase("jpeg");
    return json::serialize(reply);
}

bool near(uint32_t a, uint32_t b, int tolerance) {
    for (int shift : {16, 8, 0})
        if (std::abs(int(a >> shift & 0xff) - int(b >> shift & 0xff)) > tolerance) return false;
    return true;
}

// Every pixel of the rectangle within `tolerance` of `rgb`.
void expectArea(const Decoded& d, int x0, int y0, int x1, int y1, uint32_t rgb, int tolerance = 8) {
    int bad = 0;
    for (int y = y0; y < y1; ++y)
        for (int x = x0; x < x1; ++x)
            if (!near(d.at(x, y), rgb, tolerance) && bad++ < 3)
                ADD_FAILURE() << std::hex << "at " << std::dec << x << "," << y << ": " << std::hex
                              << d.at(x, y) << " not " << rgb;
    EXPECT_EQ(bad, 0);
}

json::object capture(Companion& c, uint32_t window, double edge = 768, double quality = 0.7) {
    static int64_t next = 1;
    return c.ask({{"cmd", "capture"}, {"id", next++}, {"window", window}, {"edge", edge},
                  {"quality", quality}},
                 20s);
}

void expectFailure(const json::object& r, const std::string& error) {
    EXPECT_EQ(r.size(), 3u) << json::serialize(r);
    EXPECT_EQ(r.at("ok"), json::value(false)) << json::serialize(r);
    EXPECT_EQ(r.at("error"), json::value(error)) << json::serialize(r);
}

struct Capture : ::testing::Test {
    harness::Display display;
    TestWin win{display.name};
    Companion companion{{{"DISPLAY", display.name}}};

    void TearDown() override {
        companion.closeInput();
        EXPECT_EQ(companion.wait(), 0);
        EXPECT_EQ(companion.stderrText(), "");
    }
};

TEST_F(Capture, JpegHasTheReportedSizeAndThePaintedColours) {
    uint32_t halves = win.open("halves", "w=640 h=400 color=2060a0 pattern=halves");
    ASSERT_TRUE(halves);
    json::object reply = capture(companion, halves, 320);
    Decoded d = decode(reply);
    ASSERT_EQ(d.w, 320) << shown(reply);
    ASSERT_EQ(d.h, 200) << shown(reply);
    expectArea(d, 4, 4, 156, 196, 0x2060a0);
    expectArea(d, 164, 4, 316, 196, 0xdf9f5f);

    uint32_t big = win.open("big", "w=1600 h=900 color=c03010");
    ASSERT_TRUE(big);
    d = decode(capture(companion, big));
    EXPECT_EQ(d.w, 768);
    EXPECT_EQ(d.h, 432);
    if (d.w == 768) expectArea(d, 0, 0, 768, 432, 0xc03010);

    // Never more than the window's own pixels.
    uint32_t small = win.open("small", "w=300 h=200 color=10c040");
    ASSERT_TRUE(small);
    d = decode(capture(companion, small, 2000));
    EXPECT_EQ(d.w, 300);
    EXPECT_EQ(d.h, 200);
    if (d.w == 300) expectArea(d, 0, 0, 300, 200, 0x10c040);
}

TEST_F(Capture, CoveredWindowCapturesItsOwnContent) {
    uint32_t under = win.open("under", "w=600 h=400 color=ff0000");
    decode(capture(companion, under));  // redirected from now on
    uint32_t cover = win.open("cover", "w=1900 h=1100 color=00ff00");
    ASSERT_TRUE(under && cover);
    win.command("raise cover");
    Decoded d = decode(capture(companion, under, 600));
    if (d.w == 600) expectArea(d, 0, 0, 600, 400, 0xff0000);
    d = decode(capture(companion, cover, 1900));
    if (d.w == 1900) expectArea(d, 0, 0, 1900, 1100, 0x00ff00);

    // Covered before its first capture, by an application that no longer
    // repaints: the server kept its pixels.
    uint32_t late = win.open("late", "w=500 h=300 color=0000ff");
    win.command("activate cover");
    win.command("sync");
    win.command("freeze");
    d = decode(capture(companion, late, 500));
    if (d.w == 500) expectArea(d, 0, 0, 500, 300, 0x0000ff);
    win.command("thaw");
}

TEST_F(Capture, NumbersNotOnScreenAreGone) {
    uint32_t shown = win.open("shown", "w=200 h=100");
    uint32_t hidden = win.open("hidden", "w=200 h=100");
    uint32_t closed = win.open("closed", "w=200 h=100");
    ASSERT_TRUE(shown && hidden && closed);
    win.command("unmap hidden");
    win.command("close closed");
    for (json::value number : {json::value(hidden), json::value(closed), json::value(0),
                               json::value(1), json::value(4294967295u),
                               json::value(4294967296ll), json::value(-1),
                               json::value(shown + 4294967296ll), json::value("1")}) {
        auto r = companion.ask({{"cmd", "capture"}, {"id", "g"}, {"window", number}}, 20s);
        expectFailure(r, "gone");
    }
    decode(capture(companion, shown));
}

TEST_F(Capture, WindowDestroyedWhileTwentyCapturesAreInFlight) {
    uint32_t doomed = win.open("doomed", "w=1600 h=1000 color=336699");
    uint32_t other = win.open("other", "w=300 h=200 color=996633");
    ASSERT_TRUE(doomed && other);
    for (int i = 0; i < 20; ++i)
        companion.send({{"cmd", "capture"}, {"id", i}, {"window", doomed}});
    win.command("close doomed");
    std::set<int64_t> ids;
    int ok = 0;
    for (int i = 0; i < 20; ++i) {
        auto r = companion.next(20s);
        ASSERT_TRUE(r) << i;
        ids.insert(r->at("id").as_int64());
        if (r->at("ok") == json::value(true)) {
            ++ok;
            decode(*r);
        } else {
            EXPECT_EQ(r->size(), 3u);
            EXPECT_TRUE(r->at("error").is_string());
        }
    }
    EXPECT_EQ(ids.size(), 20u);
    EXPECT_TRUE(companion.silentFor(300ms));
    expectFailure(capture(companion, doomed), "gone");
    decode(capture(companion, other));
}

TEST_F(Capture, EveryQualityGivesAJpeg) {
    uint32_t w = win.open("q", "w=400 h=300 color=808080 pattern=halves");
    ASSERT_TRUE(w);
    for (double q : {0.0, 1.0, 7.0, -2.0}) {
        Decoded d = decode(capture(companion, w, 768, q));
        EXPECT_EQ(d.w, 400) << q;
    }
}

TEST_F(Capture, ConcurrentCapturesOfDifferentWindowsEachGetTheirOwnReply) {
    std::map<std::string, uint32_t> colour;
    std::map<std::string, uint32_t> windows;
    for (int i = 0; i < 20; ++i) {
        std::string name = "w" + std::to_string(i);
        uint32_t rgb = uint32_t(0x101010 * (i % 8) + 0x400000 * (i / 8)) & 0xffffff;
        char hex[8];
        snprintf(hex, sizeof hex, "%06x", rgb);
        windows[name] = win.open(name, "w=240 h=160 color=" + std::string(hex));
        ASSERT_TRUE(windows[name]);
        colour[name] = rgb;
    }
    for (auto& [name, id] : windows)
        companion.send({{"cmd", "capture"}, {"id", name}, {"window", id}, {"edge", 120}});
    companion.send({{"cmd", "front"}, {"id", "front"}});
    std::set<std::string> seen;
    for (int i = 0; i < 21; ++i) {
        auto r = companion.next(20s);
        ASSERT_TRUE(r) << i;
        std::string id(r->at("id").as_string());
        EXPECT_TRUE(seen.insert(id).second) << id;
        if (id == "front") continue;
        Decoded d = decode(*r);
        EXPECT_EQ(d.w, 120);
        if (d.w == 120) expectArea(d, 0, 0, 120, 80, colour[id]);
    }
    EXPECT_EQ(seen.size(), 21u);
}

TEST_F(Capture, ThinLinesDownscaledComeOutGrey) {
    uint32_t w = win.open("lines", "w=1000 h=400 pattern=lines");
    ASSERT_TRUE(w);
    Decoded d = decode(capture(companion, w, 400));  // 2.5x
    ASSERT_EQ(d.w, 400);
    ASSERT_EQ(d.h, 160);
    int outside = 0;
    for (int y = 0; y < d.h; ++y)
        for (int x = 0; x < d.w; ++x) {
            int v = int(d.at(x, y) >> 8 & 0xff);
            if (v < 90 || v > 165) ++outside;
        }
    EXPECT_EQ(outside, 0);
}

// Strong downscales: nothing may shift by a pixel, and odd sizes may not
// darken the last row or column.
TEST_F(Capture, StrongDownscalesKeepEdgesInPlace) {
    uint32_t halves = win.open("halves", "w=1280 h=800 color=2060a0 pattern=halves");
    ASSERT_TRUE(halves);
    Decoded d = decode(capture(companion, halves, 320, 1.0));  // 4:1, the edge at 160
    ASSERT_EQ(d.w, 320);
    ASSERT_EQ(d.h, 200);
    // Luma, which the decoder's chroma upsampling leaves alone, on both sides
    // of the edge: a shift of one source pixel moves it by a quarter.
    auto luma = [](uint32_t rgb) {
        return 0.299 * (rgb >> 16 & 0xff) + 0.587 * (rgb >> 8 & 0xff) + 0.114 * (rgb & 0xff);
    };
    for (int y = 0; y < 200; y += 7) {
        EXPECT_NEAR(luma(d.at(159, y)), luma(0x2060a0), 4) << y;
        EXPECT_NEAR(luma(d.at(160, y)), luma(0xdf9f5f), 4) << y;
    }
    expectArea(d, 0, 0, 150, 200, 0x2060a0);
    expectArea(d, 170, 0, 320, 200, 0xdf9f5f);

    uint32_t odd = win.open("odd", "w=1001 h=601 color=c0a040");
    ASSERT_TRUE(odd);
    d = decode(capture(companion, odd, 250, 1.0));
    ASSERT_EQ(d.w, 250);
    ASSERT_EQ(d.h, 150);
    expectArea(d, 0, 0, 250, 150, 0xc0a040, 6);
}

// Without a window manager every window is a top-level one, redirected with
// all the others when the companion connected and once more by its first
// capture: covered parts are its own on the first capture and on later ones.
TEST(CaptureWithoutWindowManager, TopLevelWindowsAreCapturedCovered) {
    harness::Display display(false);
    Companion companion({{"DISPLAY", display.name}});
    companion.ask({{"cmd", "front"}, {"id", 0}});  // connected
    TestWin win(display.name);
    uint32_t under = win.open("under", "w=400 h=300 x=0 y=0 color=3050d0");
    uint32_t over = win.open("over", "w=300 h=200 x=100 y=100 color=d05030");
    ASSERT_TRUE(under && over);
    win.command("freeze");
    for (int round = 0; round < 2; ++round) {  // the second finds it listed
        Decoded d = decode(capture(companion, under, 400, 1.0));
        if (d.w == 400) expectArea(d, 0, 0, 400, 300, 0x3050d0);
    }
    Decoded d = decode(capture(companion, over, 300, 1.0));
    if (d.w == 300) expectArea(d, 0, 0, 300, 200, 0xd05030);
    companion.closeInput();
    EXPECT_EQ(companion.wait(), 0);
    EXPECT_EQ(companion.stderrText(), "");
}

TEST(CaptureWithoutDisplay, AnswersWithTheConnectionError) {
    for (auto [display, error] :
         {std::pair<std::string, std::string>{"", "cannot open display: DISPLAY is not set"},
          {":917", "cannot open display \":917\": connection failed"}}) {
        Companion c({{"DISPLAY", display}});
        expectFailure(capture(c, 1), error);
        // Still before the window test: a number no window can carry.
        expectFailure(c.ask({{"cmd", "capture"}, {"id", 2}, {"window", -5}}), error);
        c.closeInput();
        EXPECT_EQ(c.wait(), 0);
        EXPECT_EQ(c.stderrText(), "");
    }
}

}  // namespace
