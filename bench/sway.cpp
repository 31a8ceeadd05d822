// sway benchmark, run inside a sway session by bench/sway.sh: "front" round
// trips with the session's windows, and capture of the fullscreen window
// (app_id "big") to 768 one at a time and 4 in flight, beside grim of the
// same rectangle piped to ImageMagick's scaler and JPEG encoder.
//
//   bench_sway [frames]     (SWAYSOCK, WAYLAND_DISPLAY, XDG_RUNTIME_DIR set)
#include "bench/peer.hpp"

#include <boost/json/object.hpp>
#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
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

std::string shell(const std::string& command) {
    std::string out;
    if (FILE* p = popen(command.c_str(), "r")) {
        char buf[65536];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
        pclose(p);
    }
    return out;
}

struct Companion {
    bench::Peer peer = bench::start({COMPANION_BIN});
    ~Companion() { bench::stop(peer); }
    json::object ask(const json::object& request) {
        bench::writeAll(peer.in, json::serialize(request) + "\n");
        return json::parse(bench::readLine(peer)).as_object();
    }
    void send(const json::object& request) { bench::writeAll(peer.in, json::serialize(request) + "\n"); }
    json::object next() { return json::parse(bench::readLine(peer)).as_object(); }
};

json::object captureRequest(int64_t window, int id) {
    return {{"cmd", "capture"}, {"id", id}, {"window", window}, {"edge", 768}, {"quality", 0.7}};
}

void expectOk(const json::object& r) {
    if (!r.at("ok").as_bool()) {
        std::fprintf(stderr, "capture failed: %s\n", json::serialize(r).c_str());
        std::exit(1);
    }
}

}  // namespace

int main(int argc, char** argv) {
    const int frames = argc > 1 ? std::atoi(argv[1]) : 100;
    // The fullscreen window's container id, from sway's own tree.
    std::string id = shell("swaymsg -t get_tree | python3 -c \"import json,sys\n"
                           "def w(n):\n"
                           " if n.get('app_id')=='big': print(n['id'])\n"
                           " for c in n.get('nodes',[])+n.get('floating_nodes',[]): w(c)\n"
                           "w(json.load(sys.stdin))\"");
    int64_t big = std::atoll(id.c_str());
    if (big <= 0) {
        std::fprintf(stderr, "no fullscreen window\n");
        return 1;
    }
    Companion c;

    std::vector<double> trips, own;
    c.ask({{"cmd", "front"}, {"id", 0}});
    for (int i = 0; i < 2000; ++i) {
        auto t = Clock::now();
        auto r = c.ask({{"cmd", "front"}, {"id", i}});
        trips.push_back(msSince(t));
        own.push_back(r.at("ms").to_number<double>());
    }
    std::printf("front (%d windows): round trip p50 %.3f ms p99 %.3f ms; companion's own p50 %.3f ms\n",
                std::atoi(shell("swaymsg -t get_tree | grep -c '\"pid\"'").c_str()), percentile(trips, 0.5),
                percentile(trips, 0.99), percentile(own, 0.5));
    // Uncached: each report after the tree changed (a title event).
    std::vector<double> fresh;
    for (int i = 0; i < 50; ++i) {
        shell("swaymsg -q '[app_id=big] title_format big" + std::to_string(i) + "'");
        auto t = Clock::now();
        c.ask({{"cmd", "front"}, {"id", i}});
        fresh.push_back(msSince(t));
    }
    std::printf("front after a tree change: round trip p50 %.3f ms\n", percentile(fresh, 0.5));

    expectOk(c.ask(captureRequest(big, 0)));
    std::vector<double> shots;
    std::vector<double> shotMs;
    for (int i = 0; i < frames; ++i) {
        auto t = Clock::now();
        auto r = c.ask(captureRequest(big, i));
        shots.push_back(msSince(t));
        expectOk(r);
        shotMs.push_back(r.at("shotMs").to_number<double>());
    }
    double oneRate = 1000.0 / percentile(shots, 0.5);
    auto t = Clock::now();
    int sent = 0, got = 0;
    for (; sent < 4; ++sent) c.send(captureRequest(big, sent));
    while (got < frames) {
        expectOk(c.next());
        ++got;
        if (sent < frames) c.send(captureRequest(big, sent++));
    }
    double fourRate = frames / (msSince(t) / 1000.0);

    const int peerFrames = std::max(5, frames / 5);
    auto tp = Clock::now();
    for (int i = 0; i < peerFrames; ++i)
        shell("grim -t ppm -g '0,0 1920x1080' - | convert ppm:- -resize 768x432 -quality 70 jpg:- | wc -c");
    double peerRate = peerFrames / (msSince(tp) / 1000.0);

    std::printf("capture 1920x1080 -> 768: one at a time p50 %.2f ms (%.1f/s, shot p50 %.2f ms); "
                "4 in flight %.1f/s\n",
                percentile(shots, 0.5), oneRate, percentile(shotMs, 0.5), fourRate);
    std::printf("peer grim -g | convert: %.1f/s; ratios: one at a time %.1fx, 4 in flight %.1fx\n",
                peerRate, oneRate / peerRate, fourRate / peerRate);
    return 0;
}
