// Reading the KWin script's reports with Boost.JSON, bounded and defensive.
#include "platform/kde/report.hpp"

#include <boost/json/parse.hpp>
#include <boost/json/value.hpp>

#include <algorithm>
#include <cmath>
#include <unordered_set>

namespace platform::kde {
namespace {

namespace json = boost::json;

// KWin's layers (Window::layer()).
constexpr int64_t kDesktopLayer = 0, kNormalLayer = 2, kDockLayer = 3, kAboveLayer = 4,
                  kNotificationLayer = 5, kActiveLayer = 6, kPopupLayer = 7;

// `s` cut to at most `max` bytes without splitting a UTF-8 sequence.
std::string cut(std::string_view s, size_t max) {
    if (s.size() <= max) return std::string(s);
    size_t n = max;
    while (n > 0 && (static_cast<unsigned char>(s[n]) & 0xC0) == 0x80) --n;
    return std::string(s.substr(0, n));
}

std::string text(const json::object& o, std::string_view key) {
    auto it = o.find(key);
    if (it == o.end() || !it->value().is_string()) return {};
    return cut(it->value().get_string(), kMaxTextBytes);
}

bool flag(const json::object& o, std::string_view key, bool otherwise = false) {
    auto it = o.find(key);
    if (it == o.end() || !it->value().is_bool()) return otherwise;
    return it->value().get_bool();
}

std::optional<double> number(const json::object& o, std::string_view key) {
    auto it = o.find(key);
    if (it == o.end() || !it->value().is_number()) return std::nullopt;
    double v = it->value().to_number<double>();
    if (!std::isfinite(v)) return std::nullopt;
    return v;
}

std::optional<ReportedWindow> windowOf(const json::value& v) {
    if (!v.is_object()) return std::nullopt;
    const json::object& o = v.get_object();
    auto id = o.find("id");
    if (id == o.end() || !id->value().is_string()) return std::nullopt;
    const json::string& s = id->value().get_string();
    if (s.empty() || s.size() > 64) return std::nullopt;

    ReportedWindow w;
    w.id = std::string(s);
    if (auto n = number(o, "stack"); n && *n >= 0 && *n <= 1e9) w.stack = int64_t(*n);
    if (auto n = number(o, "pid"); n && *n >= 1 && *n <= 2147483647.0 && *n == std::trunc(*n))
        w.pid = int32_t(*n);
    w.desktopFile = text(o, "desktopFile");
    w.resourceClass = text(o, "resourceClass");
    w.resourceName = text(o, "resourceName");
    w.caption = text(o, "caption");
    auto x = number(o, "x"), y = number(o, "y");
    auto width = number(o, "width"), height = number(o, "height");
    constexpr double kFar = 1e7;
    if (x && y && width && height && std::abs(*x) < kFar && std::abs(*y) < kFar &&
        *width >= 0 && *width < kFar && *height >= 0 && *height < kFar) {
        w.x = x, w.y = y, w.width = width, w.height = height;
    }
    if (auto n = number(o, "layer"); n && *n >= -1 && *n <= 64) w.kwinLayer = int64_t(*n);
    w.normal = flag(o, "normal");
    w.dialog = flag(o, "dialog");
    w.utility = flag(o, "utility");
    w.desktop = flag(o, "desktop");
    w.dock = flag(o, "dock");
    w.splash = flag(o, "splash");
    w.menu = flag(o, "menu");
    w.tooltip = flag(o, "tooltip");
    w.notification = flag(o, "notification");
    w.osd = flag(o, "osd");
    w.keepAbove = flag(o, "keepAbove");
    w.keepBelow = flag(o, "keepBelow");
    w.minimized = flag(o, "minimized");
    w.onCurrentDesktop = flag(o, "onCurrentDesktop", true);
    if (auto n = number(o, "opacity")) w.opacity = std::clamp(*n, 0.0, 1.0);
    return w;
}

}  // namespace

std::optional<Report> parseReport(std::string_view text) {
    if (text.size() > kMaxReportBytes) return std::nullopt;
    boost::system::error_code ec;
    json::parse_options options;
    options.max_depth = 8;
    json::value root = json::parse(text, ec, {}, options);
    if (ec || !root.is_object()) return std::nullopt;
    const json::object& o = root.get_object();
    auto windows = o.find("windows");
    if (windows == o.end() || !windows->value().is_array()) return std::nullopt;
    const json::array& list = windows->value().get_array();
    if (list.size() > kMaxReportWindows) return std::nullopt;

    Report r;
    auto active = o.find("active");
    if (active != o.end() && active->value().is_string() &&
        active->value().get_string().size() <= 64)
        r.active = std::string(active->value().get_string());
    std::unordered_set<std::string> seen;
    for (const json::value& v : list) {
        auto w = windowOf(v);
        if (!w) return std::nullopt;
        if (!seen.insert(w->id).second) continue;
        r.windows.push_back(std::move(*w));
    }
    std::stable_sort(r.windows.begin(), r.windows.end(),
                     [](const ReportedWindow& a, const ReportedWindow& b) { return a.stack < b.stack; });
    return r;
}

int64_t layerOf(const ReportedWindow& w) {
    int64_t layer = w.kwinLayer;
    if (layer < 0) {
        // Without KWin's layer: from the window's kind and state.
        if (w.desktop) layer = kDesktopLayer;
        else if (w.osd || w.tooltip || w.menu) layer = kPopupLayer;
        else if (w.notification) layer = kNotificationLayer;
        else if (w.dock) layer = kDockLayer;
        else if (w.keepAbove || w.splash) layer = kAboveLayer;
        else if (w.keepBelow) layer = kNormalLayer - 1;
        else layer = kNormalLayer;
    }
    if (layer == kActiveLayer) layer = kNormalLayer;  // a full-screen window in front
    if (layer == kNormalLayer && !(w.normal || w.dialog || w.utility)) {
        // Splash screens, menus and the like that KWin keeps in the normal layer.
        if (w.splash || w.menu || w.tooltip || w.notification || w.osd || w.dock) return 1;
    }
    return layer - kNormalLayer;
}

}  // namespace platform::kde
