// The KDE (Wayland) backend's half of the seam (see platform/backend.hpp):
// windows and activations from the companion's KWin script, pictures from
// KWin's screenshot service.
#pragma once

#include "platform/backend.hpp"

namespace platform::kde {

// Fills `b` when the session is KDE on Wayland and KWin answers on the
// session bus (the script is then loaded); false otherwise. Start-up, main
// thread.
bool connect(Backend& b);

// Writes the desktop entry that lets the companion's executable use KWin's
// screenshot service into `applicationsDir` (made when missing), unless an
// entry of that name already names `executable`. False when it cannot.
bool writeAuthorisingEntry(const std::string& applicationsDir, const std::string& executable);

// The desktop entry text for `executable`: no menu entry, authorised for
// ScreenShot2. Nothing when the path cannot be written in an Exec key.
std::optional<std::string> authorisingEntry(const std::string& executable);

}  // namespace platform::kde
