// Desktops that refuse to run as root (sway, GNOME Shell, KWin) run, with
// their clients and the companion under test, as a dedicated system user
// that the test script creates. This is that user, the private directories
// such a session needs, and processes started as it with an environment of
// the test's choosing only.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

namespace harness {

// The account sessions run as ("companion-test", made by
// scripts/install-deps.sh).
struct User {
    std::string name;
    uid_t uid = 0;
    gid_t gid = 0;
};
// The test user; throws when the account does not exist or the test does not
// run as root (it cannot switch users then).
User testUser();

// A fresh 0700 directory owned by `user` (for XDG_RUNTIME_DIR or HOME),
// removed with everything in it when the object goes.
struct PrivateDir {
    explicit PrivateDir(const User& user, const std::string& tag = "session");
    ~PrivateDir();
    PrivateDir(const PrivateDir&) = delete;
    PrivateDir& operator=(const PrivateDir&) = delete;
    std::string path;
};

// `argv` run as `user` (same pid: setpriv execs it), for Launch::prefix or
// spawnAs.
std::vector<std::string> asUser(const User& user, std::vector<std::string> argv);

// Starts `argv` as `user` with exactly `env` ("KEY=VALUE"), in a process
// group of its own, stdin from /dev/null, stdout and stderr to `log` (or
// /dev/null when empty). Throws when it cannot be started.
pid_t spawnAs(const User& user, const std::vector<std::string>& argv,
              const std::vector<std::string>& env, const std::string& log = "");

// Ends the process group that `pid` leads (SIGTERM, then SIGKILL after
// `graceMs`) and reaps `pid`. Safe on -1.
void stopGroup(pid_t& pid, int graceMs = 1000);

}  // namespace harness
