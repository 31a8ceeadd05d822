// A process for an app_id, found by scanning /proc for this user's processes.
#include "platform/wlroots/app_pid.hpp"

#include "platform/apps/identity.hpp"
#include "platform/apps/process.hpp"
#include "platform/apps/registry.hpp"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <mutex>
#include <unordered_map>
#include <cstdlib>
#include <dirent.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace platform::wlroots {
namespace {

constexpr size_t kMaxProcesses = 32768;

std::string lower(std::string s) {
    for (char& c : s) c = char(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string baseName(const std::string& path) {
    auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The program an Exec line runs: its first word, without env assignments.
std::optional<std::string> execProgram(const std::string& exec) {
    size_t i = 0;
    for (;;) {
        while (i < exec.size() && exec[i] == ' ') ++i;
        size_t end = exec.find(' ', i);
        std::string word = exec.substr(i, end == std::string::npos ? std::string::npos : end - i);
        if (word.empty()) return std::nullopt;
        if (word == "env" || word.find('=') != std::string::npos) {
            if (end == std::string::npos) return std::nullopt;
            i = end;
            continue;
        }
        if (word.front() == '"' && word.size() > 2) word = word.substr(1, word.size() - 2);
        return baseName(word);
    }
}

bool matches(const std::string& name, const std::vector<std::string>& names, size_t limit) {
    std::string n = lower(name);
    for (const std::string& w : names)
        if (n == w.substr(0, limit)) return true;
    return false;
}

}  // namespace

std::vector<std::string> programNames(const std::string& appId) {
    std::vector<std::string> names{lower(appId)};
    apps::withDesktopEntries([&](const std::vector<DesktopEntry>& entries) {
        if (const DesktopEntry* e = apps::matchEntry(entries, apps::WmClass{appId, appId}))
            if (e->exec)
                if (auto program = execProgram(*e->exec)) names.push_back(lower(*program));
    });
    return names;
}

bool runsAs(const std::string& exe, const std::string& comm, const std::vector<std::string>& names) {
    if (!exe.empty() && matches(baseName(exe), names, std::string::npos)) return true;
    return !comm.empty() && matches(comm, names, 15);
}

namespace {

// One scan of /proc per app_id and half second: a front report asks for
// every window's owner.
struct Remembered {
    int32_t pid = 0;
    std::chrono::steady_clock::time_point at;
};
constexpr auto kRemember = std::chrono::milliseconds(500);
constexpr size_t kRememberedMax = 256;

int32_t scan(const std::string& appId);

}  // namespace

int32_t pidForAppId(const std::string& appId) {
    if (appId.empty()) return 0;
    static std::mutex lock;
    static auto* kept = new std::unordered_map<std::string, Remembered>;
    auto now = std::chrono::steady_clock::now();
    {
        std::lock_guard guard(lock);
        auto it = kept->find(appId);
        if (it != kept->end() && now - it->second.at < kRemember) return it->second.pid;
    }
    int32_t pid = scan(appId);
    std::lock_guard guard(lock);
    if (kept->size() >= kRememberedMax) kept->clear();
    (*kept)[appId] = {pid, now};
    return pid;
}

namespace {

int32_t scan(const std::string& appId) {
    const std::vector<std::string> names = programNames(appId);
    auto runs = [&](int32_t pid) {
        return runsAs(apps::exeTarget(pid).value_or(""), apps::comm(pid).value_or(""), names);
    };
    const int32_t parent = int32_t(::getppid());
    if (parent > 1 && runs(parent)) return parent;

    struct CloseDir {
        void operator()(DIR* d) const { closedir(d); }
    };
    std::unique_ptr<DIR, CloseDir> proc(opendir("/proc"));
    if (!proc) return 0;
    const uid_t me = ::getuid();
    const int32_t self = int32_t(::getpid());
    int32_t found = 0;
    size_t seen = 0;
    while (dirent* d = readdir(proc.get())) {
        if (++seen > kMaxProcesses) return 0;
        char* end = nullptr;
        long pid = std::strtol(d->d_name, &end, 10);
        if (*end || pid <= 0 || pid > INT32_MAX || pid == self) continue;
        struct stat st;
        if (fstatat(dirfd(proc.get()), d->d_name, &st, 0) != 0 || st.st_uid != me) continue;
        if (!runs(int32_t(pid))) continue;
        if (found) return 0;
        found = int32_t(pid);
    }
    return found;
}

}  // namespace
}  // namespace platform::wlroots
