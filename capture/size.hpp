// The size rule: how many pixels to ask the screenshot for.
#pragma once

#include <cstdint>

namespace capture {

struct PixelSize {
    int64_t width = 1;
    int64_t height = 1;
};

// The window's frame (points) scaled so that its longer side is at most `edge`
// pixels and never beyond its own pixels (frame x pointPixelScale), each side
// rounded half away from zero and at least 1. Where a side is not a finite
// number in the int64 range (an empty frame with edge <= 0, a huge negative
// edge, NaN anywhere) the answer is 1 x 1. Pure.
PixelSize captureSize(double frameWidth, double frameHeight, double pointPixelScale,
                      double edge);

}  // namespace capture
