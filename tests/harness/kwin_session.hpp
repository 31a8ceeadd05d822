// A headless KWin (Wayland, with Xwayland) in a session bus of its own, run
// as the test user from a plain copy of its binary (the installed one
// carries a file capability that containers refuse). The test process
// reaches the session bus too, to drive KWin with scripts of its own and to
// play a stranger calling the companion.
#pragma once

#include "tests/harness/session_user.hpp"

#include <systemd/sd-bus.h>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace harness {

// A testwin (tests/tools/testwin.cpp) run as the session's user under
// Xwayland, which admits that user's clients alone.
struct SessionWin {
    SessionWin(const User& user, const std::vector<std::string>& env);
    ~SessionWin();
    SessionWin(const SessionWin&) = delete;
    SessionWin& operator=(const SessionWin&) = delete;

    pid_t pid = -1;
    // Sends one command and returns its answer line.
    std::string command(const std::string& line);
    // "open NAME OPTIONS"; the new window's XID, 0 on failure.
    uint32_t open(const std::string& name, const std::string& options = "");

private:
    FILE* to_ = nullptr;
    FILE* from_ = nullptr;
};

struct KWinSession {
    // Starts the bus and KWin (1920 x 1080); throws when either does not
    // come up in time.
    KWinSession();
    ~KWinSession();
    KWinSession(const KWinSession&) = delete;
    KWinSession& operator=(const KWinSession&) = delete;

    void startKWin();
    void stopKWin();  // KWin and what it started

    // Starts `argv` as the test user in the session: GTK on Wayland, or
    // under Xwayland with `x11`. Stopped with the session (or stopGroup).
    pid_t startApp(const std::vector<std::string>& argv, bool x11 = false);

    // A testwin on Xwayland, as the test user.
    std::unique_ptr<SessionWin> xClient();

    // The environment a companion in this session gets.
    std::map<std::string, std::string> companionEnv() const;

    // Runs `js` as a KWin script (loaded, run, then unloaded); false when
    // KWin refused it.
    bool runScript(const std::string& js);

    // The unique bus name of process `pid`, when it has a connection.
    std::optional<std::string> busNameOf(pid_t pid);

    // The test's own connection to the session bus.
    sd_bus* bus() { return bus_.get(); }

    User user;
    PrivateDir runtime;
    PrivateDir home;
    std::string busAddress;
    std::string waylandDisplay = "wl-kde-test";
    std::string display;     // Xwayland's, for X clients
    std::string xauthority;  // its cookie file

private:
    void start();  // the bus connection, the binary's copy, KWin
    std::vector<std::string> baseEnv() const;
    pid_t dbus_ = -1;
    pid_t kwin_ = -1;
    std::vector<pid_t> apps_;
    std::shared_ptr<sd_bus> bus_;
    int scripts_ = 0;
};

}  // namespace harness
