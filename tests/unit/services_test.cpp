// Service commands on plain data: state words, haptic patterns, extension
// removal, bus-name checks, and bundles at paths.
#include "platform/dbus/probe.hpp"
#include "platform/platform.hpp"
#include "services/automation.hpp"
#include "services/path_extension.hpp"
#include "services/services.hpp"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>

namespace {

TEST(Automation, StateWordsFollowTheStatusTable) {
    EXPECT_STREQ(services::stateWord(0), "allowed");
    EXPECT_STREQ(services::stateWord(-1743), "denied");
    EXPECT_STREQ(services::stateWord(-1744), "ask");
    EXPECT_STREQ(services::stateWord(-600), "not-running");
    for (int32_t other : {1, -1, 600, 1743, -1742, -1745, -601, INT32_MIN, INT32_MAX})
        EXPECT_STREQ(services::stateWord(other), "unknown") << other;
    EXPECT_STREQ(services::stateWord(std::nullopt), "unknown");
}

TEST(Automation, NoTargetMeansNoBusCall) {
    // Nothing to connect to either way; an identifier that is no bus name must
    // come back as "no target", not as a failed call.
    EXPECT_EQ(platform::automationStatus(""), std::nullopt);
    EXPECT_EQ(platform::automationStatus("com.apple.Finder "), std::nullopt);
}

TEST(Automation, WellKnownBusNames) {
    for (const char* ok : {"org.freedesktop.DBus", "a.b", "com.example-app._x", "A1.B2.C3",
                           "_.-"})
        EXPECT_TRUE(platform::wellKnownBusName(ok)) << ok;
    std::string longest = "a." + std::string(253, 'b');
    EXPECT_TRUE(platform::wellKnownBusName(longest));
    for (const char* bad : {"", "single", ".a.b", "a.b.", "a..b", "a.1b", "1a.b", ":1.5",
                            "a.b c", "a.b/c", "a.b\xc3\xa9", "a.b\n", "a.*"})
        EXPECT_FALSE(platform::wellKnownBusName(bad)) << bad;
    EXPECT_FALSE(platform::wellKnownBusName(longest + "b"));
    EXPECT_FALSE(platform::wellKnownBusName(std::string_view("a.b\0c", 5)));
}

TEST(Haptic, OnlyExactlyGenericIsPatternZero) {
    EXPECT_EQ(services::hapticPattern("generic"), 0);
    for (const char* other : {"Generic", "generic ", " generic", "alignment", "", "GENERIC"})
        EXPECT_EQ(services::hapticPattern(other), 1) << other;
    EXPECT_EQ(services::hapticPattern(std::nullopt), 1);
    EXPECT_EQ(services::hapticPattern(std::string("generic\0", 8)), 1);
    EXPECT_EQ(services::kHapticNow, 1);
}

TEST(PathExtension, RemovesOnlyTheLastExtensionOfTheLastComponent) {
    struct Case {
        const char* in;
        const char* out;
    } cases[] = {
        {"Foo 2.0", "Foo 2"},       {"a.b.c", "a.b"},         {"Tool.app", "Tool"},
        {"plain", "plain"},         {".hidden", ".hidden"},   {".hidden.txt", ".hidden"},
        {"x.", "x"},                {"..", ".."},             {"...", ".."},
        {"a..", "a."},              {"scratch..tiff", "scratch."},
        {"/tmp/scratch.tiff", "/tmp/scratch"},              {"/tmp/", "/tmp"},
        {"scratch.bundle/", "scratch"},                    {"dir.d/file", "dir.d/file"},
        {"a//b.c//", "a/b"},        {"/", "/"},               {"//", "/"},
        {"", ""},                   {".", "."},               {"a/.b", "a/.b"},
        {"AC/DC 1.5", "AC/DC 1"},   {"\xc3\xa9t\xc3\xa9.txt", "\xc3\xa9t\xc3\xa9"},
    };
    for (const Case& c : cases) EXPECT_EQ(services::deletingPathExtension(c.in), c.out) << c.in;
}

class BundleTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/bundle-test-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
    }
    void TearDown() override { std::filesystem::remove_all(dir); }
    std::string dir;
};

TEST_F(BundleTest, EntriesAndDirectoriesAreBundlesOtherPathsAreNot) {
    std::string entry = dir + "/org.example.Edit.desktop";
    std::ofstream(entry) << "[Desktop Entry]\nName=Edit 3.1\n";
    auto b = platform::bundleAt(entry);
    ASSERT_TRUE(b);
    EXPECT_EQ(b->identifier, "org.example.Edit");
    EXPECT_EQ(platform::displayNameAt(entry), "Edit 3.1");

    // A desktop entry without a name is still a bundle, named by its file.
    std::string nameless = dir + "/nameless.desktop";
    std::ofstream(nameless) << "[Desktop Entry]\nName=\nIcon=x\n";
    EXPECT_EQ(platform::bundleAt(nameless)->identifier, "nameless");
    EXPECT_EQ(platform::displayNameAt(nameless), "nameless.desktop");

    std::filesystem::create_directory(dir + "/Tool.app");
    b = platform::bundleAt(dir + "/Tool.app/");
    ASSERT_TRUE(b);
    EXPECT_FALSE(b->identifier);
    EXPECT_EQ(platform::displayNameAt(dir + "/Tool.app/"), "Tool.app");

    // A text file that looks like an entry but is not named as one, a file
    // named as one that is not, and missing paths: no bundle.
    std::string text = dir + "/notes.txt";
    std::ofstream(text) << "[Desktop Entry]\nName=Imposter\n";
    EXPECT_FALSE(platform::bundleAt(text));
    EXPECT_EQ(platform::displayNameAt(text), "notes.txt");
    std::string fake = dir + "/fake.desktop";
    std::ofstream(fake) << "just text\n";
    EXPECT_FALSE(platform::bundleAt(fake));
    EXPECT_EQ(platform::displayNameAt(fake), "fake.desktop");
    EXPECT_FALSE(platform::bundleAt(dir + "/missing.desktop"));
    EXPECT_EQ(platform::displayNameAt(dir + "/missing.desktop"), "missing.desktop");
    EXPECT_FALSE(platform::bundleAt(""));
    EXPECT_EQ(platform::displayNameAt(""), "");
    EXPECT_EQ(platform::displayNameAt("/"), "/");
    EXPECT_EQ(platform::displayNameAt("rel/x.y//"), "x.y");
    EXPECT_EQ(platform::displayNameAt("/nowhere/bad\xff.z"), "bad\xEF\xBF\xBD.z");

    // A NUL cuts what the file system sees: such a path names nothing, not
    // the entry or directory before the NUL.
    std::string cut = entry + std::string("\0x/evil.desktop", 15);
    EXPECT_FALSE(platform::bundleAt(cut));
    EXPECT_EQ(platform::displayNameAt(cut), "evil.desktop");
    std::string cutDir = dir + std::string("\0x", 2);
    EXPECT_FALSE(platform::bundleAt(cutDir));
}

}  // namespace
