#include "tests/harness/session_user.hpp"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <pwd.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace harness {

User testUser() {
    if (geteuid() != 0) throw std::runtime_error("the session tests run as root, to switch users");
    const passwd* pw = getpwnam("companion-test");
    if (!pw) throw std::runtime_error("no user companion-test: run scripts/install-deps.sh");
    return User{pw->pw_name, pw->pw_uid, pw->pw_gid};
}

PrivateDir::PrivateDir(const User& user, const std::string& tag) {
    std::string tmpl = "/tmp/companion-" + tag + "-XXXXXX";
    if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp: " + std::string(strerror(errno)));
    path = tmpl;
    if (chown(path.c_str(), user.uid, user.gid) != 0 || chmod(path.c_str(), 0700) != 0)
        throw std::runtime_error("cannot hand " + path + " to " + user.name);
}

PrivateDir::~PrivateDir() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
}

std::vector<std::string> asUser(const User& user, std::vector<std::string> argv) {
    std::vector<std::string> out = {"/usr/bin/setpriv", "--reuid=" + std::to_string(user.uid),
                                    "--regid=" + std::to_string(user.gid), "--clear-groups", "--"};
    out.insert(out.end(), argv.begin(), argv.end());
    return out;
}

pid_t spawnAs(const User& user, const std::vector<std::string>& argv,
              const std::vector<std::string>& env, const std::string& log) {
    std::vector<std::string> full = asUser(user, argv);
    std::vector<char*> args;
    for (auto& a : full) args.push_back(a.data());
    args.push_back(nullptr);
    std::vector<std::string> envCopy = env;
    std::vector<char*> envp;
    for (auto& e : envCopy) envp.push_back(e.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    std::string out = log.empty() ? "/dev/null" : log;
    posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&fa, 1, 2);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attr, 0);
    pid_t pid = -1;
    int rc = posix_spawn(&pid, args[0], &fa, &attr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&fa);
    posix_spawnattr_destroy(&attr);
    if (rc != 0) throw std::runtime_error("cannot start " + argv.at(0) + ": " + strerror(rc));
    return pid;
}

void stopGroup(pid_t& pid, int graceMs) {
    if (pid <= 0) return;
    ::kill(-pid, SIGTERM);
    for (int waited = 0; waited < graceMs; waited += 5) {
        if (waitpid(pid, nullptr, WNOHANG) == pid) {
            ::kill(-pid, SIGKILL);  // what the leader left behind
            pid = -1;
            return;
        }
        usleep(5000);
    }
    ::kill(-pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    pid = -1;
}

}  // namespace harness
