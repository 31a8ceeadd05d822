// Which data directory an executable finds, installed, relocated or in a build tree.
#include "platform/resources.hpp"

#include <gtest/gtest.h>

#include <set>

namespace {

using platform::resourceDirFor;

// A file system holding exactly `dirs`.
auto only(std::set<std::string> dirs) {
    return [dirs = std::move(dirs)](const std::string& p) { return dirs.count(p) > 0; };
}

TEST(ResourceDir, InstalledPrefixWinsOverARelocatedGuess) {
    const std::string exe = "/usr/libexec/companion/companion";
    EXPECT_EQ(resourceDirFor(exe, "/usr/share/companion", only({"/usr/share/companion"})),
              "/usr/share/companion");
    // Moved alone elsewhere: the prefix's files still serve it.
    EXPECT_EQ(resourceDirFor("/opt/host/companion", "/usr/share/companion",
                             only({"/usr/share/companion", "/opt/share/companion"})),
              "/usr/share/companion");
}

TEST(ResourceDir, RelocatedInstallFoundFromTheExecutable) {
    // libexec/companion/companion of a prefix that is not the built-in one.
    EXPECT_EQ(resourceDirFor("/tmp/root/usr/libexec/companion/companion", "/usr/share/companion",
                             only({"/tmp/root/usr/share/companion"})),
              "/tmp/root/usr/share/companion");
    // bin/companion layout.
    EXPECT_EQ(resourceDirFor("/opt/c/bin/companion", "/usr/share/companion",
                             only({"/opt/c/share/companion"})),
              "/opt/c/share/companion");
    // Both layouts exist: the nearer one is the executable's own prefix.
    EXPECT_EQ(resourceDirFor("/opt/c/bin/companion", "",
                             only({"/opt/c/share/companion", "/opt/share/companion"})),
              "/opt/c/share/companion");
}

TEST(ResourceDir, BuildTreeStageWinsOverAnInstalledCopy) {
    EXPECT_EQ(resourceDirFor("/src/build/companion", "/usr/local/share/companion",
                             only({"/usr/local/share/companion", "/src/build/share/companion"})),
              "/src/build/share/companion");
}

TEST(ResourceDir, NothingWhenNoneExistsOrTheExecutableIsUnknown) {
    EXPECT_EQ(resourceDirFor("/usr/libexec/companion/companion", "/usr/share/companion", only({})),
              std::nullopt);
    EXPECT_EQ(resourceDirFor("", "/usr/share/companion", only({"/usr/share/companion"})),
              "/usr/share/companion");
    // No relative guess from an unknown executable (it would be the working directory's).
    EXPECT_EQ(resourceDirFor("", "", only({"share/companion", "../share/companion"})),
              std::nullopt);
    EXPECT_EQ(resourceDirFor("/companion", "", only({"/share/companion"})), "/share/companion");
}

}  // namespace
