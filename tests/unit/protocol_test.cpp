// Request decoding, the strict JSON reader, UTF-8 repair, line splitting and
// the reply line.
#include "core/json.hpp"
#include "core/protocol.hpp"
#include "core/reader.hpp"
#include "core/reply.hpp"
#include "core/utf8.hpp"

#include <boost/json/monotonic_resource.hpp>
#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>

namespace {

namespace json = boost::json;
using core::decodeRequest;

TEST(Decode, DropsEverythingThatIsNotAnObjectWithStringCmd) {
    for (const char* line :
         {"", "   ", "\r", "[]", "[{\"cmd\":\"front\"}]", "\"front\"", "42", "null", "true",
          "{\"id\":1}", "{\"cmd\":1}", "{\"cmd\":null}", "{\"cmd\":true}", "{\"cmd\":[]}",
          "{\"cmd\":{}}", "{\"cmd\":\"front\"", "{\"cmd\":\"front\"} x", "{\"cmd\":\"a\"}{}",
          "{\"CMD\":\"front\"}", "{\"Cmd\":\"front\"}"}) {
        EXPECT_FALSE(decodeRequest(line)) << line;
    }
}

TEST(Decode, IdOfEveryTypeIsKeptAndAbsentIdIsZero) {
    auto r = decodeRequest(R"({"cmd":"ping"})");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->id, json::value(0));
    EXPECT_TRUE(r->id.is_int64());
    for (const char* id : {"null", "\"a1\"", "[1,[2,{}]]", "{\"x\":{\"y\":null}}", "true", "-7",
                           "18446744073709551615", "-9223372036854775808", "0.5"}) {
        auto req = decodeRequest(std::string(R"({"cmd":"x","id":)") + id + "}");
        ASSERT_TRUE(req) << id;
        EXPECT_EQ(json::serialize(req->id), json::serialize(*core::parseJson(id))) << id;
    }
    auto upper = decodeRequest(R"({"cmd":"x","ID":5})");
    ASSERT_TRUE(upper);
    EXPECT_EQ(upper->id, json::value(0));
}

TEST(Decode, ArgsLiveInTheGivenMemoryButTheIdOutlivesIt) {
    const std::string id = R"({"k":["a string too long to be stored inline"]})";
    json::value kept;
    for (int round = 0; round < 3; ++round) {  // the reused parser, too
        json::monotonic_resource scratch;
        auto r = decodeRequest(R"({"cmd":"x","pad":"long enough to need memory","id":)" + id + "}",
                               &scratch);
        ASSERT_TRUE(r);
        EXPECT_EQ(r->args.storage().get(), &scratch);
        EXPECT_TRUE(r->id.storage().get() == json::storage_ptr().get());
        kept = std::move(r->id);
    }
    // Under the address sanitizer, a use after free if the id was in `scratch`.
    EXPECT_EQ(json::serialize(kept), id);
}

TEST(Decode, CarriageReturnIsWhiteSpaceAndArgsHoldTheWholeObject) {
    auto r = decodeRequest("{\"cmd\":\"capture\",\"id\":3,\"window\":9}\r");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->cmd, "capture");
    EXPECT_EQ(r->args.at("window"), json::value(9));
    EXPECT_EQ(r->args.at("cmd"), json::value("capture"));
    EXPECT_TRUE(decodeRequest(R"(  {"cmd":""}  )"));
}

TEST(Decode, InvalidUtf8IsRepairedNotDroppedButALoneSurrogateEscapeIsDropped) {
    auto r = decodeRequest("{\"cmd\":\"p\xffng\",\"id\":\"\xc3\"}");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->cmd, "p\xEF\xBF\xBDng");
    EXPECT_EQ(r->id, json::value("\xEF\xBF\xBD"));
    for (const char* line : {R"({"cmd":"\ud800"})", R"({"cmd":"a\udc00b"})",
                             R"({"cmd":"x","id":"\ud800"})", R"({"cmd":"x","id":["\ud800\u0041"]})",
                             R"({"cmd":"x","id":"\udbff\udbff"})"})
        EXPECT_FALSE(decodeRequest(line)) << line;
    auto pair = decodeRequest(R"({"cmd":"\ud83d\ude00","id":"\u00e9"})");
    ASSERT_TRUE(pair);
    EXPECT_EQ(pair->cmd, "\xF0\x9F\x98\x80");
    EXPECT_EQ(pair->id, json::value("\xC3\xA9"));
}

TEST(Json, IsStrict) {
    for (const char* text : {"{\"a\":1,}", "[1,]", "{/*c*/}", "// c\n{}", "{\"a\":NaN}",
                             "{\"a\":Infinity}", "{\"a\":01}", "{\"a\":-}", "{\"a\":.5}",
                             "{'a':1}", "{\"a\":1", "{\"a\":\"\x01\"}"}) {
        EXPECT_FALSE(core::parseJson(text)) << text;
    }
}

TEST(Json, DeepNestingIsRefusedWithoutRecursionAndModestNestingServed) {
    std::string deep(100000, '[');
    EXPECT_FALSE(core::parseJson("{\"cmd\":\"x\",\"id\":" + deep + "}"));
    std::string ok = std::string(64, '[') + std::string(64, ']');
    auto r = decodeRequest("{\"cmd\":\"x\",\"id\":" + ok + "}");
    ASSERT_TRUE(r);
    EXPECT_EQ(json::serialize(r->id), ok);
}

TEST(Json, NumbersComeBackExactly) {
    auto v = core::parseJson("[9223372036854775807,18446744073709551615,-9223372036854775808,"
                             "18446744073709551616,0.1,1e400,-1e400,5e-324,1.0,"
                             "2.2250738585072011e-308]");
    ASSERT_TRUE(v);
    auto& a = v->get_array();
    EXPECT_EQ(a[0].get_int64(), INT64_MAX);
    EXPECT_EQ(a[1].get_uint64(), UINT64_MAX);
    EXPECT_EQ(a[2].get_int64(), INT64_MIN);
    EXPECT_EQ(a[3].get_double(), 18446744073709551616.0);
    EXPECT_EQ(a[4].get_double(), 0.1);
    EXPECT_EQ(a[5].get_double(), DBL_MAX);
    EXPECT_EQ(a[6].get_double(), -DBL_MAX);
    EXPECT_EQ(a[7].get_double(), 5e-324);
    EXPECT_EQ(a[8].get_double(), 1.0);
    // A value that naive digit-by-digit conversion rounds wrongly.
    EXPECT_EQ(a[9].get_double(), 2.2250738585072011e-308);
    // Exponents past the int range end the same way as 1e400, and the
    // rewriting that allows them touches neither strings nor strictness.
    auto huge = core::parseJson(R"({"a":[1e99999999999999999999,-1E+99999999999999999999,)"
                                R"(1e-99999999999999999999,2e000000000000000000003],)"
                                R"("s":"1e99999999999999999999"})");
    ASSERT_TRUE(huge);
    EXPECT_EQ(json::serialize(*huge),
              json::serialize(*core::parseJson(
                  R"({"a":[1e400,-1e400,0.0,2e3],"s":"1e99999999999999999999"})")));
    for (const char* text : {"01e99999999999", "1e99999999999x", "[1e99999999999,]", "1e+",
                             "1.e99999999999", "\"\\\"1e99999999999"})
        EXPECT_FALSE(core::parseJson(text)) << text;
    // Split across the parser's number buffer: long mantissas.
    std::string longNumber = "0." + std::string(5000, '1');
    auto w = core::parseJson(longNumber);
    ASSERT_TRUE(w);
    EXPECT_EQ(w->get_double(), 0.11111111111111111);
}

TEST(ReplyLine, IsOneCompactJsonLineWithTheRequestIdAndNonFiniteNumbersAsNull) {
    const double inf = INFINITY;
    json::object fields{{"nan", NAN},
                        {"ms", 0.25},
                        {"list", json::array{1.5, inf, json::object{{"low", -inf}}}},
                        {"text", "a\nb"},
                        {"id", "not the request's"}};
    auto line = core::replyLine(json::value(7), fields);
    ASSERT_TRUE(line);
    ASSERT_EQ(line->find('\n'), line->size() - 1);
    json::error_code ec;
    json::value v = json::parse(*line, ec);
    ASSERT_FALSE(ec) << *line;
    EXPECT_EQ(json::serialize(v) + "\n", *line);
    EXPECT_EQ(v, json::parse(R"({"nan":null,"ms":0.25,"list":[1.5,null,{"low":null}],)"
                             R"("text":"a\nb","id":7})"));
}

TEST(Utf8, ReplacesEachMaximalIllFormedSubsequenceOnce) {
    const std::string fffd = "\xEF\xBF\xBD";
    struct Case {
        std::string in, out;
    } cases[] = {
        {"abc", "abc"},
        {"\xC3\xA9", "\xC3\xA9"},
        {"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},
        {"\x80", fffd},
        {"\xC0\xAF", fffd + fffd},              // overlong lead is one byte
        {"\xE0\x80\x80", fffd + fffd + fffd},   // bad second byte
        {"\xED\xA0\x80", fffd + fffd + fffd},   // surrogate
        {"\xF4\x90\x80\x80", fffd + fffd + fffd + fffd},
        {"\xE2\x82", fffd},                     // truncated at end
        {"\xE2\x82x", fffd + "x"},
        {"\xF0\x9F\x98", fffd},
        {"\xF0\x9F\x98" "a\xF0\x9F", fffd + "a" + fffd},
        {"\xFF\xFE", fffd + fffd},
        {"a\xC3", "a" + fffd},
    };
    for (auto& c : cases) {
        EXPECT_EQ(core::validUtf8(c.in), c.in == c.out) << c.in;
        EXPECT_EQ(core::repairUtf8(c.in), c.out) << c.in;
        std::string s = c.in;
        core::repairUtf8InPlace(s);
        EXPECT_EQ(s, c.out);
    }
    std::string longAscii(1000, 'x');
    longAscii[997] = '\x80';
    EXPECT_FALSE(core::validUtf8(longAscii));
}

TEST(LineSplitter, SplitsOnLineFeedAcrossReadsAndKeepsTheLastLine) {
    core::LineSplitter s;
    std::vector<std::string> got;
    auto feed = [&](std::string bytes) {
        char* room = s.reserve(bytes.size());
        std::memcpy(room, bytes.data(), bytes.size());
        s.commit(bytes.size());
        std::string_view line;
        while (s.next(line)) got.emplace_back(line);
    };
    feed("a\nb");
    feed("c\n\n");
    std::string big(3 << 20, 'z');
    feed(big.substr(0, 1 << 20));
    feed(big.substr(1 << 20) + "\nlast");
    std::string_view rest;
    ASSERT_TRUE(s.rest(rest));
    got.emplace_back(rest);
    EXPECT_FALSE(s.rest(rest));
    ASSERT_EQ(got.size(), 5u);
    EXPECT_EQ(got[0], "a");
    EXPECT_EQ(got[1], "bc");
    EXPECT_EQ(got[2], "");
    EXPECT_EQ(got[3], big);
    EXPECT_EQ(got[4], "last");
    // The giant line's memory goes back once nothing is left in the buffer.
    s.reserve(64 << 10);
    EXPECT_LT(s.buffer.capacity(), size_t(1) << 20);
}

TEST(LineSplitter, RestOfADroppedLineIsSkippedUpToItsLineFeed) {
    core::LineSplitter s;
    std::vector<std::string> got;
    auto feed = [&](std::string bytes) {
        std::memcpy(s.reserve(bytes.size()), bytes.data(), bytes.size());
        s.commit(bytes.size());
        std::string_view line;
        while (s.next(line)) got.emplace_back(line);
    };
    s.skipping = true;  // as after a line that memory could not hold
    feed("more of it");
    feed(" and the end\nnext\n");
    s.skipping = true;
    feed("unfinished");
    std::string_view rest;
    EXPECT_FALSE(s.rest(rest));
    EXPECT_EQ(got, std::vector<std::string>{"next"});
}

}  // namespace
