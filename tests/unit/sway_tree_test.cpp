// sway's get_tree reply as the companion's window order, and what it makes
// of a hostile reply.
#include "platform/wlroots/app_pid.hpp"
#include "platform/wlroots/tree.hpp"

#include <gtest/gtest.h>

namespace {

using platform::wlroots::parseTree;
using platform::wlroots::View;

std::string view(int id, const std::string& extra) {
    return R"({"type":"con","id":)" + std::to_string(id) +
           R"(,"shell":"xdg_shell","pid":)" + std::to_string(100 + id) +
           R"(,"app_id":"app)" + std::to_string(id) +
           R"(","name":"w)" + std::to_string(id) + R"(","rect":{"x":10,"y":20,"width":300,"height":200},)"
           R"("window_rect":{"x":2,"y":0,"width":296,"height":198},"visible":true)" + extra + "}";
}

// Two outputs; on the first a workspace with two tiled views and a floating
// one, a hidden workspace, and the second output's workspace.
const std::string kTree = R"({"type":"root","id":1,"focus":[3,30],"nodes":[
  {"type":"output","id":30,"name":"B","rect":{"x":1920,"y":0,"width":1280,"height":720},"scale":2,
   "focus":[31],"nodes":[{"type":"workspace","id":31,"focus":[32],"nodes":[)" + view(32, "") + R"(]}]},
  {"type":"output","id":3,"name":"A","rect":{"x":0,"y":0,"width":1920,"height":1080},"scale":1,
   "focus":[4,9],"nodes":[
    {"type":"workspace","id":4,"focus":[6,7,5],"nodes":[)" + view(5, "") + "," +
                          view(6, R"(,"focused":true)") + R"(],
     "floating_nodes":[{"type":"floating_con","id":7,"shell":"xwayland","pid":107,"app_id":null,
       "window":4194305,"window_properties":{"class":"XTerm","instance":"xterm"},"name":"x",
       "rect":{"x":600,"y":300,"width":400,"height":300},
       "window_rect":{"x":0,"y":0,"width":400,"height":300},"visible":true,"opacity":0.5}]},
    {"type":"workspace","id":9,"focus":[10],"nodes":[)" + view(10, R"(,"visible":false)") + R"(]}
  ]}]})";

TEST(SwayTree, FocusedFirstThenFloatingAboveTiledThenFocusOrderHiddenLast) {
    auto views = parseTree(kTree);
    ASSERT_TRUE(views);
    std::vector<int64_t> ids;
    for (const View& v : *views) ids.push_back(v.id);
    // Focused 6; output A (focused output) floating 7 then tiled 5; output
    // B's 32; the hidden workspace's 10 last.
    EXPECT_EQ(ids, (std::vector<int64_t>{6, 7, 5, 32, 10}));
    EXPECT_TRUE(views->front().focused);
    EXPECT_FALSE(views->back().visible);
}

TEST(SwayTree, AFullscreenViewCoversTheFloatingOnes) {
    std::string tree = kTree;
    auto at = tree.find(R"("id":5,)");
    ASSERT_NE(at, std::string::npos);
    tree.insert(at, R"("fullscreen_mode":1,)");
    auto views = parseTree(tree);
    ASSERT_TRUE(views);
    std::vector<int64_t> ids;
    for (const View& v : *views) ids.push_back(v.id);
    EXPECT_EQ(ids, (std::vector<int64_t>{6, 5, 7, 32, 10}));
}

TEST(SwayTree, ViewFieldsContentRectOutputAndXwaylandClass) {
    auto views = parseTree(kTree);
    ASSERT_TRUE(views);
    const View* tiled = platform::wlroots::findView(*views, 5);
    ASSERT_TRUE(tiled);
    EXPECT_EQ(tiled->pid, 105);
    EXPECT_EQ(tiled->appId, "app5");
    EXPECT_EQ(tiled->title, "w5");
    EXPECT_EQ(tiled->content.x, 12);
    EXPECT_EQ(tiled->content.y, 20);
    EXPECT_EQ(tiled->content.width, 296);
    EXPECT_EQ(tiled->output, "A");
    EXPECT_FALSE(tiled->opacity);

    const View* x = platform::wlroots::findView(*views, 7);
    ASSERT_TRUE(x);
    EXPECT_TRUE(x->floating);
    EXPECT_FALSE(x->appId);
    ASSERT_TRUE(x->x11Class);
    EXPECT_EQ(x->x11Class->cls, "XTerm");
    EXPECT_EQ(x->x11Class->instance, "xterm");
    EXPECT_EQ(x->x11Window, 4194305u);
    EXPECT_EQ(x->opacity, 0.5);

    const View* other = platform::wlroots::findView(*views, 32);
    ASSERT_TRUE(other);
    EXPECT_EQ(other->scale, 2);
    EXPECT_EQ(other->outputRect.x, 1920);
}

TEST(SwayTree, HostileRepliesGiveNothingOrSaneValues) {
    EXPECT_FALSE(parseTree(""));
    EXPECT_FALSE(parseTree("not json"));
    EXPECT_FALSE(parseTree(R"({"type":"root","nodes":[)"));  // truncated
    EXPECT_FALSE(parseTree("[1,2,3]"));
    // Deep nesting is refused, not recursed into.
    std::string deep;
    for (int i = 0; i < 5000; ++i) deep += R"({"nodes":[)";
    EXPECT_FALSE(parseTree(deep));
    // Wrong kinds and out-of-range values are dropped, not trusted.
    auto odd = parseTree(R"({"type":"con","shell":"xdg_shell","id":"x","pid":-5,"app_id":7,
        "name":null,"opacity":9,"rect":{"x":"a","width":-4},"visible":true,"focus":"no"})");
    ASSERT_TRUE(odd);
    ASSERT_EQ(odd->size(), 1u);
    EXPECT_EQ(odd->front().pid, 0);
    EXPECT_FALSE(odd->front().appId);
    EXPECT_EQ(odd->front().opacity, 1.0);
    EXPECT_EQ(odd->front().content.width, 0);
}

TEST(AppPid, ProgramNamesMatchExecutableOrCommandIgnoringCase) {
    using platform::wlroots::runsAs;
    std::vector<std::string> names{"foot", "gtk3-demo"};
    EXPECT_TRUE(runsAs("/usr/bin/foot", "", names));
    EXPECT_TRUE(runsAs("/usr/bin/Foot", "", names));
    EXPECT_TRUE(runsAs("", "gtk3-demo", names));
    EXPECT_FALSE(runsAs("/usr/bin/footclient", "footclient", names));
    EXPECT_FALSE(runsAs("", "", names));
    // comm keeps 15 bytes of a longer name.
    EXPECT_TRUE(runsAs("", "a-very-long-pro", {"a-very-long-program"}));
}

}  // namespace

// Screencopy copies the screen: a window that another may lie over must not
// be copied, or the picture shows the other window's pixels.
TEST(SwayTree, WindowsOthersMayLieOverAreKnown) {
    using platform::wlroots::mayBeCovered;
    using platform::wlroots::View;
    auto view = [](int64_t id, double x, double y, bool floating, bool focused = false) {
        View v;
        v.id = id;
        v.visible = true;
        v.floating = floating;
        v.focused = focused;
        v.content = {x, y, 400, 300};
        return v;
    };
    std::vector<View> vs = {view(1, 0, 0, false, true), view(2, 600, 0, false),
                            view(3, 100, 100, true), view(4, 150, 150, true)};
    EXPECT_TRUE(mayBeCovered(vs, vs[0]));   // tiled, a floating one over it
    EXPECT_FALSE(mayBeCovered(vs, vs[1]));  // tiled beside, nothing over it
    EXPECT_TRUE(mayBeCovered(vs, vs[2]));   // floating, not focused, another floating one on it
    vs[3].focused = false;
    vs[2].focused = true;
    EXPECT_FALSE(mayBeCovered(vs, vs[2]));  // the focused floating one is raised
    vs[2].visible = vs[3].visible = false;  // both on another workspace
    EXPECT_FALSE(mayBeCovered(vs, vs[0]));
    vs[1].fullscreen = true;
    vs[1].content = {0, 0, 1920, 1080};
    EXPECT_TRUE(mayBeCovered(vs, vs[0]));   // a fullscreen window over the rest
    EXPECT_FALSE(mayBeCovered(vs, vs[1]));
}
