// Identity rules beyond WM_CLASS: ids a window names, sandboxes, the launching
// systemd unit (its first process only), the Exec program; and the visible
// area of a window with a client-drawn margin.
#include "platform/apps/identity.hpp"
#include "platform/x11/props.hpp"

#include <gtest/gtest.h>

namespace {

using namespace platform::apps;
using platform::DesktopEntry;

DesktopEntry entry(std::string id, std::optional<std::string> exec = std::nullopt) {
    DesktopEntry e;
    e.id = std::move(id);
    e.path = "/usr/share/applications/" + e.id + ".desktop";
    e.exec = std::move(exec);
    return e;
}

TEST(IdentityRules, WindowNamedIdsAreIdsNeverPaths) {
    std::vector<DesktopEntry> all = {entry("org.xfce.mousepad"), entry("org.kde.Dolphin")};
    EXPECT_EQ(entryById(all, "org.xfce.mousepad"), &all[0]);
    EXPECT_EQ(entryById(all, "org.kde.dolphin.desktop"), &all[1]);  // KDE names the file
    EXPECT_EQ(entryById(all, "/elsewhere/org.xfce.mousepad.desktop"), &all[0]);
    EXPECT_EQ(entryById(all, "mousepad"), nullptr);
    EXPECT_EQ(entryById(all, ""), nullptr);
    EXPECT_EQ(entryById(all, "/"), nullptr);
}

TEST(IdentityRules, SandboxesNameTheirApplication) {
    EXPECT_EQ(flatpakInfoId("[Application]\nname=org.gnome.Maps\nruntime=runtime/x\n\n[Instance]\nname=no\n"),
              "org.gnome.Maps");
    EXPECT_EQ(flatpakInfoId("[Runtime]\nname=org.gnome.Platform\n"), std::nullopt);
    EXPECT_EQ(flatpakInfoId("[Application]\nname=../../etc/passwd\n"), std::nullopt);
    EXPECT_EQ(unifiedCgroup("1:name=systemd:/x\n0::/user.slice/app-flatpak-org.gnome.Maps-123.scope\n"),
              "/user.slice/app-flatpak-org.gnome.Maps-123.scope");
    EXPECT_EQ(sandboxId("/user.slice/user-1000.slice/user@1000.service/app.slice/"
                        "app-flatpak-org.gnome.Maps-123.scope"),
              "org.gnome.Maps");
    EXPECT_EQ(sandboxId("/user.slice/user-1000.slice/user@1000.service/app.slice/"
                        "snap.firefox.firefox-0b5f1b14.scope"),
              "firefox_firefox");
    EXPECT_EQ(sandboxId("/system.slice/snap.lxd.daemon.service"), "lxd_daemon");
    EXPECT_EQ(sandboxId("/user.slice/app-gnome-org.gnome.Maps-123.scope"), std::nullopt);
}

TEST(IdentityRules, LaunchingUnitCountsOnlyForItsFirstProcess) {
    const std::string slice = "/user.slice/user-1000.slice/user@1000.service/app.slice/";
    const std::string terminal = slice + "app-gnome-org.gnome.Terminal-4242.scope";
    EXPECT_EQ(launchedUnitId(terminal, "/user.slice/user-1000.slice/session-2.scope"),
              "org.gnome.Terminal");
    // A program started from the terminal's shell shares its unit.
    EXPECT_EQ(launchedUnitId(terminal, terminal), std::nullopt);
    EXPECT_EQ(launchedUnitId(slice + "app-org.kde.konsole@0a1b.service", slice),
              "org.kde.konsole");
    EXPECT_EQ(launchedUnitId(slice + "app-gnome-my\\x2dapp-77.scope", slice), "my-app");
    EXPECT_EQ(launchedUnitId(slice + "app-xterm-77.scope", slice), "xterm");
    EXPECT_EQ(launchedUnitId(slice + "dbus.service", slice), std::nullopt);
    EXPECT_EQ(launchedUnitId(slice + "app-a-b-c-d.scope", slice), std::nullopt);
}

TEST(IdentityRules, EntryFoundByItsExecProgramWhenOnlyOneRunsIt) {
    EXPECT_EQ(execProgram("env GTK_THEME=x LANG=C /usr/bin/foo --x %U"), "/usr/bin/foo");
    EXPECT_EQ(execProgram("\"/opt/my app/run\" %f"), "/opt/my app/run");
    EXPECT_EQ(execProgram("\"/unterminated"), std::nullopt);
    EXPECT_EQ(execProgram("%U"), std::nullopt);
    std::vector<DesktopEntry> all = {entry("foo", "foo %U"), entry("bar", "/usr/bin/bar"),
                                     entry("py1", "python3 one.py"), entry("py2", "python3 two.py"),
                                     entry("none")};
    EXPECT_EQ(entryByExec(all, "/usr/bin/foo"), &all[0]);
    EXPECT_EQ(entryByExec(all, "/usr/bin/bar"), &all[1]);
    EXPECT_EQ(entryByExec(all, "/usr/local/bin/bar"), nullptr);  // absolute: that path only
    EXPECT_EQ(entryByExec(all, "/usr/bin/python3"), nullptr);     // several: none
    EXPECT_EQ(entryByExec(all, "foo"), nullptr);
}

TEST(VisibleArea, ClientDrawnMarginsAreLeftOut) {
    using platform::x11::visibleArea;
    auto v = visibleArea(452, 352, {26, 26, 23, 29});
    EXPECT_EQ(v.x, 26);
    EXPECT_EQ(v.y, 23);
    EXPECT_EQ(v.width, 400);
    EXPECT_EQ(v.height, 300);
    v = visibleArea(40, 40, {20, 20, 0, 0});  // nothing would be left: ignored
    EXPECT_EQ(v.width, 40);
    v = visibleArea(40, 40, {0xFFFFFFFFu, 1, 0, 0});  // no wrap-around
    EXPECT_EQ(v.width, 40);
    v = visibleArea(40, 40, {1, 2, 3});
    EXPECT_EQ(v.x, 0);
}

}  // namespace
