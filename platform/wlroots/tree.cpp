// sway's get_tree reply as an ordered list of views.
#include "platform/wlroots/tree.hpp"

#include <boost/json/parse.hpp>
#include <boost/json/value.hpp>

#include <algorithm>
#include <unordered_map>
#include <cmath>

namespace platform::wlroots {
namespace {

namespace json = boost::json;

// Nesting deeper than this is not a layout a person made.
constexpr unsigned kMaxDepth = 64;

std::optional<double> numberAt(const json::object& o, std::string_view key) {
    const json::value* v = o.if_contains(key);
    if (!v || !v->is_number()) return std::nullopt;
    double d = v->to_number<double>();
    if (!std::isfinite(d)) return std::nullopt;
    return d;
}

std::optional<std::string> stringAt(const json::object& o, std::string_view key) {
    const json::value* v = o.if_contains(key);
    if (!v || !v->is_string()) return std::nullopt;
    return std::string(v->get_string());
}

bool boolAt(const json::object& o, std::string_view key) {
    const json::value* v = o.if_contains(key);
    return v && v->is_bool() && v->get_bool();
}

Rect rectAt(const json::object& o, std::string_view key) {
    Rect r;
    const json::value* v = o.if_contains(key);
    if (!v || !v->is_object()) return r;
    const json::object& ro = v->get_object();
    r.x = numberAt(ro, "x").value_or(0);
    r.y = numberAt(ro, "y").value_or(0);
    r.width = std::max(0.0, numberAt(ro, "width").value_or(0));
    r.height = std::max(0.0, numberAt(ro, "height").value_or(0));
    return r;
}

// The children in `key`, each an object.
std::vector<const json::object*> childrenAt(const json::object& o, std::string_view key) {
    std::vector<const json::object*> out;
    const json::value* v = o.if_contains(key);
    if (!v || !v->is_array()) return out;
    for (const json::value& c : v->get_array())
        if (c.is_object()) out.push_back(&c.get_object());
    return out;
}

// `nodes` sorted by their place in the parent's focus list (most recent
// first); ids not in it keep their order, after those that are.
void byFocus(std::vector<const json::object*>& nodes, const json::object& parent) {
    // Ranks looked up in a map: a hostile tree may list many thousands.
    std::unordered_map<int64_t, size_t> focus;
    if (const json::value* f = parent.if_contains("focus"); f && f->is_array())
        for (const json::value& id : f->get_array())
            if (id.is_int64()) focus.emplace(id.get_int64(), focus.size());
    std::vector<std::pair<size_t, const json::object*>> ranked;
    ranked.reserve(nodes.size());
    for (const json::object* n : nodes) {
        size_t rank = focus.size();
        const json::value* id = n->if_contains("id");
        if (id && id->is_int64())
            if (auto it = focus.find(id->get_int64()); it != focus.end()) rank = it->second;
        ranked.emplace_back(rank, n);
    }
    std::stable_sort(ranked.begin(), ranked.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    for (size_t i = 0; i < nodes.size(); ++i) nodes[i] = ranked[i].second;
}

struct OutputOf {
    std::string name;
    Rect rect;
    double scale = 1;
};

View viewOf(const json::object& n, const OutputOf& out, bool floating) {
    View v;
    if (const json::value* id = n.if_contains("id"); id && id->is_int64()) v.id = id->get_int64();
    if (auto pid = numberAt(n, "pid"); pid && *pid > 0 && *pid <= INT32_MAX) v.pid = int32_t(*pid);
    v.appId = stringAt(n, "app_id");
    if (v.appId && v.appId->empty()) v.appId.reset();
    if (const json::value* p = n.if_contains("window_properties"); p && p->is_object()) {
        auto cls = stringAt(p->get_object(), "class");
        auto instance = stringAt(p->get_object(), "instance");
        if (cls || instance) v.x11Class = apps::WmClass{instance.value_or(""), cls.value_or("")};
    }
    if (auto w = numberAt(n, "window"); w && *w > 0 && *w <= UINT32_MAX) v.x11Window = uint32_t(*w);
    v.title = stringAt(n, "name").value_or("");
    v.focused = boolAt(n, "focused");
    v.visible = boolAt(n, "visible");
    v.floating = floating;
    v.fullscreen = numberAt(n, "fullscreen_mode").value_or(0) > 0;
    if (auto o = numberAt(n, "opacity")) v.opacity = std::clamp(*o, 0.0, 1.0);
    Rect r = rectAt(n, "rect"), w = rectAt(n, "window_rect");
    v.content = {r.x + w.x, r.y + w.y, w.width, w.height};
    v.output = out.name;
    v.outputRect = out.rect;
    v.scale = out.scale;
    return v;
}

bool isView(const json::object& n) {
    auto type = stringAt(n, "type");
    return type && (*type == "con" || *type == "floating_con") && n.contains("shell");
}

void walk(const json::object& n, OutputOf out, bool floating, unsigned depth,
          std::vector<View>& views) {
    if (depth > kMaxDepth) return;
    auto type = stringAt(n, "type").value_or("");
    if (type == "output") {
        out.name = stringAt(n, "name").value_or("");
        out.rect = rectAt(n, "rect");
        double s = numberAt(n, "scale").value_or(1);
        out.scale = s > 0 && s <= 16 ? s : 1;
    }
    if (isView(n)) {
        views.push_back(viewOf(n, out, floating));
        return;
    }
    auto tiled = childrenAt(n, "nodes");
    auto floats = childrenAt(n, "floating_nodes");
    byFocus(tiled, n);
    byFocus(floats, n);
    for (const json::object* c : floats) walk(*c, out, true, depth + 1, views);
    for (const json::object* c : tiled) walk(*c, out, floating, depth + 1, views);
}

}  // namespace

std::optional<std::vector<View>> parseTree(std::string_view text) {
    json::parse_options opts;
    opts.max_depth = kMaxDepth * 2 + 8;  // each level is an object and an array
    boost::system::error_code ec;
    json::value root = json::parse(text, ec, {}, opts);
    if (ec || !root.is_object()) return std::nullopt;
    std::vector<View> views;
    try {
        walk(root.get_object(), OutputOf{}, false, 0, views);
    } catch (const std::exception&) {
        return std::nullopt;
    }
    std::stable_partition(views.begin(), views.end(), [](const View& v) { return v.visible; });
    std::stable_partition(views.begin(), views.end(),
                          [](const View& v) { return v.fullscreen && v.visible; });
    std::stable_partition(views.begin(), views.end(),
                          [](const View& v) { return v.focused && v.visible; });
    return views;
}

namespace {

bool overlap(const Rect& a, const Rect& b) {
    return a.x < b.x + b.width && b.x < a.x + a.width && a.y < b.y + b.height &&
           b.y < a.y + a.height;
}

}  // namespace

bool mayBeCovered(const std::vector<View>& views, const View& v) {
    for (const View& o : views) {
        if (&o == &v || !o.visible || !overlap(o.content, v.content)) continue;
        if (o.fullscreen && !v.fullscreen) return true;
        if (o.floating && !v.floating && !v.fullscreen) return true;
        if (o.floating && v.floating && !v.focused) return true;
    }
    return false;
}

const View* findView(const std::vector<View>& views, int64_t id) {
    for (const View& v : views)
        if (v.id == id) return &v;
    return nullptr;
}

}  // namespace platform::wlroots
