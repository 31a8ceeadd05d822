// Bundles on disk: a desktop entry file is a bundle with an identifier, a
// directory is a bundle without one. Only stat(2) and the desktop entry
// reader touch the path, so a FIFO, a device or a huge file cannot block.
#include "platform/apps/desktop_entry.hpp"
#include "platform/platform.hpp"

#include "core/utf8.hpp"

#include <sys/stat.h>

namespace platform {
namespace {

// A path with a NUL in it names nothing: the file system would see only the
// part before it.
bool nameable(const std::string& path) {
    return !path.empty() && path.find('\0') == std::string::npos;
}

bool desktopEntryName(const std::string& path) {
    size_t slash = path.find_last_of('/');
    std::string_view base(path);
    if (slash != std::string::npos) base.remove_prefix(slash + 1);
    return base.size() > 8 && base.ends_with(".desktop");
}

// The desktop entry at `path`, when it names a regular file that is one.
std::optional<DesktopEntry> entryAt(const std::string& path) {
    struct stat st;
    if (!nameable(path) || !desktopEntryName(path) || ::stat(path.c_str(), &st) != 0 ||
        !S_ISREG(st.st_mode))
        return std::nullopt;
    return readDesktopEntry(path);
}

// The last component of `path`, trailing slashes ignored; "/" for the root
// and "" for the empty path.
std::string lastComponent(const std::string& path) {
    size_t end = path.find_last_not_of('/');
    if (end == std::string::npos) return path.empty() ? "" : "/";
    size_t slash = path.find_last_of('/', end);
    size_t start = slash == std::string::npos ? 0 : slash + 1;
    return path.substr(start, end + 1 - start);
}

}  // namespace

std::optional<Bundle> bundleAt(const std::string& path) {
    if (!nameable(path)) return std::nullopt;
    if (auto entry = entryAt(path)) return Bundle{entry->id};
    struct stat st;
    if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return Bundle{};
    return std::nullopt;
}

std::string displayNameAt(const std::string& path) {
    if (auto entry = entryAt(path); entry && entry->name && !entry->name->empty())
        return *entry->name;
    return core::repairUtf8(lastComponent(path));
}

}  // namespace platform
