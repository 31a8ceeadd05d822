// Window capture on GNOME: the window list for capture and pictures of one
// window, covered or not, drawn by the extension at the asked size and
// converted here for the JPEG encoder.
#include "platform/gnome/backend.hpp"

#include "platform/codec/scale.hpp"

#include <algorithm>
#include <map>

namespace platform::gnome {
namespace {

// Monitor scales seen by this thread's last shareableContent, for the
// capture job's pointPixelScale that follows it.
thread_local std::map<uint32_t, double> scales;

}  // namespace

ShareableContent shareableContent() {
    ShareableContent content;
    dbus::BusRef bus = takeBus();
    if (!bus) {
        content.error = "the session bus cannot be reached";
        return content;
    }
    dbus::CallError error;
    auto list = listWindows(bus.get(), error);
    if (!list) {
        content.error = error.name == "org.freedesktop.DBus.Error.ServiceUnknown" ||
                                error.name == "org.freedesktop.DBus.Error.NameHasNoOwner"
                            ? "the companion's GNOME Shell extension is not running"
                            : (error.message.empty() ? error.name : error.message);
        return content;
    }
    giveBack(std::move(bus));
    scales.clear();
    for (const ShellWindow& w : list->windows) {
        if (w.minimized || !w.onWorkspace) continue;
        content.windows.push_back({w.number, w.width, w.height});
        scales[w.number] = w.scale;
    }
    return content;
}

double pointPixelScale(uint32_t window) {
    auto it = scales.find(window);
    return it == scales.end() ? 1.0 : it->second;
}

Shot screenshot(uint32_t window, int64_t width, int64_t height) {
    std::string error;
    auto picture = capturePicture(window, width, height, error);
    if (!picture) return {std::nullopt, error};
    Pixels32 src;
    src.data = picture->pixels.get();
    src.width = picture->width;
    src.height = picture->height;
    src.stride = picture->stride;
    src.redFirst = true;
    return {scaledPicture(src, picture->width, picture->height), {}};
}

}  // namespace platform::gnome
