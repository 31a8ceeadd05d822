// The window list over xcb: requests are sent in batches and their replies
// collected afterwards, so a list costs a few round trips, not one per window.
#include "platform/x11/windows.hpp"

#include "platform/platform.hpp"

#include <xcb/res.h>

#include <algorithm>
#include <cstring>
#include <mutex>

namespace platform::x11 {

xcb_get_property_cookie_t askProperty(const Connection& x, xcb_window_t w, xcb_atom_t property,
                                      xcb_atom_t type, uint32_t maxWords) {
    return xcb_get_property(x.c, 0, w, property, type, 0, maxWords);
}

std::optional<Property> takeProperty(const Connection& x, xcb_get_property_cookie_t cookie) {
    xcb_generic_error_t* err = nullptr;
    Reply<xcb_get_property_reply_t> r(xcb_get_property_reply(x.c, cookie, &err));
    std::free(err);
    if (!r || r->type == XCB_NONE || r->format == 0) return std::nullopt;
    // With a type asked for, a mismatch comes back with that type and no value.
    int len = xcb_get_property_value_length(r.get());
    if (len < 0) return std::nullopt;
    Property p;
    p.type = r->type;
    p.format = r->format;
    p.cut = r->bytes_after != 0;
    if (p.format != 8 && p.format != 16 && p.format != 32) return std::nullopt;
    p.bytes.assign(static_cast<const char*>(xcb_get_property_value(r.get())), size_t(len));
    return p;
}

std::optional<Property> readProperty(const Connection& x, xcb_window_t w, xcb_atom_t property,
                                     xcb_atom_t type, uint32_t maxWords) {
    return takeProperty(x, askProperty(x, w, property, type, maxWords));
}

std::vector<uint32_t> words(const Property& p) {
    std::vector<uint32_t> out;
    if (p.format != 32) return out;
    out.resize(p.bytes.size() / 4);
    if (!out.empty()) std::memcpy(out.data(), p.bytes.data(), out.size() * 4);
    return out;
}

namespace {

// A title's first 64 KiB are always kept; what lies past that in one batch's
// titles shares 8 MiB, so windows that will never be chosen cannot make a
// list hold hundreds of megabytes.
constexpr size_t kTitleFree = 64 << 10;
constexpr size_t kTitleAllowance = 8 << 20;

void ration(std::string& title, size_t& spent) {
    if (title.size() <= kTitleFree) return;
    size_t extra = std::min(title.size() - kTitleFree, kTitleAllowance - spent);
    title.resize(kTitleFree + extra);
    title.shrink_to_fit();
    spent += extra;
}

std::optional<xcb_window_t> windowIn(const std::optional<Property>& p) {
    if (!p || p->type != XCB_ATOM_WINDOW) return std::nullopt;
    auto w = words(*p);
    if (w.empty() || w[0] == XCB_NONE) return std::nullopt;
    return w[0];
}

std::optional<WindowKind> kindFor(const Connection& x, xcb_atom_t a) {
    if (a == XCB_NONE) return std::nullopt;
    struct Pair {
        Atom atom;
        WindowKind kind;
    };
    static constexpr Pair kKinds[] = {
        {_NET_WM_WINDOW_TYPE_DESKTOP, WindowKind::desktop},
        {_NET_WM_WINDOW_TYPE_DOCK, WindowKind::dock},
        {_NET_WM_WINDOW_TYPE_TOOLBAR, WindowKind::toolbar},
        {_NET_WM_WINDOW_TYPE_MENU, WindowKind::menu},
        {_NET_WM_WINDOW_TYPE_UTILITY, WindowKind::utility},
        {_NET_WM_WINDOW_TYPE_SPLASH, WindowKind::splash},
        {_NET_WM_WINDOW_TYPE_DIALOG, WindowKind::dialog},
        {_NET_WM_WINDOW_TYPE_DROPDOWN_MENU, WindowKind::menu},
        {_NET_WM_WINDOW_TYPE_POPUP_MENU, WindowKind::menu},
        {_NET_WM_WINDOW_TYPE_TOOLTIP, WindowKind::tooltip},
        {_NET_WM_WINDOW_TYPE_NOTIFICATION, WindowKind::notification},
        {_NET_WM_WINDOW_TYPE_COMBO, WindowKind::menu},
        {_NET_WM_WINDOW_TYPE_DND, WindowKind::dnd},
        {_NET_WM_WINDOW_TYPE_NORMAL, WindowKind::normal},
    };
    for (const Pair& p : kKinds)
        if (x[p.atom] == a) return p.kind;
    return std::nullopt;
}

bool hasResExtension(const Connection& x) {
    const xcb_query_extension_reply_t* ext = xcb_get_extension_data(x.c, &xcb_res_id);
    return ext && ext->present;
}

// One X-Resource query for many windows. The server answers once per client
// (its resource base, not the XID asked about), so answers are matched by the
// client bits of each XID. Send with askClientPids, collect with takeClientPids.
xcb_res_query_client_ids_cookie_t askClientPids(const Connection& x,
                                                const std::vector<xcb_window_t>& ids) {
    std::vector<xcb_res_client_id_spec_t> specs;
    specs.reserve(ids.size());
    for (xcb_window_t w : ids) specs.push_back({w, XCB_RES_CLIENT_ID_MASK_LOCAL_CLIENT_PID});
    return xcb_res_query_client_ids(x.c, uint32_t(specs.size()), specs.data());
}

std::vector<std::optional<uint32_t>> takeClientPids(const Connection& x,
                                                    xcb_res_query_client_ids_cookie_t cookie,
                                                    const std::vector<xcb_window_t>& ids) {
    std::vector<std::optional<uint32_t>> out(ids.size());
    xcb_generic_error_t* err = nullptr;
    Reply<xcb_res_query_client_ids_reply_t> r(xcb_res_query_client_ids_reply(x.c, cookie, &err));
    std::free(err);
    if (!r) return out;
    uint32_t clientBits = ~xcb_get_setup(x.c)->resource_id_mask;
    std::vector<std::pair<uint32_t, uint32_t>> byClient;  // resource base -> pid
    for (auto it = xcb_res_query_client_ids_ids_iterator(r.get()); it.rem;
         xcb_res_client_id_value_next(&it)) {
        if (!(it.data->spec.mask & XCB_RES_CLIENT_ID_MASK_LOCAL_CLIENT_PID)) continue;
        if (xcb_res_client_id_value_value_length(it.data) < 1) continue;
        byClient.emplace_back(it.data->spec.client & clientBits,
                              *xcb_res_client_id_value_value(it.data));
    }
    for (size_t i = 0; i < ids.size(); ++i)
        for (auto& [base, pid] : byClient)
            if ((ids[i] & clientBits) == base) out[i] = pid;
    return out;
}

std::optional<uint32_t> cardinalIn(const std::optional<Property>& p) {
    if (!p || p->type != XCB_ATOM_CARDINAL) return std::nullopt;
    auto w = words(*p);
    if (w.empty()) return std::nullopt;
    return w[0];
}

std::optional<int32_t> pidOf(std::optional<uint32_t> v) {
    if (!v || *v == 0 || *v > uint32_t(INT32_MAX)) return std::nullopt;
    return int32_t(*v);
}

}  // namespace

namespace {

// Root window properties read together with the window manager check: two
// round trips in all. `value` is nothing without an EWMH window manager.
struct RootRead {
    bool ewmh = false;
    std::optional<Property> value;
};
RootRead readRootUnderEwmh(const Connection& x, xcb_atom_t property, uint32_t maxWords) {
    auto checkCookie = askProperty(x, x.root, x[_NET_SUPPORTING_WM_CHECK], XCB_ATOM_WINDOW, 1);
    auto valueCookie = askProperty(x, x.root, property, XCB_ATOM_WINDOW, maxWords);
    auto check = windowIn(takeProperty(x, checkCookie));
    auto value = takeProperty(x, valueCookie);
    RootRead r;
    if (!check) return r;
    auto self = windowIn(readProperty(x, *check, x[_NET_SUPPORTING_WM_CHECK], XCB_ATOM_WINDOW, 1));
    r.ewmh = self && *self == *check;
    if (r.ewmh) r.value = std::move(value);
    return r;
}

}  // namespace

xcb_window_t clientOf(const Connection& x, xcb_window_t topLevel) {
    if (readProperty(x, topLevel, x[WM_STATE], XCB_GET_PROPERTY_TYPE_ANY, 0)) return topLevel;
    xcb_generic_error_t* err = nullptr;
    Reply<xcb_query_tree_reply_t> tree(
        xcb_query_tree_reply(x.c, xcb_query_tree(x.c, topLevel), &err));
    std::free(err);
    if (!tree) return topLevel;
    const xcb_window_t* kids = xcb_query_tree_children(tree.get());
    int n = xcb_query_tree_children_length(tree.get());
    std::vector<xcb_get_property_cookie_t> cookies;
    for (int i = 0; i < n; ++i)
        cookies.push_back(askProperty(x, kids[i], x[WM_STATE], XCB_GET_PROPERTY_TYPE_ANY, 0));
    xcb_window_t found = topLevel;
    for (int i = 0; i < n; ++i)
        if (takeProperty(x, cookies[size_t(i)]) && found == topLevel) found = kids[i];
    return found;
}

namespace {

// How deep below a top-level window its client is looked for: window
// managers put the client in the frame or one or two windows further down.
constexpr int kClientDepth = 3;

// Which top-level holds each managed client, as last found on one
// connection: a window manager keeps a client in the same frame while it
// manages it, so only clients new to the list are looked up again.
struct Frames {
    std::mutex lock;
    uint64_t serial = 0;
    std::vector<std::pair<xcb_window_t, xcb_window_t>> byClient;  // (client, top), sorted
};
Frames& frames() {
    static auto* f = new Frames;
    return *f;
}

// The top-level window (child of the root) holding each of `clients`, as
// (top-level, client) pairs sorted by top-level: one round trip a level for
// the clients not seen before on this connection.
std::vector<std::pair<xcb_window_t, xcb_window_t>> topsOf(const Connection& x,
                                                          const std::vector<uint32_t>& clients) {
    std::vector<std::pair<xcb_window_t, xcb_window_t>> out;
    struct Walk {
        xcb_window_t client, at;
    };
    std::vector<Walk> walks;
    std::vector<std::pair<xcb_window_t, xcb_window_t>> known;
    {
        Frames& f = frames();
        std::lock_guard guard(f.lock);
        if (f.serial == x.serial) known = f.byClient;
    }
    for (uint32_t c : clients) {
        if (c == XCB_NONE) continue;
        auto k = std::lower_bound(known.begin(), known.end(), c,
                                  [](const auto& pair, xcb_window_t w) { return pair.first < w; });
        if (k != known.end() && k->first == c) out.emplace_back(k->second, c);
        else walks.push_back({c, c});
    }
    for (int depth = 0; depth <= kClientDepth && !walks.empty(); ++depth) {
        std::vector<xcb_query_tree_cookie_t> trees;
        trees.reserve(walks.size());
        for (const Walk& w : walks) trees.push_back(xcb_query_tree(x.c, w.at));
        std::vector<Walk> next;
        for (size_t i = 0; i < walks.size(); ++i) {
            xcb_generic_error_t* err = nullptr;
            Reply<xcb_query_tree_reply_t> tree(xcb_query_tree_reply(x.c, trees[i], &err));
            std::free(err);
            if (!tree || tree->parent == XCB_NONE) continue;
            if (tree->parent == x.root) out.emplace_back(walks[i].at, walks[i].client);
            else next.push_back({walks[i].client, tree->parent});
        }
        walks = std::move(next);
    }
    {
        // Clients no longer managed are dropped with the rest of the old map.
        std::vector<std::pair<xcb_window_t, xcb_window_t>> byClient;
        for (auto& [top, client] : out) byClient.emplace_back(client, top);
        std::sort(byClient.begin(), byClient.end());
        Frames& f = frames();
        std::lock_guard guard(f.lock);
        f.serial = x.serial;
        f.byClient = std::move(byClient);
    }
    std::stable_sort(out.begin(), out.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    return out;
}

// The client of each viewable top-level window: itself when it carries
// WM_STATE, else the managed client it holds by `known` (top-level, client
// pairs sorted by top-level), else the first window below it (breadth first,
// kClientDepth levels, two round trips a level) that carries WM_STATE; a
// top-level with none below is kept as it is (an unmanaged or
// override-redirect window). Unmapped top-levels are left out, but for the
// frames of managed clients, which are not asked about.
std::vector<xcb_window_t> viewableClientsOf(
    const Connection& x, const std::vector<xcb_window_t>& tops,
    const std::vector<std::pair<xcb_window_t, xcb_window_t>>& known) {
    std::vector<xcb_window_t> client(tops.size(), XCB_NONE);
    std::vector<bool> viewable(tops.size(), false);
    // A managed client's frame costs nothing more: whether it is on screen is
    // the client's own map state, which every reader of the list checks.
    std::vector<size_t> asked;
    for (size_t i = 0; i < tops.size(); ++i) {
        auto k = std::lower_bound(known.begin(), known.end(), tops[i],
                                  [](const auto& pair, xcb_window_t w) { return pair.first < w; });
        if (k != known.end() && k->first == tops[i]) {
            client[i] = k->second;
            viewable[i] = true;
        } else {
            asked.push_back(i);
        }
    }
    std::vector<xcb_get_window_attributes_cookie_t> attrs;
    std::vector<xcb_get_property_cookie_t> states;
    attrs.reserve(asked.size());
    states.reserve(asked.size());
    for (size_t i : asked) {
        attrs.push_back(xcb_get_window_attributes(x.c, tops[i]));
        states.push_back(askProperty(x, tops[i], x[WM_STATE], XCB_GET_PROPERTY_TYPE_ANY, 0));
    }
    struct Pending {
        size_t top;
        xcb_window_t window;
    };
    std::vector<Pending> pending;
    for (size_t n = 0; n < asked.size(); ++n) {
        size_t i = asked[n];
        xcb_generic_error_t* err = nullptr;
        Reply<xcb_get_window_attributes_reply_t> a(
            xcb_get_window_attributes_reply(x.c, attrs[n], &err));
        std::free(err);
        bool hasState = takeProperty(x, states[n]).has_value();
        if (!a || a->map_state != XCB_MAP_STATE_VIEWABLE) continue;
        viewable[i] = true;
        if (hasState) client[i] = tops[i];
        else pending.push_back({i, tops[i]});
    }
    for (int depth = 0; depth < kClientDepth && !pending.empty(); ++depth) {
        std::vector<xcb_query_tree_cookie_t> trees;
        trees.reserve(pending.size());
        for (const Pending& p : pending) trees.push_back(xcb_query_tree(x.c, p.window));
        struct Kid {
            size_t top;
            xcb_window_t id;
            xcb_get_property_cookie_t state;
        };
        std::vector<Kid> kids;
        for (size_t k = 0; k < pending.size(); ++k) {
            xcb_generic_error_t* err = nullptr;
            Reply<xcb_query_tree_reply_t> tree(xcb_query_tree_reply(x.c, trees[k], &err));
            std::free(err);
            if (!tree) continue;
            const xcb_window_t* ids = xcb_query_tree_children(tree.get());
            int n = xcb_query_tree_children_length(tree.get());
            for (int c = 0; c < n; ++c)
                kids.push_back({pending[k].top, ids[c],
                                askProperty(x, ids[c], x[WM_STATE], XCB_GET_PROPERTY_TYPE_ANY, 0)});
        }
        pending.clear();
        for (Kid& k : kids) {
            bool hasState = takeProperty(x, k.state).has_value();
            if (client[k.top] != XCB_NONE) continue;
            if (hasState) client[k.top] = k.id;
            else pending.push_back({k.top, k.id});
        }
        // A child found further down for a top that has one now is dropped.
        std::erase_if(pending, [&](const Pending& p) { return client[p.top] != XCB_NONE; });
    }
    std::vector<xcb_window_t> out;
    for (size_t i = 0; i < tops.size(); ++i)
        if (viewable[i]) out.push_back(client[i] != XCB_NONE ? client[i] : tops[i]);
    return out;
}

}  // namespace

std::vector<xcb_window_t> clientsTopFirst(const Connection& x) {
    std::vector<xcb_window_t> out;
    auto treeCookie = xcb_query_tree(x.c, x.root);
    auto listCookie = askProperty(x, x.root, x[_NET_CLIENT_LIST], XCB_ATOM_WINDOW, 1u << 16);
    xcb_generic_error_t* err = nullptr;
    Reply<xcb_query_tree_reply_t> tree(xcb_query_tree_reply(x.c, treeCookie, &err));
    std::free(err);
    auto managed = takeProperty(x, listCookie);
    if (!tree) return out;
    const xcb_window_t* kids = xcb_query_tree_children(tree.get());
    int n = xcb_query_tree_children_length(tree.get());
    std::vector<xcb_window_t> tops;
    tops.reserve(size_t(n));
    for (int i = n - 1; i >= 0; --i) tops.push_back(kids[i]);
    std::vector<uint32_t> clients = managed ? words(*managed) : std::vector<uint32_t>{};
    out = viewableClientsOf(x, tops, topsOf(x, clients));
    // Managed clients the tree did not show (unmapped: minimised, on another
    // workspace) go last, so a process's windows are all known; they are not
    // on screen, which the window records and capture check for themselves.
    if (!clients.empty()) {
        std::vector<xcb_window_t> seen = out;
        std::sort(seen.begin(), seen.end());
        bool missing = false;
        for (uint32_t w : clients)
            if (w != XCB_NONE && !std::binary_search(seen.begin(), seen.end(), w)) {
                out.push_back(w);
                missing = true;
            }
        if (missing) {  // a frame may have changed: the next list looks again
            Frames& f = frames();
            std::lock_guard guard(f.lock);
            f.serial = 0;
        }
    }
    return out;
}

std::vector<RawWindow> rawWindows(const Connection& x, const std::vector<xcb_window_t>& ids) {
    struct Ask {
        xcb_get_window_attributes_cookie_t attrs;
        xcb_get_geometry_cookie_t geometry;
        xcb_translate_coordinates_cookie_t origin;
        xcb_get_property_cookie_t type, state, opacity, netName, extents;
    };
    bool res = hasResExtension(x);
    std::vector<Ask> asks(ids.size());
    for (size_t i = 0; i < ids.size(); ++i) {
        xcb_window_t w = ids[i];
        Ask& a = asks[i];
        a.attrs = xcb_get_window_attributes(x.c, w);
        a.geometry = xcb_get_geometry(x.c, w);
        a.origin = xcb_translate_coordinates(x.c, w, x.root, 0, 0);
        a.type = askProperty(x, w, x[_NET_WM_WINDOW_TYPE], XCB_ATOM_ATOM, 64);
        a.state = askProperty(x, w, x[_NET_WM_STATE], XCB_ATOM_ATOM, 64);
        a.opacity = askProperty(x, w, x[_NET_WM_WINDOW_OPACITY], XCB_ATOM_CARDINAL, 1);
        a.netName = askProperty(x, w, x[_NET_WM_NAME], XCB_GET_PROPERTY_TYPE_ANY, kMaxTextWords);
        a.extents = askProperty(x, w, x[_GTK_FRAME_EXTENTS], XCB_ATOM_CARDINAL, 4);
    }
    xcb_res_query_client_ids_cookie_t resCookie{};
    if (res && !ids.empty()) resCookie = askClientPids(x, ids);

    std::vector<RawWindow> out;
    size_t titleSpent = 0;
    std::vector<bool> keep(ids.size(), false);
    std::vector<RawWindow> all(ids.size());
    for (size_t i = 0; i < ids.size(); ++i) {
        Ask& a = asks[i];
        RawWindow& raw = all[i];
        raw.id = ids[i];
        xcb_generic_error_t* err = nullptr;
        Reply<xcb_get_window_attributes_reply_t> attrs(
            xcb_get_window_attributes_reply(x.c, a.attrs, &err));
        std::free(err);
        err = nullptr;
        Reply<xcb_get_geometry_reply_t> geo(xcb_get_geometry_reply(x.c, a.geometry, &err));
        std::free(err);
        err = nullptr;
        Reply<xcb_translate_coordinates_reply_t> origin(
            xcb_translate_coordinates_reply(x.c, a.origin, &err));
        std::free(err);
        auto type = takeProperty(x, a.type);
        auto state = takeProperty(x, a.state);
        auto opacity = takeProperty(x, a.opacity);
        auto netName = takeProperty(x, a.netName);
        auto extents = takeProperty(x, a.extents);

        if (!attrs || attrs->map_state != XCB_MAP_STATE_VIEWABLE ||
            attrs->_class == XCB_WINDOW_CLASS_INPUT_ONLY)
            continue;
        keep[i] = true;
        raw.overrideRedirect = attrs->override_redirect != 0;
        if (type) {
            raw.typed = true;
            for (uint32_t atom : words(*type))
                if (auto k = kindFor(x, atom)) raw.kinds.push_back(*k);
        }
        if (state) {
            for (uint32_t atom : words(*state)) {
                if (atom == XCB_NONE) continue;
                if (atom == x[_NET_WM_STATE_ABOVE]) raw.above = true;
                if (atom == x[_NET_WM_STATE_HIDDEN]) raw.hidden = true;
            }
        }
        raw.opacity = cardinalIn(opacity);
        // An empty _NET_WM_NAME says nothing; WM_NAME may.
        if (netName && netName->format == 8 && !netName->bytes.empty()) {
            ration(netName->bytes, titleSpent);
            raw.netName = std::move(netName->bytes);
        }
        if (geo && origin) {
            Bounds v = visibleArea(geo->width, geo->height,
                                   extents ? words(*extents) : std::vector<uint32_t>{});
            raw.bounds = Bounds{double(origin->dst_x) + v.x, double(origin->dst_y) + v.y, v.width,
                                v.height};
        }
    }
    if (res && !ids.empty()) {
        auto pids = takeClientPids(x, resCookie, ids);
        for (size_t i = 0; i < ids.size(); ++i) all[i].resPid = pids[i];
    }

    // WM_NAME where _NET_WM_NAME is missing, _NET_WM_PID where X-Resource
    // told nothing: one more batch, usually empty.
    std::vector<std::pair<size_t, xcb_get_property_cookie_t>> names, pids;
    for (size_t i = 0; i < ids.size(); ++i) {
        if (!keep[i]) continue;
        if (!all[i].netName)
            names.emplace_back(i, askProperty(x, ids[i], XCB_ATOM_WM_NAME, XCB_GET_PROPERTY_TYPE_ANY,
                                              kMaxTextWords));
        if (!pidOf(all[i].resPid))
            pids.emplace_back(i, askProperty(x, ids[i], x[_NET_WM_PID], XCB_ATOM_CARDINAL, 1));
    }
    for (auto& [i, cookie] : names) {
        auto p = takeProperty(x, cookie);
        if (!p || p->format != 8) continue;
        all[i].wmNameLatin1 = p->type == XCB_ATOM_STRING;
        ration(p->bytes, titleSpent);
        all[i].wmName = std::move(p->bytes);
    }
    for (auto& [i, cookie] : pids) all[i].netPid = cardinalIn(takeProperty(x, cookie));
    for (size_t i = 0; i < ids.size(); ++i)
        if (keep[i]) out.push_back(std::move(all[i]));
    return out;
}

std::vector<std::optional<Bounds>> visibleAreas(const Connection& x,
                                                const std::vector<xcb_window_t>& ids) {
    std::vector<xcb_get_geometry_cookie_t> geometry;
    std::vector<xcb_get_property_cookie_t> extents;
    for (xcb_window_t w : ids) {
        geometry.push_back(xcb_get_geometry(x.c, w));
        extents.push_back(askProperty(x, w, x[_GTK_FRAME_EXTENTS], XCB_ATOM_CARDINAL, 4));
    }
    std::vector<std::optional<Bounds>> out(ids.size());
    for (size_t i = 0; i < ids.size(); ++i) {
        xcb_generic_error_t* err = nullptr;
        Reply<xcb_get_geometry_reply_t> geo(xcb_get_geometry_reply(x.c, geometry[i], &err));
        std::free(err);
        auto e = takeProperty(x, extents[i]);
        if (geo) out[i] = visibleArea(geo->width, geo->height, e ? words(*e) : std::vector<uint32_t>{});
    }
    return out;
}

std::vector<std::optional<int32_t>> ownerPids(const Connection& x,
                                              const std::vector<xcb_window_t>& ids) {
    // X-Resource answers for the client slot an XID belongs to, window or not:
    // a window that is gone would name whoever holds the slot now.
    bool res = hasResExtension(x);
    std::vector<std::optional<int32_t>> out(ids.size());
    if (ids.empty()) return out;
    std::vector<xcb_get_geometry_cookie_t> alive(ids.size());
    std::vector<xcb_get_property_cookie_t> netCookies(ids.size());
    for (size_t i = 0; i < ids.size(); ++i) {
        alive[i] = xcb_get_geometry(x.c, ids[i]);
        netCookies[i] = askProperty(x, ids[i], x[_NET_WM_PID], XCB_ATOM_CARDINAL, 1);
    }
    std::vector<std::optional<uint32_t>> fromRes(ids.size());
    if (res) fromRes = takeClientPids(x, askClientPids(x, ids), ids);
    for (size_t i = 0; i < ids.size(); ++i) {
        xcb_generic_error_t* err = nullptr;
        Reply<xcb_get_geometry_reply_t> geo(xcb_get_geometry_reply(x.c, alive[i], &err));
        std::free(err);
        auto fromNet = pidOf(cardinalIn(takeProperty(x, netCookies[i])));
        auto r = pidOf(fromRes[i]);
        if (geo) out[i] = r ? r : fromNet;
    }
    return out;
}

std::optional<int32_t> ownerPid(const Connection& x, xcb_window_t w) {
    return ownerPids(x, {w}).front();
}

std::optional<WmClass> wmClassOf(const Connection& x, xcb_window_t w) {
    auto p = readProperty(x, w, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 256);
    if (!p || p->format != 8) return std::nullopt;
    return parseWmClass(p->bytes);
}

std::optional<xcb_window_t> activeWindow(const Connection& x) {
    RootRead active = readRootUnderEwmh(x, x[_NET_ACTIVE_WINDOW], 1);
    if (active.ewmh) return windowIn(active.value);
    xcb_generic_error_t* err = nullptr;
    Reply<xcb_get_input_focus_reply_t> focus(
        xcb_get_input_focus_reply(x.c, xcb_get_input_focus(x.c), &err));
    std::free(err);
    if (!focus || focus->focus == XCB_NONE || focus->focus == XCB_INPUT_FOCUS_POINTER_ROOT ||
        focus->focus == x.root)
        return std::nullopt;
    // Climb to the child of the root that holds the focus window.
    xcb_window_t w = focus->focus;
    for (int depth = 0; depth < 64; ++depth) {
        err = nullptr;
        Reply<xcb_query_tree_reply_t> tree(xcb_query_tree_reply(x.c, xcb_query_tree(x.c, w), &err));
        std::free(err);
        if (!tree) return std::nullopt;
        if (tree->parent == x.root) return clientOf(x, w);
        if (tree->parent == XCB_NONE) return std::nullopt;
        w = tree->parent;
    }
    return std::nullopt;
}

ConnectionRef liveConnection() {
    for (int attempt = 0; attempt < 2; ++attempt) {
        ConnectionRef x = connection();
        if (!x) return nullptr;
        xcb_generic_error_t* err = nullptr;
        Reply<xcb_get_input_focus_reply_t> r(
            xcb_get_input_focus_reply(x->c, xcb_get_input_focus(x->c), &err));
        std::free(err);
        if (r && !x->broken()) return x;
    }
    return nullptr;
}

std::optional<std::vector<uint32_t>> windowStack() {
    ConnectionRef x = connection();
    if (!x) return std::nullopt;
    std::vector<xcb_window_t> ids = clientsTopFirst(*x);
    if (x->broken()) return std::nullopt;
    return ids;
}

std::vector<WindowRecord> windowRecords(const std::vector<uint32_t>& numbers) {
    std::vector<WindowRecord> out;
    ConnectionRef x = connection();
    if (!x || numbers.empty()) return out;
    std::vector<RawWindow> raws = rawWindows(*x, numbers);
    out.reserve(raws.size());
    for (const RawWindow& raw : raws)
        if (listed(raw)) out.push_back(windowRecord(raw));
    return out;
}

}  // namespace platform::x11
