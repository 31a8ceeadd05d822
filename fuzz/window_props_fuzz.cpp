// Feeds arbitrary bytes to the parsers of what other X clients control:
// _NET_WM_ICON, text properties, WM_CLASS, window records, the environment
// block of a process. Checks the promises the rest of the program relies on.
#include "core/utf8.hpp"
#include "platform/apps/identity.hpp"
#include "platform/x11/props.hpp"

#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

using namespace platform::x11;
using namespace platform::apps;

namespace {

void require(bool ok) {
    if (!ok) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view bytes(reinterpret_cast<const char*>(data), size);

    std::vector<uint32_t> words(size / 4);
    if (!words.empty()) std::memcpy(words.data(), data, words.size() * 4);
    uint32_t want = size ? uint32_t(data[0]) + 1 : 64;
    if (auto e = bestIconEntry(words.data(), words.size(), want)) {
        require(e->width > 0 && e->height > 0);
        require(e->width <= kMaxIconSide && e->height <= kMaxIconSide);
        require(e->offset >= 2 && e->offset <= words.size());
        require(uint64_t(e->width) * e->height <= words.size() - e->offset);
        require(words[e->offset - 2] == e->width && words[e->offset - 1] == e->height);
        auto img = iconPixels(words.data(), *e);
        require(img.rgba.size() == size_t(e->width) * e->height * 4);
    }

    for (bool latin1 : {false, true}) require(core::validUtf8(propertyText(bytes, latin1)));
    WmClass wc = parseWmClass(bytes);
    require(core::validUtf8(wc.instance) && core::validUtf8(wc.cls));

    RawWindow raw;
    if (size >= 16) {
        uint32_t v[4];
        std::memcpy(v, data, sizeof v);
        raw.id = v[0];
        raw.opacity = v[1];
        raw.resPid = v[2];
        raw.netPid = v[3];
        raw.typed = v[0] & 1;
        raw.above = v[0] & 2;
        raw.overrideRedirect = v[0] & 4;
        for (size_t i = 16; i < size && i < 24; ++i)
            raw.kinds.push_back(WindowKind(data[i] % (int(WindowKind::dnd) + 1)));
    }
    if (size & 1) raw.netName = std::string(bytes);
    else raw.wmName = std::string(bytes);
    raw.wmNameLatin1 = size & 2;
    platform::WindowRecord r = windowRecord(raw);
    require(r.name && core::validUtf8(*r.name));
    require(!r.ownerPid || *r.ownerPid > 0);
    require(!r.alpha || (*r.alpha >= 0 && *r.alpha <= 1));

    if (auto file = launchedDesktopFile(bytes, 42)) require(!file->empty());
    return 0;
}
