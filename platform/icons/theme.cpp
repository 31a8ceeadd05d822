// Icon lookup by name over the icon themes and the pixmaps directories.
#include "platform/icons/theme.hpp"

#include "platform/codec/png.hpp"
#include "platform/icons/svg.hpp"
#include "platform/icons/xpm.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <unordered_set>

namespace platform::icons {
namespace {

// The largest icon file read, and the largest index or settings file.
constexpr off_t kMaxIconFile = 8 << 20;
constexpr off_t kMaxTextFile = 256 << 10;
// Themes searched at most, inherited ones included (hicolor comes on top).
constexpr size_t kMaxThemes = 8;
constexpr size_t kMaxThemeDirs = 512;

std::optional<std::string> readRegular(const std::string& path, off_t limit) {
    int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return std::nullopt;
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > limit) {
        ::close(fd);
        return std::nullopt;
    }
    std::string data(size_t(st.st_size), '\0');
    size_t got = 0;
    while (got < data.size()) {
        ssize_t n = ::read(fd, data.data() + got, data.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += size_t(n);
    }
    ::close(fd);
    data.resize(got);
    return data;
}

bool endsWith(std::string_view s, std::string_view tail) {
    return s.size() >= tail.size() && s.substr(s.size() - tail.size()) == tail;
}

// The image in the file at `path`, by its extension.
std::optional<RgbaImage> iconFile(const std::string& path, uint32_t want) {
    bool png = endsWith(path, ".png"), svg = endsWith(path, ".svg") || endsWith(path, ".svgz"),
         xpm = endsWith(path, ".xpm");
    if (!png && !svg && !xpm) return std::nullopt;
    auto bytes = readRegular(path, kMaxIconFile);
    if (!bytes) return std::nullopt;
    if (png) return decodePng(*bytes, kMaxIconSide);
    if (svg) return renderSvg(*bytes, want);
    return decodeXpm(*bytes, kMaxIconSide);
}

constexpr const char* kExtensions[] = {".png", ".svg", ".svgz", ".xpm"};

// What was read from disk, kept while the file or directory is unchanged: a
// lookup that finds nothing (a program whose entry names a missing icon) is
// asked again at every report, and would otherwise open a few thousand
// paths each time.
struct Stamp {
    dev_t dev = 0;
    ino_t ino = 0;
    int64_t mtimeNs = 0;
    off_t size = 0;
    bool operator==(const Stamp&) const = default;
};

std::optional<Stamp> stampOf(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return std::nullopt;
    return Stamp{st.st_dev, st.st_ino, int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec,
                 st.st_size};
}

// A listing taken within this long of the directory's last change may miss
// a file added in the same clock tick: it is taken again next time.
constexpr int64_t kSettleNs = 2000000000;

using Names = std::unordered_set<std::string>;

struct Listing {
    Stamp stamp;
    bool settled = false;
    std::shared_ptr<const Names> names;
};

struct DiskCache {
    std::mutex lock;
    std::unordered_map<std::string, Listing> listings;
    std::unordered_map<std::string, std::pair<Stamp, ThemeIndex>> indexes;
};
DiskCache& disk() {
    static auto* cache = new DiskCache;
    return *cache;
}
constexpr size_t kMaxCachedDirs = 8192;
constexpr size_t kMaxNamesPerDir = 65536;

int64_t nowNs() {
    timespec t;
    clock_gettime(CLOCK_REALTIME, &t);
    return int64_t(t.tv_sec) * 1000000000 + t.tv_nsec;
}

// The entries of directory `dir`; null when there is no such directory.
std::shared_ptr<const Names> entriesOf(const std::string& dir) {
    auto stamp = stampOf(dir);
    if (!stamp) return nullptr;
    DiskCache& c = disk();
    {
        std::lock_guard guard(c.lock);
        auto found = c.listings.find(dir);
        if (found != c.listings.end() && found->second.settled && found->second.stamp == *stamp)
            return found->second.names;
    }
    auto names = std::make_shared<Names>();
    if (DIR* d = ::opendir(dir.c_str())) {
        while (dirent* e = ::readdir(d)) {
            if (names->size() >= kMaxNamesPerDir) break;
            names->emplace(e->d_name);
        }
        ::closedir(d);
    }
    std::lock_guard guard(c.lock);
    if (c.listings.size() >= kMaxCachedDirs) c.listings.clear();
    c.listings.insert_or_assign(dir, Listing{*stamp, nowNs() - stamp->mtimeNs > kSettleNs, names});
    return names;
}

std::optional<RgbaImage> inDir(const std::string& dir, const std::string& name, uint32_t want) {
    auto names = entriesOf(dir);
    if (!names) return std::nullopt;
    for (const char* ext : kExtensions)
        if (names->count(name + ext))
            if (auto img = iconFile(dir + "/" + name + ext, want)) return img;
    return std::nullopt;
}

std::string envDir(const char* var) {
    const char* v = std::getenv(var);
    return v && *v == '/' ? v : "";
}

std::vector<std::string> dataDirs() {
    std::vector<std::string> dirs;
    std::string home = envDir("HOME"), dataHome = envDir("XDG_DATA_HOME");
    if (!dataHome.empty()) dirs.push_back(dataHome);
    else if (!home.empty()) dirs.push_back(home + "/.local/share");
    const char* dataDirs = std::getenv("XDG_DATA_DIRS");
    std::string list = dataDirs && *dataDirs ? dataDirs : "/usr/local/share:/usr/share";
    size_t start = 0;
    while (start <= list.size()) {
        size_t colon = list.find(':', start);
        std::string d = list.substr(start, colon == std::string::npos ? std::string::npos : colon - start);
        if (!d.empty() && d[0] == '/') dirs.push_back(d);
        if (colon == std::string::npos) break;
        start = colon + 1;
    }
    return dirs;
}

bool plainName(std::string_view n) {
    return !n.empty() && n.size() < 256 && n.find('/') == std::string_view::npos && n != "." &&
           n != "..";
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
    return s;
}

uint32_t number(std::string_view v) {
    uint32_t n = 0;
    auto [p, ec] = std::from_chars(v.data(), v.data() + v.size(), n);
    if (ec != std::errc() || n > 65536) return 0;
    return n;
}

std::vector<std::string> splitList(std::string_view v) {
    std::vector<std::string> out;
    while (!v.empty() && out.size() < kMaxThemeDirs) {
        size_t comma = v.find(',');
        std::string_view item = trim(v.substr(0, comma));
        if (!item.empty()) out.emplace_back(item);
        if (comma == std::string_view::npos) break;
        v.remove_prefix(comma + 1);
    }
    return out;
}

// Calls `use(group, key, value)` for each key line of an ini-style text.
template <class F>
void eachKey(std::string_view text, F&& use) {
    std::string_view group;
    while (!text.empty()) {
        size_t nl = text.find('\n');
        std::string_view line = trim(text.substr(0, nl));
        text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
        if (line.empty() || line[0] == '#' || line[0] == ';') continue;
        if (line.front() == '[' && line.back() == ']') {
            group = line.substr(1, line.size() - 2);
            continue;
        }
        size_t eq = line.find('=');
        if (eq == std::string_view::npos) continue;
        use(group, trim(line.substr(0, eq)), trim(line.substr(eq + 1)));
    }
}

// The size directories found on disk ("48x48/apps", "scalable/apps") of a
// theme that has no index.theme.
std::vector<ThemeDir> listedDirs(const std::string& theme) {
    std::vector<ThemeDir> dirs;
    auto names = entriesOf(theme);
    if (!names) return dirs;
    // The listing's order does not matter: searchOrder ranks the directories.
    for (const std::string& n : *names) {
        unsigned w = 0, h = 0;
        char tail = 0;
        ThemeDir d;
        d.path = n + "/apps";
        if (n == "scalable") {
            d.type = ThemeDir::Type::scalable;
            d.size = 64, d.minSize = 1, d.maxSize = 1024;
        } else if (std::sscanf(n.c_str(), "%ux%u%c", &w, &h, &tail) == 2 && w == h && w > 0 && w <= 1024) {
            d.type = ThemeDir::Type::fixed;
            d.size = d.minSize = d.maxSize = w;
        } else {
            continue;
        }
        dirs.push_back(d);
        if (dirs.size() >= kMaxThemeDirs) break;
    }
    return dirs;
}

// The parsed index.theme at `path`, read again only when it changed.
std::optional<ThemeIndex> indexAt(const std::string& path) {
    auto stamp = stampOf(path);
    if (!stamp) return std::nullopt;
    DiskCache& c = disk();
    {
        std::lock_guard guard(c.lock);
        auto found = c.indexes.find(path);
        if (found != c.indexes.end() && found->second.first == *stamp) return found->second.second;
    }
    auto text = readRegular(path, kMaxTextFile);
    if (!text) return std::nullopt;
    ThemeIndex index = parseIndexTheme(*text);
    // Cached only when settled, like a directory listing.
    if (nowNs() - stamp->mtimeNs > kSettleNs) {
        std::lock_guard guard(c.lock);
        if (c.indexes.size() >= 64) c.indexes.clear();
        c.indexes.insert_or_assign(path, std::make_pair(*stamp, index));
    }
    return index;
}

// The icon in theme `themeName`, whose index.theme (the first found over
// `bases`) describes its directories in every base. Its parents are added
// to `inherits`.
std::optional<RgbaImage> inTheme(const std::vector<std::string>& bases, const std::string& themeName,
                                 const std::string& name, uint32_t want,
                                 std::vector<std::string>& inherits) {
    std::optional<ThemeIndex> index;
    for (const std::string& base : bases)
        if ((index = indexAt(base + "/" + themeName + "/index.theme"))) break;
    if (index)
        for (const std::string& parent : index->inherits)
            if (plainName(parent) && std::find(inherits.begin(), inherits.end(), parent) == inherits.end())
                inherits.push_back(parent);
    for (const std::string& base : bases) {
        std::string theme = base + "/" + themeName;
        if (!stampOf(theme)) continue;
        std::vector<ThemeDir> dirs = index ? index->dirs : listedDirs(theme);
        for (const ThemeDir* d : searchOrder(dirs, want))
            if (auto img = inDir(theme + "/" + d->path, name, want)) return img;
    }
    return std::nullopt;
}

}  // namespace

ThemeIndex parseIndexTheme(std::string_view text) {
    ThemeIndex index;
    std::vector<std::string> listed;
    // Every group's keys in one pass (an index lists a few hundred groups).
    std::unordered_map<std::string_view, ThemeDir> groups;
    eachKey(text, [&](std::string_view group, std::string_view key, std::string_view value) {
        if (group == "Icon Theme") {
            if (key == "Directories") listed = splitList(value);
            else if (key == "Inherits") index.inherits = splitList(value);
            return;
        }
        auto found = groups.find(group);
        if (found == groups.end()) {
            if (groups.size() >= 4 * kMaxThemeDirs) return;
            found = groups.emplace(group, ThemeDir{}).first;
        }
        ThemeDir& d = found->second;
        if (key == "Size") d.size = number(value);
        else if (key == "MinSize") d.minSize = number(value);
        else if (key == "MaxSize") d.maxSize = number(value);
        else if (key == "Threshold") d.threshold = number(value);
        else if (key == "Scale") d.scale = number(value);
        else if (key == "Type")
            d.type = value == "Fixed"      ? ThemeDir::Type::fixed
                     : value == "Scalable" ? ThemeDir::Type::scalable
                                           : ThemeDir::Type::threshold;
    });
    for (const std::string& p : listed) {
        if (p.find("..") != std::string::npos || p.empty() || p[0] == '/') continue;
        auto found = groups.find(p);
        if (found == groups.end()) continue;
        ThemeDir d = found->second;
        d.path = p;
        if (d.size == 0) continue;
        if (d.minSize == 0) d.minSize = d.size;
        if (d.maxSize == 0) d.maxSize = d.size;
        index.dirs.push_back(d);
    }
    return index;
}

std::vector<const ThemeDir*> searchOrder(const std::vector<ThemeDir>& dirs, uint32_t want) {
    struct Scored {
        const ThemeDir* dir;
        int rank;  // 0: holds `want`; 1: larger, shrunk to fit; 2: smaller, enlarged
        uint32_t distance;
    };
    std::vector<Scored> scored;
    for (const ThemeDir& d : dirs) {
        if (d.scale != 1) continue;
        uint32_t lo = d.size, hi = d.size;
        if (d.type == ThemeDir::Type::scalable) lo = d.minSize, hi = d.maxSize;
        else if (d.type == ThemeDir::Type::threshold)
            lo = d.size > d.threshold ? d.size - d.threshold : 0, hi = d.size + d.threshold;
        if (want < lo) scored.push_back({&d, 1, lo - want});
        else if (want > hi) scored.push_back({&d, 2, want - hi});
        else scored.push_back({&d, 0, 0});
    }
    std::stable_sort(scored.begin(), scored.end(), [](const Scored& a, const Scored& b) {
        if (a.rank != b.rank) return a.rank < b.rank;
        return a.distance < b.distance;
    });
    std::vector<const ThemeDir*> out;
    for (const Scored& s : scored) out.push_back(s.dir);
    return out;
}

std::optional<std::string> userIconTheme(const std::string& configHome) {
    std::optional<std::string> found;
    for (const char* file : {"/gtk-4.0/settings.ini", "/gtk-3.0/settings.ini"}) {
        if (found) break;
        if (auto text = readRegular(configHome + file, kMaxTextFile))
            eachKey(*text, [&](std::string_view group, std::string_view key, std::string_view value) {
                if (group == "Settings" && key == "gtk-icon-theme-name" && plainName(value))
                    found = std::string(value);
            });
    }
    if (!found)
        if (auto text = readRegular(configHome + "/kdeglobals", kMaxTextFile))
            eachKey(*text, [&](std::string_view group, std::string_view key, std::string_view value) {
                if (group == "Icons" && key == "Theme" && plainName(value)) found = std::string(value);
            });
    return found;
}

std::optional<RgbaImage> themeIcon(std::string name, uint32_t want) {
    if (name.empty() || want == 0 || want > kMaxIconSide) return std::nullopt;
    if (name[0] == '/') return iconFile(name, want);
    for (const char* ext : kExtensions)
        if (endsWith(name, ext)) {
            name.resize(name.size() - std::string_view(ext).size());
            break;
        }
    if (!plainName(name)) return std::nullopt;

    std::vector<std::string> data = dataDirs();
    std::vector<std::string> bases;
    std::string home = envDir("HOME");
    if (!home.empty()) bases.push_back(home + "/.icons");
    for (const std::string& d : data) bases.push_back(d + "/icons");

    std::vector<std::string> themes;
    std::string configHome = envDir("XDG_CONFIG_HOME");
    if (configHome.empty() && !home.empty()) configHome = home + "/.config";
    if (!configHome.empty())
        if (auto user = userIconTheme(configHome)) themes.push_back(*user);
    for (size_t i = 0; i < themes.size() && i < kMaxThemes; ++i) {
        std::string theme = themes[i];  // `themes` grows meanwhile
        if (theme == "hicolor") continue;
        if (auto img = inTheme(bases, theme, name, want, themes)) return img;
    }
    std::vector<std::string> ignored;
    if (auto img = inTheme(bases, "hicolor", name, want, ignored)) return img;
    for (const std::string& d : data)
        if (auto img = inDir(d + "/pixmaps", name, want)) return img;
    return std::nullopt;
}

}  // namespace platform::icons
