// The GNOME (Wayland) backend's half of the seam (see platform/backend.hpp):
// everything comes from the companion's Shell extension.
#pragma once

#include "platform/backend.hpp"
#include "platform/gnome/service.hpp"

namespace platform::gnome {

// Fills `b` when this is a GNOME session whose Shell is on the session bus,
// even while the extension does not answer (then "granted" is false and
// "allow" installs it); false otherwise.
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

// The application of `w`'s process, described by the extension's hints;
// `all` (when given) supplies the process's other windows. Null when the
// process is unknown or gone.
AppRef appOf(const ShellWindow& w, const std::vector<ShellWindow>* all);

// Asks the extension for the focus again on the activation watcher's
// connection (after "allow" made it trust this companion). Main thread.
void greetAgain();

// True when XDG_CURRENT_DESKTOP names GNOME (a colon-separated list).
bool namesGnome(const std::string& desktop);

}  // namespace platform::gnome
