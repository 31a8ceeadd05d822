// XPM icons (the classic X pixmap text format, as /usr/share/pixmaps holds
// them), read with gdk-pixbuf's reader after the header has been checked
// here, so a giant claimed size is refused before anything is allocated.
// Internal to platform/.
#pragma once

#include "platform/platform.hpp"

#include <cstdint>
#include <optional>
#include <string_view>

namespace platform::icons {

// Width, height, colours and characters per pixel from an XPM header.
struct XpmHeader {
    uint32_t width = 0, height = 0, colors = 0, charsPerPixel = 0;
};

// The header of the XPM 3 document `bytes` (the first string after the
// opening brace); nothing when it is missing or malformed. Pure.
std::optional<XpmHeader> xpmHeader(std::string_view bytes);

// `bytes` decoded as straight RGBA at its own size; nothing when it is not
// XPM 3, a side is 0 or past `maxSide`, or the colours are implausible.
// Any thread.
std::optional<RgbaImage> decodeXpm(std::string_view bytes, uint32_t maxSide);

}  // namespace platform::icons
