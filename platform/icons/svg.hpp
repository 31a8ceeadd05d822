// SVG and SVGZ icons rendered with librsvg straight at the size wanted.
// Files come from anywhere on disk: sizes are capped, compressed data is
// inflated bounded, and nothing outside the data is ever loaded. Internal
// to platform/.
#pragma once

#include "platform/platform.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace platform::icons {

// The largest SVG document rendered, after inflating SVGZ.
constexpr size_t kMaxSvgBytes = 2 << 20;

// `bytes` (an SVG document, or one gzip-compressed) rendered to fit `size` x
// `size`, centred, keeping its aspect; straight RGBA. Nothing when it is not
// a valid document, is too large or `size` is 0 or past 1024. External
// references (images, fonts, other files) are not followed. Any thread.
std::optional<RgbaImage> renderSvg(std::string_view bytes, uint32_t size);

}  // namespace platform::icons
