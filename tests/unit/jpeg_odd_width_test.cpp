// The JPEG encoder over pictures of odd widths: every row where it belongs.
#include "platform/codec/scale.hpp"
#include "platform/platform.hpp"

#include <gtest/gtest.h>
#include <turbojpeg.h>

#include <memory>
#include <vector>

namespace {

TEST(JpegOddWidth, RowsStayInPlace) {
    // Left third black, the rest white, 363 x 200: a sheared encode moves the
    // edge a little further on every row.
    const int w = 363, h = 200;
    std::vector<uint8_t> bgrx(size_t(w) * h * 4, 0xff);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w / 3; ++x)
            for (int k = 0; k < 3; ++k) bgrx[(size_t(y) * w + x) * 4 + k] = 0;
    platform::Pixels32 src{bgrx.data(), w, h, size_t(w) * 4, false};
    auto yuv = std::make_shared<platform::Yuv420>(platform::scaleToYuv420(src, w, h));
    platform::Picture picture{w, h, yuv};
    auto jpeg = platform::encodeJpeg(picture, 0.9);
    ASSERT_TRUE(jpeg);

    tjhandle tj = tjInitDecompress();
    std::vector<unsigned char> rgb(size_t(w) * h * 3);
    ASSERT_EQ(tjDecompress2(tj, jpeg->data.get(), jpeg->size, rgb.data(), w, 0, h, TJPF_RGB, 0), 0);
    tjDestroy(tj);
    for (int y : {0, h / 2, h - 1}) {
        EXPECT_LT(rgb[(size_t(y) * w + 60) * 3], 40) << "row " << y;
        EXPECT_GT(rgb[(size_t(y) * w + 200) * 3], 215) << "row " << y;
        EXPECT_GT(rgb[(size_t(y) * w + w - 1) * 3], 215) << "row " << y;
    }
}

}  // namespace
