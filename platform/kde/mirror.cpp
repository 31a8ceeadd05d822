// The mirror of KWin's window list and its window numbers.
#include "platform/kde/mirror.hpp"

#include <algorithm>
#include <mutex>

namespace platform::kde {
namespace {

std::mutex mirrorLock;
MirrorRef& stored() {
    static auto* m = new MirrorRef;
    return *m;
}

}  // namespace

const MirroredWindow* Mirror::find(uint32_t number) const {
    for (const MirroredWindow& m : windows)
        if (m.number == number) return &m;
    return nullptr;
}

MirrorRef applyReport(const Mirror* before, Report report) {
    auto m = std::make_shared<Mirror>();
    m->nextNumber = before ? before->nextNumber : 1;
    m->windows.reserve(report.windows.size());
    // Bottom to top in the report; frontmost first here.
    for (auto it = report.windows.rbegin(); it != report.windows.rend(); ++it) {
        uint32_t number = 0;
        if (before) {
            auto known = before->numbers.find(it->id);
            if (known != before->numbers.end()) number = known->second;
        }
        if (number == 0) {
            number = m->nextNumber++;
            if (m->nextNumber == 0) m->nextNumber = 1;
        }
        m->numbers.emplace(it->id, number);
        m->windows.push_back({number, std::move(*it)});
    }
    if (!report.active.empty())
        for (const MirroredWindow& w : m->windows)
            if (w.w.id == report.active) m->active = &w;
    return m;
}

bool onScreen(const ReportedWindow& w) {
    return !w.minimized && w.onCurrentDesktop && w.width && *w.width > 0 && *w.height > 0;
}

MirrorRef currentMirror() {
    std::lock_guard guard(mirrorLock);
    return stored();
}

void setMirror(MirrorRef m) {
    std::lock_guard guard(mirrorLock);
    stored() = std::move(m);
}

}  // namespace platform::kde
