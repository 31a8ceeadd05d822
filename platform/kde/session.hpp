// The companion's presence in a KWin session: its own bus connection and
// service that the KWin script reports to, the script loaded (and loaded
// again when KWin restarts), unloaded when the companion goes. Internal to
// platform/kde.
#pragma once

#include "platform/platform.hpp"

#include <string>

namespace boost::asio {
class io_context;
}

namespace platform::kde {

// The bus path and interface the script reports to.
inline constexpr const char* kMirrorPath = "/org/companion/KWinMirror";
inline constexpr const char* kMirrorInterface = "org.companion.KWinMirror";
inline constexpr const char* kKWinName = "org.kde.KWin";

// True in a KDE session on Wayland whose KWin answers on the session bus;
// then the service is up and the script loaded (or being loaded). Start-up,
// main thread, once.
bool startSession();

// From here on the session's connection is served by `loop`: reports update
// the mirror and, when the active window's process changes, `observer` gets
// its application (on the loop's thread).
void serveSession(boost::asio::io_context& loop, std::function<void(AppRef)> observer);

// Loads the script again when it is not reporting. Main thread.
void reloadScript();

// The application of process `pid`, described by its windows in `m` (may be
// null). Null when no such process runs. Any thread.
AppRef appOfPid(int32_t pid);

}  // namespace platform::kde
