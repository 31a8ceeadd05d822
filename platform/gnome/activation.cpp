// Activations on GNOME: the extension's FocusChanged signal, sent to the
// companion's watching connection alone, read on the main loop; the focused
// window's owner is asked asynchronously and reported when it changes. A new
// Shell (the extension's name gets a new owner) is greeted again, and a lost
// bus is opened again after a pause.
#include "platform/gnome/backend.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include <memory>

namespace platform::gnome {
namespace {

// The watcher's state; touched on the loop's thread only.
struct Watch {
    boost::asio::io_context* loop = nullptr;
    std::function<void(AppRef)> observer;
    dbus::BusRef bus;
    std::optional<int32_t> activePid;
    bool baseline = true;  // the first answer sets the pid without announcing
    std::unique_ptr<boost::asio::steady_timer> retry;
};
Watch* watch = nullptr;

int onFocusReply(sd_bus_message* m, void*, sd_bus_error*) {
    if (sd_bus_message_is_method_error(m, nullptr)) return 0;
    auto list = readList(m, false);
    if (!list) return 0;
    std::optional<int32_t> pid;
    if (!list->windows.empty() && list->windows.front().pid > 0) pid = list->windows.front().pid;
    bool announce = !watch->baseline;
    watch->baseline = false;
    if (pid == watch->activePid) return 0;
    watch->activePid = pid;
    if (!pid || !announce) return 0;
    if (AppRef app = appOf(list->windows.front(), nullptr)) watch->observer(std::move(app));
    return 0;
}

// Asks for the focused window; the call also tells the extension that this
// connection wants FocusChanged.
void askFocus() {
    if (!watch->bus) return;
    dbus::CallError error;
    std::string shell = shellConnection(watch->bus.get(), error);
    if (shell.empty()) return;
    sd_bus_call_method_async(watch->bus.get(), nullptr, shell.c_str(), kObjectPath, kInterface,
                             "Focus", dbus::guarded<onFocusReply>, nullptr, nullptr);
}

int onFocusChanged(sd_bus_message*, void*, sd_bus_error*) {
    askFocus();
    return 0;
}

int onOwnerChanged(sd_bus_message* m, void*, sd_bus_error*) {
    const char *name = nullptr, *before = nullptr, *after = nullptr;
    if (sd_bus_message_read(m, "sss", &name, &before, &after) < 0) return 0;
    if (after && *after) askFocus();  // a new Shell: greet it, report what it focuses
    return 0;
}

void open();

void lost(void*) {
    watch->bus.reset();
    watch->retry->expires_after(std::chrono::seconds(1));
    watch->retry->async_wait([](const boost::system::error_code& ec) {
        if (!ec && !watch->bus) open();
    });
}

void open() {
    dbus::BusRef bus = dbus::openSessionBus();
    if (!bus) return lost(nullptr);
    std::string focus = std::string("type='signal',sender='") + kBusName + "',path='" +
                        kObjectPath + "',interface='" + kInterface + "',member='FocusChanged'";
    std::string owner = std::string("type='signal',sender='org.freedesktop.DBus',"
                                    "interface='org.freedesktop.DBus',member='NameOwnerChanged',"
                                    "arg0='") + kBusName + "'";
    if (sd_bus_add_match(bus.get(), nullptr, focus.c_str(), dbus::guarded<onFocusChanged>, nullptr) < 0 ||
        sd_bus_add_match(bus.get(), nullptr, owner.c_str(), dbus::guarded<onOwnerChanged>, nullptr) < 0)
        return lost(nullptr);
    watch->bus = bus;
    askFocus();
    dbus::attach(*watch->loop, std::move(bus), lost, nullptr);
}

}  // namespace

void greetAgain() {
    if (watch) askFocus();
}

void watchActivations(boost::asio::io_context& loop, std::function<void(AppRef)> observer) {
    if (watch) return;
    watch = new Watch;
    watch->loop = &loop;
    watch->observer = std::move(observer);
    watch->retry = std::make_unique<boost::asio::steady_timer>(loop);
    open();
}

}  // namespace platform::gnome
