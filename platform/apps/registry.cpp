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

}  // namespace

void withDesktopEntries(const std::function<void(const std::vector<DesktopEntry>&)>& use) {
    std::lock_guard guard(indexLock);
    use(desktopEntries());
}

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

    std::optional<DesktopEntry> entry;
    if (auto env = environOf(pid))
        if (auto file = launchedDesktopFile(*env, pid)) entry = readDesktopEntry(*file);
    if (!entry && wc)
        withDesktopEntries([&](const std::vector<DesktopEntry>& all) {
            if (const DesktopEntry* e = matchEntry(all, *wc)) entry = *e;
        });

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
    if (entry || wc) {
        std::lock_guard guard(cacheLock);
        if (cache.size() >= kMaxCached) cache.clear();
        cache[pid] = Cached{*start, app};
    }
    return app;
}

}  // namespace platform::apps
