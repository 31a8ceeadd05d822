// Which process shows a Wayland app_id, for compositors that do not say:
// a process of the session's user whose executable or command name is the
// app_id, or the program its desktop entry runs. Never a guess: when no
// process or more than one matches, there is no answer. Internal to
// platform/.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace platform::wlroots {

// The names a process showing `appId` may run under, lower-case: the app_id
// itself and the program of its desktop entry's Exec.
std::vector<std::string> programNames(const std::string& appId);

// True when `exe` (a path) or `comm` is one of `names` (lower-case), ignoring
// ASCII case; comm is compared over its 15 bytes the kernel keeps.
bool runsAs(const std::string& exe, const std::string& comm, const std::vector<std::string>& names);

// The one process of this user (not this one) that runs as `appId`, or 0.
// The parent process wins when it matches (the host's own windows). Reads
// at most a bounded number of /proc entries. Any thread.
int32_t pidForAppId(const std::string& appId);

}  // namespace platform::wlroots
