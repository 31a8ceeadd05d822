// Argument kinds, Base64 and the background pools that commands start work on.
#include "core/base64.hpp"
#include "core/dispatch.hpp"
#include "core/json.hpp"
#include "core/loop.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <stdexcept>

namespace {

namespace json = boost::json;

json::object args(const char* text) { return core::parseJson(text)->get_object(); }

TEST(ArgumentKinds, IntegerTakesIntegralNumbersThatInt64Holds) {
    auto a = args(R"({"i":5,"f":800.0,"neg":-0.0,"frac":1.5,"s":"12","b":true,"n":null,
                      "big":9223372036854775808,"bigd":9.3e18,"edge":-9223372036854775808,
                      "e":1e3})");
    EXPECT_EQ(core::integerArg(a, "i"), 5);
    EXPECT_EQ(core::integerArg(a, "f"), 800);
    EXPECT_EQ(core::integerArg(a, "neg"), 0);
    EXPECT_EQ(core::integerArg(a, "e"), 1000);
    EXPECT_EQ(core::integerArg(a, "edge"), INT64_MIN);
    for (const char* k : {"frac", "s", "b", "n", "big", "bigd", "missing"})
        EXPECT_FALSE(core::integerArg(a, k)) << k;
}

TEST(ArgumentKinds, NumberAndStringTakeOnlyTheirOwnKind) {
    auto a = args(R"({"i":800,"d":0.25,"s":"768","b":false,"u":18446744073709551615})");
    EXPECT_EQ(core::numberArg(a, "i"), 800.0);
    EXPECT_EQ(core::numberArg(a, "d"), 0.25);
    EXPECT_EQ(core::numberArg(a, "u"), 18446744073709551615.0);
    EXPECT_FALSE(core::numberArg(a, "s"));
    EXPECT_FALSE(core::numberArg(a, "b"));
    EXPECT_EQ(core::stringArg(a, "s"), "768");
    EXPECT_FALSE(core::stringArg(a, "i"));
    EXPECT_FALSE(core::stringArg(a, "missing"));
}

TEST(Base64, MatchesRfc4648Vectors) {
    EXPECT_EQ(core::base64(""), "");
    EXPECT_EQ(core::base64("f"), "Zg==");
    EXPECT_EQ(core::base64("fo"), "Zm8=");
    EXPECT_EQ(core::base64("foo"), "Zm9v");
    EXPECT_EQ(core::base64("foob"), "Zm9vYg==");
    EXPECT_EQ(core::base64("fooba"), "Zm9vYmE=");
    EXPECT_EQ(core::base64("foobar"), "Zm9vYmFy");
    EXPECT_EQ(core::base64(std::string("\xff\xfe\x00", 3)), "//4A");
}

TEST(BackgroundPools, AJobThatThrowsCostsOnlyItself) {
    for (auto submit : {core::onPool, core::onProbes}) {
        auto ran = std::make_shared<std::promise<void>>();
        submit([] { throw std::runtime_error("job failed"); });
        submit([] { throw 7; });
        submit([ran] { ran->set_value(); });
        EXPECT_EQ(ran->get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);
    }
}

}  // namespace
