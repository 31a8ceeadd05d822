// The sway backend's half of the seam (see platform/backend.hpp): windows,
// focus and activations from sway's IPC, pictures from screencopy.
#pragma once

#include "platform/backend.hpp"
#include "platform/wlroots/tree.hpp"

#include <optional>
#include <vector>

namespace platform::wlroots::sway {

// Fills `b` when sway's IPC answers at SWAYSOCK; false otherwise, so the
// next backend is tried.
bool connect(Backend& b);

// The views of the tree now, or nothing when the IPC does not answer. A
// snapshot taken less than `maxAgeMs` ago, with no IPC event since, may be
// given instead. Any thread.
std::optional<std::vector<View>> views(int maxAgeMs);

// The application of `view`'s process by the shared identity rules; null
// without a pid.
AppRef appOf(const View& view);

// Activations: focus events on a subscribed IPC connection, watched by
// `loop` (sway_activation.cpp).
void watchActivations(boost::asio::io_context& loop, std::function<void(AppRef)> observer);
// True when IPC events wait unread on the watcher's connection (the tree may
// have changed). Any thread.
bool eventsPending();
// Counts the IPC events the watcher has read. Any thread.
uint64_t eventsSeen();

}  // namespace platform::wlroots::sway
