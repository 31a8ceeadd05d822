// Parsing of window properties set by other clients: bounded, pure.
#include "platform/x11/props.hpp"

#include "core/utf8.hpp"

#include <cstring>

namespace platform::x11 {

std::optional<IconEntry> bestIconEntry(const uint32_t* words, size_t count, uint32_t want) {
    std::optional<IconEntry> fit, largest;
    uint64_t fitArea = 0, largestArea = 0;
    size_t i = 0;
    while (count - i >= 2) {
        uint64_t w = words[i], h = words[i + 1];
        uint64_t pixels = w * h;  // at most (2^32-1)^2: fits in 64 bits
        size_t start = i + 2;
        if (pixels > count - start) break;  // runs past the property
        i = start + size_t(pixels);
        if (w == 0 || h == 0 || w > kMaxIconSide || h > kMaxIconSide) continue;
        IconEntry e{uint32_t(w), uint32_t(h), start};
        if (w >= want && h >= want && (!fit || pixels < fitArea)) {
            fit = e;
            fitArea = pixels;
        }
        if (!largest || pixels > largestArea) {
            largest = e;
            largestArea = pixels;
        }
    }
    return fit ? fit : largest;
}

RgbaImage iconPixels(const uint32_t* words, const IconEntry& entry) {
    RgbaImage img;
    img.width = int(entry.width);
    img.height = int(entry.height);
    size_t n = size_t(entry.width) * entry.height;
    img.rgba.resize(n * 4);
    const uint32_t* p = words + entry.offset;
    for (size_t k = 0; k < n; ++k) {
        uint32_t argb = p[k];
        img.rgba[k * 4 + 0] = uint8_t(argb >> 16);
        img.rgba[k * 4 + 1] = uint8_t(argb >> 8);
        img.rgba[k * 4 + 2] = uint8_t(argb);
        img.rgba[k * 4 + 3] = uint8_t(argb >> 24);
    }
    return img;
}

std::optional<RgbaImage> decodeIcon(const uint32_t* words, size_t count, uint32_t want) {
    auto entry = bestIconEntry(words, count, want);
    if (!entry) return std::nullopt;
    return iconPixels(words, *entry);
}

std::string propertyText(std::string_view bytes, bool latin1) {
    if (core::validUtf8(bytes)) return std::string(bytes);
    if (!latin1) return core::repairUtf8(bytes);
    std::string out;
    out.reserve(bytes.size() * 2);
    for (unsigned char ch : bytes) {
        if (ch < 0x80) {
            out.push_back(char(ch));
        } else {
            out.push_back(char(0xC0 | (ch >> 6)));
            out.push_back(char(0x80 | (ch & 0x3F)));
        }
    }
    return out;
}

WmClass parseWmClass(std::string_view bytes) {
    WmClass wc;
    size_t nul = bytes.find('\0');
    wc.instance = core::repairUtf8(bytes.substr(0, nul));
    if (nul != std::string_view::npos) {
        std::string_view rest = bytes.substr(nul + 1);
        wc.cls = core::repairUtf8(rest.substr(0, rest.find('\0')));
    }
    return wc;
}

Bounds visibleArea(uint32_t width, uint32_t height, const std::vector<uint32_t>& extents) {
    Bounds all{0, 0, double(width), double(height)};
    if (extents.size() != 4) return all;
    uint64_t left = extents[0], right = extents[1], top = extents[2], bottom = extents[3];
    if (left + right >= width || top + bottom >= height) return all;
    return Bounds{double(left), double(top), double(width - left - right),
                  double(height - top - bottom)};
}

WindowKind kindOf(const RawWindow& raw) {
    return raw.kinds.empty() ? WindowKind::normal : raw.kinds.front();
}

int64_t layerOf(const RawWindow& raw) {
    if (!raw.typed && raw.overrideRedirect) return 101;  // an untyped popup
    switch (kindOf(raw)) {
        case WindowKind::normal:
        case WindowKind::dialog:
        case WindowKind::utility:
            return raw.above ? 3 : 0;
        case WindowKind::toolbar:
            return 3;
        case WindowKind::dock:
            return 20;
        case WindowKind::menu:
            return 101;
        case WindowKind::tooltip:
            return 102;
        case WindowKind::notification:
            return 103;
        case WindowKind::splash:
            return 104;
        case WindowKind::dnd:
            return 500;
        case WindowKind::desktop:
            return -2147483623;
    }
    return 0;
}

namespace {

std::optional<int32_t> asPid(std::optional<uint32_t> v) {
    if (!v || *v == 0 || *v > uint32_t(INT32_MAX)) return std::nullopt;
    return int32_t(*v);
}

}  // namespace

bool listed(const RawWindow& raw) { return !raw.hidden && kindOf(raw) != WindowKind::desktop; }

WindowRecord windowRecord(const RawWindow& raw) {
    WindowRecord r;
    r.layer = layerOf(raw);
    if (raw.opacity) r.alpha = double(*raw.opacity) / 4294967295.0;
    r.bounds = raw.bounds;
    r.ownerPid = asPid(raw.resPid);
    if (!r.ownerPid) r.ownerPid = asPid(raw.netPid);
    r.number = int64_t(raw.id);
    if (raw.netName) r.name = propertyText(*raw.netName, false);
    else if (raw.wmName) r.name = propertyText(*raw.wmName, raw.wmNameLatin1);
    return r;
}

}  // namespace platform::x11
