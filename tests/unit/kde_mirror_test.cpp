// The KDE backend's pure parts: the script's reports read as untrusted
// input, the mirror's window numbers, the bounded pipe reader and the
// authorising desktop entry.
#include "platform/kde/backend.hpp"
#include "platform/kde/mirror.hpp"
#include "platform/kde/pipe_read.hpp"
#include "platform/kde/report.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <thread>

namespace {

using namespace platform::kde;
using namespace std::chrono_literals;

std::string window(const std::string& id, int stack, const std::string& extra = "") {
    return R"({"id":")" + id + R"(","stack":)" + std::to_string(stack) +
           R"(,"pid":42,"caption":"T","x":1,"y":2,"width":30,"height":40,"normal":true,"layer":2)" +
           extra + "}";
}

std::string report(const std::vector<std::string>& windows, const std::string& active = "") {
    std::string list;
    for (const auto& w : windows) list += (list.empty() ? "" : ",") + w;
    return R"({"active":")" + active + R"(","windows":[)" + list + "]}";
}

TEST(KdeReport, ReadsWindowsInStackingOrder) {
    auto r = parseReport(report({window("{b}", 3), window("{a}", 1)}, "{b}"));
    ASSERT_TRUE(r);
    ASSERT_EQ(r->windows.size(), 2u);
    EXPECT_EQ(r->windows[0].id, "{a}");
    EXPECT_EQ(r->windows[1].id, "{b}");
    EXPECT_EQ(r->active, "{b}");
    EXPECT_EQ(r->windows[0].pid, 42);
    EXPECT_EQ(*r->windows[0].width, 30);
    EXPECT_EQ(layerOf(r->windows[0]), 0);
}

TEST(KdeReport, RefusesWhatIsNotAReport) {
    for (std::string bad : {
             std::string(""), std::string("{"), std::string("[]"), std::string("{\"windows\":{}}"),
             std::string("{\"windows\":[1]}"), std::string("{\"windows\":[{\"id\":7}]}"),
             std::string("{\"windows\":[{\"id\":\"\"}]}"),
             std::string("{\"windows\":[{\"id\":\"") + std::string(65, 'x') + "\"}]}",
             report({window("{a}", 1)}).substr(0, 40),  // truncated
             std::string("{\"windows\":[[[[[[[[[[[[[[]]]]]]]]]]]]]]}"),
         })
        EXPECT_FALSE(parseReport(bad)) << bad;
    std::string huge = report({window("{a}", 1, ",\"pad\":\"" + std::string(kMaxReportBytes, 'p') + "\"")});
    EXPECT_FALSE(parseReport(huge));
    std::vector<std::string> many;
    for (size_t i = 0; i <= kMaxReportWindows; ++i) many.push_back(R"({"id":"w)" + std::to_string(i) + "\"}");
    EXPECT_FALSE(parseReport(report(many)));
}

TEST(KdeReport, FieldsOfTheWrongKindAreAbsent) {
    auto r = parseReport(report({R"({"id":"{a}","pid":-5,"caption":7,"x":"1","y":2,"width":3,)"
                                 R"("height":4,"opacity":9,"minimized":"yes","layer":1e300})",
                                 R"({"id":"{b}","pid":1.5,"width":-1,"x":0,"y":0,"height":1})",
                                 R"({"id":"{a}","pid":9})"}));
    ASSERT_TRUE(r);
    ASSERT_EQ(r->windows.size(), 2u);  // the duplicate id is dropped
    const ReportedWindow& a = r->windows[0];
    EXPECT_EQ(a.pid, 0);
    EXPECT_EQ(a.caption, "");
    EXPECT_FALSE(a.x);  // one coordinate of the wrong kind: no geometry
    EXPECT_EQ(a.opacity, 1.0);
    EXPECT_FALSE(a.minimized);
    EXPECT_EQ(a.kwinLayer, -1);
    EXPECT_EQ(r->windows[1].pid, 0);
    EXPECT_FALSE(r->windows[1].width);
}

TEST(KdeReport, LongTextIsCutAtACharacterBoundary) {
    std::string caption;
    while (caption.size() < kMaxTextBytes + 10) caption += "\xC3\xA9";  // é
    auto r = parseReport(report({R"({"id":"{a}","caption":")" + caption + "\"}"}));
    ASSERT_TRUE(r);
    const std::string& got = r->windows[0].caption;
    EXPECT_LE(got.size(), kMaxTextBytes);
    EXPECT_EQ(got.size() % 2, 0u);
}

TEST(KdeReport, LayersOfKWinsKinds) {
    ReportedWindow w;
    w.normal = true;
    w.kwinLayer = 2;
    EXPECT_EQ(layerOf(w), 0);
    w.kwinLayer = 6;  // full screen, active
    EXPECT_EQ(layerOf(w), 0);
    w.kwinLayer = 3;  // dock
    EXPECT_NE(layerOf(w), 0);
    w.kwinLayer = -1;  // unknown: from the kind
    w.keepAbove = true;
    EXPECT_NE(layerOf(w), 0);
    ReportedWindow splash;
    splash.splash = true;
    splash.kwinLayer = 2;
    EXPECT_NE(layerOf(splash), 0);
}

TEST(KdeMirror, NumbersLastForTheWindowsLifeAndAreNeverReused) {
    MirrorRef first = applyReport(nullptr, *parseReport(report({window("{a}", 0), window("{b}", 1)}, "{a}")));
    ASSERT_EQ(first->windows.size(), 2u);
    EXPECT_EQ(first->windows[0].w.id, "{b}");  // frontmost first
    ASSERT_TRUE(first->active);
    EXPECT_EQ(first->active->w.id, "{a}");
    uint32_t a = first->numbers.at("{a}"), b = first->numbers.at("{b}");
    EXPECT_NE(a, b);

    MirrorRef second = applyReport(first.get(), *parseReport(report({window("{b}", 0), window("{c}", 1)})));
    EXPECT_EQ(second->numbers.at("{b}"), b);
    uint32_t c = second->numbers.at("{c}");
    EXPECT_NE(c, a);
    EXPECT_FALSE(second->active);
    EXPECT_FALSE(second->find(a));

    // "{a}" again (an id KWin reused, or a restart): a new number.
    MirrorRef third = applyReport(second.get(), *parseReport(report({window("{a}", 0)})));
    EXPECT_NE(third->numbers.at("{a}"), a);
    EXPECT_NE(third->numbers.at("{a}"), c);
}

TEST(KdeMirror, OnScreenNeedsASizeTheCurrentDesktopAndNoMinimising) {
    ReportedWindow w = parseReport(report({window("{a}", 0)}))->windows[0];
    EXPECT_TRUE(onScreen(w));
    w.minimized = true;
    EXPECT_FALSE(onScreen(w));
    w.minimized = false;
    w.onCurrentDesktop = false;
    EXPECT_FALSE(onScreen(w));
    w.onCurrentDesktop = true;
    w.width.reset();
    EXPECT_FALSE(onScreen(w));
}

struct Pipe {
    int fds[2] = {-1, -1};
    Pipe() { EXPECT_EQ(pipe(fds), 0); }
    ~Pipe() {
        for (int fd : fds)
            if (fd >= 0) close(fd);
    }
    void closeWriter() {
        close(fds[1]);
        fds[1] = -1;
    }
};

TEST(KdePipeRead, ReadsExactlyTheAnnouncedSize) {
    Pipe p;
    std::string sent(1000, 'x');
    sent += "MORE";
    ASSERT_EQ(write(p.fds[1], sent.data(), sent.size()), ssize_t(sent.size()));
    std::vector<uint8_t> into(1000);
    EXPECT_EQ(readExactly(p.fds[0], into.data(), into.size(), 1000ms), "");
    char rest[8] = {};
    EXPECT_EQ(read(p.fds[0], rest, sizeof rest), 4);  // what lies past is left alone
}

TEST(KdePipeRead, FewerBytesThanAnnouncedIsAnError) {
    Pipe p;
    std::thread writer([&] {
        std::string part(300, 'y');
        (void)!write(p.fds[1], part.data(), part.size());
        std::this_thread::sleep_for(20ms);
        (void)!write(p.fds[1], part.data(), part.size());
        p.closeWriter();
    });
    std::vector<uint8_t> into(1000);
    std::string error = readExactly(p.fds[0], into.data(), into.size(), 5000ms);
    writer.join();
    EXPECT_EQ(error, "KWin sent fewer bytes than it announced");
}

TEST(KdePipeRead, AWriterThatStallsIsGivenUpOn) {
    Pipe p;
    ASSERT_EQ(write(p.fds[1], "abc", 3), 3);
    std::vector<uint8_t> into(10);
    EXPECT_EQ(readExactly(p.fds[0], into.data(), into.size(), 50ms),
              "KWin did not send the picture in time");
}

TEST(KdeEntry, AuthorisesThePathItIsGiven) {
    auto plain = authorisingEntry("/usr/libexec/companion/companion");
    ASSERT_TRUE(plain);
    EXPECT_NE(plain->find("\nExec=/usr/libexec/companion/companion\n"), std::string::npos);
    EXPECT_NE(plain->find("\nNoDisplay=true\n"), std::string::npos);
    EXPECT_NE(plain->find("\nX-KDE-DBUS-Restricted-Interfaces=org.kde.KWin.ScreenShot2\n"),
              std::string::npos);
    auto spaced = authorisingEntry("/opt/my app/$x\"/companion");
    ASSERT_TRUE(spaced);
    EXPECT_NE(spaced->find("\nExec=\"/opt/my app/\\\\$x\\\\\"/companion\"\n"), std::string::npos)
        << *spaced;
    EXPECT_FALSE(authorisingEntry("relative/companion"));
    EXPECT_FALSE(authorisingEntry("/bad\npath"));
}

TEST(KdeEntry, IsWrittenOnceAndRewrittenForAnotherExecutable) {
    std::string dir = std::filesystem::temp_directory_path() / ("kde-entry-" + std::to_string(getpid()));
    std::string apps = dir + "/share/applications";
    ASSERT_TRUE(writeAuthorisingEntry(apps, "/a/companion"));
    auto read = [&] {
        std::ifstream in(apps + "/companion.desktop");
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    EXPECT_EQ(read(), *authorisingEntry("/a/companion"));
    ASSERT_TRUE(writeAuthorisingEntry(apps, "/b/companion"));
    EXPECT_EQ(read(), *authorisingEntry("/b/companion"));
    std::filesystem::remove_all(dir);
}

}  // namespace
