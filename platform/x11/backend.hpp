// The X11 backend's half of the seam (see platform/backend.hpp).
#pragma once

#include "platform/backend.hpp"

namespace platform::x11 {

// Fills `b` with the X11 functions. Always succeeds: without a display they
// give the answers for none, and a later request connects again.
bool connect(Backend& b);

bool screenCapturePreflight();
bool screenCaptureRequest();
AppRef frontmostApplication();
AppRef runningApplication(int32_t pid);
std::optional<std::vector<uint32_t>> windowStack();
std::vector<WindowRecord> windowRecords(const std::vector<uint32_t>& numbers);
std::optional<RgbaImage> iconImage(const App& app);
void watchActivations(boost::asio::io_context& loop, std::function<void(AppRef)> observer);
ShareableContent shareableContent();
double pointPixelScale(uint32_t window);
Shot screenshot(uint32_t window, int64_t width, int64_t height);

}  // namespace platform::x11
