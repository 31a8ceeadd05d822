// The GNOME backend's pure parts: the settings list text "allow" edits, and
// whether XDG_CURRENT_DESKTOP names GNOME.
#include "platform/gnome/backend.hpp"
#include "platform/gnome/settings_text.hpp"

#include <gtest/gtest.h>

namespace {

using platform::gnome::formatStringList;
using platform::gnome::parseStringList;
using List = std::vector<std::string>;

TEST(GnomeSettingsText, ReadsWhatGsettingsPrints) {
    EXPECT_EQ(parseStringList("@as []\n"), List{});
    EXPECT_EQ(parseStringList("[]"), List{});
    EXPECT_EQ(parseStringList("['a@b', 'c']\n"), (List{"a@b", "c"}));
    EXPECT_EQ(parseStringList("[\"it's\", 'q\\'\\\\']"), (List{"it's", "q'\\"}));
}

TEST(GnomeSettingsText, RefusesWhatIsNoList) {
    for (const char* bad : {"", "'a'", "['a'", "['a',]", "['a' 'b']", "['a'] x", "[a]", "['a"})
        EXPECT_FALSE(parseStringList(bad)) << bad;
}

TEST(GnomeSettingsText, WritesWhatItReads) {
    List items{"windows@companion", "o'dd\\one", ""};
    EXPECT_EQ(formatStringList({}), "[]");
    EXPECT_EQ(parseStringList(formatStringList(items)), items);
}

TEST(GnomeSession, NamesGnomeInTheDesktopList) {
    EXPECT_TRUE(platform::gnome::namesGnome("GNOME"));
    EXPECT_TRUE(platform::gnome::namesGnome("ubuntu:GNOME"));
    EXPECT_TRUE(platform::gnome::namesGnome("GNOME:GNOME-Classic"));
    EXPECT_FALSE(platform::gnome::namesGnome("GNOME-Flashback"));
    EXPECT_FALSE(platform::gnome::namesGnome("KDE"));
    EXPECT_FALSE(platform::gnome::namesGnome(""));
}

}  // namespace
