// Icon lookup by name in the hicolor theme and the pixmaps directory.
#include "platform/icons/theme.hpp"

#include "platform/codec/png.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace platform::icons {
namespace {

// The largest icon file read.
constexpr off_t kMaxIconFile = 8 << 20;

std::optional<std::string> readRegular(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return std::nullopt;
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > kMaxIconFile) {
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

std::optional<RgbaImage> pngFile(const std::string& path) {
    auto bytes = readRegular(path);
    if (!bytes) return std::nullopt;
    return decodePng(*bytes, kMaxIconSide);
}

std::vector<std::string> dataDirs() {
    std::vector<std::string> dirs;
    const char* home = std::getenv("HOME");
    const char* dataHome = std::getenv("XDG_DATA_HOME");
    if (dataHome && *dataHome == '/') dirs.emplace_back(dataHome);
    else if (home && *home == '/') dirs.push_back(std::string(home) + "/.local/share");
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

// "48x48" -> 48; 0 for anything else (scalable, 48x48@2, ...).
int sizeDir(const std::string& name) {
    int w = 0, h = 0;
    char tail = 0;
    if (std::sscanf(name.c_str(), "%dx%d%c", &w, &h, &tail) != 2 || w != h || w <= 0) return 0;
    return w;
}

}  // namespace

std::optional<RgbaImage> themeIcon(std::string name, uint32_t want) {
    if (name.empty()) return std::nullopt;
    if (name[0] == '/') {
        if (name.size() > 4 && name.compare(name.size() - 4, 4, ".png") == 0) return pngFile(name);
        return std::nullopt;
    }
    if (name.find('/') != std::string::npos || name == "." || name == "..") return std::nullopt;
    if (name.size() > 4 && name.compare(name.size() - 4, 4, ".png") == 0) name.resize(name.size() - 4);
    std::vector<std::string> dirs = dataDirs();
    for (const std::string& d : dirs) {
        std::string theme = d + "/icons/hicolor";
        DIR* dir = ::opendir(theme.c_str());
        if (!dir) continue;
        std::vector<std::pair<int, std::string>> sizes;
        while (dirent* e = ::readdir(dir))
            if (int s = sizeDir(e->d_name)) sizes.emplace_back(s, e->d_name);
        ::closedir(dir);
        std::sort(sizes.begin(), sizes.end());
        std::vector<std::string> order;
        for (auto& [s, n] : sizes)
            if (s >= int(want)) order.push_back(n);
        for (auto it = sizes.rbegin(); it != sizes.rend(); ++it)
            if (it->first < int(want)) order.push_back(it->second);
        for (const std::string& n : order)
            if (auto img = pngFile(theme + "/" + n + "/apps/" + name + ".png")) return img;
    }
    for (const std::string& d : dirs)
        if (auto img = pngFile(d + "/pixmaps/" + name + ".png")) return img;
    return std::nullopt;
}

}  // namespace platform::icons
