// Applications and windows on GNOME: the focused window's process, the window
// list for the front report, and application icons from desktop entries.
#include "platform/gnome/backend.hpp"

#include "platform/apps/registry.hpp"
#include "platform/icons/theme.hpp"

#include <atomic>
#include <chrono>

namespace platform::gnome {
namespace {

constexpr uint32_t kIconSide = 64;

// When the extension last answered, for "granted" without a round trip
// while it keeps answering.
std::atomic<int64_t> lastAnswerMs{-1000000};
constexpr int64_t kAnswerFreshMs = 1000;

int64_t nowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

void answered() { lastAnswerMs.store(nowMs(), std::memory_order_relaxed); }

// The last list fetched on the main thread. The calls of one front report
// (frontmost application, window stack and records, running application)
// follow each other within a few milliseconds and share it: one round trip
// to the Shell per report.
struct Recent {
    ShellList list;
    int64_t atMs = -1000000;
};
Recent recent;
int64_t failedAtMs = -1000000;  // a report's later calls do not wait again
constexpr int64_t kRecentMs = 20;

// The recent list, fetched again when it is older than kRecentMs; null when
// the extension does not answer.
const ShellList* current() {
    if (nowMs() - recent.atMs < kRecentMs) return &recent.list;
    if (nowMs() - failedAtMs < kRecentMs) return nullptr;
    dbus::BusRef bus = takeBus();
    dbus::CallError error;
    auto list = bus ? listWindows(bus.get(), error) : std::nullopt;
    if (!list) {
        failedAtMs = nowMs();
        return nullptr;
    }
    giveBack(std::move(bus));
    answered();
    recent = Recent{std::move(*list), nowMs()};
    return &recent.list;
}

std::string withoutSuffix(const std::string& id) {
    constexpr std::string_view suffix = ".desktop";
    if (id.size() > suffix.size() && id.compare(id.size() - suffix.size(), suffix.size(), suffix) == 0)
        return id.substr(0, id.size() - suffix.size());
    return id;
}

}  // namespace

AppRef appOf(const ShellWindow& w, const std::vector<ShellWindow>* all) {
    if (w.pid <= 0) return nullptr;
    return apps::appFor(w.pid, [&]() {
        apps::Hints hints;
        if (!w.trackerId.empty()) hints.desktopId = withoutSuffix(w.trackerId);
        else if (!w.sandboxId.empty()) hints.desktopId = w.sandboxId;
        else if (!w.gtkId.empty()) hints.desktopId = w.gtkId;
        if (!w.wmClass.empty() || !w.wmInstance.empty())
            hints.wmClass = apps::WmClass{w.wmInstance, w.wmClass};
        hints.windows.push_back(w.number);
        if (all)
            for (const ShellWindow& o : *all)
                if (o.pid == w.pid && o.number != w.number) hints.windows.push_back(o.number);
        return hints;
    });
}

bool screenCapturePreflight() {
    if (nowMs() - lastAnswerMs.load(std::memory_order_relaxed) < kAnswerFreshMs) return true;
    if (!answers()) return false;
    answered();
    return true;
}

AppRef frontmostApplication() {
    const ShellList* list = current();
    if (!list || !list->focused) return nullptr;
    for (const ShellWindow& w : list->windows)
        if (w.number == list->focused) return appOf(w, &list->windows);
    return nullptr;
}

AppRef runningApplication(int32_t pid) {
    if (pid <= 0) return nullptr;
    if (const ShellList* list = current())
        for (const ShellWindow& w : list->windows)
            if (w.pid == pid) return appOf(w, &list->windows);
    return apps::appFor(pid, nullptr);
}

std::optional<std::vector<uint32_t>> windowStack() {
    const ShellList* list = current();
    if (!list) return std::nullopt;
    std::vector<uint32_t> numbers;
    numbers.reserve(list->windows.size());
    for (const ShellWindow& w : list->windows) numbers.push_back(w.number);
    return numbers;
}

std::vector<WindowRecord> windowRecords(const std::vector<uint32_t>& numbers) {
    std::vector<WindowRecord> records;
    const ShellList* list = current();
    if (!list) return records;
    for (uint32_t n : numbers) {
        for (const ShellWindow& w : list->windows) {
            if (w.number != n) continue;
            if (w.minimized || !w.onWorkspace) break;
            WindowRecord r;
            r.layer = w.layer;
            r.alpha = w.opacity;
            r.bounds = Bounds{w.x, w.y, w.width, w.height};
            if (w.pid > 0) r.ownerPid = w.pid;
            r.number = w.number;
            r.name = w.title;
            records.push_back(std::move(r));
            break;
        }
    }
    return records;
}

std::optional<RgbaImage> iconImage(const App& app) {
    if (app.iconName) return icons::themeIcon(*app.iconName, kIconSide);
    return std::nullopt;
}

}  // namespace platform::gnome
