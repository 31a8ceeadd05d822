// The application icon cache: one Base64 PNG (64 x 64 RGBA) per process id,
// rendered once.
#pragma once

#include "platform/platform.hpp"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <unordered_map>

namespace tracking {

// Process id -> icon text. Only grows; only successes are stored. Main thread.
extern std::unordered_map<int32_t, std::string> icons;

// The stored text for `pid`, else what `render` gives, stored when it gives
// something. `render` is not called on a hit.
std::optional<std::string> cachedIcon(std::unordered_map<int32_t, std::string>& cache, int32_t pid,
                                      const std::function<std::optional<std::string>()>& render);

// The icon text of `app`, from `icons` or rendered now. Main thread.
std::optional<std::string> iconOf(const platform::App& app);

}  // namespace tracking
