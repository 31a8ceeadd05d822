// GNOME benchmark: "front" round trip with the windows that bench/gnome.sh
// opened, and "capture" of the one in front (its largest) to 768, one at a
// time.
// Runs as the session's user inside the session (bench/gnome.sh).
//   bench_gnome [roundtrips=500] [captures=50]
#include "bench/peer.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point t) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

double quantile(std::vector<double> v, double q) {
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, size_t(q * double(v.size())))];
}

// The integer after "key": in a reply line, or -1.
long long field(const std::string& line, const std::string& key) {
    size_t at = line.find("\"" + key + "\":");
    if (at == std::string::npos) return -1;
    return std::atoll(line.c_str() + at + key.size() + 3);
}

}  // namespace

int main(int argc, char** argv) {
    int roundtrips = argc > 1 ? std::atoi(argv[1]) : 500;
    int captures = argc > 2 ? std::atoi(argv[2]) : 50;
    bench::Peer c = bench::start({COMPANION_BIN});
    std::string line;
    for (int i = 0; i < 600; ++i) {  // until the large window is in front
        bench::writeAll(c.in, "{\"cmd\":\"front\",\"id\":0}\n");
        line = bench::readLine(c);
        if (line.find("\"title\":\"bench full\"") != std::string::npos) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    size_t w = line.find("\"window\":");
    long long window = w == std::string::npos ? -1 : field(line.substr(w + 9), "id");
    if (window <= 0) {
        std::fprintf(stderr, "no window in front: %s\n", line.c_str());
        return 1;
    }
    // Requests 30 ms apart, as a host asks: within 20 ms of each other they
    // would share one window list and skip the Shell.
    std::vector<double> front;
    for (int i = 0; i < roundtrips; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        auto t = Clock::now();
        bench::writeAll(c.in, "{\"cmd\":\"front\",\"id\":1}\n");
        bench::readLine(c);
        front.push_back(msSince(t));
    }
    std::vector<double> shot;
    std::string req = "{\"cmd\":\"capture\",\"id\":2,\"window\":" + std::to_string(window) +
                      ",\"edge\":768}\n";
    std::string reply;
    for (int i = 0; i < captures; ++i) {
        auto t = Clock::now();
        bench::writeAll(c.in, req);
        reply = bench::readLine(c);
        shot.push_back(msSince(t));
    }
    std::printf("window in front: %s\n", line.substr(w == std::string::npos ? 0 : w).c_str());
    std::printf("front round trip, window list as open: p50 %.3f ms  p99 %.3f ms (%d)\n",
                quantile(front, 0.5), quantile(front, 0.99), roundtrips);
    std::printf("capture to 768 (%lld x %lld): p50 %.2f ms  p99 %.2f ms (%d)\n",
                field(reply, "w"), field(reply, "h"), quantile(shot, 0.5), quantile(shot, 0.99),
                captures);
    if (reply.find("\"ok\":true") == std::string::npos)
        std::printf("capture failed: %s\n", reply.substr(0, 300).c_str());
    bench::stop(c);
    return 0;
}
