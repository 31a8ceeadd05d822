#include "platform/x11/connection.hpp"

#include <xcb/composite.h>

#include <atomic>
#include <cstdlib>
#include <mutex>

namespace platform::x11 {
namespace {

constexpr const char* kAtomNames[kAtomCount] = {
    "UTF8_STRING",
    "WM_CLASS",
    "WM_NAME",
    "WM_STATE",
    "_NET_ACTIVE_WINDOW",
    "_NET_CLIENT_LIST_STACKING",
    "_NET_SUPPORTING_WM_CHECK",
    "_NET_WM_PID",
    "_NET_WM_NAME",
    "_NET_WM_ICON",
    "_NET_WM_WINDOW_OPACITY",
    "_NET_WM_WINDOW_TYPE",
    "_NET_WM_WINDOW_TYPE_DESKTOP",
    "_NET_WM_WINDOW_TYPE_DOCK",
    "_NET_WM_WINDOW_TYPE_TOOLBAR",
    "_NET_WM_WINDOW_TYPE_MENU",
    "_NET_WM_WINDOW_TYPE_UTILITY",
    "_NET_WM_WINDOW_TYPE_SPLASH",
    "_NET_WM_WINDOW_TYPE_DIALOG",
    "_NET_WM_WINDOW_TYPE_DROPDOWN_MENU",
    "_NET_WM_WINDOW_TYPE_POPUP_MENU",
    "_NET_WM_WINDOW_TYPE_TOOLTIP",
    "_NET_WM_WINDOW_TYPE_NOTIFICATION",
    "_NET_WM_WINDOW_TYPE_COMBO",
    "_NET_WM_WINDOW_TYPE_DND",
    "_NET_WM_WINDOW_TYPE_NORMAL",
    "_NET_WM_STATE",
    "_NET_WM_STATE_ABOVE",
    "_NET_WM_STATE_HIDDEN",
    "_NET_CLIENT_LIST",
    "_GTK_FRAME_EXTENTS",
    "_GTK_APPLICATION_ID",
    "_KDE_NET_WM_DESKTOP_FILE",
};

std::mutex lock;
ConnectionRef current;
std::string lastError = "no display connection";
std::function<void(const ConnectionRef&)> connectHook;

std::string describe(int code, const char* display) {
    std::string name = display ? display : "";
    switch (code) {
        case XCB_CONN_ERROR:
            return "cannot open display \"" + name + "\": connection failed";
        case XCB_CONN_CLOSED_EXT_NOTSUPPORTED:
            return "display \"" + name + "\": extension not supported";
        case XCB_CONN_CLOSED_MEM_INSUFFICIENT:
            return "display \"" + name + "\": out of memory";
        case XCB_CONN_CLOSED_REQ_LEN_EXCEED:
            return "display \"" + name + "\": request too long";
        case XCB_CONN_CLOSED_PARSE_ERR:
            return "cannot open display \"" + name + "\": invalid display name";
        case XCB_CONN_CLOSED_INVALID_SCREEN:
            return "cannot open display \"" + name + "\": no such screen";
        default:
            return "display \"" + name + "\": connection error " + std::to_string(code);
    }
}

// Opens a connection and interns the atoms; null with `error` set on
// failure.
ConnectionRef open(std::string& error) {
    const char* display = std::getenv("DISPLAY");
    if (!display || !*display) {
        error = "cannot open display: DISPLAY is not set";
        return nullptr;
    }
    int screenNumber = 0;
    static std::atomic<uint64_t> opened{0};
    auto conn = std::make_shared<Connection>();
    conn->serial = ++opened;
    conn->c = xcb_connect(display, &screenNumber);
    if (int err = xcb_connection_has_error(conn->c)) {
        error = describe(err, display);
        return nullptr;
    }
    auto it = xcb_setup_roots_iterator(xcb_get_setup(conn->c));
    for (int i = 0; it.rem && i < screenNumber; ++i) xcb_screen_next(&it);
    if (!it.rem) {
        error = describe(XCB_CONN_CLOSED_INVALID_SCREEN, display);
        return nullptr;
    }
    conn->screen = it.data;
    conn->root = it.data->root;

    xcb_intern_atom_cookie_t cookies[kAtomCount];
    for (int i = 0; i < kAtomCount; ++i)
        cookies[i] = xcb_intern_atom(conn->c, 0, uint16_t(std::char_traits<char>::length(kAtomNames[i])),
                                     kAtomNames[i]);
    for (int i = 0; i < kAtomCount; ++i) {
        xcb_intern_atom_reply_t* r = xcb_intern_atom_reply(conn->c, cookies[i], nullptr);
        if (r) conn->atoms[i] = r->atom;
        free(r);
    }
    if (conn->broken()) {
        error = describe(xcb_connection_has_error(conn->c), display);
        return nullptr;
    }
    return conn;
}

// Has the server keep every top-level window's pixels off screen, for
// capture, when it can. A request of an extension the server lacks would
// close the connection, so its presence is asked first.
void keepTopLevels(Connection& conn) {
    const xcb_query_extension_reply_t* ext = xcb_get_extension_data(conn.c, &xcb_composite_id);
    if (!ext || !ext->present) return;
    auto version = xcb_composite_query_version(conn.c, 0, 4);
    auto* v = xcb_composite_query_version_reply(conn.c, version, nullptr);
    if (v && (v->major_version > 0 || v->minor_version >= 2)) {
        auto redirected = xcb_composite_redirect_subwindows_checked(
            conn.c, conn.root, XCB_COMPOSITE_REDIRECT_AUTOMATIC);
        xcb_generic_error_t* e = xcb_request_check(conn.c, redirected);
        conn.composite = !e;
        free(e);
    }
    free(v);
}

}  // namespace

Connection::~Connection() {
    if (c) xcb_disconnect(c);
}

ConnectionRef connection() {
    ConnectionRef fresh;
    std::function<void(const ConnectionRef&)> hook;
    {
        std::lock_guard guard(lock);
        if (current && !current->broken()) {
            // No one selects events here: what lands in the queue is the
            // errors of requests sent unchecked.
            while (xcb_generic_event_t* e = xcb_poll_for_queued_event(current->c)) free(e);
            return current;
        }
        if (current) {
            lastError = "the X server closed the connection";
            current.reset();
        }
        fresh = open(lastError);
        if (!fresh) return nullptr;
        keepTopLevels(*fresh);
        current = fresh;
        hook = connectHook;
    }
    if (hook) hook(fresh);
    return fresh;
}

ConnectionRef privateConnection() {
    std::string error;
    return open(error);
}

std::string connectionError() {
    std::lock_guard guard(lock);
    return lastError;
}

void onConnect(std::function<void(const ConnectionRef&)> hook) {
    std::lock_guard guard(lock);
    connectHook = std::move(hook);
}

}  // namespace platform::x11
