// Application icons by name, as desktop entries give them: looked up in the
// icon theme and the pixmaps directory, or read from an absolute path. Shared
// by every backend. Files are read bounded and decoded defensively.
#pragma once

#include "platform/platform.hpp"

#include <cstdint>
#include <optional>
#include <string>

namespace platform::icons {

// An icon side past this is not believed.
constexpr uint32_t kMaxIconSide = 1024;

// The icon called `name` at its best size for `want` x `want`: the smallest
// size at least `want`, else the largest, over the data directories in
// order; then the pixmaps directory. Nothing when there is none. Any thread.
std::optional<RgbaImage> themeIcon(std::string name, uint32_t want);

}  // namespace platform::icons
