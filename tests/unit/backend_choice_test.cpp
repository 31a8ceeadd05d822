// Which backends a session gets, best first.
#include "platform/backend.hpp"

#include <gtest/gtest.h>

namespace {

using platform::BackendKind;
using platform::backendOrder;
using platform::Session;

TEST(BackendChoice, X11AloneWithoutAWaylandSessionAndAlwaysLast) {
    using V = std::vector<BackendKind>;
    EXPECT_EQ(backendOrder(Session{}), V{BackendKind::x11});
    // A stale SWAYSOCK outside a Wayland session does not count.
    EXPECT_EQ(backendOrder(Session{false, true, "sway"}), V{BackendKind::x11});
    V wayland = backendOrder(Session{true, false, "GNOME"});
    ASSERT_FALSE(wayland.empty());
    EXPECT_EQ(wayland.back(), BackendKind::x11);
    EXPECT_NE(wayland.front(), BackendKind::sway);
}

TEST(BackendChoice, SwaysIpcFirstWhenItsSocketIsNamed) {
    auto order = backendOrder(Session{true, true, "sway"});
    ASSERT_GE(order.size(), 2u);
    EXPECT_EQ(order.front(), BackendKind::sway);
    EXPECT_EQ(order.back(), BackendKind::x11);
}

}  // namespace
