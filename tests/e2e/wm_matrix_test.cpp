// The X11 backend under several real window managers: the same scenarios
// (front and capture of one window, a covered window, the host fallback)
// under openbox, xfwm4 with its compositor, i3 and openbox beside picom;
// a client-side-decorated GTK window on xfwm4; icons from SVG and XPM
// entries and from WM_HINTS pixmaps.
#include "platform/codec/png.hpp"
#include "tests/harness/companion.hpp"
#include "tests/harness/display.hpp"
#include "tests/harness/testwin.hpp"

#include <boost/json/serialize.hpp>
#include <gtest/gtest.h>
#include <turbojpeg.h>
#include <xcb/xcb.h>

#include <filesystem>
#include <fstream>
#include <thread>
#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

namespace {

namespace json = boost::json;
namespace fs = std::filesystem;
using harness::Companion;
using harness::TestWin;
using harness::Wm;
using namespace std::chrono_literals;

std::string unbase64(std::string_view text) {
    static const std::string kAlphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    uint32_t acc = 0;
    int bits = 0;
    for (char ch : text) {
        if (ch == '=') break;
        acc = acc << 6 | uint32_t(kAlphabet.find(ch));
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(char(acc >> bits & 0xFF));
        }
    }
    return out;
}

// One X connection of the test's own, for what the window manager did.
struct X {
    explicit X(const std::string& display) : c(xcb_connect(display.c_str(), nullptr)) {
        root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
    }
    ~X() { xcb_disconnect(c); }
    xcb_atom_t atom(const char* name) {
        auto* a = xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, uint16_t(strlen(name)), name), nullptr);
        xcb_atom_t v = a ? a->atom : 0;
        free(a);
        return v;
    }
    std::vector<uint32_t> words(xcb_window_t w, const char* name) {
        std::vector<uint32_t> out;
        auto* p = xcb_get_property_reply(c, xcb_get_property(c, 0, w, atom(name), XCB_GET_PROPERTY_TYPE_ANY, 0, 64), nullptr);
        if (p && p->format == 32) {
            auto* v = static_cast<uint32_t*>(xcb_get_property_value(p));
            out.assign(v, v + xcb_get_property_value_length(p) / 4);
        }
        free(p);
        return out;
    }
    uint32_t active() {
        auto w = words(root, "_NET_ACTIVE_WINDOW");
        return w.empty() ? 0 : w[0];
    }
    bool waitActive(uint32_t window) {
        for (int i = 0; i < 250; ++i) {
            if (active() == window) return true;
            usleep(20000);
        }
        return false;
    }
    std::pair<int, int> size(xcb_window_t w) {
        auto* g = xcb_get_geometry_reply(c, xcb_get_geometry(c, w), nullptr);
        std::pair<int, int> s = g ? std::pair<int, int>{g->width, g->height} : std::pair<int, int>{0, 0};
        free(g);
        return s;
    }
    xcb_connection_t* c;
    xcb_window_t root;
};

json::object front(Companion& c, std::optional<int64_t> dovk = std::nullopt) {
    static int64_t next = 1;
    json::object req{{"cmd", "front"}, {"id", next++}};
    if (dovk) req["dovk"] = *dovk;
    return c.ask(req);
}

int64_t pidIn(const json::object& r) { return r.contains("app") ? r.at("app").at("pid").as_int64() : 0; }

json::object frontUntil(Companion& c, int64_t pid) {
    json::object r;
    for (int i = 0; i < 150; ++i) {
        r = front(c);
        if (pidIn(r) == pid && r.contains("window")) break;
        std::this_thread::sleep_for(40ms);
    }
    return r;
}

struct Picture {
    int w = 0, h = 0;
    std::vector<uint8_t> rgb;
    uint32_t at(int x, int y) const {
        const uint8_t* p = &rgb[(size_t(y) * size_t(w) + size_t(x)) * 3];
        return uint32_t(p[0]) << 16 | uint32_t(p[1]) << 8 | p[2];
    }
};

Picture capture(Companion& c, uint32_t window, double edge = 4096) {
    static int64_t next = 1;
    auto r = c.ask({{"cmd", "capture"}, {"id", next++}, {"window", window}, {"edge", edge}}, 20s);
    Picture p;
    if (!r.contains("jpeg")) {
        ADD_FAILURE() << json::serialize(r);
        return p;
    }
    std::string jpeg = unbase64(r.at("jpeg").as_string());
    tjhandle tj = tjInitDecompress();
    int sub = 0, cs = 0;
    auto* bytes = reinterpret_cast<const unsigned char*>(jpeg.data());
    if (tjDecompressHeader3(tj, bytes, jpeg.size(), &p.w, &p.h, &sub, &cs) == 0) {
        p.rgb.resize(size_t(p.w) * size_t(p.h) * 3);
        tjDecompress2(tj, bytes, jpeg.size(), p.rgb.data(), p.w, 0, p.h, TJPF_RGB, 0);
    }
    tjDestroy(tj);
    return p;
}

bool near(uint32_t a, uint32_t b, int tolerance = 10) {
    for (int shift : {16, 8, 0})
        if (std::abs(int(a >> shift & 0xff) - int(b >> shift & 0xff)) > tolerance) return false;
    return true;
}

std::optional<platform::RgbaImage> iconIn(const json::object& r) {
    if (!r.contains("app") || !r.at("app").as_object().contains("icon")) return std::nullopt;
    std::string text(r.at("app").at("icon").as_string());
    if (text.empty()) return std::nullopt;
    return platform::decodePng(unbase64(text), 4096);
}

// Opaque somewhere and not one flat colour.
bool drawn(const platform::RgbaImage& img) {
    bool opaque = false, varied = false;
    for (size_t i = 0; i + 4 <= img.rgba.size(); i += 4) {
        opaque = opaque || img.rgba[i + 3] > 128;
        for (int k = 0; k < 4; ++k) varied = varied || img.rgba[i + size_t(k)] != img.rgba[size_t(k)];
    }
    return opaque && varied;
}

// A 400 x 300 window of a child process, given its properties by `dress`
// before it is mapped (and focused, for a display without a window manager).
struct Child {
    template <class F>
    Child(const std::string& display, F dress) {
        int ready[2];
        if (pipe(ready) != 0) return;
        pid = fork();
        if (pid == 0) {
            // Only its own pipe: the companion's stdin must see its end.
            for (int fd = 3; fd < 1024; ++fd)
                if (fd != ready[1]) close(fd);
            X x(display);
            xcb_window_t w = xcb_generate_id(x.c);
            xcb_screen_t* s = xcb_setup_roots_iterator(xcb_get_setup(x.c)).data;
            xcb_create_window(x.c, XCB_COPY_FROM_PARENT, w, x.root, 0, 0, 400, 300, 0,
                              XCB_WINDOW_CLASS_INPUT_OUTPUT, s->root_visual, 0, nullptr);
            dress(x, w);
            xcb_map_window(x.c, w);
            xcb_set_input_focus(x.c, XCB_INPUT_FOCUS_POINTER_ROOT, w, XCB_CURRENT_TIME);
            free(xcb_get_input_focus_reply(x.c, xcb_get_input_focus(x.c), nullptr));
            if (write(ready[1], "r", 1) != 1) _exit(1);
            pause();
            _exit(0);
        }
        char byte = 0;
        if (pid < 0 || read(ready[0], &byte, 1) != 1) ADD_FAILURE() << "no child window";
        close(ready[0]);
        close(ready[1]);
    }
    ~Child() {
        if (pid <= 0) return;
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    pid_t pid = -1;
};

class UnderEachWm : public ::testing::TestWithParam<Wm> {};

TEST_P(UnderEachWm, OneWindowCoveredWindowAndHostFallback) {
    harness::Display display(GetParam());
    X x(display.name);
    Companion c({{"DISPLAY", display.name}});
    TestWin a(display.name), b(display.name), host(display.name);

    {
        SCOPED_TRACE("front and capture of the only window");
        uint32_t wa = a.open("a", "title=Alone w=640 h=480 x=40 y=40 color=3366cc");
        ASSERT_TRUE(x.waitActive(wa));
        auto r = frontUntil(c, a.pid);
        ASSERT_TRUE(r.contains("window")) << json::serialize(r);
        EXPECT_EQ(r.at("window").at("id"), json::value(int64_t(wa)));
        auto [w, h] = x.size(wa);  // a tiling manager chooses the size
        EXPECT_EQ(r.at("window").at("w"), json::value(w));
        EXPECT_EQ(r.at("window").at("h"), json::value(h));
        Picture p = capture(c, wa);
        EXPECT_EQ(p.w, w);
        EXPECT_EQ(p.h, h);
        if (p.w) {
            // Inside the 640 x 480 the client paints, whatever size it was given.
            uint32_t seen = p.at(std::min(p.w / 2, 300), std::min(p.h / 2, 200));
            EXPECT_TRUE(near(seen, 0x3366cc)) << std::hex << seen;
        }
    }
    uint32_t wa = x.active();
    {
        SCOPED_TRACE("a covered window keeps its own pixels");
        uint32_t wb = b.open("b", "title=Cover w=640 h=480 x=40 y=40 color=cc3333");
        ASSERT_TRUE(x.waitActive(wb));
        auto r = frontUntil(c, b.pid);
        EXPECT_EQ(r.at("window").at("id"), json::value(int64_t(wb))) << json::serialize(r);
        Picture p = capture(c, wa);
        if (p.w) {
            // Inside the 640 x 480 the client paints, whatever size it was given.
            uint32_t seen = p.at(std::min(p.w / 2, 300), std::min(p.h / 2, 200));
            EXPECT_TRUE(near(seen, 0x3366cc)) << std::hex << seen;
        }
    }
    {
        SCOPED_TRACE("the host in front: the last other application is reported");
        front(c, host.pid);
        uint32_t wh = host.open("h", "title=Host w=700 h=500 color=33cc33");
        ASSERT_TRUE(x.waitActive(wh));
        json::object r;
        for (int i = 0; i < 50 && pidIn(r) != b.pid; ++i) {
            r = front(c, host.pid);
            std::this_thread::sleep_for(40ms);
        }
        EXPECT_EQ(pidIn(r), b.pid) << json::serialize(r);
    }
    c.closeInput();
    EXPECT_EQ(c.wait(), 0);
    EXPECT_EQ(c.stderrText(), "");
}

INSTANTIATE_TEST_SUITE_P(Wms, UnderEachWm,
                         ::testing::Values(Wm::openbox, Wm::xfwm4, Wm::i3, Wm::openboxPicom),
                         [](const auto& info) { return std::string(harness::wmName(info.param)); });

TEST(ClientSideDecorations, GtkWindowOnXfwm4IsReportedAndCapturedWithoutItsShadow) {
    harness::Display display(Wm::xfwm4);
    X x(display.name);
    Companion c({{"DISPLAY", display.name}});
    const char* argv[] = {"env", "GTK_CSD=1", "NO_AT_BRIDGE=1", "GDK_BACKEND=x11", "zenity", "--info",
                          "--text=shadow", "--width=420", "--height=260", nullptr};
    pid_t zenity = harness::spawnClient(display.name, argv);
    uint32_t w = 0;
    std::vector<uint32_t> extents;
    for (int i = 0; i < 300 && extents.size() != 4; ++i) {
        std::this_thread::sleep_for(30ms);
        w = x.active();
        if (w) extents = x.words(w, "_GTK_FRAME_EXTENTS");
    }
    ASSERT_EQ(extents.size(), 4u) << "zenity drew no client-side shadow";
    auto r = frontUntil(c, zenity);
    ASSERT_TRUE(r.contains("window")) << json::serialize(r);
    auto [fw, fh] = x.size(w);
    int vw = fw - int(extents[0] + extents[1]), vh = fh - int(extents[2] + extents[3]);
    EXPECT_EQ(r.at("window").at("w"), json::value(vw));
    EXPECT_EQ(r.at("window").at("h"), json::value(vh));
    Picture p = capture(c, w);
    ASSERT_EQ(p.w, vw);
    ASSERT_EQ(p.h, vh);
    // No dark band of shadow along the edges: the middle of each edge is the
    // window's own light surface, and the corners show the neutral grey.
    for (auto [px, py] : {std::pair{p.w / 2, 1}, {p.w / 2, p.h - 2}, {1, p.h / 2}, {p.w - 2, p.h / 2},
                          {0, 0}, {p.w - 1, 0}})
        EXPECT_GT(p.at(px, py) & 0xff, 0xa0u) << px << "," << py << ": " << std::hex << p.at(px, py);
    harness::stopClient(zenity);
    c.closeInput();
    EXPECT_EQ(c.wait(), 0);
    EXPECT_EQ(c.stderrText(), "");
}

struct Icons : ::testing::Test {
    void SetUp() override {
        char tmpl[] = "/tmp/wm-icons-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        fs::create_directories(dir / "share/applications");
        fs::create_directories(dir / "share/icons/hicolor/scalable/apps");
        std::ofstream(dir / "share/icons/hicolor/scalable/apps/vector-only.svg")
            << "<svg xmlns='http://www.w3.org/2000/svg' viewBox='0 0 16 16'><circle cx='8' cy='8' "
               "r='7' fill='#c03'/><rect x='5' y='5' width='6' height='6' fill='#fff'/></svg>";
        std::ofstream(dir / "pixmap-only.xpm")
            << "/* XPM */\nstatic char *p[] = {\n\"4 4 2 1\",\n\". c #0000FF\",\n\"  c None\",\n"
               "\"....\",\n\".  .\",\n\".  .\",\n\"....\"};\n";
        std::ofstream(dir / "share/applications/vectoronly.desktop")
            << "[Desktop Entry]\nType=Application\nName=Vector\nExec=vectoronly\nIcon=vector-only\n";
        std::ofstream(dir / "share/applications/pixmaponly.desktop")
            << "[Desktop Entry]\nType=Application\nName=Pixmap\nExec=pixmaponly\nIcon="
            << (dir / "pixmap-only.xpm").string() << "\n";
        std::ofstream(dir / "share/applications/org.example.Named.desktop")
            << "[Desktop Entry]\nType=Application\nName=Named App\nExec=named\n";
    }
    void TearDown() override { fs::remove_all(dir); }
    fs::path dir;
};

TEST_F(Icons, SvgEntryXpmEntryAndWmHintsPixmapEachGiveA64x64PictureAndGtkIdNamesTheEntry) {
    harness::Display display(Wm::openbox);
    X x(display.name);
    Companion c({{"DISPLAY", display.name},
                 {"XDG_DATA_HOME", (dir / "share").string()},
                 {"XDG_DATA_DIRS", (dir / "share").string()},
                 {"HOME", dir.string()}});
    TestWin svg(display.name), xpm(display.name);
    for (auto [win, cls] : {std::pair{&svg, "vectoronly.VectorOnly"}, {&xpm, "pixmaponly.PixmapOnly"}}) {
        SCOPED_TRACE(cls);
        uint32_t id = win->open("w", std::string("w=400 h=300 class=") + cls);
        ASSERT_TRUE(x.waitActive(id));
        auto r = frontUntil(c, win->pid);
        auto icon = iconIn(r);
        ASSERT_TRUE(icon) << json::serialize(r);
        EXPECT_EQ(icon->width, 64);
        EXPECT_EQ(icon->height, 64);
        EXPECT_TRUE(drawn(*icon));
    }
    {
        SCOPED_TRACE("the entry the window names by its GTK application id");
        Child named(display.name, [](X& cx, xcb_window_t w) {
            const char id[] = "org.example.Named";
            xcb_change_property(cx.c, XCB_PROP_MODE_REPLACE, w, cx.atom("_GTK_APPLICATION_ID"),
                                cx.atom("UTF8_STRING"), 8, sizeof id - 1, id);
            const char cls[] = "unrelated\0Unrelated";
            xcb_change_property(cx.c, XCB_PROP_MODE_REPLACE, w, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 8,
                                sizeof cls, cls);
        });
        auto r = frontUntil(c, named.pid);
        EXPECT_EQ(r["app"].at("bundle"), json::value("org.example.Named")) << json::serialize(r);
        EXPECT_EQ(r["app"].at("name"), json::value("Named App"));
    }
    const char* argv[] = {"xlogo", "-geometry", "300x300+10+10", nullptr};
    pid_t xlogo = harness::spawnClient(display.name, argv);
    auto r = frontUntil(c, xlogo);
    auto icon = iconIn(r);
    ASSERT_TRUE(icon) << json::serialize(r);
    EXPECT_EQ(icon->width, 64);
    EXPECT_TRUE(drawn(*icon));
    harness::stopClient(xlogo);
    c.closeInput();
    EXPECT_EQ(c.wait(), 0);
    EXPECT_EQ(c.stderrText(), "");
}

// Without a window manager, which would read the pixmap itself. The window
// belongs to a child process: the test process is the companion's host.
TEST(HostileIcons, WmHintsPixmapOf30000x30000IsNotRead) {
    harness::Display display(Wm::none);
    Companion c({{"DISPLAY", display.name}});
    Child child(display.name, [](X& cx, xcb_window_t w) {
        xcb_pixmap_t huge = xcb_generate_id(cx.c);
        xcb_create_pixmap(cx.c, 1, huge, cx.root, 30000, 30000);
        uint32_t hints[9] = {(1u << 2) | (1u << 5), 0, 0, huge, 0, 0, 0, huge, 0};
        xcb_change_property(cx.c, XCB_PROP_MODE_REPLACE, w, XCB_ATOM_WM_HINTS, XCB_ATOM_WM_HINTS, 32,
                            9, hints);
    });
    auto r = frontUntil(c, child.pid);
    EXPECT_EQ(pidIn(r), child.pid) << json::serialize(r);
    EXPECT_FALSE(iconIn(r));
    c.closeInput();
    EXPECT_EQ(c.wait(), 0);
    EXPECT_EQ(c.stderrText(), "");
}

}  // namespace
