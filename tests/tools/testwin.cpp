// A scriptable X client for the tests: opens and changes windows on command.
//
// Reads one command per line on stdin and answers each on stdout with "ok",
// "ok <xid>" or "error <why>":
//   open NAME [title=T] [w=W] [h=H] [x=X] [y=Y] [color=RRGGBB] [opacity=F]
//             [type=normal|dialog|utility|dock|desktop|splash|tooltip]
//             [pid=N|none] [class=INSTANCE.CLASS] [icon=WxH[:claimWxH]]
//             [pattern=solid|lines|halves] [state=hidden|above]
//   title NAME TEXT...        (TEXT may hold any bytes but line feed)
//   resize NAME W H
//   color NAME RRGGBB
//   raise NAME | activate NAME | unmap NAME | map NAME | close NAME
//   sync                      (round trip to the server)
//   freeze | thaw             (stop and resume repainting on Expose, as a
//                              hung application would)
//   icon NAME WxH[:claimWxH]  (replaces _NET_WM_ICON)
//   wmname NAME TEXT...       (WM_NAME alone, as STRING bytes; no _NET_WM_NAME)
// Titles are set as both _NET_WM_NAME and WM_NAME. The window is painted on
// every Expose with its colour or pattern.
#include <xcb/xcb.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <poll.h>
#include <unistd.h>
#include <vector>

namespace {

xcb_connection_t* c;
xcb_screen_t* screen;

xcb_atom_t atom(const char* name) {
    auto* r = xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, uint16_t(strlen(name)), name), nullptr);
    xcb_atom_t a = r ? r->atom : 0;
    free(r);
    return a;
}

struct Win {
    xcb_window_t id = 0;
    xcb_gcontext_t gc = 0;
    uint32_t color = 0x808080;
    std::string pattern = "solid";
    int w = 400, h = 300;
};
std::map<std::string, Win> windows;
bool frozen = false;

// Returns once the server has handled every request sent before.
void roundTrip() { free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr)); }

void setProp(xcb_window_t w, const char* name, const char* type, int format,
             const void* data, uint32_t count) {
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, w, atom(name), atom(type), uint8_t(format),
                        count, data);
}

void paint(Win& w) {
    auto fill = [&](uint32_t rgb, int x, int y, int ww, int hh) {
        uint32_t v = rgb;
        xcb_change_gc(c, w.gc, XCB_GC_FOREGROUND, &v);
        xcb_rectangle_t r{int16_t(x), int16_t(y), uint16_t(ww), uint16_t(hh)};
        xcb_poly_fill_rectangle(c, w.id, w.gc, 1, &r);
    };
    if (w.pattern == "lines") {
        // One-pixel black and white vertical lines: aliases under a poor scaler.
        for (int x = 0; x < w.w; ++x) fill(x % 2 ? 0xFFFFFF : 0x000000, x, 0, 1, w.h);
    } else if (w.pattern == "halves") {
        fill(w.color, 0, 0, w.w / 2, w.h);
        fill(0xFFFFFF ^ w.color, w.w / 2, 0, w.w - w.w / 2, w.h);
    } else {
        fill(w.color, 0, 0, w.w, w.h);
    }
}

void setTitle(Win& w, const std::string& title) {
    setProp(w.id, "_NET_WM_NAME", "UTF8_STRING", 8, title.data(), uint32_t(title.size()));
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, w.id, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, 8,
                        uint32_t(title.size()), title.data());
}

void setIcon(Win& w, const std::string& size) {
    // WxH of real pixels, optionally claiming another size in the header.
    int iw = 0, ih = 0, cw = -1, ch = -1;
    if (sscanf(size.c_str(), "%dx%d:%dx%d", &iw, &ih, &cw, &ch) < 2) return;
    if (cw < 0) cw = iw, ch = ih;
    std::vector<uint32_t> data = {uint32_t(cw), uint32_t(ch)};
    for (int y = 0; y < ih; ++y)
        for (int x = 0; x < iw; ++x)
            data.push_back((x < iw / 2 ? 0xFFFF0000u : 0xFF0000FFu) & (y < ih / 2 ? ~0u : 0x80FFFFFFu));
    setProp(w.id, "_NET_WM_ICON", "CARDINAL", 32, data.data(), uint32_t(data.size()));
}

void activate(const Win& w) {
    xcb_client_message_event_t ev{};
    ev.response_type = XCB_CLIENT_MESSAGE;
    ev.format = 32;
    ev.window = w.id;
    ev.type = atom("_NET_ACTIVE_WINDOW");
    ev.data.data32[0] = 2;  // from a pager: honoured at once
    ev.data.data32[1] = XCB_CURRENT_TIME;
    xcb_send_event(c, 0, screen->root,
                   XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                   reinterpret_cast<const char*>(&ev));
}

void drain() {
    while (xcb_generic_event_t* e = xcb_poll_for_event(c)) {
        if ((e->response_type & 0x7f) == XCB_EXPOSE) {
            auto* ex = reinterpret_cast<xcb_expose_event_t*>(e);
            for (auto& [n, w] : windows)
                if (w.id == ex->window && ex->count == 0 && !frozen) paint(w);
        }
        free(e);
    }
    xcb_flush(c);
}

// Waits until the window is mapped and viewable, five seconds at most.
bool waitMapped(xcb_window_t id) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    for (;;) {
        xcb_generic_event_t* e = xcb_poll_for_event(c);
        if (!e) {
            if (xcb_connection_has_error(c) || std::chrono::steady_clock::now() > deadline)
                return false;
            pollfd p{xcb_get_file_descriptor(c), POLLIN, 0};
            poll(&p, 1, 50);
            continue;
        }
        uint8_t t = e->response_type & 0x7f;
        bool done = t == XCB_MAP_NOTIFY && reinterpret_cast<xcb_map_notify_event_t*>(e)->window == id;
        if (t == XCB_EXPOSE) {
            auto* ex = reinterpret_cast<xcb_expose_event_t*>(e);
            for (auto& [n, w] : windows)
                if (w.id == ex->window) paint(w);
        }
        free(e);
        if (done) break;
    }
    // The window manager maps its frame after the window: wait until the
    // window can be seen, so that what is painted next reaches the screen.
    while (std::chrono::steady_clock::now() < deadline) {
        auto* a = xcb_get_window_attributes_reply(c, xcb_get_window_attributes(c, id), nullptr);
        bool viewable = a && a->map_state == XCB_MAP_STATE_VIEWABLE;
        free(a);
        if (viewable) return true;
        poll(nullptr, 0, 5);
    }
    return false;
}

std::string open(std::istringstream& in) {
    std::string name, kv;
    in >> name;
    if (name.empty() || windows.count(name)) return "error name";
    Win w;
    std::map<std::string, std::string> opt;
    while (in >> kv) {
        auto eq = kv.find('=');
        if (eq != std::string::npos) opt[kv.substr(0, eq)] = kv.substr(eq + 1);
    }
    if (opt.count("w")) w.w = std::stoi(opt["w"]);
    if (opt.count("h")) w.h = std::stoi(opt["h"]);
    if (opt.count("color")) w.color = uint32_t(std::stoul(opt["color"], nullptr, 16));
    if (opt.count("pattern")) w.pattern = opt["pattern"];
    int x = opt.count("x") ? std::stoi(opt["x"]) : 50, y = opt.count("y") ? std::stoi(opt["y"]) : 50;
    w.id = xcb_generate_id(c);
    uint32_t values[] = {screen->black_pixel,
                         XCB_EVENT_MASK_EXPOSURE | XCB_EVENT_MASK_STRUCTURE_NOTIFY};
    xcb_create_window(c, XCB_COPY_FROM_PARENT, w.id, screen->root, int16_t(x), int16_t(y),
                      uint16_t(w.w), uint16_t(w.h), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                      screen->root_visual, XCB_CW_BACK_PIXEL | XCB_CW_EVENT_MASK, values);
    w.gc = xcb_generate_id(c);
    xcb_create_gc(c, w.gc, w.id, 0, nullptr);
    setTitle(w, opt.count("title") ? opt["title"] : name);
    std::string cls = opt.count("class") ? opt["class"] : "testwin.Testwin";
    auto dot = cls.find('.');
    std::string wmClass = cls.substr(0, dot) + '\0' + (dot == std::string::npos ? cls : cls.substr(dot + 1)) + '\0';
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, w.id, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 8,
                        uint32_t(wmClass.size()), wmClass.data());
    std::string pid = opt.count("pid") ? opt["pid"] : std::to_string(getpid());
    if (pid != "none") {
        uint32_t p = uint32_t(std::stoul(pid));
        setProp(w.id, "_NET_WM_PID", "CARDINAL", 32, &p, 1);
    }
    if (opt.count("opacity")) {
        uint32_t o = uint32_t(std::stod(opt["opacity"]) * 4294967295.0);
        setProp(w.id, "_NET_WM_WINDOW_OPACITY", "CARDINAL", 32, &o, 1);
    }
    if (opt.count("type")) {
        std::string t = "_NET_WM_WINDOW_TYPE_" + opt["type"];
        for (auto& ch : t) ch = char(toupper(ch));
        xcb_atom_t a = atom(t.c_str());
        setProp(w.id, "_NET_WM_WINDOW_TYPE", "ATOM", 32, &a, 1);
    }
    if (opt.count("state")) {
        // Written by the client itself: only stays so without a window manager.
        std::string st = "_NET_WM_STATE_" + opt["state"];
        for (auto& ch : st) ch = char(toupper(ch));
        xcb_atom_t a = atom(st.c_str());
        setProp(w.id, "_NET_WM_STATE", "ATOM", 32, &a, 1);
    }
    if (opt.count("icon")) setIcon(w, opt["icon"]);
    windows[name] = w;
    xcb_map_window(c, w.id);
    xcb_flush(c);
    if (!waitMapped(w.id)) return "error not mapped " + std::to_string(w.id);
    paint(windows[name]);
    roundTrip();  // drawn when we answer
    return "ok " + std::to_string(w.id);
}

std::string run(const std::string& line) {
    std::istringstream in(line);
    std::string cmd, name;
    in >> cmd;
    if (cmd == "open") return open(in);
    if (cmd == "freeze" || cmd == "thaw") {
        frozen = cmd == "freeze";
        return "ok";
    }
    if (cmd == "sync") {
        roundTrip();
        return "ok";
    }
    in >> name;
    auto it = windows.find(name);
    if (it == windows.end()) return "error no window " + name;
    Win& w = it->second;
    if (cmd == "title") {
        auto start = line.find(name, cmd.size()) + name.size() + 1;
        setTitle(w, start <= line.size() ? line.substr(start) : "");
    } else if (cmd == "resize") {
        in >> w.w >> w.h;
        uint32_t v[] = {uint32_t(w.w), uint32_t(w.h)};
        xcb_configure_window(c, w.id, XCB_CONFIG_WINDOW_WIDTH | XCB_CONFIG_WINDOW_HEIGHT, v);
    } else if (cmd == "color") {
        std::string hex;
        in >> hex;
        w.color = uint32_t(std::stoul(hex, nullptr, 16));
        paint(w);
    } else if (cmd == "raise") {
        uint32_t v = XCB_STACK_MODE_ABOVE;
        xcb_configure_window(c, w.id, XCB_CONFIG_WINDOW_STACK_MODE, &v);
    } else if (cmd == "activate") {
        activate(w);
    } else if (cmd == "unmap") {
        xcb_unmap_window(c, w.id);
    } else if (cmd == "map") {
        xcb_map_window(c, w.id);
    } else if (cmd == "icon") {
        std::string size;
        in >> size;
        setIcon(w, size);
    } else if (cmd == "wmname") {
        auto start = line.find(name, cmd.size()) + name.size() + 1;
        std::string text = start <= line.size() ? line.substr(start) : "";
        xcb_delete_property(c, w.id, atom("_NET_WM_NAME"));
        xcb_change_property(c, XCB_PROP_MODE_REPLACE, w.id, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, 8,
                            uint32_t(text.size()), text.data());
    } else if (cmd == "close") {
        xcb_destroy_window(c, w.id);
        windows.erase(it);
    } else {
        return "error unknown " + cmd;
    }
    roundTrip();
    return "ok";
}

}  // namespace

int main() {
    c = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(c)) {
        std::cout << "error connect" << std::endl;
        return 1;
    }
    screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    std::cout << "ready " << getpid() << std::endl;
    // Like any client, repaint on Expose while idle too, not only between
    // commands.
    std::string pending;
    for (;;) {
        drain();
        pollfd fds[2] = {{0, POLLIN, 0}, {xcb_get_file_descriptor(c), POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) continue;
        if (xcb_connection_has_error(c)) return 1;
        if (!(fds[0].revents & (POLLIN | POLLHUP))) continue;
        char buf[4096];
        ssize_t n = read(0, buf, sizeof buf);
        if (n <= 0) return 0;
        pending.append(buf, size_t(n));
        for (size_t nl; (nl = pending.find('\n')) != std::string::npos;) {
            std::string line = pending.substr(0, nl);
            pending.erase(0, nl + 1);
            drain();
            std::cout << run(line) << std::endl;
        }
    }
}
