// /proc readers for the application records.
#include "platform/apps/process.hpp"

#include "core/utf8.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>

namespace platform::apps {

std::optional<std::string> readSmall(const std::string& path, size_t limit) {
    int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return std::nullopt;
    std::string data;
    char chunk[4096];
    while (data.size() < limit) {
        ssize_t n = ::read(fd, chunk, std::min(sizeof chunk, limit - data.size()));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        data.append(chunk, size_t(n));
    }
    ::close(fd);
    return data;
}

std::string procPath(int32_t pid, const char* what) {
    return "/proc/" + std::to_string(pid) + "/" + what;
}

namespace {

// Field `wanted` (3 or later) of /proc/PID/stat, as text.
std::optional<std::string> statField(int32_t pid, int wanted) {
    auto stat = readSmall(procPath(pid, "stat"), 4096);
    if (!stat) return std::nullopt;
    size_t close = stat->rfind(')');
    if (close == std::string::npos) return std::nullopt;
    size_t pos = close + 1;
    for (int field = 3; field <= wanted; ++field) {
        pos = stat->find_first_not_of(' ', pos);
        if (pos == std::string::npos) return std::nullopt;
        size_t end = stat->find(' ', pos);
        if (field == wanted) return stat->substr(pos, end == std::string::npos ? std::string::npos : end - pos);
        if (end == std::string::npos) return std::nullopt;
        pos = end;
    }
    return std::nullopt;
}

}  // namespace

std::optional<int32_t> parentPid(int32_t pid) {
    auto f = statField(pid, 4);
    if (!f) return std::nullopt;
    long v = std::strtol(f->c_str(), nullptr, 10);
    if (v <= 0 || v > INT32_MAX) return std::nullopt;
    return int32_t(v);
}

std::optional<std::string> cgroupOf(int32_t pid) { return readSmall(procPath(pid, "cgroup"), 16 << 10); }

std::optional<std::string> flatpakInfoOf(int32_t pid) {
    return readSmall(procPath(pid, "root/.flatpak-info"), 64 << 10);
}

std::optional<uint64_t> startTime(int32_t pid) {
    auto stat = readSmall(procPath(pid, "stat"), 4096);
    if (!stat) return std::nullopt;
    size_t close = stat->rfind(')');
    if (close == std::string::npos) return std::nullopt;
    size_t pos = close + 1;
    for (int field = 3; field <= 22; ++field) {
        pos = stat->find_first_not_of(' ', pos);
        if (pos == std::string::npos) return std::nullopt;
        if (field == 22) return std::strtoull(stat->c_str() + pos, nullptr, 10);
        pos = stat->find(' ', pos);
        if (pos == std::string::npos) return std::nullopt;
    }
    return std::nullopt;
}

std::optional<std::string> exeTarget(int32_t pid) {
    char buf[4096];
    ssize_t n = ::readlink(procPath(pid, "exe").c_str(), buf, sizeof buf);
    if (n <= 0 || size_t(n) >= sizeof buf) return std::nullopt;
    return core::repairUtf8(std::string_view(buf, size_t(n)));
}

std::optional<std::string> comm(int32_t pid) {
    auto c = readSmall(procPath(pid, "comm"), 256);
    if (!c) return std::nullopt;
    while (!c->empty() && (c->back() == '\n' || c->back() == '\0')) c->pop_back();
    if (c->empty()) return std::nullopt;
    return core::repairUtf8(*c);
}

std::optional<std::string> environOf(int32_t pid) {
    return readSmall(procPath(pid, "environ"), 256 * 1024);
}

}  // namespace platform::apps
