// Activations: PropertyNotify of _NET_ACTIVE_WINDOW on the root, raised when
// the active window's owner process changes. The watcher has a connection of
// its own, read by the main loop alone: on the shared one, another thread's
// round trip could take an event into xcb's queue where no wake-up of the
// fd would ever announce it. A new one is opened whenever the shared
// connection is (after the server went away), and a second after this one
// alone broke.
#include "platform/platform.hpp"
#include "platform/x11/apps.hpp"
#include "platform/x11/windows.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>

#include <memory>

namespace platform::x11 {
namespace {

// The watcher's state; touched on the loop's thread only.
struct Watch {
    boost::asio::io_context* loop = nullptr;
    std::function<void(AppRef)> observer;
    x11::ConnectionRef conn;  // kept alive (and its fd open) while watched
    std::unique_ptr<boost::asio::posix::stream_descriptor> fd;
    std::optional<int32_t> activePid;
    std::unique_ptr<boost::asio::steady_timer> retry;
};
Watch* watch = nullptr;

std::optional<int32_t> activeOwner(const x11::Connection& x) {
    auto w = x11::activeWindow(x);
    if (!w) return std::nullopt;
    return x11::ownerPid(x, *w);
}

void detach() {
    if (watch->fd) {
        boost::system::error_code ec;
        watch->fd->cancel(ec);
        (void)watch->fd->release();  // xcb owns the fd
        watch->fd.reset();
    }
    watch->conn.reset();
    watch->activePid.reset();
}

void check() {
    const x11::Connection& x = *watch->conn;
    auto w = x11::activeWindow(x);
    std::optional<int32_t> pid;
    if (w) pid = x11::ownerPid(x, *w);
    if (pid == watch->activePid) return;
    watch->activePid = pid;
    if (!pid) return;  // nothing active: no application became active
    if (AppRef app = x11::appFor(&x, *pid, w)) watch->observer(std::move(app));
}

void arm();
void attach(const x11::ConnectionRef& x, bool announce);

// The watcher's connection broke while the shared one may still be fine:
// nothing else would open a new one, so try again shortly.
void reattachLater() {
    watch->retry->expires_after(std::chrono::seconds(1));
    watch->retry->async_wait([](const boost::system::error_code& ec) {
        if (!ec && !watch->conn) attach(x11::privateConnection(), true);
    });
}

void pump() {
    if (!watch->conn) return;
    x11::Connection& x = *watch->conn;
    for (;;) {
        bool changed = false;
        while (xcb_generic_event_t* e = xcb_poll_for_event(x.c)) {
            if ((e->response_type & 0x7f) == XCB_PROPERTY_NOTIFY) {
                auto* p = reinterpret_cast<xcb_property_notify_event_t*>(e);
                if (p->window == x.root && p->atom == x[x11::_NET_ACTIVE_WINDOW]) changed = true;
            }
            std::free(e);
        }
        if (x.broken()) {
            detach();
            reattachLater();
            return;
        }
        if (!changed) break;
        check();  // its round trips may queue further events
    }
    xcb_flush(x.c);
    arm();
}

void arm() {
    if (!watch->fd) return;
    watch->fd->async_wait(boost::asio::posix::descriptor_base::wait_read,
                          [conn = watch->conn](const boost::system::error_code& ec) {
                              if (ec || conn != watch->conn) return;
                              pump();
                          });
}

// Watches on `x`. With `announce`, the application active now is reported
// (it may have become active while no connection watched).
void attach(const x11::ConnectionRef& x, bool announce) {
    if (!x || x->broken() || x == watch->conn) return;
    detach();
    // Add to, never replace, what this connection already selects on the root.
    xcb_generic_error_t* err = nullptr;
    x11::Reply<xcb_get_window_attributes_reply_t> attrs(xcb_get_window_attributes_reply(
        x->c, xcb_get_window_attributes(x->c, x->root), &err));
    std::free(err);
    uint32_t mask = (attrs ? attrs->your_event_mask : 0) | XCB_EVENT_MASK_PROPERTY_CHANGE;
    xcb_void_cookie_t set =
        xcb_change_window_attributes_checked(x->c, x->root, XCB_CW_EVENT_MASK, &mask);
    std::free(xcb_request_check(x->c, set));
    watch->conn = x;
    try {
        watch->fd = std::make_unique<boost::asio::posix::stream_descriptor>(
            *watch->loop, xcb_get_file_descriptor(x->c));
    } catch (const std::exception&) {
        watch->conn.reset();
        return;
    }
    if (announce)
        check();
    else
        watch->activePid = activeOwner(*x);
    pump();  // events may already wait in xcb's queue
}

}  // namespace

void watchActivations(boost::asio::io_context& loop, std::function<void(AppRef)> observer) {
    if (watch) return;
    watch = new Watch;
    watch->loop = &loop;
    watch->observer = std::move(observer);
    watch->retry = std::make_unique<boost::asio::steady_timer>(loop);
    if (x11::connection()) attach(x11::privateConnection(), false);
    // New connections may be opened on any thread; attach on the loop's.
    x11::onConnect([&loop](const x11::ConnectionRef&) {
        boost::asio::post(loop, [] { attach(x11::privateConnection(), true); });
    });
}

}  // namespace platform::x11
