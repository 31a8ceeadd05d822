// Desktop entry files (the freedesktop.org format), read defensively: they
// may be anything a user or another program put on disk.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace platform {

struct DesktopEntry {
    std::string id;    // file name without ".desktop"
    std::string path;  // where it was read from
    std::optional<std::string> name;  // Name, localized by LANG (LC_ALL, LC_MESSAGES first)
    std::optional<std::string> icon;  // Icon
    std::optional<std::string> startupWmClass;  // StartupWMClass
    std::optional<std::string> exec;  // Exec
    bool hidden = false;  // Hidden=true: deleted, also for entries of the same id further down
};

// Reads the [Desktop Entry] group of the file at `path`. Only a regular file
// is read (never a FIFO or a device: opened without blocking, checked with
// fstat), at most a bounded prefix of it; strings are valid UTF-8. Nothing
// when it is not a readable desktop entry. Any thread.
std::optional<DesktopEntry> readDesktopEntry(const std::string& path);

// The directories that hold desktop entries: $XDG_DATA_HOME/applications and
// each of $XDG_DATA_DIRS (default /usr/local/share:/usr/share) + /applications.
std::vector<std::string> applicationDirs();

}  // namespace platform
