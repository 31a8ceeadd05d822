// The size rule, from its table and its undefined corners.
#include "capture/size.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

using capture::captureSize;

struct Row {
    double w, h, scale, edge;
    int64_t pw, ph;
};

TEST(CaptureSize, Table) {
    const Row rows[] = {
        {1000, 500, 2, 768, 768, 384},   {300, 200, 2, 768, 600, 400},
        {400, 1600, 2, 768, 192, 768},   {200, 25, 1, 100, 100, 13},
        {800, 600, 2, 2000, 1600, 1200}, {0, 0, 2, 768, 1, 1},
        {0, 100, 2, 768, 1, 200},        {1000, 500, 2, 0, 1, 1},
        {1000, 500, 2, -5, 1, 1},        {1920, 1080, 1, 768, 768, 432},
        {1280, 800, 1, 768, 768, 480},   {640, 480, 1, 768, 640, 480},
        {3, 1, 1, 1, 1, 1},              {1000, 500, 1, 767.5, 768, 384},
    };
    for (const Row& r : rows) {
        auto s = captureSize(r.w, r.h, r.scale, r.edge);
        EXPECT_EQ(s.width, r.pw) << r.w << "x" << r.h << " @" << r.scale << " edge " << r.edge;
        EXPECT_EQ(s.height, r.ph) << r.w << "x" << r.h << " @" << r.scale << " edge " << r.edge;
    }
}

TEST(CaptureSize, UndefinedProductsAskForOnePixel) {
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const Row rows[] = {
        {0, 0, 2, 0, 1, 1},        // 0 / 0
        {0, 0, 2, -5, 1, 1},       // -inf x 0
        {0, 0, 2, -inf, 1, 1},
        {1, 1, 1, -1e19, 1, 1},    // below int64
        {1, 1, 1, -inf, 1, 1},
        {1e300, 1e300, 1, inf, 1, 1},  // above int64
        {100, 100, 1, nan, 1, 1},
        {100, 100, nan, 768, 1, 1},
    };
    for (const Row& r : rows) {
        auto s = captureSize(r.w, r.h, r.scale, r.edge);
        EXPECT_EQ(s.width, 1) << r.w << " " << r.scale << " " << r.edge;
        EXPECT_EQ(s.height, 1) << r.w << " " << r.scale << " " << r.edge;
    }
}

}  // namespace
