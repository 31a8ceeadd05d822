// The KWin script's reports: JSON text from inside the desktop, read as
// untrusted input into plain records. Pure; internal to platform/kde.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform::kde {

// Reports longer than this are not read at all.
constexpr size_t kMaxReportBytes = 4u << 20;
// Reports listing more windows than this are not believed.
constexpr size_t kMaxReportWindows = 4096;
// Longer text fields are cut (at a character boundary) to this many bytes.
constexpr size_t kMaxTextBytes = 1024;

// One window as the script describes it; kwinLayer is KWin's own layer
// number, -1 when unknown.
struct ReportedWindow {
    std::string id;  // KWin's internal id, 1..64 bytes
    int64_t stack = -1;
    int32_t pid = 0;  // 0 when unknown
    std::string desktopFile, resourceClass, resourceName, caption;
    std::optional<double> x, y, width, height;  // all four or none
    int64_t kwinLayer = -1;
    bool normal = false, dialog = false, utility = false, desktop = false, dock = false,
         splash = false, menu = false, tooltip = false, notification = false, osd = false,
         keepAbove = false, keepBelow = false, minimized = false, onCurrentDesktop = true;
    double opacity = 1.0;
};

// The whole list, bottom to top, and the active window's id ("" for none).
struct Report {
    std::string active;
    std::vector<ReportedWindow> windows;
};

// The report in `text`, or nothing when it is too long, not JSON or not the
// expected shape (an object with a "windows" array of objects, each with a
// string "id"). Fields of the wrong type are taken as absent; windows are
// put in stacking order (by "stack", then as listed); duplicate ids keep
// the first.
std::optional<Report> parseReport(std::string_view text);

// The window's layer in the companion's terms: 0 for normal, dialog and
// utility windows in KWin's normal layer, another integer otherwise.
int64_t layerOf(const ReportedWindow& w);

}  // namespace platform::kde
