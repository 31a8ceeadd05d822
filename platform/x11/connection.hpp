// The process's one X connection, shared by every thread (xcb is
// thread-safe). Internal to platform/.
#pragma once

#include <xcb/xcb.h>

#include <functional>
#include <memory>
#include <string>

namespace platform::x11 {

enum Atom : int {
    UTF8_STRING,
    WM_CLASS,
    WM_NAME,
    WM_STATE,
    _NET_ACTIVE_WINDOW,
    _NET_CLIENT_LIST_STACKING,
    _NET_SUPPORTING_WM_CHECK,
    _NET_WM_PID,
    _NET_WM_NAME,
    _NET_WM_ICON,
    _NET_WM_WINDOW_OPACITY,
    _NET_WM_WINDOW_TYPE,
    _NET_WM_WINDOW_TYPE_DESKTOP,
    _NET_WM_WINDOW_TYPE_DOCK,
    _NET_WM_WINDOW_TYPE_TOOLBAR,
    _NET_WM_WINDOW_TYPE_MENU,
    _NET_WM_WINDOW_TYPE_UTILITY,
    _NET_WM_WINDOW_TYPE_SPLASH,
    _NET_WM_WINDOW_TYPE_DIALOG,
    _NET_WM_WINDOW_TYPE_DROPDOWN_MENU,
    _NET_WM_WINDOW_TYPE_POPUP_MENU,
    _NET_WM_WINDOW_TYPE_TOOLTIP,
    _NET_WM_WINDOW_TYPE_NOTIFICATION,
    _NET_WM_WINDOW_TYPE_COMBO,
    _NET_WM_WINDOW_TYPE_DND,
    _NET_WM_WINDOW_TYPE_NORMAL,
    _NET_WM_STATE,
    _NET_WM_STATE_ABOVE,
    _NET_WM_STATE_HIDDEN,
    _NET_CLIENT_LIST,
    _GTK_FRAME_EXTENTS,
    _GTK_APPLICATION_ID,
    _KDE_NET_WM_DESKTOP_FILE,
    kAtomCount
};

struct Connection {
    xcb_connection_t* c = nullptr;
    xcb_screen_t* screen = nullptr;
    xcb_window_t root = 0;
    xcb_atom_t atoms[kAtomCount] = {};
    // Composite 0.2 or later, and every top-level window redirected (the
    // server still draws them on screen), so each keeps its own pixels
    // while covered or off screen.
    bool composite = false;
    // Tells this connection from every other the process opened: caches of
    // server state are kept per connection.
    uint64_t serial = 0;

    xcb_atom_t operator[](Atom a) const { return atoms[a]; }
    bool broken() const { return xcb_connection_has_error(c) != 0; }
    ~Connection();
};
using ConnectionRef = std::shared_ptr<Connection>;

// A usable connection, or null. A broken connection is dropped and a new one
// opened from DISPLAY on the next call. Holders of an old connection keep it
// alive until they let go. Any thread.
ConnectionRef connection();

// A new connection of the caller's own, or null: the events it selects
// reach no one else.
ConnectionRef privateConnection();

// Why the last attempt to connect failed (or why the connection broke), in
// words fit for a reply's "error".
std::string connectionError();

// Called after each new connection is opened, on the thread that opened it.
// Set once, at start-up.
void onConnect(std::function<void(const ConnectionRef&)> hook);

}  // namespace platform::x11
