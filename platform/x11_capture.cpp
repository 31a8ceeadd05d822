// Window capture over X11. (Placeholder until built.)
#include "platform/platform.hpp"
#include "platform/x11_connection.hpp"

namespace platform {

ShareableContent shareableContent() {
    ShareableContent content;
    if (!x11::connection()) content.error = x11::connectionError();
    return content;
}
double pointPixelScale(uint32_t) { return 1.0; }
Shot screenshot(uint32_t, int64_t, int64_t) { return {std::nullopt, "not built"}; }
std::optional<std::string> encodeJpeg(const Picture&, double) { return std::nullopt; }

}  // namespace platform
