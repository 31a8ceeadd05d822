// Standard Base64 (RFC 4648, padded, no line breaks).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace core {

std::string base64(std::string_view bytes);

// Length of the Base64 text of `n` bytes.
constexpr size_t base64Size(size_t n) { return (n + 2) / 3 * 4; }

// Writes the Base64 text of `bytes` to `out`, which has room for
// base64Size(bytes.size()) characters.
void base64Into(std::string_view bytes, char* out);

}  // namespace core
