// The front report's window filter, its two passes and the activation rule.
#include "tracking/choose.hpp"
#include "tracking/tracker.hpp"

#include <gtest/gtest.h>

#include <cmath>

namespace {

using platform::App;
using platform::AppRef;
using platform::Bounds;
using platform::WindowRecord;
using tracking::chooseWindow;
using tracking::usable;

WindowRecord win(int32_t pid, double w = 800, double h = 600) {
    WindowRecord r;
    r.layer = 0;
    r.bounds = Bounds{0, 0, w, h};
    r.ownerPid = pid;
    return r;
}

AppRef app(int32_t pid) {
    auto a = std::make_shared<App>();
    a->pid = pid;
    return a;
}

TEST(Usable, SizeBoundariesAreInclusive) {
    EXPECT_TRUE(usable(win(1, 200, 120)));
    EXPECT_FALSE(usable(win(1, 199.9, 500)));
    EXPECT_FALSE(usable(win(1, 500, 119.9)));
    EXPECT_FALSE(usable(win(1, NAN, 500)));
    EXPECT_FALSE(usable(win(1, 500, NAN)));
    WindowRecord none = win(1);
    none.bounds.reset();
    EXPECT_FALSE(usable(none));
}

TEST(Usable, AlphaMustExceedATenthWhenSet) {
    WindowRecord w = win(1);
    EXPECT_TRUE(usable(w));  // absent alpha passes
    for (double a : {0.1, 0.0, -1.0, double(NAN)}) {
        w.alpha = a;
        EXPECT_FALSE(usable(w)) << a;
    }
    w.alpha = 0.1000001;
    EXPECT_TRUE(usable(w));
}

TEST(Usable, LayerMustBePresentAndZero) {
    WindowRecord w = win(1);
    w.layer.reset();
    EXPECT_FALSE(usable(w));
    w.layer = 1;
    EXPECT_FALSE(usable(w));
    w.layer = -1;
    EXPECT_FALSE(usable(w));
}

TEST(Usable, IgnoresOwnerNameAndPosition) {
    WindowRecord w = win(1);
    w.ownerPid.reset();
    w.name.reset();
    w.number.reset();
    w.bounds->x = -5000;
    w.bounds->y = 1e9;
    EXPECT_TRUE(usable(w));
}

TEST(Candidate, FrontmostUnlessItIsTheHost) {
    AppRef a = app(10), host = app(99), last = app(20);
    EXPECT_EQ(tracking::candidate(a, last, 99), a);
    EXPECT_EQ(tracking::candidate(host, last, 99), last);
    EXPECT_EQ(tracking::candidate(nullptr, last, 99), last);
    EXPECT_EQ(tracking::candidate(host, nullptr, 99), nullptr);
}

TEST(ChooseWindow, FirstPassTakesCandidatesWindowBehindOthers) {
    std::vector<WindowRecord> list = {win(5), win(99), win(10, 100, 100), win(10)};
    auto c = chooseWindow(list, 10, 99);
    EXPECT_EQ(c.window, 3u);
    EXPECT_TRUE(c.ofCandidate);
}

TEST(ChooseWindow, SecondPassSkipsHostAndUnusableWindows) {
    WindowRecord faint = win(7);
    faint.alpha = 0.05;
    std::vector<WindowRecord> list = {win(99), win(10, 199, 500), faint, win(8), win(9)};
    auto c = chooseWindow(list, 10, 99);  // candidate 10 has only a narrow window
    EXPECT_EQ(c.window, 3u);
    EXPECT_FALSE(c.ofCandidate);
    c = chooseWindow(list, std::nullopt, 99);
    EXPECT_EQ(c.window, 3u);
    EXPECT_FALSE(c.ofCandidate);
}

TEST(ChooseWindow, AbsentOwnerCountsAsMinusOne) {
    WindowRecord orphan = win(1);
    orphan.ownerPid.reset();
    std::vector<WindowRecord> list = {orphan};
    EXPECT_EQ(chooseWindow(list, std::nullopt, 99).window, 0u);
    EXPECT_FALSE(chooseWindow(list, std::nullopt, -1).window);
    EXPECT_EQ(chooseWindow(list, -1, 99).window, 0u);
    EXPECT_TRUE(chooseWindow(list, -1, 99).ofCandidate);
}

TEST(ChooseWindow, NothingWhenOnlyHostOrNothingUsable) {
    EXPECT_FALSE(chooseWindow({}, 10, 99).window);
    EXPECT_FALSE(chooseWindow({win(99), win(10, 50, 50)}, 10, 99).window);
}

TEST(ChooseWindow, PrefixChoiceIsFinalAndAgreesWithTheWholeList) {
    // Every list of up to 6 windows drawn from: candidate 10 usable/narrow,
    // host 99 usable, other 20 usable, unowned usable.
    std::vector<WindowRecord> kinds = {win(10), win(10, 150, 150), win(99), win(20), win(1)};
    kinds.back().ownerPid.reset();
    for (int len = 0; len <= 6; ++len) {
        int combos = 1;
        for (int i = 0; i < len; ++i) combos *= int(kinds.size());
        for (int code = 0; code < combos; ++code) {
            std::vector<WindowRecord> list;
            for (int i = 0, c = code; i < len; ++i, c /= int(kinds.size()))
                list.push_back(kinds[size_t(c) % kinds.size()]);
            for (std::optional<int32_t> cand : {std::optional<int32_t>(10), std::optional<int32_t>()}) {
                auto whole = chooseWindow(list, cand, 99);
                for (size_t n = 0; n <= list.size(); ++n) {
                    std::vector<WindowRecord> prefix(list.begin(), list.begin() + long(n));
                    auto part = tracking::chooseFromPrefix(prefix, cand, 99, n == list.size());
                    if (n == list.size()) {
                        ASSERT_TRUE(part);
                    }
                    if (!part) continue;
                    ASSERT_EQ(part->window, whole.window) << code << " " << n;
                    ASSERT_EQ(part->ofCandidate, whole.ofCandidate);
                }
            }
        }
    }
}

struct Activation : ::testing::Test {
    void SetUp() override {
        tracking::dovkPid = 99;
        tracking::lastOther.reset();
    }
};

TEST_F(Activation, HostNeverBecomesLastOther) {
    tracking::noteActivation(app(99));
    EXPECT_EQ(tracking::lastOther, nullptr);
    AppRef a = app(10);
    tracking::noteActivation(a);
    tracking::noteActivation(app(99));
    tracking::noteActivation(app(99));
    tracking::noteActivation(nullptr);
    EXPECT_EQ(tracking::lastOther, a);
}

TEST_F(Activation, LatestOtherWinsEvenTheSameApplicationAgain) {
    AppRef a = app(10), b = app(20), a2 = app(10);
    tracking::noteActivation(a);
    tracking::noteActivation(b);
    EXPECT_EQ(tracking::lastOther, b);
    tracking::noteActivation(a2);
    EXPECT_EQ(tracking::lastOther, a2);
}

TEST_F(Activation, NewHostIdAppliesToLaterActivationsOnly) {
    AppRef a = app(10);
    tracking::noteActivation(a);
    tracking::dovkPid = 10;  // a "dovk" override
    EXPECT_EQ(tracking::lastOther, a);
    tracking::noteActivation(app(10));
    EXPECT_EQ(tracking::lastOther, a);
    AppRef old = app(99);  // the former host is now another application
    tracking::noteActivation(old);
    EXPECT_EQ(tracking::lastOther, old);
}

}  // namespace
