// Desktop entry matching for running applications.
#include "platform/apps/identity.hpp"

#include <charconv>

namespace platform::apps {
namespace {

bool sameIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = char(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = char(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

}  // namespace

std::optional<std::string> launchedDesktopFile(std::string_view environ, int32_t pid) {
    std::optional<std::string_view> file, filePid;
    while (!environ.empty()) {
        size_t end = environ.find('\0');
        std::string_view kv = environ.substr(0, end);
        constexpr std::string_view kFile = "GIO_LAUNCHED_DESKTOP_FILE=";
        constexpr std::string_view kPid = "GIO_LAUNCHED_DESKTOP_FILE_PID=";
        if (kv.substr(0, kFile.size()) == kFile) file = kv.substr(kFile.size());
        else if (kv.substr(0, kPid.size()) == kPid) filePid = kv.substr(kPid.size());
        if (end == std::string_view::npos) break;
        environ.remove_prefix(end + 1);
    }
    if (!file || file->empty()) return std::nullopt;
    if (filePid) {
        int32_t v = 0;
        auto [p, ec] = std::from_chars(filePid->data(), filePid->data() + filePid->size(), v);
        if (ec != std::errc() || p != filePid->data() + filePid->size() || v != pid)
            return std::nullopt;
    }
    return std::string(*file);
}

const DesktopEntry* matchEntry(const std::vector<DesktopEntry>& entries, const WmClass& wc) {
    if (wc.instance.empty() && wc.cls.empty()) return nullptr;
    for (const DesktopEntry& e : entries) {
        if (!e.startupWmClass || e.startupWmClass->empty()) continue;
        if (*e.startupWmClass == wc.cls || *e.startupWmClass == wc.instance) return &e;
    }
    for (const DesktopEntry& e : entries) {
        if ((!wc.instance.empty() && sameIgnoringCase(e.id, wc.instance)) ||
            (!wc.cls.empty() && sameIgnoringCase(e.id, wc.cls)))
            return &e;
    }
    return nullptr;
}

}  // namespace platform::apps
