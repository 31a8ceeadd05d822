// Window properties as other X clients set them, turned into plain values.
// Pure functions over bytes: they never trust a length or size the data
// claims, and never touch the X server. Internal to platform/.
#pragma once

#include "platform/apps/identity.hpp"
#include "platform/platform.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform::x11 {

// ---- _NET_WM_ICON ---------------------------------------------------------

// An icon side past this is not believed.
constexpr uint64_t kMaxIconSide = 1024;

// One image of a _NET_WM_ICON property: its size and the index of its first
// pixel word.
struct IconEntry {
    uint32_t width = 0;
    uint32_t height = 0;
    size_t offset = 0;
};

// The entry to draw at `want` x `want`: the smallest with both sides at least
// `want`, else the largest. Entries with a zero or oversized side are skipped;
// parsing stops at an entry whose pixels run past `count` words. Sizes are
// computed in 64 bits. Nothing when no entry qualifies.
std::optional<IconEntry> bestIconEntry(const uint32_t* words, size_t count, uint32_t want = 64);

// The pixels of `entry` (ARGB words, high byte alpha) as straight RGBA.
// REQUIRES: `entry` came from bestIconEntry over the same words.
RgbaImage iconPixels(const uint32_t* words, const IconEntry& entry);

// bestIconEntry then iconPixels.
std::optional<RgbaImage> decodeIcon(const uint32_t* words, size_t count, uint32_t want = 64);

// ---- Text properties -------------------------------------------------------

// Text of a property as valid UTF-8. `latin1` marks a STRING-typed property
// (ISO 8859-1 by convention): its bytes are decoded as Latin-1 unless they
// already are valid UTF-8, which many clients put there. Anything else is
// repaired (ill-formed sequences become U+FFFD).
std::string propertyText(std::string_view bytes, bool latin1);

// WM_CLASS: instance and class, each NUL-terminated (the last NUL may be
// missing); valid UTF-8.
using apps::WmClass;
WmClass parseWmClass(std::string_view bytes);

// ---- Client-side decorations ----------------------------------------------

// The visible part of a `width` x `height` window whose _GTK_FRAME_EXTENTS
// are `extents` (left, right, top, bottom: a shadow margin the client draws
// itself), as an offset and size within the window. Extents that are not
// four words or leave less than one pixel are ignored.
Bounds visibleArea(uint32_t width, uint32_t height, const std::vector<uint32_t>& extents);

// ---- Window records --------------------------------------------------------

// The window types that matter here, from _NET_WM_WINDOW_TYPE.
enum class WindowKind {
    normal,
    dialog,
    utility,
    toolbar,
    menu,
    dock,
    desktop,
    splash,
    tooltip,
    notification,
    dnd,
};

// What the X server says about one client window, before interpretation.
struct RawWindow {
    uint32_t id = 0;
    std::vector<WindowKind> kinds;  // known types, in the property's order
    bool typed = false;             // _NET_WM_WINDOW_TYPE was set at all
    bool above = false;             // _NET_WM_STATE_ABOVE
    bool hidden = false;            // _NET_WM_STATE_HIDDEN: minimised, maybe still mapped
    bool overrideRedirect = false;
    std::optional<uint32_t> opacity;  // _NET_WM_WINDOW_OPACITY
    std::optional<std::string> netName;  // _NET_WM_NAME bytes
    std::optional<std::string> wmName;   // WM_NAME bytes
    bool wmNameLatin1 = false;           // WM_NAME is of type STRING
    std::optional<Bounds> bounds;        // root coordinates
    std::optional<uint32_t> resPid;      // X-Resource client pid
    std::optional<uint32_t> netPid;      // _NET_WM_PID
};

// The window's type: the first known one it lists; normal when it lists none
// (a dialog when it is transient is still layer 0, so that is not asked).
WindowKind kindOf(const RawWindow& raw);

// The layer a window of this kind is stacked in: 0 for normal, dialog and
// utility windows, another integer for the rest and for windows kept above.
int64_t layerOf(const RawWindow& raw);

// Whether the window is in the front report's list: on screen for the user
// (not minimised) and not part of the desktop.
bool listed(const RawWindow& raw);

// The record the front report reads. Pids that do not fit a positive 32-bit
// process id count as absent.
WindowRecord windowRecord(const RawWindow& raw);

}  // namespace platform::x11
