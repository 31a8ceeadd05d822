// The seam between the companion and the desktop it runs on. Everything above
// this header is portable C++ over plain data. Below it, one backend per
// window system (x11/, and the Wayland desktops' folders) serves the window
// functions, chosen once at start-up by what the session offers; what they
// share (desktop entries and process identity in apps/, icon lookup in
// icons/, D-Bus in dbus/, the image codecs in codec/) sits beside them.
//
// Nothing here throws or prints. A missing display, a vanished window or a
// malformed property from another application becomes an absent value, an
// empty list or an error text.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace boost::asio {
class io_context;
}

namespace platform {

// ---- Images ---------------------------------------------------------------

// Straight (not premultiplied) RGBA, 8 bits a sample, rows packed.
struct RgbaImage {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> rgba;
};

// Chooses the backend for this session: once, at start-up, before any other
// call here (a later first call chooses then). Main thread.
void selectBackend();

// ---- Screen-recording access ---------------------------------------------

// True while the backend's sources of windows and pictures answer. Any thread.
bool screenCapturePreflight();
// The same question asked as a request: the backend installs or asks for
// what it lacks where the desktop lets it, then answers. Main thread.
bool screenCaptureRequest();

// ---- Applications and windows (main thread) ------------------------------

struct Bounds {
    double x = 0, y = 0, width = 0, height = 0;
};

// One on-screen window, frontmost first in a list. Every field may be absent.
struct WindowRecord {
    std::optional<int64_t> layer;       // 0 for normal, dialog, utility windows
    std::optional<double> alpha;        // opacity 0..1, absent when not set
    std::optional<Bounds> bounds;       // root coordinates, pixels
    std::optional<int32_t> ownerPid;    // process that owns the window
    std::optional<int64_t> number;      // window number (the backend's own)
    std::optional<std::string> name;    // title, valid UTF-8
};

// A running application. Shared and immutable once built.
struct App {
    int32_t pid = -1;
    std::optional<std::string> name;    // localized display name
    std::optional<std::string> bundle;  // identifier (desktop entry id)
    std::optional<std::string> path;    // desktop entry or executable path
    std::optional<std::string> iconName;   // desktop entry's Icon key
    std::vector<uint32_t> windows;         // its top-level windows, when known
};
using AppRef = std::shared_ptr<const App>;

// The frontmost application, or null. Main thread.
AppRef frontmostApplication();

// The running application with this pid, or null. Main thread.
AppRef runningApplication(int32_t pid);

// On-screen windows without desktop elements, frontmost first; nothing when
// the window system cannot be asked. Main thread.
std::optional<std::vector<WindowRecord>> windowList();

// windowList in two steps, so a caller can stop early: the numbers of the
// candidate windows, frontmost first (nothing when the window system cannot
// be asked), then the records of those among `numbers` that are on screen and
// not desktop elements, in their order. windowRecords over consecutive slices
// of windowStack adds up to windowList. Main thread.
std::optional<std::vector<uint32_t>> windowStack();
std::vector<WindowRecord> windowRecords(const std::vector<uint32_t>& numbers);

// The application's icon at its best size for 64 x 64, or nothing: its
// desktop entry's theme icon, else its windows' own. Bounded against hostile
// sizes. Main thread.
std::optional<RgbaImage> iconImage(const App& app);

// Calls `observer` on `loop`'s thread each time the active application
// changes, for the life of the process (across reconnections).
void watchActivations(boost::asio::io_context& loop, std::function<void(AppRef)> observer);

// ---- Codecs ---------------------------------------------------------------

// `image` scaled with an averaging filter into a `width` x `height` RGBA
// bitmap (transparent where it leaves nothing), then PNG-encoded; nothing on
// failure. Any thread.
std::optional<std::string> renderPng(const RgbaImage& image, int width, int height);

// ---- Window capture (any thread) -----------------------------------------

struct ShareableWindow {
    uint32_t id = 0;
    double width = 0, height = 0;  // frame, points
};

// The on-screen windows, desktop windows included, frontmost first, or the
// error's text when the window system cannot be asked.
struct ShareableContent {
    std::vector<ShareableWindow> windows;
    std::optional<std::string> error;
};
ShareableContent shareableContent();

// Pixels per point for the display showing `window`.
double pointPixelScale(uint32_t window);

// A captured picture, owned by one capture job; `pixels` is in the codec's
// own layout.
struct Picture {
    int64_t width = 0;
    int64_t height = 0;
    std::shared_ptr<const void> pixels;
};
struct Shot {
    std::optional<Picture> picture;
    std::string error;  // the platform's text when there is no picture
};
// Screenshot of `window` alone at `width` x `height` pixels (each at least 1),
// no cursor, no decorations, whatever covers it. A size beyond the window's
// own pixels (it shrank since it was listed) is reduced to fit, keeping the
// aspect; the picture reports the size delivered. Safe from any number of
// threads at once.
Shot screenshot(uint32_t window, int64_t width, int64_t height);

// A JPEG file; `data` owns `size` bytes.
struct Jpeg {
    std::shared_ptr<const unsigned char> data;
    size_t size = 0;
};
// The picture as a JPEG at `quality` (0..1 maps to 1..100, clamped; NaN is
// the lowest), or nothing when the encoder fails.
std::optional<Jpeg> encodeJpeg(const Picture& picture, double quality);

// ---- Services -------------------------------------------------------------

// Automation permission status for a target named by `bundleId`: 0 allowed,
// -600 not running, -1743 denied, -1744 would need consent, anything else
// unknown; nothing when the identifier names no target. May block for a
// short time-out. Any thread.
std::optional<int32_t> automationStatus(const std::string& bundleId);

// The bundle at `path`, when there is one, and its identifier. Never blocks
// on the path, however it is made. Main thread.
struct Bundle {
    std::optional<std::string> identifier;
};
std::optional<Bundle> bundleAt(const std::string& path);

// The display name of `path`; always a string, valid UTF-8.
std::string displayNameAt(const std::string& path);

// Plays haptic `pattern` (0 generic, 1 alignment) at `performanceTime`.
void performHaptic(int pattern, int performanceTime);

}  // namespace platform
