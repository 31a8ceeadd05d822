// The icon cache and the 64 x 64 PNG rendering.
#include "core/base64.hpp"
#include "platform/codec/png.hpp"
#include "tracking/icons.hpp"

#include <gtest/gtest.h>

namespace {

using platform::RgbaImage;

RgbaImage solid(int w, int h, uint8_t r, uint8_t g, uint8_t b, uint8_t a) {
    RgbaImage img{w, h, {}};
    for (int i = 0; i < w * h; ++i) img.rgba.insert(img.rgba.end(), {r, g, b, a});
    return img;
}

TEST(IconCache, HitReturnsStoredTextWithoutRendering) {
    std::unordered_map<int32_t, std::string> cache;
    int renders = 0;
    auto render = [&]() -> std::optional<std::string> { return "icon" + std::to_string(++renders); };
    EXPECT_EQ(tracking::cachedIcon(cache, 7, render), "icon1");
    EXPECT_EQ(tracking::cachedIcon(cache, 7, render), "icon1");
    EXPECT_EQ(renders, 1);
    EXPECT_EQ(tracking::cachedIcon(cache, 8, render), "icon2");
    EXPECT_EQ(cache.size(), 2u);
}

TEST(IconCache, FailureStoresNothingAndIsRetried) {
    std::unordered_map<int32_t, std::string> cache;
    int calls = 0;
    auto failing = [&]() -> std::optional<std::string> {
        ++calls;
        return std::nullopt;
    };
    EXPECT_FALSE(tracking::cachedIcon(cache, 7, failing));
    EXPECT_FALSE(tracking::cachedIcon(cache, 7, failing));
    EXPECT_EQ(calls, 2);
    EXPECT_TRUE(cache.empty());
    EXPECT_EQ(tracking::cachedIcon(cache, 7, [] { return std::optional<std::string>("ok"); }), "ok");
}

TEST(IconCache, ApplicationWithoutIconYieldsNothing) {
    platform::App app;
    app.pid = 2147483000;  // no such process, no windows, no icon name
    tracking::icons.clear();
    EXPECT_FALSE(tracking::iconOf(app));
    EXPECT_TRUE(tracking::icons.empty());
}

TEST(RenderPng, AnySourceSizeGives64x64RgbaWithItsAlpha) {
    for (auto [w, h] : {std::pair{1, 1}, {16, 16}, {64, 64}, {256, 256}, {300, 17}, {1024, 1024}}) {
        auto png = platform::renderPng(solid(w, h, 200, 10, 30, 128), 64, 64);
        ASSERT_TRUE(png) << w << "x" << h;
        auto back = platform::decodePng(*png, 1024);
        ASSERT_TRUE(back);
        EXPECT_EQ(back->width, 64);
        EXPECT_EQ(back->height, 64);
        for (size_t i = 0; i < back->rgba.size(); i += 4) {
            EXPECT_NEAR(back->rgba[i], 200, 2);
            EXPECT_NEAR(back->rgba[i + 1], 10, 2);
            EXPECT_NEAR(back->rgba[i + 3], 128, 1);
        }
        EXPECT_EQ(core::base64(*png).find('\n'), std::string::npos);
    }
}

TEST(RenderPng, ShrinkingAveragesInsteadOfAliasing) {
    // One-pixel black and white columns shrunk 4:1 must come out grey.
    RgbaImage img{256, 256, {}};
    for (int y = 0; y < 256; ++y)
        for (int x = 0; x < 256; ++x) {
            uint8_t v = x % 2 ? 255 : 0;
            img.rgba.insert(img.rgba.end(), {v, v, v, 255});
        }
    auto back = platform::decodePng(*platform::renderPng(img, 64, 64), 1024);
    ASSERT_TRUE(back);
    for (size_t i = 0; i < back->rgba.size(); i += 4) ASSERT_NEAR(back->rgba[i], 128, 8) << i;
}

TEST(RenderPng, MalformedImagesGiveNothing) {
    RgbaImage short_ = solid(4, 4, 0, 0, 0, 255);
    short_.rgba.pop_back();
    EXPECT_FALSE(platform::renderPng(short_, 64, 64));
    EXPECT_FALSE(platform::renderPng(RgbaImage{}, 64, 64));
    EXPECT_FALSE(platform::renderPng(RgbaImage{-1, 4, {}}, 64, 64));
    EXPECT_FALSE(platform::renderPng(solid(4, 4, 0, 0, 0, 255), 0, 64));
}

TEST(DecodePng, RejectsGarbageAndOversizedImages) {
    EXPECT_FALSE(platform::decodePng("", 1024));
    EXPECT_FALSE(platform::decodePng("\x89PNG\r\n\x1a\nnot really", 1024));
    auto png = platform::renderPng(solid(8, 8, 1, 2, 3, 4), 64, 64);
    EXPECT_TRUE(platform::decodePng(*png, 64));
    EXPECT_FALSE(platform::decodePng(*png, 63));
    EXPECT_FALSE(platform::decodePng(png->substr(0, png->size() / 2), 1024));
}

}  // namespace
