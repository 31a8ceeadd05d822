// Icon lookup and decoding: theme directories by index.theme, the user's
// theme and its parents before hicolor, pixmaps, absolute paths; SVG, SVGZ
// and XPM; hostile files bounded.
#include "platform/icons/svg.hpp"
#include "platform/icons/theme.hpp"
#include "platform/icons/xpm.hpp"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>

namespace {

namespace fs = std::filesystem;
using platform::RgbaImage;
using namespace platform::icons;

std::string svgOf(const char* color) {
    return std::string("<svg xmlns='http://www.w3.org/2000/svg' viewBox='0 0 10 10'>"
                       "<rect width='10' height='10' fill='") + color + "'/></svg>";
}

const char* kXpm = R"(/* XPM */
static char *x[] = {
"4 2 3 1",
"  c None",
"r c red",
"g c #00FF00",
"rrgg",
"  gg"};
)";

// The colour at the image's centre as 0xRRGGBBAA.
uint32_t centre(const RgbaImage& img) {
    const uint8_t* p = &img.rgba[(size_t(img.height / 2) * size_t(img.width) + size_t(img.width / 2)) * 4];
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

void write(const fs::path& p, const std::string& text) {
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << text;
}

std::string gzip(const std::string& data) {
    std::string out(compressBound(uLong(data.size())) + 64, '\0');
    z_stream z{};
    deflateInit2(&z, 9, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    z.avail_in = uInt(data.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = uInt(out.size());
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

class IconTheme : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/icon-theme-test-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        for (const char* v : {"HOME", "XDG_DATA_HOME", "XDG_DATA_DIRS", "XDG_CONFIG_HOME"}) {
            if (const char* old = getenv(v)) saved.emplace_back(v, old);
            unsetenv(v);
        }
        setenv("HOME", (dir / "home").c_str(), 1);
        setenv("XDG_DATA_DIRS", (dir / "share").c_str(), 1);
    }
    void TearDown() override {
        for (const char* v : {"HOME", "XDG_DATA_HOME", "XDG_DATA_DIRS", "XDG_CONFIG_HOME"}) unsetenv(v);
        for (auto& [k, v] : saved) setenv(k.c_str(), v.c_str(), 1);
        fs::remove_all(dir);
    }
    fs::path dir;
    std::vector<std::pair<std::string, std::string>> saved;
};

// Sets a path's modification time `seconds` into the past.
void age(const fs::path& p, int seconds) {
    timespec t[2];
    clock_gettime(CLOCK_REALTIME, &t[0]);
    t[0].tv_sec -= seconds;
    t[1] = t[0];
    ASSERT_EQ(utimensat(AT_FDCWD, p.c_str(), t, 0), 0);
}

// Lookups remember what they read while it stays unchanged; a later change
// (an icon installed after a miss, a new index) is seen at the next lookup.
TEST_F(IconTheme, WhatChangesOnDiskIsSeenByTheNextLookup) {
    fs::path hicolor = dir / "share/icons/hicolor";
    write(hicolor / "index.theme", "[Icon Theme]\nDirectories=48x48/apps\n[48x48/apps]\nSize=48\nType=Fixed\n");
    write(hicolor / "48x48/apps/other.xpm", kXpm);
    age(hicolor / "index.theme", 3600);
    age(hicolor / "48x48/apps", 3600);
    EXPECT_FALSE(themeIcon("late", 48));
    EXPECT_FALSE(themeIcon("late", 48));  // from the remembered listing
    write(hicolor / "48x48/apps/late.svg", svgOf("red"));
    auto img = themeIcon("late", 48);
    ASSERT_TRUE(img);
    EXPECT_EQ(centre(*img), 0xFF0000FFu);

    // A new index naming another directory.
    write(hicolor / "scalable/apps/moved.svg", svgOf("blue"));
    age(hicolor / "scalable/apps", 3600);
    EXPECT_FALSE(themeIcon("moved", 48));
    write(hicolor / "index.theme",
          "[Icon Theme]\nDirectories=48x48/apps,scalable/apps\n[48x48/apps]\nSize=48\nType=Fixed\n"
          "[scalable/apps]\nSize=64\nMinSize=8\nMaxSize=512\nType=Scalable\n");
    img = themeIcon("moved", 48);
    ASSERT_TRUE(img);
    EXPECT_EQ(centre(*img), 0x0000FFFFu);

    // Removed: no longer found.
    fs::remove(hicolor / "48x48/apps/late.svg");
    EXPECT_FALSE(themeIcon("late", 48));

    // A theme without index.theme is searched by its size directories.
    write(dir / "home/.config/gtk-3.0/settings.ini", "[Settings]\ngtk-icon-theme-name=Bare\n");
    write(dir / "share/icons/Bare/32x32/apps/bare.xpm", kXpm);
    write(dir / "share/icons/Bare/scalable/apps/bare.svg", svgOf("red"));
    img = themeIcon("bare", 64);
    ASSERT_TRUE(img);
    EXPECT_EQ(img->width, 64);
    EXPECT_EQ(centre(*img), 0xFF0000FFu);
}

TEST_F(IconTheme, IndexDirectoriesUserThemeParentsHicolorPixmapsAndPaths) {
    fs::path icons = dir / "share/icons";
    write(icons / "hicolor/index.theme",
          "[Icon Theme]\nName=Hicolor\nDirectories=16x16/apps,scalable/apps,odd\n\n"
          "[16x16/apps]\nSize=16\nType=Fixed\n\n[scalable/apps]\nSize=64\nMinSize=8\nMaxSize=512\n"
          "Type=Scalable\n\n[odd]\nSize=64\nScale=2\n");
    write(icons / "hicolor/16x16/apps/shared.xpm", kXpm);
    write(icons / "hicolor/scalable/apps/shared.svg", svgOf("blue"));
    write(icons / "hicolor/scalable/apps/packed.svgz", gzip(svgOf("lime")));
    write(icons / "hicolor/odd/scaled.svg", svgOf("blue"));  // for scale 2 only
    // The user's theme (GTK settings) and the theme it inherits.
    write(dir / "home/.config/gtk-3.0/settings.ini", "[Settings]\ngtk-icon-theme-name = Mine\n");
    write(icons / "Mine/index.theme", "[Icon Theme]\nInherits=Parent\nDirectories=48\n[48]\nSize=48\n");
    write(icons / "Mine/48/shared.svg", svgOf("red"));
    write(icons / "Parent/index.theme", "[Icon Theme]\nDirectories=apps\n[apps]\nSize=32\nType=Fixed\n");
    write(dir / "home/.icons/Parent/apps/inherited.xpm", kXpm);  // $HOME/.icons counts too
    write(dir / "share/pixmaps/old.xpm", kXpm);

    auto img = themeIcon("shared", 64);  // the user's theme comes before hicolor
    ASSERT_TRUE(img);
    EXPECT_EQ(img->width, 64);
    EXPECT_EQ(centre(*img), 0xFF0000FFu);
    img = themeIcon("inherited", 64);
    ASSERT_TRUE(img);
    EXPECT_EQ(img->width, 4);
    img = themeIcon("packed.svgz", 48);  // an extension in the name is dropped
    ASSERT_TRUE(img);
    EXPECT_EQ(img->width, 48);
    EXPECT_EQ(centre(*img), 0x00FF00FFu);
    EXPECT_FALSE(themeIcon("scaled", 64));  // only in a directory for scale 2
    img = themeIcon("old", 64);
    ASSERT_TRUE(img);
    EXPECT_EQ(img->height, 2);
    img = themeIcon((icons / "hicolor/scalable/apps/shared.svg").string(), 64);
    ASSERT_TRUE(img);
    EXPECT_EQ(centre(*img), 0x0000FFFFu);
    EXPECT_FALSE(themeIcon("../hicolor/scalable/apps/shared", 64));
    EXPECT_FALSE(themeIcon("missing", 64));

    // Without a user theme: hicolor, the scalable directory for 64.
    fs::remove(dir / "home/.config/gtk-3.0/settings.ini");
    write(dir / "home/.config/kdeglobals", "[Icons]\nTheme=../../etc\n");  // not a theme name
    img = themeIcon("shared", 64);
    ASSERT_TRUE(img);
    EXPECT_EQ(centre(*img), 0x0000FFFFu);
}

TEST(IconThemeIndex, SearchOrderPrefersMatchingThenLargerThenSmaller) {
    ThemeIndex index = parseIndexTheme(
        "[Icon Theme]\nDirectories=16,32,48,128,scalable,big@2\nInherits=A, B\n"
        "[16]\nSize=16\nType=Fixed\n[32]\nSize=32\nType=Threshold\n[48]\nSize=48\nType=Fixed\n"
        "[128]\nSize=128\nType=Fixed\n[scalable]\nSize=48\nMinSize=48\nMaxSize=56\nType=Scalable\n"
        "[big@2]\nSize=64\nScale=2\n");
    ASSERT_EQ(index.dirs.size(), 6u);
    EXPECT_EQ(index.inherits, (std::vector<std::string>{"A", "B"}));
    std::vector<std::string> order;
    for (const ThemeDir* d : searchOrder(index.dirs, 64)) order.push_back(d->path);
    EXPECT_EQ(order, (std::vector<std::string>{"128", "scalable", "48", "32", "16"}));
    order.clear();
    for (const ThemeDir* d : searchOrder(index.dirs, 33)) order.push_back(d->path);
    EXPECT_EQ(order.front(), "32");  // within its threshold
}

TEST(IconDecoders, XpmColoursTransparencyAndHostileHeaders) {
    auto img = decodeXpm(kXpm, kMaxIconSide);
    ASSERT_TRUE(img);
    ASSERT_EQ(img->width, 4);
    EXPECT_EQ(img->rgba[0], 255);  // red, by name
    EXPECT_EQ(img->rgba[3], 255);
    EXPECT_EQ(img->rgba[4 * 2 + 1], 255);  // green, by value
    EXPECT_EQ(img->rgba[4 * 4 + 3], 0);    // None
    // A giant claimed size is refused before anything is allocated.
    std::string giant = kXpm;
    giant.replace(giant.find("4 2 3 1"), 7, "30000 30000 3 1");
    EXPECT_FALSE(decodeXpm(giant, kMaxIconSide));
    giant = kXpm;
    giant.replace(giant.find("4 2 3 1"), 7, "4 2 99999999 1");
    EXPECT_FALSE(decodeXpm(giant, kMaxIconSide));
    std::string shortData = kXpm;
    shortData.resize(shortData.find("rrgg"));
    EXPECT_FALSE(decodeXpm(shortData, kMaxIconSide));
    EXPECT_FALSE(decodeXpm("not an image", kMaxIconSide));
}

TEST(IconDecoders, SvgBombsAreBoundedAndExternalReferencesAreNotFetched) {
    auto svg = renderSvg(svgOf("blue"), 64);
    ASSERT_TRUE(svg);
    EXPECT_EQ(svg->width, 64);
    EXPECT_EQ(centre(*svg), 0x0000FFFFu);
    EXPECT_FALSE(renderSvg("<svg", 64));
    EXPECT_FALSE(renderSvg(svgOf("blue"), 0));

    // A huge viewBox is only scaled down.
    auto huge = renderSvg("<svg xmlns='http://www.w3.org/2000/svg' viewBox='0 0 1e30 1e30'>"
                          "<rect width='1e30' height='1e30' fill='red'/></svg>", 64);
    ASSERT_TRUE(huge);
    EXPECT_EQ(huge->width, 64);

    // Deep nesting and mass reuse: refused or rendered, in bounded time.
    std::string deep = "<svg xmlns='http://www.w3.org/2000/svg'>";
    for (int i = 0; i < 100000; ++i) deep += "<g>";
    deep += "</svg>";
    renderSvg(deep, 64);
    std::string laughs = "<svg xmlns='http://www.w3.org/2000/svg' "
                         "xmlns:xlink='http://www.w3.org/1999/xlink'><rect id='l0' width='1' height='1'/>";
    for (int i = 1; i < 12; ++i) {
        laughs += "<g id='l" + std::to_string(i) + "'>";
        for (int k = 0; k < 10; ++k) laughs += "<use xlink:href='#l" + std::to_string(i - 1) + "'/>";
        laughs += "</g>";
    }
    laughs += "</svg>";
    renderSvg(laughs, 64);

    // A gzip bomb: inflated only up to the cap.
    EXPECT_FALSE(renderSvg(gzip(std::string(16 << 20, ' ')), 64));
    EXPECT_FALSE(renderSvg(gzip(svgOf("blue")).substr(0, 20), 64));

    // External references name a FIFO: opening it would block for ever.
    char tmpl[] = "/tmp/svg-fifo-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    std::string fifo = std::string(tmpl) + "/pipe";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::string external = "<svg xmlns='http://www.w3.org/2000/svg' "
                           "xmlns:xlink='http://www.w3.org/1999/xlink' viewBox='0 0 10 10'>"
                           "<image width='10' height='10' xlink:href='file://" + fifo + "'/>"
                           "<use xlink:href='file://" + fifo + "#x'/>"
                           "<image width='10' height='10' xlink:href='http://127.0.0.1:9/x.png'/>"
                           "<rect width='5' height='5' fill='" "url(file://" + fifo + "#p)'/></svg>";
    auto job = std::async(std::launch::async, [&] { return renderSvg(external, 64); });
    bool done = job.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
    if (!done) {  // unblock the reader so the test can end
        int fd = ::open(fifo.c_str(), O_WRONLY);
        if (fd >= 0) ::close(fd);
    }
    EXPECT_TRUE(done) << "an external reference was opened";
    job.wait();
    fs::remove_all(tmpl);
}

}  // namespace
