#include "core/base64.hpp"

#include <cstdint>

namespace core {

void base64Into(std::string_view bytes, char* o) {
    static constexpr char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    auto in = reinterpret_cast<const uint8_t*>(bytes.data());
    size_t n = bytes.size();
    size_t i = 0;
    for (; i + 3 <= n; i += 3) {
        uint32_t v = uint32_t(in[i]) << 16 | uint32_t(in[i + 1]) << 8 | in[i + 2];
        *o++ = kAlphabet[v >> 18];
        *o++ = kAlphabet[(v >> 12) & 63];
        *o++ = kAlphabet[(v >> 6) & 63];
        *o++ = kAlphabet[v & 63];
    }
    if (size_t left = n - i) {
        uint32_t v = uint32_t(in[i]) << 16 | (left == 2 ? uint32_t(in[i + 1]) << 8 : 0);
        *o++ = kAlphabet[v >> 18];
        *o++ = kAlphabet[(v >> 12) & 63];
        *o++ = left == 2 ? kAlphabet[(v >> 6) & 63] : '=';
        *o++ = '=';
    }
}

std::string base64(std::string_view bytes) {
    std::string out(base64Size(bytes.size()), '=');
    base64Into(bytes, out.data());
    return out;
}

}  // namespace core
