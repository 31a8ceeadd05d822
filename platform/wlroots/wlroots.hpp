// The generic wlroots backend (compositors without sway's IPC): toplevels
// from zwlr_foreign_toplevel_manager_v1, which gives titles, app_ids and the
// activated state, but no pid, geometry or stacking order. See
// platform/backend.hpp.
#pragma once

#include "platform/backend.hpp"

namespace platform::wlroots {

// Fills `b` when the Wayland compositor offers the toplevel manager; false
// otherwise, so the next backend is tried.
bool connect(Backend& b);

}  // namespace platform::wlroots
