// Desktop entry matching for running applications.
#include "platform/apps/identity.hpp"

#include <algorithm>
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

const DesktopEntry* entryById(const std::vector<DesktopEntry>& entries, std::string_view id) {
    if (size_t slash = id.rfind('/'); slash != std::string_view::npos) id.remove_prefix(slash + 1);
    constexpr std::string_view kSuffix = ".desktop";
    if (id.size() > kSuffix.size() && id.substr(id.size() - kSuffix.size()) == kSuffix)
        id.remove_suffix(kSuffix.size());
    if (id.empty()) return nullptr;
    for (const DesktopEntry& e : entries)
        if (e.id == id) return &e;
    for (const DesktopEntry& e : entries)
        if (sameIgnoringCase(e.id, id)) return &e;
    return nullptr;
}

namespace {

std::string_view trimmed(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
    return s;
}

bool startsWith(std::string_view s, std::string_view head) { return s.substr(0, head.size()) == head; }

bool endsWith(std::string_view s, std::string_view tail) {
    return s.size() >= tail.size() && s.substr(s.size() - tail.size()) == tail;
}

std::string_view lastComponent(std::string_view path) {
    size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// systemd's unit name escapes ("\x2d" for '-') undone.
std::string unescapeUnit(std::string_view s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 3 < s.size() && s[i + 1] == 'x') {
            int v = 0;
            auto [p, ec] = std::from_chars(s.data() + i + 2, s.data() + i + 4, v, 16);
            if (ec == std::errc() && p == s.data() + i + 4 && v > 0) {
                out.push_back(char(v));
                i += 3;
                continue;
            }
        }
        out.push_back(s[i]);
    }
    return out;
}

bool plausibleId(std::string_view id) {
    if (id.empty() || id.size() > 255) return false;
    for (char c : id)
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
              c == '_' || c == '-'))
            return false;
    return true;
}

}  // namespace

std::optional<std::string> flatpakInfoId(std::string_view info) {
    std::string_view group;
    while (!info.empty()) {
        size_t nl = info.find('\n');
        std::string_view line = trimmed(info.substr(0, nl));
        info.remove_prefix(nl == std::string_view::npos ? info.size() : nl + 1);
        if (!line.empty() && line.front() == '[' && line.back() == ']') {
            group = line.substr(1, line.size() - 2);
            continue;
        }
        size_t eq = line.find('=');
        if (group == "Application" && eq != std::string_view::npos && trimmed(line.substr(0, eq)) == "name") {
            std::string_view v = trimmed(line.substr(eq + 1));
            if (plausibleId(v)) return std::string(v);
        }
    }
    return std::nullopt;
}

std::optional<std::string> unifiedCgroup(std::string_view procCgroup) {
    while (!procCgroup.empty()) {
        size_t nl = procCgroup.find('\n');
        std::string_view line = procCgroup.substr(0, nl);
        procCgroup.remove_prefix(nl == std::string_view::npos ? procCgroup.size() : nl + 1);
        if (startsWith(line, "0::/")) return std::string(line.substr(3));
    }
    return std::nullopt;
}

std::optional<std::string> sandboxId(std::string_view cgroup) {
    std::string_view unit = lastComponent(cgroup);
    constexpr std::string_view kFlatpak = "app-flatpak-";
    if (startsWith(unit, kFlatpak) && endsWith(unit, ".scope")) {
        std::string_view rest = unit.substr(kFlatpak.size(), unit.size() - kFlatpak.size() - 6);
        size_t dash = rest.rfind('-');
        if (dash == std::string_view::npos) return std::nullopt;
        std::string id = unescapeUnit(rest.substr(0, dash));
        if (plausibleId(id)) return id;
        return std::nullopt;
    }
    if (startsWith(unit, "snap.")) {
        std::string_view rest = unit.substr(5);
        size_t dot = rest.find('.');
        if (dot == std::string_view::npos) return std::nullopt;
        std::string_view name = rest.substr(0, dot), app = rest.substr(dot + 1);
        app = app.substr(0, std::min(app.find('.'), app.find('-')));
        std::string id = std::string(name) + "_" + std::string(app);
        if (!name.empty() && !app.empty() && plausibleId(id)) return id;
    }
    return std::nullopt;
}

std::optional<std::string> launchedUnitId(std::string_view cgroup, std::string_view parentCgroup) {
    if (cgroup.empty() || cgroup == parentCgroup) return std::nullopt;
    std::string_view unit = lastComponent(cgroup);
    if (!startsWith(unit, "app-")) return std::nullopt;
    unit.remove_prefix(4);
    std::vector<std::string_view> parts;
    if (endsWith(unit, ".scope")) {
        unit.remove_suffix(6);
        size_t dash = unit.rfind('-');  // the random part
        if (dash == std::string_view::npos) return std::nullopt;
        unit = unit.substr(0, dash);
    } else if (endsWith(unit, ".service")) {
        unit.remove_suffix(8);
        unit = unit.substr(0, unit.find('@'));
    } else {
        return std::nullopt;
    }
    // What is left is [LAUNCHER-]ID; an id's own dashes are escaped.
    size_t dash = unit.find('-');
    if (dash != std::string_view::npos) unit.remove_prefix(dash + 1);
    if (unit.find('-') != std::string_view::npos) return std::nullopt;
    std::string id = unescapeUnit(unit);
    if (!plausibleId(id) || id == "flatpak") return std::nullopt;
    return id;
}

std::optional<std::string> execProgram(std::string_view exec) {
    auto next = [&exec]() -> std::optional<std::string> {
        exec = trimmed(exec);
        if (exec.empty()) return std::nullopt;
        std::string word;
        if (exec.front() == '"') {
            size_t i = 1;
            for (; i < exec.size() && exec[i] != '"'; ++i) {
                if (exec[i] == '\\' && i + 1 < exec.size()) ++i;
                word.push_back(exec[i]);
            }
            if (i >= exec.size()) return std::nullopt;  // unterminated
            exec.remove_prefix(i + 1);
        } else {
            size_t end = exec.find_first_of(" \t");
            word = std::string(exec.substr(0, end));
            exec.remove_prefix(end == std::string_view::npos ? exec.size() : end);
        }
        return word;
    };
    auto word = next();
    if (word && lastComponent(*word) == "env") {
        do word = next();
        while (word && (word->find('=') != std::string::npos || startsWith(*word, "-")));
    }
    if (!word || word->empty() || word->find('%') != std::string::npos) return std::nullopt;
    return word;
}

const DesktopEntry* entryByExec(const std::vector<DesktopEntry>& entries, std::string_view exe) {
    if (exe.empty() || exe.front() != '/') return nullptr;
    const DesktopEntry* found = nullptr;
    for (const DesktopEntry& e : entries) {
        if (!e.exec) continue;
        auto program = execProgram(*e.exec);
        if (!program) continue;
        bool same = program->front() == '/' ? *program == exe
                                            : program->find('/') == std::string::npos &&
                                                  *program == lastComponent(exe);
        if (!same) continue;
        if (found) return nullptr;  // several: none is the one
        found = &e;
    }
    return found;
}

}  // namespace platform::apps
