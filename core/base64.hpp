// Standard Base64 (RFC 4648, padded, no line breaks).
#pragma once

#include <string>
#include <string_view>

namespace core {

std::string base64(std::string_view bytes);

}  // namespace core
