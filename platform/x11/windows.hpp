// Client windows over xcb: the stacking list, properties, owners. Every reply
// is checked; an X error (a window gone, a bad property) gives an absent value.
// Internal to platform/. Any thread (xcb is thread-safe); nothing here reads
// events.
#pragma once

#include "platform/x11/connection.hpp"
#include "platform/x11/props.hpp"

#include <xcb/xcb.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace platform::x11 {

// An xcb reply, freed with free().
template <class T>
struct Reply : std::unique_ptr<T, decltype(&std::free)> {
    explicit Reply(T* p = nullptr) : std::unique_ptr<T, decltype(&std::free)>(p, &std::free) {}
};

// Longest text property read, in 32-bit units (4 MiB): a longer one is cut.
constexpr uint32_t kMaxTextWords = 1u << 20;

// A property's raw value.
struct Property {
    xcb_atom_t type = 0;
    uint8_t format = 0;
    std::string bytes;
    bool cut = false;  // longer than was asked for
};

xcb_get_property_cookie_t askProperty(const Connection& x, xcb_window_t w, xcb_atom_t property,
                                      xcb_atom_t type, uint32_t maxWords);
// Nothing when the property is unset, of another type or the window is gone.
std::optional<Property> takeProperty(const Connection& x, xcb_get_property_cookie_t cookie);
std::optional<Property> readProperty(const Connection& x, xcb_window_t w, xcb_atom_t property,
                                     xcb_atom_t type, uint32_t maxWords);

// The 32-bit items of a format-32 property (empty for any other format).
std::vector<uint32_t> words(const Property& p);

// Client windows, frontmost first, from the server's own stacking order (the
// root's children, top to bottom), each frame replaced by the client inside
// it (the window carrying WM_STATE); unmapped top-levels are left out. Any
// managed client (_NET_CLIENT_LIST) not found that way follows, bottom
// most; those are not on screen. The same under any window manager,
// reparenting or not, with or without EWMH stacking hints. Type is not
// looked at.
std::vector<xcb_window_t> clientsTopFirst(const Connection& x);

// The client window of a top-level window: itself when it carries WM_STATE
// or nothing below it does, else its first child carrying WM_STATE.
xcb_window_t clientOf(const Connection& x, xcb_window_t topLevel);

// Viewable windows among `ids`, in their order, with their properties; gone
// or unviewable ones and InputOnly windows are left out.
std::vector<RawWindow> rawWindows(const Connection& x, const std::vector<xcb_window_t>& ids);

// The owner process of each window (X-Resource client pid, else _NET_WM_PID).
std::vector<std::optional<int32_t>> ownerPids(const Connection& x,
                                              const std::vector<xcb_window_t>& ids);
std::optional<int32_t> ownerPid(const Connection& x, xcb_window_t w);

// The visible part of each window: its area minus the client-drawn margins
// (_GTK_FRAME_EXTENTS), as offsets and sizes within the window; nothing for
// a window that is gone. One round trip.
std::vector<std::optional<Bounds>> visibleAreas(const Connection& x,
                                                const std::vector<xcb_window_t>& ids);

// WM_CLASS, when set.
std::optional<WmClass> wmClassOf(const Connection& x, xcb_window_t w);

// The window the user works in: _NET_ACTIVE_WINDOW under an EWMH window
// manager, else the client of the top-level window holding the input focus.
// Nothing when no window is active.
std::optional<xcb_window_t> activeWindow(const Connection& x);

// A connection that answered a round trip just now, reopening a broken one
// once; null when there is no usable display.
ConnectionRef liveConnection();

}  // namespace platform::x11
