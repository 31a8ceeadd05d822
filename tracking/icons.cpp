#include "tracking/icons.hpp"

#include "core/base64.hpp"

namespace tracking {

std::unordered_map<int32_t, std::string> icons;

std::optional<std::string> cachedIcon(std::unordered_map<int32_t, std::string>& cache, int32_t pid,
                                      const std::function<std::optional<std::string>()>& render) {
    if (auto it = cache.find(pid); it != cache.end()) return it->second;
    std::optional<std::string> text = render();
    if (text) cache.emplace(pid, *text);
    return text;
}

std::optional<std::string> iconOf(const platform::App& app) {
    return cachedIcon(icons, app.pid, [&app]() -> std::optional<std::string> {
        auto image = platform::iconImage(app);
        if (!image) return std::nullopt;
        auto png = platform::renderPng(*image, 64, 64);
        if (!png) return std::nullopt;
        return core::base64(*png);
    });
}

}  // namespace tracking
