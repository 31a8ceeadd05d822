// The companion's copy of KWin's window list, as the script last reported
// it, with the companion's own window numbers: one per KWin internal id for
// the window's life, never reused. Internal to platform/kde.
#pragma once

#include "platform/kde/report.hpp"

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace platform::kde {

struct MirroredWindow {
    uint32_t number = 0;
    ReportedWindow w;
};

// One consistent view: windows frontmost first.
struct Mirror {
    std::vector<MirroredWindow> windows;
    const MirroredWindow* active = nullptr;  // into `windows`, or null
    std::unordered_map<std::string, uint32_t> numbers;  // internal id -> number
    uint32_t nextNumber = 1;

    const MirroredWindow* find(uint32_t number) const;
};
using MirrorRef = std::shared_ptr<const Mirror>;

// The view after `report`, given the one before (may be null): ids already
// known keep their numbers, new ones get the next, ids no longer listed are
// forgotten. Pure.
MirrorRef applyReport(const Mirror* before, Report report);

// True when the window is on screen in the companion's sense: not
// minimised, on the current desktop, with a size.
bool onScreen(const ReportedWindow& w);

// The mirror as last reported, or null while the script has not reported
// (since KWin last started). Any thread.
MirrorRef currentMirror();
// Replaces it (null: KWin went away). Any thread.
void setMirror(MirrorRef m);

}  // namespace platform::kde
