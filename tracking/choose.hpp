// The front report's choice of window and application, over plain records.
#pragma once

#include "platform/platform.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace tracking {

// True when the window can stand for its application: layer 0, alpha (when
// set) above 0.1, at least 200 x 120. NaN fails every test it meets.
bool usable(const platform::WindowRecord& window);

// The owner pid a window is matched by: -1 when absent.
int32_t ownerOf(const platform::WindowRecord& window);

// The application to report before looking at windows: the frontmost one
// unless it is the host, else the last other one (either may be null).
platform::AppRef candidate(const platform::AppRef& frontmost, const platform::AppRef& lastOther,
                           int32_t hostPid);

struct Choice {
    std::optional<size_t> window;  // index into the list
    bool ofCandidate = false;      // found by the first pass
};

// First pass: the first usable window of `candidatePid` (when there is one).
// Second pass: the first usable window not owned by `hostPid`.
Choice chooseWindow(const std::vector<platform::WindowRecord>& list,
                    std::optional<int32_t> candidatePid, int32_t hostPid);

// chooseWindow over the first records of the list: the choice once no later
// record can change it, nothing while it could. With `complete` (the prefix
// is the whole list) there is always a choice.
std::optional<Choice> chooseFromPrefix(const std::vector<platform::WindowRecord>& prefix,
                                       std::optional<int32_t> candidatePid, int32_t hostPid,
                                       bool complete);

}  // namespace tracking
