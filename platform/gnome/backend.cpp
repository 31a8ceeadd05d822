// The GNOME backend's table, and whether this session is GNOME's.
#include "platform/gnome/backend.hpp"

#include <cstdlib>
#include <string_view>

namespace platform::gnome {

bool namesGnome(const std::string& desktop) {
    std::string_view rest = desktop;
    while (!rest.empty()) {
        size_t colon = rest.find(':');
        if (rest.substr(0, colon) == "GNOME") return true;
        if (colon == std::string_view::npos) break;
        rest.remove_prefix(colon + 1);
    }
    return false;
}

bool connect(Backend& b) {
    const char* desktop = std::getenv("XDG_CURRENT_DESKTOP");
    if (!desktop || !namesGnome(desktop)) return false;
    dbus::BusRef bus = takeBus();
    if (!bus) return false;
    dbus::CallError error;
    dbus::MessageRef reply = dbus::call(
        bus.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
        "NameHasOwner", kListTimeoutUsec, error,
        [](sd_bus_message* m, void*) { return sd_bus_message_append(m, "s", "org.gnome.Shell"); });
    int owned = 0;
    if (!reply || sd_bus_message_read(reply.get(), "b", &owned) <= 0 || !owned) return false;
    giveBack(std::move(bus));
    b.kind = BackendKind::gnome;
    b.screenCapturePreflight = screenCapturePreflight;
    b.screenCaptureRequest = screenCaptureRequest;
    b.frontmostApplication = frontmostApplication;
    b.runningApplication = runningApplication;
    b.windowStack = windowStack;
    b.windowRecords = windowRecords;
    b.iconImage = iconImage;
    b.watchActivations = watchActivations;
    b.shareableContent = shareableContent;
    b.pointPixelScale = pointPixelScale;
    b.screenshot = screenshot;
    return true;
}

}  // namespace platform::gnome
