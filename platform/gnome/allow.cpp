// "allow" on GNOME: installs the companion's Shell extension for the user
// (from the files installed with the companion), records the running
// companion as trusted beside it, and enables it: through the Shell when it
// already knows the extension, and always in the org.gnome.shell settings
// (through the gsettings tool, so whatever settings backend the session
// uses is honoured). A Shell that did not know the extension loads it at
// the next login. This is the companion's one write outside its process.
#include "platform/gnome/backend.hpp"

#include "platform/gnome/settings_text.hpp"
#include "platform/resources.hpp"

#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

#ifndef COMPANION_GNOME_UUID
#define COMPANION_GNOME_UUID "windows@companion"
#endif

namespace platform::gnome {
namespace {

namespace fs = std::filesystem;
constexpr const char* kUuid = COMPANION_GNOME_UUID;
constexpr size_t kMaxFile = 1 << 20;
constexpr size_t kMaxTrusted = 8;

// The user's data directory, as the Shell finds it.
std::optional<std::string> userDataDir() {
    if (const char* d = std::getenv("XDG_DATA_HOME"); d && d[0] == '/') return std::string(d);
    const char* home = std::getenv("HOME");
    std::string h = home && home[0] == '/' ? home : "";
    if (h.empty())
        if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir) h = pw->pw_dir;
    if (h.empty()) return std::nullopt;
    return h + "/.local/share";
}

std::optional<std::string> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::string data(kMaxFile + 1, '\0');
    in.read(data.data(), std::streamsize(data.size()));
    if (in.bad() || size_t(in.gcount()) > kMaxFile) return std::nullopt;
    data.resize(size_t(in.gcount()));
    return data;
}

// Writes `data` to `path` whole or not at all.
bool writeFile(const std::string& path, const std::string& data) {
    std::string tmp = path + ".new";
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        if (!out) return false;
        out.write(data.data(), std::streamsize(data.size()));
        out.flush();
        if (!out) return false;
    }
    std::error_code ec;
    fs::rename(tmp, path, ec);
    if (ec) fs::remove(tmp, ec);
    return !ec;
}

// `argv` run with stdin and stderr on /dev/null; its output when it exits
// with status 0 within `timeoutMs`.
std::optional<std::string> run(const std::vector<std::string>& argv, int timeoutMs) {
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) return std::nullopt;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&fa, pipeFds[1], 1);
    posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    std::vector<char*> args;
    std::vector<std::string> copy = argv;
    for (std::string& a : copy) args.push_back(a.data());
    args.push_back(nullptr);
    pid_t pid = -1;
    int rc = posix_spawnp(&pid, args[0], &fa, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    ::close(pipeFds[1]);
    if (rc != 0) {
        ::close(pipeFds[0]);
        return std::nullopt;
    }
    std::string out;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    bool timedOut = false;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0) {
            timedOut = true;
            break;
        }
        pollfd p{pipeFds[0], POLLIN, 0};
        int n = poll(&p, 1, int(left));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            timedOut = n == 0;
            break;
        }
        char buf[4096];
        ssize_t got = ::read(pipeFds[0], buf, sizeof buf);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        if (out.size() < kMaxFile) out.append(buf, size_t(got));
    }
    ::close(pipeFds[0]);
    if (timedOut) ::kill(pid, SIGKILL);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (timedOut || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
    return out;
}

constexpr int kToolMs = 5000;

std::optional<std::vector<std::string>> readList(const char* key) {
    auto out = run({"gsettings", "get", "org.gnome.shell", key}, kToolMs);
    if (!out) return std::nullopt;
    return parseStringList(*out);
}

bool writeList(const char* key, const std::vector<std::string>& items) {
    return run({"gsettings", "set", "org.gnome.shell", key, formatStringList(items)}, kToolMs)
        .has_value();
}

// Enables the extension in the settings, for this login (where the Shell
// knows it) and the next ones.
bool enableInSettings() {
    auto enabled = readList("enabled-extensions");
    if (!enabled) return false;
    bool ok = true;
    if (std::find(enabled->begin(), enabled->end(), kUuid) == enabled->end()) {
        enabled->push_back(kUuid);
        ok = writeList("enabled-extensions", *enabled);
    }
    if (auto disabled = readList("disabled-extensions")) {
        auto it = std::find(disabled->begin(), disabled->end(), kUuid);
        if (it != disabled->end()) {
            disabled->erase(it);
            writeList("disabled-extensions", *disabled);
        }
    }
    auto off = run({"gsettings", "get", "org.gnome.shell", "disable-user-extensions"}, kToolMs);
    if (!off || off->find("false") == std::string::npos)
        ok = run({"gsettings", "set", "org.gnome.shell", "disable-user-extensions", "false"},
                 kToolMs).has_value() && ok;
    return ok;
}

constexpr uint64_t kShellTimeoutUsec = 2'000'000;

// The Shell's major version, 0 when it does not say.
int shellMajor(sd_bus* bus) {
    dbus::CallError error;
    dbus::MessageRef reply = dbus::call(
        bus, "org.gnome.Shell", "/org/gnome/Shell", "org.freedesktop.DBus.Properties", "Get",
        kShellTimeoutUsec, error, [](sd_bus_message* m, void*) {
            return sd_bus_message_append(m, "ss", "org.gnome.Shell", "ShellVersion");
        });
    const char* version = nullptr;
    if (!reply || sd_bus_message_read(reply.get(), "v", "s", &version) <= 0 || !version) return 0;
    return std::atoi(version);
}

// True when the running Shell has loaded the extension (enabled or not).
bool shellKnows(sd_bus* bus) {
    dbus::CallError error;
    dbus::MessageRef reply = dbus::call(
        bus, "org.gnome.Shell", "/org/gnome/Shell", "org.gnome.Shell.Extensions",
        "GetExtensionInfo", kShellTimeoutUsec, error,
        [](sd_bus_message* m, void*) { return sd_bus_message_append(m, "s", kUuid); });
    if (!reply || sd_bus_message_enter_container(reply.get(), 'a', "{sv}") <= 0) return false;
    return sd_bus_message_at_end(reply.get(), false) == 0;
}

bool shellEnables(sd_bus* bus) {
    dbus::CallError error;
    dbus::MessageRef reply = dbus::call(
        bus, "org.gnome.Shell", "/org/gnome/Shell", "org.gnome.Shell.Extensions",
        "EnableExtension", kShellTimeoutUsec, error,
        [](sd_bus_message* m, void*) { return sd_bus_message_append(m, "s", kUuid); });
    int ok = 0;
    return reply && sd_bus_message_read(reply.get(), "b", &ok) > 0 && ok;
}

// Copies the extension's form for Shell `major` into the user's extension
// folder, and adds the running executable to its trusted list.
bool install(int major) {
    auto resources = resourceDir();
    auto data = userDataDir();
    auto self = selfExecutable();
    if (!resources || !data || !self) return false;
    std::string from = *resources + "/gnome-shell/" + kUuid + (major >= 45 ? "/esm" : "");
    std::string to = *data + "/gnome-shell/extensions/" + kUuid;
    std::error_code ec;
    fs::create_directories(to, ec);
    if (ec) return false;
    for (const char* name : {"extension.js", "metadata.json"}) {
        auto file = readFile(from + "/" + name);
        if (!file || !writeFile(to + "/" + name, *file)) return false;
    }
    std::vector<std::string> trusted;
    if (auto old = readFile(to + "/trusted")) {
        std::istringstream lines(*old);
        for (std::string line; std::getline(lines, line);)
            if (!line.empty() && line[0] == '/' && line != *self) trusted.push_back(line);
    }
    if (trusted.size() >= kMaxTrusted) trusted.erase(trusted.begin());
    trusted.push_back(*self);
    std::string text;
    for (const std::string& t : trusted) text += t + "\n";
    return writeFile(to + "/trusted", text);
}

}  // namespace

bool screenCaptureRequest() {
    if (answers()) return true;
    dbus::BusRef bus = takeBus();
    if (!bus) return false;
    if (!install(shellMajor(bus.get()))) return false;
    dropPool();  // connections the extension refused before it trusted us
    bool known = shellKnows(bus.get());
    if (known) shellEnables(bus.get());
    enableInSettings();
    if (!known) return false;  // the Shell loads it at the next login
    for (int i = 0; i < 20; ++i) {
        if (answers()) {
            greetAgain();
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
}

}  // namespace platform::gnome
