// Window pictures on wlroots compositors: zwlr_screencopy_manager_v1 copies
// a rectangle of an output into shared memory, which is then scaled for the
// JPEG encoder. It copies the screen, so whatever lies over the rectangle
// shows. Internal to platform/.
#pragma once

#include "platform/platform.hpp"
#include "platform/wlroots/tree.hpp"

#include <string>

namespace platform::wlroots {

// True when the compositor offers screencopy and shared memory (a Wayland
// connection is opened the first time, and again after it broke). Any thread.
bool screencopyAvailable();

// The pixels of `region` (logical coordinates relative to the output) of the
// output called `output` (any output when the compositor names none and
// there is only one), scaled to `width` x `height` or less (see
// platform::screenshot). Safe from any number of threads at once: each call
// has an event queue of its own on the shared connection.
Shot copyRegion(const std::string& output, const Rect& region, int64_t width, int64_t height);

}  // namespace platform::wlroots
