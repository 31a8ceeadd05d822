// The X11 backend's table.
#include "platform/x11/backend.hpp"

namespace platform::x11 {

bool connect(Backend& b) {
    b.kind = BackendKind::x11;
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

}  // namespace platform::x11
