// Desktop entry reader: a bounded, non-blocking read of one regular file and a
// parse of its [Desktop Entry] group, with Name localized by the message locale.
#include "platform/apps/desktop_entry.hpp"

#include "core/utf8.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <string>
#include <string_view>

namespace platform {
namespace {

constexpr size_t kMaxBytes = 256 * 1024;

// Opens the regular file at `path` for reading. It is looked at before it is
// opened, through a handle that opens nothing, so a device swapped in for it
// meanwhile is never opened (opening one can act on it).
int openRegular(const std::string& path) {
    struct stat st;
    int handle = ::open(path.c_str(), O_PATH | O_CLOEXEC);
    if (handle < 0) return -1;
    if (::fstat(handle, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(handle);
        return -1;
    }
    std::string self = "/proc/self/fd/" + std::to_string(handle);
    int fd = ::open(self.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    ::close(handle);
    if (fd < 0 && errno == ENOENT)  // no /proc: open by name, and look again
        fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd >= 0 && (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Up to kMaxBytes of the regular file at `path`; `whole` tells whether that is
// all of it. Nothing for anything that is not a readable regular file.
std::optional<std::string> readPrefix(const std::string& path, bool& whole) {
    int fd = openRegular(path);
    if (fd < 0) return std::nullopt;
    std::string data;
    data.resize(kMaxBytes + 1);  // one byte more tells a longer file apart
    size_t got = 0;
    while (got < data.size()) {
        ssize_t n = ::read(fd, data.data() + got, data.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            ::close(fd);
            return std::nullopt;
        }
        if (n == 0) break;
        got += size_t(n);
    }
    ::close(fd);
    whole = got <= kMaxBytes;
    data.resize(std::min(got, kMaxBytes));
    return data;
}

std::string_view trim(std::string_view s) {
    size_t b = s.find_first_not_of(" \t");
    if (b == std::string_view::npos) return {};
    size_t e = s.find_last_not_of(" \t");
    return s.substr(b, e - b + 1);
}

// The escapes of the format: \s \n \t \r \\. Any other backslash stays.
std::string unescape(std::string_view v) {
    std::string out;
    out.reserve(v.size());
    for (size_t i = 0; i < v.size(); ++i) {
        char c = v[i];
        if (c == '\\' && i + 1 < v.size()) {
            char e = v[i + 1];
            char r = e == 's' ? ' ' : e == 'n' ? '\n' : e == 't' ? '\t' : e == 'r' ? '\r'
                   : e == '\\' ? '\\' : 0;
            if (r) {
                out += r;
                ++i;
                continue;
            }
        }
        out += c;
    }
    return out;
}

// Locale suffixes of Name[...] in order of preference for the message locale,
// most specific first: lang_COUNTRY@MODIFIER, lang_COUNTRY, lang@MODIFIER, lang.
std::vector<std::string> localeCandidates() {
    const char* value = nullptr;
    for (const char* var : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* v = std::getenv(var);
        if (v && *v) {
            value = v;
            break;
        }
    }
    if (!value) return {};
    std::string_view loc(value);
    std::string_view modifier;
    if (size_t at = loc.find('@'); at != std::string_view::npos) {
        modifier = loc.substr(at + 1);
        loc = loc.substr(0, at);
    }
    if (size_t dot = loc.find('.'); dot != std::string_view::npos) loc = loc.substr(0, dot);
    if (loc == "C" || loc == "POSIX") return {};  // also C.UTF-8
    std::string_view lang = loc, country;
    if (size_t us = loc.find('_'); us != std::string_view::npos) {
        lang = loc.substr(0, us);
        country = loc.substr(us + 1);
    }
    if (lang.empty()) return {};
    std::vector<std::string> out;
    std::string lc = std::string(lang) + "_" + std::string(country);
    // Built by append: g++ 12 at -O3 warns falsely (-Wrestrict) on
    // "literal" + std::string.
    std::string mod = "@";
    mod.append(modifier);
    if (!country.empty() && !modifier.empty()) out.push_back(lc + mod);
    if (!country.empty()) out.push_back(lc);
    if (!modifier.empty()) out.push_back(std::string(lang) + mod);
    out.push_back(std::string(lang));
    return out;
}

std::string baseName(const std::string& path) {
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

std::optional<DesktopEntry> readDesktopEntry(const std::string& path) {
    bool whole = false;
    std::optional<std::string> data = readPrefix(path, whole);
    if (!data) return std::nullopt;
    std::string_view text(*data);
    if (!whole) {
        // The last line may be cut; a cut value is a wrong value.
        size_t nl = text.find_last_of('\n');
        text = nl == std::string_view::npos ? std::string_view() : text.substr(0, nl);
    }

    std::vector<std::string> locales = localeCandidates();
    std::optional<std::string> name, icon, wmClass, exec;
    std::vector<std::optional<std::string>> localized(locales.size());
    bool seen = false, inGroup = false, hidden = false;

    auto keep = [](std::optional<std::string>& slot, std::string_view value) {
        if (!slot) slot = unescape(value);  // a repeated key keeps its first value
    };

    size_t pos = 0;
    while (pos <= text.size()) {
        size_t nl = text.find('\n', pos);
        std::string_view line =
            text.substr(pos, nl == std::string_view::npos ? std::string_view::npos : nl - pos);
        pos = nl == std::string_view::npos ? text.size() + 1 : nl + 1;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        std::string_view t = trim(line);
        if (t.empty() || t.front() == '#') continue;
        if (t.front() == '[') {
            if (inGroup) break;  // only the first [Desktop Entry] group counts
            inGroup = t == "[Desktop Entry]";
            seen = seen || inGroup;
            continue;
        }
        if (!inGroup) continue;
        size_t eq = t.find('=');
        if (eq == std::string_view::npos) continue;
        std::string_view key = trim(t.substr(0, eq));
        std::string_view value = trim(t.substr(eq + 1));
        if (key == "Name") {
            keep(name, value);
        } else if (key == "Icon") {
            keep(icon, value);
        } else if (key == "StartupWMClass") {
            keep(wmClass, value);
        } else if (key == "Exec") {
            keep(exec, value);
        } else if (key == "Hidden") {
            hidden = value == "true";
        } else if (key.size() > 6 && key.substr(0, 5) == "Name[" && key.back() == ']') {
            std::string_view suffix = key.substr(5, key.size() - 6);
            for (size_t i = 0; i < locales.size(); ++i)
                if (locales[i] == suffix) keep(localized[i], value);
        }
    }
    if (!seen) return std::nullopt;

    DesktopEntry entry;
    entry.path = core::repairUtf8(path);
    entry.id = baseName(path);
    if (entry.id.size() > 8 && entry.id.ends_with(".desktop"))
        entry.id.resize(entry.id.size() - 8);
    core::repairUtf8InPlace(entry.id);
    for (auto& l : localized) {
        if (l) {
            entry.name = std::move(l);
            break;
        }
    }
    if (!entry.name) entry.name = std::move(name);
    entry.icon = std::move(icon);
    entry.startupWmClass = std::move(wmClass);
    entry.exec = std::move(exec);
    entry.hidden = hidden;
    for (auto* s : {&entry.name, &entry.icon, &entry.startupWmClass, &entry.exec})
        if (*s) core::repairUtf8InPlace(**s);
    return entry;
}

std::vector<std::string> applicationDirs() {
    std::vector<std::string> dirs;
    auto add = [&dirs](std::string base) {
        // Relative entries are invalid in the base directory rules; skip them.
        if (base.empty() || base.front() != '/') return;
        while (base.size() > 1 && base.back() == '/') base.pop_back();
        std::string dir = base == "/" ? "/applications" : base + "/applications";
        for (const auto& d : dirs)
            if (d == dir) return;
        dirs.push_back(std::move(dir));
    };
    const char* home = std::getenv("XDG_DATA_HOME");
    if (home && *home) {
        add(home);
    } else if (const char* h = std::getenv("HOME"); h && *h) {
        add(std::string(h) + "/.local/share");
    }
    const char* list = std::getenv("XDG_DATA_DIRS");
    std::string_view rest = list && *list ? list : "/usr/local/share:/usr/share";
    while (true) {
        size_t colon = rest.find(':');
        add(std::string(rest.substr(0, colon)));
        if (colon == std::string_view::npos) break;
        rest.remove_prefix(colon + 1);
    }
    return dirs;
}

}  // namespace platform
