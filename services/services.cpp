// "allow", "app" and "haptic": one platform call or a short chain each.
#include "services/services.hpp"

#include "core/reply.hpp"
#include "platform/platform.hpp"
#include "services/path_extension.hpp"

namespace services {

namespace json = boost::json;

void allow(const json::value& id) {
    json::object fields;
    fields["granted"] = platform::screenCaptureRequest();
    core::reply(id, std::move(fields));
}

void app(const json::value& id, const std::string& path) {
    std::optional<platform::Bundle> bundle = platform::bundleAt(path);
    std::string name = deletingPathExtension(platform::displayNameAt(path));
    json::object fields;
    fields["name"] = std::move(name);
    fields["bundle"] = bundle && bundle->identifier ? *bundle->identifier : std::string();
    core::reply(id, std::move(fields));
}

int hapticPattern(const std::optional<std::string>& pattern) {
    return pattern && *pattern == "generic" ? 0 : 1;
}

void haptic(const std::optional<std::string>& pattern) {
    platform::performHaptic(hapticPattern(pattern), kHapticNow);
}

}  // namespace services
