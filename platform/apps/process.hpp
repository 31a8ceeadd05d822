// What /proc tells about a process: its start time (which tells a reused pid
// apart), executable, command name and environment. Every value is read
// without blocking and bounded; shared by every backend. Any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace platform::apps {

// Up to `limit` bytes of a file that may be anything (a /proc entry, a FIFO):
// opened without blocking, never waited on. Nothing when it cannot be opened.
std::optional<std::string> readSmall(const std::string& path, size_t limit);

// "/proc/PID/WHAT".
std::string procPath(int32_t pid, const char* what);

// Field 22 of /proc/PID/stat; nothing when no such process runs.
std::optional<uint64_t> startTime(int32_t pid);

// The target of /proc/PID/exe, valid UTF-8.
std::optional<std::string> exeTarget(int32_t pid);

// /proc/PID/comm without its line feed, valid UTF-8; nothing when empty.
std::optional<std::string> comm(int32_t pid);

// Field 4 of /proc/PID/stat: the parent's pid.
std::optional<int32_t> parentPid(int32_t pid);

// /proc/PID/cgroup, its first 16 KiB.
std::optional<std::string> cgroupOf(int32_t pid);

// The sandbox description a Flatpak process sees at /.flatpak-info, its
// first 64 KiB; nothing outside a Flatpak sandbox.
std::optional<std::string> flatpakInfoOf(int32_t pid);

// /proc/PID/environ (NUL-separated KEY=VALUE), its first 256 KiB.
std::optional<std::string> environOf(int32_t pid);

}  // namespace platform::apps
