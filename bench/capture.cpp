// Capture benchmark: the companion's "capture" against the floor (one SHM
// GetImage, the same downscale, one JPEG encode a frame) and against the
// peers a user would script instead. Run by bench/capture.sh on a private
// X server: opens its own two windows there and prints one table.
//
//   bench_capture [frames]      (DISPLAY must name the server)
// COMPANION=path measures another build of the companion (an older one, say).
#include "bench/peer.hpp"
#include "platform/platform.hpp"
#include "platform/codec/scale.hpp"

#include <boost/json/object.hpp>
#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>
#include <xcb/composite.h>
#include <xcb/shm.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <string>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>
#include <vector>


namespace {

namespace json = boost::json;
using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point t) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

double percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, size_t(p * double(v.size())))];
}

// ---- Test windows ---------------------------------------------------------

xcb_connection_t* x;
xcb_screen_t* screen;

// A window with a busy picture: coloured tiles and thin lines, so the JPEG
// encoder works as it would on real content.
xcb_window_t openWindow(int w, int h) {
    xcb_window_t id = xcb_generate_id(x);
    uint32_t values[] = {screen->black_pixel, XCB_EVENT_MASK_EXPOSURE};
    xcb_create_window(x, XCB_COPY_FROM_PARENT, id, screen->root, 0, 0, uint16_t(w), uint16_t(h), 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual,
                      XCB_CW_BACK_PIXEL | XCB_CW_EVENT_MASK, values);
    xcb_map_window(x, id);
    xcb_flush(x);
    return id;
}

void paint(xcb_window_t id, int w, int h) {
    xcb_gcontext_t gc = xcb_generate_id(x);
    xcb_create_gc(x, gc, id, 0, nullptr);
    for (int ty = 0; ty < h; ty += 24)
        for (int tx = 0; tx < w; tx += 32) {
            uint32_t rgb = uint32_t((tx * 7 + ty * 3) & 0xff) << 16 |
                           uint32_t((tx * 5 ^ ty * 11) & 0xff) << 8 | uint32_t((tx + ty) & 0xff);
            xcb_change_gc(x, gc, XCB_GC_FOREGROUND, &rgb);
            xcb_rectangle_t r{int16_t(tx), int16_t(ty), 32, 24};
            xcb_poly_fill_rectangle(x, id, gc, 1, &r);
        }
    uint32_t white = 0xffffff;
    xcb_change_gc(x, gc, XCB_GC_FOREGROUND, &white);
    for (int lx = 0; lx < w; lx += 9) {
        xcb_segment_t s{int16_t(lx), 0, int16_t(lx), int16_t(h)};
        xcb_poly_segment(x, id, gc, 1, &s);
    }
    xcb_free_gc(x, gc);
    free(xcb_get_input_focus_reply(x, xcb_get_input_focus(x), nullptr));
}

// ---- The companion over its pipes ----------------------------------------

struct Companion {
    bench::Peer peer = bench::start({std::getenv("COMPANION") ? std::getenv("COMPANION") : COMPANION_BIN});
    bool stopped = false;
    ~Companion() {
        if (!stopped) bench::stop(peer);
    }
    // Stops it; its processor time over its life, in seconds.
    double stop() {
        stopped = true;
        return bench::stop(peer);
    }
    void send(const std::string& line) { bench::writeAll(peer.in, line + "\n"); }
    std::string line() { return bench::readLine(peer); }
};

std::string request(uint32_t window, int id) {
    return json::serialize(json::object{
        {"cmd", "capture"}, {"id", id}, {"window", window}, {"edge", 768}, {"quality", 0.7}});
}

void expectOk(const std::string& line) {
    auto v = json::parse(line);
    if (!v.as_object().at("ok").as_bool()) {
        std::fprintf(stderr, "capture failed: %s\n", line.c_str());
        std::exit(1);
    }
}

struct Figures {
    double p50 = 0, p99 = 0, perSecond2 = 0, perSecond4 = 0;
    double contentMs = 0, shotMs = 0, encodeMs = 0;  // p50 of the reply's own timings
};

Figures companionFigures(Companion& c, uint32_t window, int frames) {
    Figures f;
    std::vector<double> trips, content, shot, encode;
    for (int i = 0; i < frames; ++i) {
        std::string r = request(window, i);
        auto t = Clock::now();
        c.send(r);
        std::string l = c.line();
        trips.push_back(msSince(t));
        expectOk(l);
        auto reply = json::parse(l).as_object();
        content.push_back(reply.at("contentMs").to_number<double>());
        shot.push_back(reply.at("shotMs").to_number<double>());
        encode.push_back(reply.at("encodeMs").to_number<double>());
    }
    f.p50 = percentile(trips, 0.5);
    f.p99 = percentile(trips, 0.99);
    f.contentMs = percentile(content, 0.5);
    f.shotMs = percentile(shot, 0.5);
    f.encodeMs = percentile(encode, 0.5);
    for (int inFlight : {2, 4}) {
        auto t = Clock::now();
        int sent = 0, got = 0;
        for (; sent < inFlight; ++sent) c.send(request(window, sent));
        while (got < frames) {
            expectOk(c.line());
            ++got;
            if (sent < frames) c.send(request(window, sent++));
        }
        double perSecond = frames / (msSince(t) / 1000.0);
        (inFlight == 2 ? f.perSecond2 : f.perSecond4) = perSecond;
    }
    return f;
}

// ---- The floor -------------------------------------------------------------

// Per frame: one MIT-SHM GetImage of the window's pixmap, the companion's
// downscale, one TurboJPEG encode. Set-up (redirection, segment) is paid once.
std::vector<double> floorFrames(xcb_window_t window, int w, int h, int frames, int64_t& outW,
                                int64_t& outH) {
    xcb_composite_redirect_window(x, window, XCB_COMPOSITE_REDIRECT_AUTOMATIC);
    xcb_pixmap_t pixmap = xcb_generate_id(x);
    xcb_composite_name_window_pixmap(x, window, pixmap);
    size_t bytes = size_t(w) * size_t(h) * 4;
    int shmid = shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
    auto* addr = static_cast<uint8_t*>(shmat(shmid, nullptr, 0));
    xcb_shm_seg_t seg = xcb_generate_id(x);
    free(xcb_request_check(x, xcb_shm_attach_checked(x, seg, uint32_t(shmid), 0)));
    shmctl(shmid, IPC_RMID, nullptr);
    double scale = std::min(768.0 / std::max(w, h), 1.0);
    outW = std::llround(w * scale);
    outH = std::llround(h * scale);
    std::vector<double> times;
    for (int i = 0; i < frames; ++i) {
        auto t = Clock::now();
        free(xcb_shm_get_image_reply(
            x,
            xcb_shm_get_image(x, pixmap, 0, 0, uint16_t(w), uint16_t(h), ~0u,
                              XCB_IMAGE_FORMAT_Z_PIXMAP, seg, 0),
            nullptr));
        platform::Pixels32 src{addr, w, h, size_t(w) * 4, false};
        auto yuv = std::make_shared<platform::Yuv420>(
            platform::scaleToYuv420(src, int(outW), int(outH)));
        auto jpeg = platform::encodeJpeg({outW, outH, yuv}, 0.7);
        if (!jpeg) std::exit(1);
        times.push_back(msSince(t));
    }
    xcb_shm_detach(x, seg);
    shmdt(addr);
    xcb_free_pixmap(x, pixmap);
    xcb_flush(x);
    return times;
}

// ---- Peers -----------------------------------------------------------------

// Wall time of a shell command, in ms; exits when it fails.
double run(const std::string& command) {
    auto t = Clock::now();
    if (std::system((command + " >/dev/null 2>&1").c_str()) != 0) {
        std::fprintf(stderr, "failed: %s\n", command.c_str());
        return -1;
    }
    return msSince(t);
}

double bestOf(int n, const std::string& command) {
    double best = 1e18;
    for (int i = 0; i < n; ++i) best = std::min(best, run(command));
    return best;
}

std::string hex(uint32_t id) {
    char b[16];
    std::snprintf(b, sizeof b, "0x%x", id);
    return b;
}

}  // namespace

int main(int argc, char** argv) {
    int frames = argc > 1 ? std::atoi(argv[1]) : 200;
    const char* display = std::getenv("DISPLAY");
    x = xcb_connect(nullptr, nullptr);
    if (!display || xcb_connection_has_error(x)) {
        std::fprintf(stderr, "no display\n");
        return 1;
    }
    screen = xcb_setup_roots_iterator(xcb_get_setup(x)).data;
    struct Target {
        int w, h;
        xcb_window_t id;
    } targets[] = {{1920, 1080, 0}, {1280, 800, 0}};
    for (Target& t : targets) t.id = openWindow(t.w, t.h);
    usleep(500000);  // the window manager maps and places them

    Companion companion;
    for (Target& t : targets) {
        companion.send(request(t.id, -1));  // redirects the window
        expectOk(companion.line());
        paint(t.id, t.w, t.h);
    }
    char dir[] = "/tmp/capture-bench-XXXXXX";
    if (!mkdtemp(dir)) return 1;
    std::string tmp = dir;

    std::printf("%d frames a figure; times in ms, wall clock, on a CPU shared with other work\n\n",
                frames);
    for (Target& t : targets) {
        Figures f = companionFigures(companion, t.id, frames);
        int64_t ow = 0, oh = 0;
        auto floor = floorFrames(t.id, t.w, t.h, frames, ow, oh);
        double floorP50 = percentile(floor, 0.5);

        std::string grab = "ffmpeg -nostdin -loglevel error -f x11grab -window_id " + hex(t.id) +
                           " -framerate 1000 -i " + display + " -vf scale=768:-2 -q:v 5 ";
        double run20 = bestOf(2, grab + "-frames:v 20 -f image2 -y " + tmp + "/s%03d.jpg");
        double run220 = bestOf(2, grab + "-frames:v 220 -f image2 -y " + tmp + "/s%03d.jpg");
        double streamFrame = (run220 - run20) / 200.0;
        double importShot = bestOf(3, "import -window " + hex(t.id) +
                                          " -resize 768x768 -quality 70 " + tmp + "/i.jpg");
        double ffmpegShot = bestOf(3, grab + "-frames:v 1 -y " + tmp + "/f.jpg");

        std::printf("window %d x %d -> %lld x %lld\n", t.w, t.h, (long long)ow, (long long)oh);
        std::printf("  companion round trip  p50 %7.2f  p99 %7.2f\n", f.p50, f.p99);
        std::printf("  companion's own timings p50: content %.2f, shot %.2f, encode %.2f\n",
                    f.contentMs, f.shotMs, f.encodeMs);
        std::printf("  companion in flight   2: %6.0f/s  4: %6.0f/s\n", f.perSecond2, f.perSecond4);
        std::printf("  floor (shm+scale+jpeg) p50 %7.2f  p99 %7.2f\n", floorP50,
                    percentile(floor, 0.99));
        std::printf("  ffmpeg stream frame   %7.2f  (%.0f/s; 20 frames %.0f, 220 frames %.0f)\n",
                    streamFrame, 1000.0 / streamFrame, run20, run220);
        std::printf("  import one shot       %7.1f\n", importShot);
        std::printf("  ffmpeg one shot       %7.1f\n", ffmpegShot);
        std::printf("  ratios: round trip / floor %.2f (aim <= 1.3); 4 in flight / stream %.2f "
                    "(aim >= 1); import / round trip %.0fx, ffmpeg / round trip %.0fx (aim >= 20)\n\n",
                    f.p50 / floorP50, f.perSecond4 / (1000.0 / streamFrame), importShot / f.p50,
                    ffmpegShot / f.p50);
    }
    // Each figure of companionFigures is `frames` captures, three figures a
    // window, plus the first capture of each window.
    double captures = double(std::size(targets)) * (3.0 * frames + 1.0);
    std::printf("companion processor time a capture, all threads: %.2f ms\n",
                companion.stop() * 1000.0 / captures);
    std::system(("rm -rf " + tmp).c_str());
    xcb_disconnect(x);
    return 0;
}
