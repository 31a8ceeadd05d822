// PNG reading for icon files; writing is renderPng in platform.hpp.
// Internal to platform/ (and the tests).
#pragma once

#include "platform/platform.hpp"

#include <cstdint>
#include <optional>
#include <string_view>

namespace platform {

// Decodes a PNG file's bytes into straight RGBA. Nothing for anything that is
// not a PNG, or one wider or higher than `maxSide`. Any thread.
std::optional<RgbaImage> decodePng(std::string_view bytes, uint32_t maxSide);

}  // namespace platform
