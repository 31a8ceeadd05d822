// The installed companion: `cmake --install` into a temporary prefix puts the
// add-ons where the installed binary looks for them, ships nothing else that
// runs, and the installed binary answers. No display.
#include "platform/resources.hpp"
#include "tests/harness/companion.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

namespace fs = std::filesystem;

// Everything under `root`, as paths relative to it.
std::vector<std::string> filesUnder(const fs::path& root) {
    std::vector<std::string> files;
    if (!fs::is_directory(root)) return files;
    for (auto& e : fs::recursive_directory_iterator(root))
        if (!e.is_directory()) files.push_back(fs::relative(e.path(), root).string());
    return files;
}

std::string execOf(const fs::path& entry) {
    std::ifstream in(entry);
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("Exec=", 0) == 0) return line.substr(5, line.find(' ') - 5);
    return "";
}

bool hasLine(const fs::path& file, const std::string& wanted) {
    std::ifstream in(file);
    std::string line;
    while (std::getline(in, line))
        if (line == wanted) return true;
    return false;
}

struct Install : ::testing::Test {
    fs::path prefix;
    void SetUp() override {
        char tmpl[] = "/tmp/companion-install-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        prefix = tmpl;
        std::string cmd = std::string("'") + CMAKE_COMMAND_PATH + "' --install '" BUILD_DIR
                          "' --prefix '" + prefix.string() + "' >/dev/null";
        ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
    }
    void TearDown() override {
        std::error_code ec;
        if (!prefix.empty()) fs::remove_all(prefix, ec);
    }
};

TEST_F(Install, AddOnsLieWhereTheInstalledBinaryLooksAndItAnswers) {
    fs::path exe = prefix / INSTALL_LIBEXECDIR / "companion" / "companion";
    ASSERT_TRUE(fs::is_regular_file(exe));
    // This prefix is not the one built in: the binary finds its files from
    // its own place, and they are the build tree's staged add-ons.
    auto isDir = [](const std::string& p) { return fs::is_directory(p); };
    fs::path data = prefix / INSTALL_DATADIR / "companion";
    EXPECT_EQ(platform::resourceDirFor(exe.string(), "", isDir), data.string());
    for (auto& staged : filesUnder(STAGE_DIR))
        EXPECT_TRUE(fs::exists(data / staged)) << staged << " is staged but not installed";

    // An authorising desktop entry names the binary where the package puts it
    // and stays out of menus.
    for (auto& name : filesUnder(prefix / INSTALL_DATADIR / "applications")) {
        fs::path entry = prefix / INSTALL_DATADIR / "applications" / name;
        EXPECT_EQ(execOf(entry), INSTALL_FULL_LIBEXECDIR "/companion/companion") << name;
        EXPECT_TRUE(hasLine(entry, "NoDisplay=true")) << name;
    }
    // Nothing else that runs: no test tools, benchmarks or fuzzers.
    for (auto& name : filesUnder(prefix)) {
        auto perms = fs::status(prefix / name).permissions();
        bool runs = (perms & fs::perms::owner_exec) != fs::perms::none;
        EXPECT_TRUE(!runs || prefix / name == exe) << name << " is installed as a program";
    }

    harness::Companion c({}, harness::Launch{.cleanEnv = true, .binary = exe.string()});
    c.send(R"({"cmd":"ping","id":1})");
    EXPECT_EQ(c.line(), R"({"error":"unknown command ping","id":1})");
    c.closeInput();
    EXPECT_EQ(c.wait(), 0);
    EXPECT_EQ(c.stderrText(), "");
}

}  // namespace
