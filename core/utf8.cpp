// Byte-level UTF-8 checking with the table of well-formed sequences from the
// Unicode Standard (Table 3-7), with an ASCII fast path.
#include "core/utf8.hpp"

#include <cstdint>
#include <cstring>

namespace core {
namespace {

// Length of the well-formed sequence starting at s[i], or the length of its
// maximal ill-formed prefix as a negative number (-1 at least).
int sequenceAt(const unsigned char* s, size_t n, size_t i) {
    unsigned char b = s[i];
    if (b < 0x80) return 1;
    int need;
    unsigned char lo = 0x80, hi = 0xBF;  // bounds for the second byte
    if (b >= 0xC2 && b <= 0xDF) {
        need = 1;
    } else if (b >= 0xE0 && b <= 0xEF) {
        need = 2;
        if (b == 0xE0) lo = 0xA0;
        if (b == 0xED) hi = 0x9F;
    } else if (b >= 0xF0 && b <= 0xF4) {
        need = 3;
        if (b == 0xF0) lo = 0x90;
        if (b == 0xF4) hi = 0x8F;
    } else {
        return -1;
    }
    for (int k = 1; k <= need; ++k) {
        if (i + k >= n) return -k;
        unsigned char c = s[i + k];
        unsigned char l = k == 1 ? lo : 0x80, h = k == 1 ? hi : 0xBF;
        if (c < l || c > h) return -k;
    }
    return need + 1;
}

bool asciiWord(const unsigned char* p) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    return (w & 0x8080808080808080ull) == 0;
}

}  // namespace

bool validUtf8(std::string_view text) {
    auto s = reinterpret_cast<const unsigned char*>(text.data());
    size_t n = text.size(), i = 0;
    while (i < n) {
        if (i + 8 <= n && asciiWord(s + i)) {
            i += 8;
            continue;
        }
        int len = sequenceAt(s, n, i);
        if (len < 0) return false;
        i += len;
    }
    return true;
}

std::string repairUtf8(std::string_view text) {
    static constexpr char kReplacement[] = "\xEF\xBF\xBD";
    auto s = reinterpret_cast<const unsigned char*>(text.data());
    size_t n = text.size(), i = 0;
    std::string out;
    out.reserve(n + 8);
    while (i < n) {
        int len = sequenceAt(s, n, i);
        if (len > 0) {
            out.append(text.data() + i, len);
            i += len;
        } else {
            out.append(kReplacement, 3);
            i += -len;
        }
    }
    return out;
}

void repairUtf8InPlace(std::string& s) {
    if (!validUtf8(s)) s = repairUtf8(s);
}

}  // namespace core
