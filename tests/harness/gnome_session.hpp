// A headless GNOME Shell session for the tests: its own session bus and a
// private system bus, a private HOME with keyfile settings, the Shell run
// as the test user, and the companion's extension installed and enabled
// before the Shell starts (or not, to try "allow").
#pragma once

#include "tests/harness/session_user.hpp"

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <sys/types.h>
#include <vector>

namespace harness {

struct GnomeSession {
    // Starts the buses and the Shell; with `extension`, the companion's
    // extension from the build tree is installed and enabled first, trusting
    // the companion under test.
    explicit GnomeSession(bool extension);
    ~GnomeSession();
    GnomeSession(const GnomeSession&) = delete;
    GnomeSession& operator=(const GnomeSession&) = delete;

    User user;
    std::unique_ptr<PrivateDir> run, home;
    std::string waylandDisplay = "wl-companion";
    std::string xDisplay, xAuthority;  // Xwayland's, once the Shell is up
    pid_t sessionBus = -1, systemBus = -1, shell = -1;

    void installExtension();  // into HOME, trusting COMPANION_BIN, enabled in the settings
    void removeExtension();   // from HOME and the settings
    // Starts the Shell and waits for Xwayland; throws when it does not come.
    void startShell();
    void stopShell();
    // The end of the Shell's output, for failure messages.
    // The last `tail` bytes of the Shells' output.
    std::string shellLog(size_t tail = 4000) const;
    // Whether the Shell started last is still running (it is not reaped).
    bool shellRunning() const;
    // The settings keyfile's text.
    std::string settingsText() const;
    std::string extensionDir() const;

    // The session's environment (KEY=VALUE), plus `extra`.
    std::vector<std::string> env(const std::map<std::string, std::string>& extra = {}) const;
    // The same as a map, for the companion.
    std::map<std::string, std::string> envMap() const;
    // Starts `argv` as the user in the session (Wayland and Xwayland both
    // offered); its output goes to `log` when given.
    pid_t spawn(const std::vector<std::string>& argv,
                const std::map<std::string, std::string>& extra = {},
                const std::string& log = "");
};

// The staged extension folder of the build tree (legacy form; esm/ inside).
std::string stagedExtension();

}  // namespace harness
