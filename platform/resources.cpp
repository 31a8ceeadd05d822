// The companion's data directory.
#include "platform/resources.hpp"

#include <filesystem>
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

std::optional<std::string> resourceDirFor(const std::string& exe, const std::string& datadir,
                                          const std::function<bool(const std::string&)>& isDir) {
    namespace fs = std::filesystem;
    // A build tree's own staged files come first: an installed copy
    // elsewhere may be older than the code being built.
    std::optional<fs::path> dir;
    if (auto slash = exe.rfind('/'); slash != std::string::npos)
        dir = fs::path(exe.substr(0, slash + 1));
    auto beside = [&](const char* rel) {
        return dir ? (*dir / rel).lexically_normal().string() : std::string();
    };
    std::string installed = datadir.empty() ? "" : fs::path(datadir).lexically_normal().string();
    for (const std::string& candidate : {beside("share/companion"), installed,
                                         beside("../share/companion"),
                                         beside("../../share/companion")})
        if (!candidate.empty() && isDir(candidate)) return candidate;
    return std::nullopt;
}

std::optional<std::string> resourceDir() {
    return resourceDirFor(selfExecutable().value_or(""), COMPANION_DATADIR, isDir);
}

}  // namespace platform
