// The capture scaler and encoder on plain pixels: flat colours convert as the
// JPEG codec converts them, thin lines average to grey, nothing moves, and
// every quality gives a JPEG of the picture's size.
#include "platform/platform.hpp"
#include "platform/codec/scale.hpp"

#include <turbojpeg.h>

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

namespace {

using platform::Pixels32;
using platform::scaleToYuv420;

struct Image {
    int w, h;
    std::vector<uint8_t> bgrx;
    Pixels32 pixels() const { return {bgrx.data(), w, h, size_t(w) * 4, false}; }
    void set(int x, int y, uint32_t rgb) {
        uint8_t* p = &bgrx[(size_t(y) * size_t(w) + size_t(x)) * 4];
        p[0] = uint8_t(rgb), p[1] = uint8_t(rgb >> 8), p[2] = uint8_t(rgb >> 16), p[3] = 0x5a;
    }
};

Image flat(int w, int h, uint32_t rgb) {
    Image im{w, h, std::vector<uint8_t>(size_t(w) * size_t(h) * 4)};
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) im.set(x, y, rgb);
    return im;
}

// TurboJPEG's own conversion of one flat colour: Y, Cb, Cr.
std::array<int, 3> codecYuv(uint32_t rgb) {
    uint8_t px[4 * 4] = {};
    for (int i = 0; i < 4; ++i)
        px[i * 4] = uint8_t(rgb >> 16), px[i * 4 + 1] = uint8_t(rgb >> 8), px[i * 4 + 2] = uint8_t(rgb);
    uint8_t y[4], cb[1], cr[1];
    uint8_t* planes[3] = {y, cb, cr};
    tjhandle tj = tjInitCompress();
    EXPECT_EQ(tjEncodeYUVPlanes(tj, px, 2, 0, 2, TJPF_RGBX, planes, nullptr, TJSAMP_420, 0), 0);
    tjDestroy(tj);
    return {y[0], cb[0], cr[0]};
}

TEST(CaptureScale, FlatColoursConvertExactlyAtEverySize) {
    const uint32_t colours[] = {0x000000, 0xffffff, 0xff0000, 0x00ff00, 0x0000ff,
                                0x808080, 0x123456, 0xfedcba, 0x7f8081};
    const int sizes[][4] = {{1920, 1080, 768, 432}, {1280, 800, 768, 480}, {7, 5, 7, 5},
                            {101, 37, 13, 3},       {640, 480, 1, 1},      {3, 9, 2, 5}};
    for (uint32_t c : colours) {
        auto want = codecYuv(c);
        for (auto& s : sizes) {
            auto out = scaleToYuv420(flat(s[0], s[1], c).pixels(), s[2], s[3]);
            ASSERT_EQ(out.width, s[2]);
            ASSERT_EQ(out.height, s[3]);
            size_t n = size_t(s[2]) * size_t(s[3]), nc = size_t(out.chromaWidth() * out.chromaHeight());
            for (size_t i = 0; i < n; ++i) ASSERT_EQ(out.y()[i], want[0]) << std::hex << c << " " << i;
            for (size_t i = 0; i < nc; ++i) {
                ASSERT_EQ(out.cb()[i], want[1]) << std::hex << c << " " << i;
                ASSERT_EQ(out.cr()[i], want[2]) << std::hex << c << " " << i;
            }
        }
    }
}

TEST(CaptureScale, OnePixelLinesAverageToGreyInBothDirections) {
    for (bool vertical : {true, false}) {
        Image im = flat(1000, 600, 0);
        for (int y = 0; y < im.h; ++y)
            for (int x = 0; x < im.w; ++x)
                if ((vertical ? x : y) % 2) im.set(x, y, 0xffffff);
        auto out = scaleToYuv420(im.pixels(), 400, 240);  // 2.5x
        for (size_t i = 0; i < size_t(400 * 240); ++i) {
            ASSERT_GE(out.y()[i], 100) << vertical << " " << i;
            ASSERT_LE(out.y()[i], 155) << vertical << " " << i;
        }
    }
}

TEST(CaptureScale, AverageIsKeptAndEdgesStayInPlace) {
    // Random pixels: the box filter keeps the mean.
    Image noise = flat(999, 333, 0);
    std::mt19937 rng(7);
    for (int y = 0; y < noise.h; ++y)
        for (int x = 0; x < noise.w; ++x) noise.set(x, y, rng() & 0xffffff);
    auto out = scaleToYuv420(noise.pixels(), 370, 123);
    double inMean = 0, outMean = 0;
    for (int y = 0; y < noise.h; ++y)
        for (int x = 0; x < noise.w; ++x) {
            const uint8_t* p = &noise.bgrx[(size_t(y) * 999 + size_t(x)) * 4];
            inMean += 0.299 * p[2] + 0.587 * p[1] + 0.114 * p[0];
        }
    for (size_t i = 0; i < size_t(370 * 123); ++i) outMean += out.y()[i];
    EXPECT_NEAR(inMean / (999.0 * 333.0), outMean / (370.0 * 123.0), 0.5);

    // Black left half, white right half of 300 px, scaled by 3: the boundary
    // falls between output pixels 49 and 50.
    Image halves = flat(300, 30, 0);
    for (int y = 0; y < 30; ++y)
        for (int x = 150; x < 300; ++x) halves.set(x, y, 0xffffff);
    auto h = scaleToYuv420(halves.pixels(), 100, 10);
    for (int y = 0; y < 10; ++y) {
        EXPECT_EQ(h.y()[y * 100 + 49], 0);
        EXPECT_EQ(h.y()[y * 100 + 50], 255);
    }
}

TEST(CaptureScale, RedFirstPixelsSwapChannels) {
    Image im = flat(8, 8, 0xff0000);  // red as blue-first bytes
    Pixels32 px = im.pixels();
    px.redFirst = true;  // now read as blue
    auto out = scaleToYuv420(px, 4, 4);
    auto blue = codecYuv(0x0000ff);
    EXPECT_EQ(out.y()[0], blue[0]);
    EXPECT_EQ(out.cb()[0], blue[1]);
    EXPECT_EQ(out.cr()[0], blue[2]);
}

TEST(CaptureJpeg, EveryQualityGivesAJpegOfThePictureSize) {
    auto yuv = std::make_shared<platform::Yuv420>(
        scaleToYuv420(flat(333, 211, 0x2060a0).pixels(), 257, 163));
    platform::Picture picture{257, 163, yuv};
    tjhandle tj = tjInitDecompress();
    size_t previous = 0;
    for (double q : {0.0, 0.01, 0.7, 1.0, 7.0, -3.0, std::nan("")}) {
        auto jpeg = platform::encodeJpeg(picture, q);
        ASSERT_TRUE(jpeg) << q;
        int w = 0, h = 0, sub = 0, cs = 0;
        ASSERT_EQ(tjDecompressHeader3(tj, jpeg->data.get(), jpeg->size, &w, &h, &sub, &cs), 0);
        EXPECT_EQ(w, 257);
        EXPECT_EQ(h, 163);
        std::vector<uint8_t> rgb(size_t(w) * size_t(h) * 3);
        ASSERT_EQ(tjDecompress2(tj, jpeg->data.get(), jpeg->size, rgb.data(), w, 0, h, TJPF_RGB, 0), 0);
        // Quality 1 quantizes even a flat colour coarsely.
        int tolerance = q >= 0.7 ? 4 : 40;
        EXPECT_NEAR(rgb[3 * 5000], 0x20, tolerance) << q;
        EXPECT_NEAR(rgb[3 * 5000 + 1], 0x60, tolerance) << q;
        EXPECT_NEAR(rgb[3 * 5000 + 2], 0xa0, tolerance) << q;
        if (q == 1.0) {
            EXPECT_GT(jpeg->size, previous);  // more quality, more bytes
        }
        previous = jpeg->size;
    }
    tjDestroy(tj);
}

}  // namespace
