// UTF-8 validation and repair for text that crosses the companion's borders:
// request lines from the host and strings from other applications.
#pragma once

#include <string>
#include <string_view>

namespace core {

// True when `s` is well-formed UTF-8 (no overlongs, surrogates or code points
// past U+10FFFF).
bool validUtf8(std::string_view s);

// Copy of `s` in which every maximal ill-formed subsequence is replaced by one
// U+FFFD, the replacement the Unicode Standard recommends (and what Python's
// errors="replace" produces).
std::string repairUtf8(std::string_view s);

// Repairs `s` in place; valid text is left untouched and not copied.
void repairUtf8InPlace(std::string& s);

}  // namespace core
