#include "capture/size.hpp"

#include <cmath>
#include <optional>

namespace capture {
namespace {

// The nearest integer to `v` (halves away from zero), if int64 holds it.
std::optional<int64_t> nearest(double v) {
    double r = std::round(v);
    // [-2^63, 2^63): both bounds are exact doubles; NaN fails both tests.
    if (!(r >= -9223372036854775808.0 && r < 9223372036854775808.0)) return std::nullopt;
    return int64_t(r);
}

}  // namespace

PixelSize captureSize(double frameWidth, double frameHeight, double pointPixelScale,
                      double edge) {
    double longer = frameWidth > frameHeight ? frameWidth : frameHeight;
    double fit = edge / longer;
    double scale = std::isnan(fit) || fit < pointPixelScale ? fit : pointPixelScale;
    auto w = nearest(scale * frameWidth);
    auto h = nearest(scale * frameHeight);
    if (!w || !h) return {};
    return {*w < 1 ? 1 : *w, *h < 1 ? 1 : *h};
}

}  // namespace capture
