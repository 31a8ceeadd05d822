// Pictures of windows through KWin's screenshot service, and whether that
// service accepts the companion. Internal to platform/kde.
#pragma once

#include "platform/platform.hpp"

namespace platform::kde {

// True when ScreenShot2 accepts the companion: asked again when not known,
// or when it said no a while ago. Any thread.
bool authorised();
// The answer is asked again on the next call (KWin restarted, or the
// authorising entry was just written). Any thread.
void forgetAuthorisation();

ShareableContent shareableContent();
double pointPixelScale(uint32_t window);
Shot screenshot(uint32_t window, int64_t width, int64_t height);

}  // namespace platform::kde
