#include "capture/capture.hpp"

#include "capture/size.hpp"
#include "core/base64.hpp"
#include "core/loop.hpp"
#include "core/reply.hpp"
#include "platform/platform.hpp"

#include <boost/json/object.hpp>

#include <cmath>
#include <exception>
#include <string>
#include <string_view>

namespace capture {
namespace {

namespace json = boost::json;

json::object failed(std::string error) {
    json::object fields;
    fields["ok"] = false;
    fields["error"] = std::move(error);
    return fields;
}

// b - a in whole nanoseconds: the clock's own resolution, and a short decimal
// that any JSON reader takes back exactly.
double elapsed(double a, double b) { return std::round((b - a) * 1e6) / 1e6; }

// The job's steps; returns the reply fields.
json::object run(std::optional<uint32_t> window, double edge, double quality) {
    double t0 = core::ms();
    platform::ShareableContent content = platform::shareableContent();
    if (content.error) return failed(*content.error);
    double t1 = core::ms();

    const platform::ShareableWindow* match = nullptr;
    if (window) {
        for (const platform::ShareableWindow& w : content.windows) {
            if (w.id == *window) {
                match = &w;
                break;
            }
        }
    }
    if (!match) return failed("gone");
    double scale = platform::pointPixelScale(match->id);
    PixelSize size = captureSize(match->width, match->height, scale, edge);
    platform::Shot shot = platform::screenshot(match->id, size.width, size.height);
    if (!shot.picture) return failed(std::move(shot.error));
    double t2 = core::ms();

    std::optional<platform::Jpeg> jpeg = platform::encodeJpeg(*shot.picture, quality);
    if (!jpeg) return failed("encode");
    double t3 = core::ms();

    json::object fields;
    fields["ok"] = true;
    // Encoded in place: the picture's text is the bulk of the reply.
    json::string& text = fields["jpeg"].emplace_string();
    text.resize(core::base64Size(jpeg->size));
    core::base64Into(std::string_view(reinterpret_cast<const char*>(jpeg->data.get()), jpeg->size),
                     text.data());
    fields["w"] = shot.picture->width;
    fields["h"] = shot.picture->height;
    fields["contentMs"] = elapsed(t0, t1);
    fields["shotMs"] = elapsed(t1, t2);
    fields["encodeMs"] = elapsed(t2, t3);
    fields["bytes"] = int64_t(jpeg->size);
    return fields;
}

}  // namespace

void capture(const json::value& id, std::optional<uint32_t> window, double edge,
             double quality) {
    core::onPool([id, window, edge, quality] {
        json::object fields;
        try {
            fields = run(window, edge, quality);
        } catch (const std::exception&) {
            // Out of memory, in practice: still the one reply.
            fields = failed("encode");
        }
        core::reply(id, std::move(fields));
    });
}

}  // namespace capture
