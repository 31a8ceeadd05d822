// Application icons by name, as desktop entries give them: looked up by the
// freedesktop icon theme rules (the user's theme where it can be known, the
// themes it inherits, hicolor, then the pixmaps directory) or read from an
// absolute path; PNG, SVG/SVGZ and XPM. Shared by every backend. Files are
// read bounded and decoded defensively.
#pragma once

#include "platform/platform.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform::icons {

// An icon side past this is not believed.
constexpr uint32_t kMaxIconSide = 1024;

// The icon called `name` (or at absolute path `name`) for `want` x `want`:
// from the theme directory that fits `want` best (an SVG rendered at
// `want`), in the user's theme, the themes it inherits, then hicolor, over
// $HOME/.icons and each data directory's icons; then the pixmaps directory.
// Nothing when there is none. Any thread.
std::optional<RgbaImage> themeIcon(std::string name, uint32_t want);

// One directory of an icon theme, as index.theme describes it.
struct ThemeDir {
    std::string path;  // relative to the theme, e.g. "48x48/apps"
    enum class Type { fixed, scalable, threshold } type = Type::threshold;
    uint32_t size = 0, minSize = 0, maxSize = 0, threshold = 2, scale = 1;
};

struct ThemeIndex {
    std::vector<ThemeDir> dirs;
    std::vector<std::string> inherits;
};

// The [Icon Theme] group's Directories and Inherits and each directory's
// group, from the text of an index.theme. Unknown keys are ignored; sizes
// are bounded. Pure.
ThemeIndex parseIndexTheme(std::string_view text);

// The directories of `dirs` to search for `want`, best first: those whose
// size range holds `want`, then larger ones (nearest first: shrinking keeps
// detail), then smaller ones (nearest first). Directories for another scale
// are left out. Pure.
std::vector<const ThemeDir*> searchOrder(const std::vector<ThemeDir>& dirs, uint32_t want);

// The icon theme the user chose, as GTK's settings.ini or KDE's kdeglobals
// under `configHome` say; nothing when neither names one.
std::optional<std::string> userIconTheme(const std::string& configHome);

}  // namespace platform::icons
