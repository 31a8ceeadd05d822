// Applications, windows and activations over X11. (Placeholder until built.)
#include "platform/platform.hpp"
#include "platform/x11_connection.hpp"

namespace platform {

bool screenCapturePreflight() { return x11::connection() != nullptr; }
bool screenCaptureRequest() { return screenCapturePreflight(); }
AppRef frontmostApplication() { return nullptr; }
AppRef runningApplication(int32_t) { return nullptr; }
std::optional<std::vector<WindowRecord>> windowList() { return std::nullopt; }
std::optional<RgbaImage> iconImage(const App&) { return std::nullopt; }
void watchActivations(boost::asio::io_context&, std::function<void(AppRef)>) {}
std::optional<std::string> renderPng(const RgbaImage&, int, int) { return std::nullopt; }

}  // namespace platform
