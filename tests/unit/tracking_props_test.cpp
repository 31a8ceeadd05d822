// Window properties from other clients: icons, text, records, desktop entry
// matching. Hostile values must be skipped, never trusted.
#include "platform/apps/identity.hpp"
#include "platform/x11/props.hpp"

#include <gtest/gtest.h>

namespace {

using namespace platform::x11;
using namespace platform::apps;

std::vector<uint32_t> icon(uint32_t w, uint32_t h, uint32_t argb, size_t realPixels = SIZE_MAX) {
    std::vector<uint32_t> v = {w, h};
    size_t n = realPixels == SIZE_MAX ? size_t(w) * h : realPixels;
    v.insert(v.end(), n, argb);
    return v;
}

std::vector<uint32_t> concat(std::initializer_list<std::vector<uint32_t>> parts) {
    std::vector<uint32_t> out;
    for (auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

TEST(NetWmIcon, SmallestAtLeastWantElseLargest) {
    auto d = concat({icon(16, 16, 1), icon(128, 128, 2), icon(64, 64, 3), icon(256, 256, 4)});
    auto e = bestIconEntry(d.data(), d.size(), 64);
    ASSERT_TRUE(e);
    EXPECT_EQ(e->width, 64u);
    EXPECT_EQ(d[e->offset], 3u);
    auto small = concat({icon(16, 16, 1), icon(48, 48, 2), icon(32, 32, 3)});
    e = bestIconEntry(small.data(), small.size(), 64);
    ASSERT_TRUE(e);
    EXPECT_EQ(e->width, 48u);
    // Both sides must reach the size: 200 x 10 is not "at least 64".
    auto wide = concat({icon(200, 10, 1), icon(32, 32, 2)});
    e = bestIconEntry(wide.data(), wide.size(), 64);
    ASSERT_TRUE(e);
    EXPECT_EQ(e->width, 200u);
}

TEST(NetWmIcon, HostileSizesAreSkippedWithoutOverflow) {
    // Claims 100000 x 100000 but carries 4 pixels: runs past the end, stops.
    auto lie = icon(100000, 100000, 1, 4);
    EXPECT_FALSE(bestIconEntry(lie.data(), lie.size()));
    // 65536 x 65536 wraps to 0 in 32 bits; it must not read as an empty entry
    // followed by a valid one.
    auto wrap = concat({{65536, 65536}, icon(16, 16, 5)});
    EXPECT_FALSE(bestIconEntry(wrap.data(), wrap.size()));
    // 2^32-1 squared in 64 bits, no wrap either.
    std::vector<uint32_t> huge = {0xFFFFFFFF, 0xFFFFFFFF, 1, 2, 3};
    EXPECT_FALSE(bestIconEntry(huge.data(), huge.size()));
    // Over 1024 but truly present: skipped, the next entry is still found.
    auto big = concat({icon(1025, 1, 1), icon(32, 32, 7)});
    auto e = bestIconEntry(big.data(), big.size());
    ASSERT_TRUE(e);
    EXPECT_EQ(big[e->offset], 7u);
    // Zero sides carry no pixels and are skipped.
    auto zero = concat({{0, 5}, {7, 0}, icon(2, 2, 9)});
    e = bestIconEntry(zero.data(), zero.size());
    ASSERT_TRUE(e);
    EXPECT_EQ(zero[e->offset], 9u);
    // Truncated headers.
    std::vector<uint32_t> half = {16};
    EXPECT_FALSE(bestIconEntry(half.data(), half.size()));
    EXPECT_FALSE(bestIconEntry(nullptr, 0));
    auto cut = icon(16, 16, 1, 255);
    EXPECT_FALSE(bestIconEntry(cut.data(), cut.size()));
}

TEST(NetWmIcon, PixelsBecomeStraightRgba) {
    auto d = icon(2, 1, 0x80FF2010);
    auto img = decodeIcon(d.data(), d.size());
    ASSERT_TRUE(img);
    EXPECT_EQ(img->width, 2);
    EXPECT_EQ(img->height, 1);
    EXPECT_EQ(img->rgba, (std::vector<uint8_t>{0xFF, 0x20, 0x10, 0x80, 0xFF, 0x20, 0x10, 0x80}));
}

TEST(PropertyText, RepairsOrDecodesLatin1) {
    EXPECT_EQ(propertyText("caf\xc3\xa9", false), "caf\xc3\xa9");
    EXPECT_EQ(propertyText("caf\xc3\xa9", true), "caf\xc3\xa9");  // UTF-8 in a STRING
    EXPECT_EQ(propertyText("caf\xe9", true), "caf\xc3\xa9");
    EXPECT_EQ(propertyText("a\xff" "b", false), "a\xef\xbf\xbd" "b");
    EXPECT_EQ(propertyText("\xed\xa0\x80", false), "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd");
}

TEST(WmClassParse, TakesBothPartsAndToleratesMissingNuls) {
    std::string both("xterm\0XTerm\0", 12);
    auto wc = parseWmClass(both);
    EXPECT_EQ(wc.instance, "xterm");
    EXPECT_EQ(wc.cls, "XTerm");
    wc = parseWmClass(std::string("a\0B", 3));
    EXPECT_EQ(wc.cls, "B");
    wc = parseWmClass("only");
    EXPECT_EQ(wc.instance, "only");
    EXPECT_EQ(wc.cls, "");
    wc = parseWmClass(std::string("\xff\0\xfe\0", 4));
    EXPECT_EQ(wc.instance, "\xef\xbf\xbd");
    EXPECT_EQ(wc.cls, "\xef\xbf\xbd");
}

TEST(Record, LayerFollowsTypeAndState) {
    RawWindow raw;
    EXPECT_EQ(layerOf(raw), 0);
    for (auto k : {WindowKind::normal, WindowKind::dialog, WindowKind::utility}) {
        raw.kinds = {k};
        EXPECT_EQ(layerOf(raw), 0);
    }
    raw.above = true;
    EXPECT_NE(layerOf(raw), 0);
    raw.above = false;
    for (auto k : {WindowKind::dock, WindowKind::menu, WindowKind::tooltip, WindowKind::splash,
                   WindowKind::notification, WindowKind::toolbar, WindowKind::dnd}) {
        raw.kinds = {k, WindowKind::normal};
        EXPECT_NE(layerOf(raw), 0);
    }
    raw.kinds = {};
    raw.overrideRedirect = true;
    EXPECT_NE(layerOf(raw), 0);
    raw.typed = true;  // typed but with no known type: normal
    EXPECT_EQ(layerOf(raw), 0);
}

TEST(Record, FieldsAndTheirFallbacks) {
    RawWindow raw;
    raw.id = 0x1e00003;
    raw.opacity = 0xFFFFFFFF;
    raw.bounds = platform::Bounds{1, 2, 300, 200};
    raw.resPid = 1234;
    raw.netPid = 99;
    raw.netName = "net \xff";
    raw.wmName = "wm";
    auto r = windowRecord(raw);
    EXPECT_EQ(r.layer, 0);
    EXPECT_DOUBLE_EQ(*r.alpha, 1.0);
    EXPECT_EQ(r.number, 0x1e00003);
    EXPECT_EQ(r.ownerPid, 1234);
    EXPECT_EQ(r.name, "net \xef\xbf\xbd");
    raw.resPid.reset();
    raw.netName.reset();
    raw.opacity.reset();
    r = windowRecord(raw);
    EXPECT_EQ(r.ownerPid, 99);
    EXPECT_EQ(r.name, "wm");
    EXPECT_FALSE(r.alpha);
    raw.netPid = 0x80000000u;  // not a process id
    raw.wmName.reset();
    r = windowRecord(raw);
    EXPECT_FALSE(r.ownerPid);
    EXPECT_FALSE(r.name);
}

platform::DesktopEntry entry(std::string id, std::optional<std::string> wmClass = {}) {
    platform::DesktopEntry e;
    e.id = std::move(id);
    e.path = "/apps/" + e.id + ".desktop";
    e.startupWmClass = std::move(wmClass);
    return e;
}

TEST(DesktopMatch, StartupWmClassBeforeIdAndIdIgnoresCase) {
    std::vector<platform::DesktopEntry> entries = {entry("xterm"), entry("debian-xterm", "XTerm"),
                                                   entry("Firefox-Esr")};
    auto* e = matchEntry(entries, {"xterm", "XTerm"});
    ASSERT_TRUE(e);
    EXPECT_EQ(e->id, "debian-xterm");
    e = matchEntry(entries, {"Navigator", "firefox-esr"});
    ASSERT_TRUE(e);
    EXPECT_EQ(e->id, "Firefox-Esr");
    EXPECT_FALSE(matchEntry(entries, {"", ""}));
    EXPECT_FALSE(matchEntry(entries, {"xclock", "XClock"}));
    // An empty StartupWMClass never matches a window without a class.
    std::vector<platform::DesktopEntry> blank = {entry("a", "")};
    EXPECT_FALSE(matchEntry(blank, {"", ""}));
}

TEST(DesktopMatch, LaunchedFileOnlyForTheLaunchedProcess) {
    std::string env("A=1\0GIO_LAUNCHED_DESKTOP_FILE=/x/t.desktop\0GIO_LAUNCHED_DESKTOP_FILE_PID=42\0", 77);
    EXPECT_EQ(launchedDesktopFile(env, 42), "/x/t.desktop");
    EXPECT_FALSE(launchedDesktopFile(env, 43));  // inherited by a child
    std::string noPid("GIO_LAUNCHED_DESKTOP_FILE=/y.desktop", 36);
    EXPECT_EQ(launchedDesktopFile(noPid, 7), "/y.desktop");
    EXPECT_FALSE(launchedDesktopFile("", 7));
    EXPECT_FALSE(launchedDesktopFile(std::string("GIO_LAUNCHED_DESKTOP_FILE=\0", 27), 7));
    std::string badPid("GIO_LAUNCHED_DESKTOP_FILE=/z\0GIO_LAUNCHED_DESKTOP_FILE_PID=7x", 61);
    EXPECT_FALSE(launchedDesktopFile(badPid, 7));
}

}  // namespace
