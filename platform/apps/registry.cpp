// Application records: the desktop entries on disk, indexed and read again
// when a directory changes, and one record per running process.
#include "platform/apps/registry.hpp"

#include "platform/apps/process.hpp"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <map>
#include <mutex>

namespace platform::apps {
namespace {

constexpr size_t kMaxEntries = 4096;

struct Index {
    std::vector<std::pair<std::string, struct timespec>> stamps;
    std::vector<DesktopEntry> entries;
};

bool sameStamps(const Index& index, const std::vector<std::pair<std::string, struct timespec>>& s) {
    if (index.stamps.size() != s.size()) return false;
    for (size_t i = 0; i < s.size(); ++i) {
        const auto& [d, t] = index.stamps[i];
        if (d != s[i].first || t.tv_sec != s[i].second.tv_sec || t.tv_nsec != s[i].second.tv_nsec)
            return false;
    }
    return true;
}

std::mutex indexLock;

// REQUIRES: indexLock held while the result is used.
const std::vector<DesktopEntry>& desktopEntries() {
    static Index index;
    static bool built = false;
    std::vector<std::pair<std::string, struct timespec>> stamps;
    for (const std::string& dir : applicationDirs()) {
        struct stat st;
        struct timespec t {};
        if (::stat(dir.c_str(), &st) == 0) t = st.st_mtim;
        stamps.emplace_back(dir, t);
    }
    if (built && sameStamps(index, stamps)) return index.entries;
    index = Index{stamps, {}};
    built = true;
    std::vector<std::string> seen;
    for (const auto& [dir, t] : stamps) {
        DIR* d = ::opendir(dir.c_str());
        if (!d) continue;
        std::vector<std::string> names;
        while (dirent* e = ::readdir(d)) {
            std::string_view n = e->d_name;
            if (n.size() > 8 && n.substr(n.size() - 8) == ".desktop") names.emplace_back(n);
            if (names.size() >= kMaxEntries) break;
        }
        ::closedir(d);
        std::sort(names.begin(), names.end());
        for (const std::string& n : names) {
            if (index.entries.size() >= kMaxEntries) break;
            std::string id = n.substr(0, n.size() - 8);
            if (std::find(seen.begin(), seen.end(), id) != seen.end()) continue;  // shadowed
            auto entry = readDesktopEntry(dir + "/" + n);
            if (!entry) continue;
            seen.push_back(id);
            if (!entry->hidden) index.entries.push_back(std::move(*entry));
        }
    }
    return index.entries;
}

struct Cached {
    uint64_t start = 0;
    AppRef app;
};
std::mutex cacheLock;
std::map<int32_t, Cached> cache;
constexpr size_t kMaxCached = 512;

// The desktop entry of process `pid`, by the identity rules in order: the
// launcher's GIO_LAUNCHED_DESKTOP_FILE; the ids the window names; the
// sandbox's app id (Flatpak, Snap); WM_CLASS; the entry whose Exec program is
// the executable; the systemd unit a desktop launched it in.
std::optional<DesktopEntry> identify(int32_t pid, const Hints& hints);

}  // namespace

void withDesktopEntries(const std::function<void(const std::vector<DesktopEntry>&)>& use) {
    std::lock_guard guard(indexLock);
    use(desktopEntries());
}

namespace {

std::optional<DesktopEntry> identify(int32_t pid, const Hints& hints) {
    if (auto env = environOf(pid))
        if (auto file = launchedDesktopFile(*env, pid))
            if (auto entry = readDesktopEntry(*file)) return entry;

    std::vector<std::string> named;
    if (hints.desktopId) named.push_back(*hints.desktopId);
    named.insert(named.end(), hints.desktopIds.begin(), hints.desktopIds.end());
    std::optional<std::string> cgroup;
    if (auto text = cgroupOf(pid)) cgroup = unifiedCgroup(*text);
    std::optional<std::string> sandboxed;
    if (auto info = flatpakInfoOf(pid)) sandboxed = flatpakInfoId(*info);
    if (!sandboxed && cgroup) sandboxed = sandboxId(*cgroup);
    std::optional<std::string> exe = exeTarget(pid);
    std::optional<std::string> unit;
    if (cgroup) {
        std::optional<std::string> parentGroup;
        if (auto parent = parentPid(pid))
            if (auto text = cgroupOf(*parent)) parentGroup = unifiedCgroup(*text);
        unit = launchedUnitId(*cgroup, parentGroup.value_or(""));
    }

    std::optional<DesktopEntry> found;
    withDesktopEntries([&](const std::vector<DesktopEntry>& all) {
        const DesktopEntry* e = nullptr;
        for (const std::string& id : named)
            if (!e) e = entryById(all, id);
        if (!e && sandboxed) e = entryById(all, *sandboxed);
        if (!e && hints.wmClass) e = matchEntry(all, *hints.wmClass);
        if (!e && exe) e = entryByExec(all, *exe);
        if (!e && unit) e = entryById(all, *unit);
        if (e) found = *e;
    });
    return found;
}

}  // namespace

AppRef appFor(int32_t pid, const std::function<Hints()>& hintsOf) {
    if (pid <= 0) return nullptr;
    auto start = startTime(pid);
    if (!start) return nullptr;  // no such process
    {
        std::lock_guard guard(cacheLock);
        auto it = cache.find(pid);
        if (it != cache.end() && it->second.start == *start) return it->second.app;
    }

    auto app = std::make_shared<App>();
    app->pid = pid;
    Hints hints = hintsOf ? hintsOf() : Hints{};
    app->windows = hints.windows;
    const std::optional<WmClass>& wc = hints.wmClass;

    std::optional<DesktopEntry> entry = identify(pid, hints);
    if (entry && entry->name) app->name = entry->name;
    else if (wc && !wc->cls.empty()) app->name = wc->cls;
    else app->name = comm(pid);
    if (entry) {
        app->bundle = entry->id;
        app->path = entry->path;
        app->iconName = entry->icon;
    } else {
        app->path = exeTarget(pid);
    }

    // A record made before the process named itself is not kept.
    if (entry || wc || !hints.desktopIds.empty() || hints.desktopId) {
        std::lock_guard guard(cacheLock);
        if (cache.size() >= kMaxCached) cache.clear();
        cache[pid] = Cached{*start, app};
    }
    return app;
}

}  // namespace platform::apps
