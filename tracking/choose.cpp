#include "tracking/choose.hpp"

namespace tracking {

bool usable(const platform::WindowRecord& w) {
    if (!w.layer || *w.layer != 0) return false;
    if (w.alpha && !(*w.alpha > 0.1)) return false;
    if (!w.bounds) return false;
    if (!(w.bounds->width >= 200)) return false;
    return w.bounds->height >= 120;
}

int32_t ownerOf(const platform::WindowRecord& w) { return w.ownerPid.value_or(-1); }

platform::AppRef candidate(const platform::AppRef& frontmost, const platform::AppRef& lastOther,
                           int32_t hostPid) {
    if (frontmost && frontmost->pid != hostPid) return frontmost;
    return lastOther;
}

std::optional<Choice> chooseFromPrefix(const std::vector<platform::WindowRecord>& prefix,
                                       std::optional<int32_t> candidatePid, int32_t hostPid,
                                       bool complete) {
    if (candidatePid) {
        for (size_t i = 0; i < prefix.size(); ++i)
            if (usable(prefix[i]) && ownerOf(prefix[i]) == *candidatePid) return Choice{i, true};
        // The candidate may still own a later window: the second pass waits.
        if (!complete) return std::nullopt;
    }
    for (size_t i = 0; i < prefix.size(); ++i)
        if (usable(prefix[i]) && ownerOf(prefix[i]) != hostPid) return Choice{i, false};
    if (!complete) return std::nullopt;
    return Choice{};
}

Choice chooseWindow(const std::vector<platform::WindowRecord>& list,
                    std::optional<int32_t> candidatePid, int32_t hostPid) {
    return *chooseFromPrefix(list, candidatePid, hostPid, true);
}

}  // namespace tracking
