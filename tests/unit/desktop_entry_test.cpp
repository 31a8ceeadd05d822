// Desktop entry reading: the group, localized Name, escapes, hostile files.
#include "platform/apps/desktop_entry.hpp"

#include "core/utf8.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>

namespace {

namespace fs = std::filesystem;

// A scratch directory and a clean message locale for each test.
class DesktopEntryTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/desktop-entry-test-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        for (const char* v : {"LC_ALL", "LC_MESSAGES", "LANG", "XDG_DATA_HOME", "XDG_DATA_DIRS",
                              "HOME"}) {
            if (const char* old = getenv(v)) saved.emplace_back(v, old);
            unsetenv(v);
        }
    }
    void TearDown() override {
        fs::remove_all(dir);
        for (const char* v : {"LC_ALL", "LC_MESSAGES", "LANG", "XDG_DATA_HOME", "XDG_DATA_DIRS",
                              "HOME"})
            unsetenv(v);
        for (auto& [k, v] : saved) setenv(k.c_str(), v.c_str(), 1);
    }
    std::string write(const std::string& name, const std::string& text) {
        std::string path = dir + "/" + name;
        std::ofstream(path, std::ios::binary) << text;
        return path;
    }
    std::string dir;
    std::vector<std::pair<std::string, std::string>> saved;
};

const char* kLocalized =
    "[Desktop Entry]\n"
    "Name=Plain\n"
    "Name[de]=Deutsch\n"
    "Name[de_AT]=Austria\n"
    "Name[de@euro]=Euro\n"
    "Name[de_AT@euro]=AustriaEuro\n"
    "Name[fr_FR]=France\n"
    "Name[C]=NotALanguage\n";

TEST_F(DesktopEntryTest, ReadsTheFieldsOfTheDesktopEntryGroupOnly) {
    auto path = write("org.example.Tool.desktop",
                      "# comment\n\n[Desktop Entry]\r\n"
                      "Type=Application\r\n"
                      "Name = Tool\r\n"
                      "Icon=tool-icon\n"
                      "Exec=tool %U\n"
                      "StartupWMClass=ToolWin\n"
                      "Name=Second\n"
                      "[Desktop Action New]\n"
                      "Name=Action\nIcon=other\n");
    auto e = platform::readDesktopEntry(path);
    ASSERT_TRUE(e);
    EXPECT_EQ(e->id, "org.example.Tool");
    EXPECT_EQ(e->path, path);
    EXPECT_EQ(e->name, "Tool");
    EXPECT_EQ(e->icon, "tool-icon");
    EXPECT_EQ(e->exec, "tool %U");
    EXPECT_EQ(e->startupWmClass, "ToolWin");

    auto other = platform::readDesktopEntry(
        write("o.desktop", "[Other]\nName=No\n[Desktop Entry]\nIcon=i\n"));
    ASSERT_TRUE(other);
    EXPECT_FALSE(other->name);
    EXPECT_EQ(other->icon, "i");
}

TEST_F(DesktopEntryTest, LocalizesNameByTheMessageLocaleMostSpecificFirst) {
    auto path = write("l.desktop", kLocalized);
    auto nameWith = [&](const char* var, const char* value) {
        setenv(var, value, 1);
        auto e = platform::readDesktopEntry(path);
        unsetenv(var);
        return e ? e->name : std::nullopt;
    };
    EXPECT_EQ(nameWith("LANG", "de_AT.UTF-8@euro"), "AustriaEuro");
    EXPECT_EQ(nameWith("LANG", "de_AT.UTF-8"), "Austria");
    EXPECT_EQ(nameWith("LANG", "de_CH@euro"), "Euro");
    EXPECT_EQ(nameWith("LANG", "de_CH.UTF-8"), "Deutsch");
    EXPECT_EQ(nameWith("LANG", "fr_FR"), "France");
    EXPECT_EQ(nameWith("LANG", "fr_CA"), "Plain");
    EXPECT_EQ(nameWith("LANG", "C"), "Plain");
    EXPECT_EQ(nameWith("LANG", "C.UTF-8"), "Plain");
    EXPECT_EQ(nameWith("LANG", ""), "Plain");

    // LC_ALL wins over LC_MESSAGES, which wins over LANG.
    setenv("LANG", "fr_FR.UTF-8", 1);
    EXPECT_EQ(nameWith("LC_MESSAGES", "de"), "Deutsch");
    setenv("LC_MESSAGES", "de", 1);
    EXPECT_EQ(nameWith("LC_ALL", "de_AT"), "Austria");
}

TEST_F(DesktopEntryTest, UnescapesValuesAndRepairsUtf8) {
    auto e = platform::readDesktopEntry(write(
        "e.desktop", "[Desktop Entry]\nName=a\\sb\\tc\\nd\\re\\\\f\\xg\\\nIcon=bad\xff\xfe\n"));
    ASSERT_TRUE(e);
    EXPECT_EQ(e->name, "a b\tc\nd\re\\f\\xg\\");
    EXPECT_EQ(e->icon, "bad\xEF\xBF\xBD\xEF\xBF\xBD");

    auto bad = platform::readDesktopEntry(write("bad\xff.desktop", "[Desktop Entry]\nName=x\n"));
    ASSERT_TRUE(bad);
    EXPECT_TRUE(core::validUtf8(bad->id));
    EXPECT_TRUE(core::validUtf8(bad->path));
}

TEST_F(DesktopEntryTest, RefusesWhatIsNotADesktopEntryFile) {
    EXPECT_FALSE(platform::readDesktopEntry(dir + "/missing.desktop"));
    EXPECT_FALSE(platform::readDesktopEntry(write("none.desktop", "Name=No group\n")));
    EXPECT_FALSE(platform::readDesktopEntry(write("empty.desktop", "")));
    fs::create_directory(dir + "/d.desktop");
    EXPECT_FALSE(platform::readDesktopEntry(dir + "/d.desktop"));
    // A FIFO without a writer would block an ordinary open.
    std::string fifo = dir + "/f.desktop";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_FALSE(platform::readDesktopEntry(fifo));
    EXPECT_FALSE(platform::readDesktopEntry("/dev/zero"));
}

TEST_F(DesktopEntryTest, ReadsOnlyABoundedPrefixOfAHugeFile) {
    std::string text = "[Desktop Entry]\nName=Big\n";
    text += "Icon=" + std::string(300 * 1024, 'x') + "\n";  // cut by the bound
    text += "Exec=never-read\n";
    auto e = platform::readDesktopEntry(write("big.desktop", text));
    ASSERT_TRUE(e);
    EXPECT_EQ(e->name, "Big");
    EXPECT_FALSE(e->icon);
    EXPECT_FALSE(e->exec);
}

TEST_F(DesktopEntryTest, ApplicationDirsFollowTheBaseDirectoryRules) {
    setenv("HOME", "/home/u", 1);
    EXPECT_EQ(platform::applicationDirs(),
              (std::vector<std::string>{"/home/u/.local/share/applications",
                                        "/usr/local/share/applications",
                                        "/usr/share/applications"}));
    setenv("XDG_DATA_HOME", "/data/", 1);
    setenv("XDG_DATA_DIRS", "/a::relative:/b:/a", 1);
    EXPECT_EQ(platform::applicationDirs(),
              (std::vector<std::string>{"/data/applications", "/a/applications",
                                        "/b/applications"}));
}

}  // namespace
