// The companion's data directory.
#include "platform/resources.hpp"

#include <sys/stat.h>
#include <unistd.h>

#ifndef COMPANION_DATADIR
#define COMPANION_DATADIR "/usr/local/share/companion"
#endif

namespace platform {
namespace {

bool isDir(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

std::optional<std::string> selfExecutable() {
    char buf[4096];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf);
    if (n <= 0 || size_t(n) >= sizeof buf) return std::nullopt;
    return std::string(buf, size_t(n));
}

std::optional<std::string> resourceDir() {
    if (isDir(COMPANION_DATADIR)) return std::string(COMPANION_DATADIR);
    auto exe = selfExecutable();
    if (!exe) return std::nullopt;
    std::string dir = exe->substr(0, exe->find_last_of('/'));
    for (const char* rel : {"/../share/companion", "/share/companion"})
        if (isDir(dir + rel)) return dir + rel;
    return std::nullopt;
}

}  // namespace platform
