// Protocol benchmark: pipelined throughput and sequential round-trip latency
// of the companion beside a plain line echo through the same pipes.
//   bench_protocol [requests=1000000] [roundtrips=10000]
#include "bench/peer.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <signal.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using bench::Peer;
using bench::start;
using bench::stop;
using bench::writeAll;

using Clock = std::chrono::steady_clock;

// Lines per second for `n` requests written as fast as the pipe takes them.
double throughput(const std::vector<std::string>& argv, int n) {
    std::string burst;
    for (int i = 0; i < n; ++i) burst += "{\"cmd\":\"bench\",\"id\":" + std::to_string(i) + "}\n";
    Peer p = start(argv);
    auto t0 = Clock::now();
    std::thread writer([&] { writeAll(p.in, burst); });
    long lines = 0;
    char buf[1 << 16];
    while (lines < n) {
        ssize_t r = read(p.out, buf, sizeof buf);
        if (r <= 0) break;
        lines += std::count(buf, buf + r, '\n');
    }
    double secs = std::chrono::duration<double>(Clock::now() - t0).count();
    writer.join();
    stop(p);
    return double(lines) / secs;
}

// p50 and p99 round trip in microseconds over `n` strictly sequential requests.
std::pair<double, double> latency(const std::vector<std::string>& argv, int n) {
    Peer p = start(argv);
    std::vector<double> us;
    char buf[4096];
    for (int i = 0; i < n + 100; ++i) {
        std::string line = "{\"cmd\":\"bench\",\"id\":" + std::to_string(i) + "}\n";
        auto t0 = Clock::now();
        writeAll(p.in, line);
        for (;;) {
            ssize_t r = read(p.out, buf, sizeof buf);
            if (r <= 0 || buf[r - 1] == '\n') break;
        }
        if (i >= 100) us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
    stop(p);
    std::sort(us.begin(), us.end());
    return {us[us.size() / 2], us[us.size() * 99 / 100]};
}

}  // namespace

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    int requests = argc > 1 ? std::atoi(argv[1]) : 1000000;
    int trips = argc > 2 ? std::atoi(argv[2]) : 10000;
    std::string self = argv[0];
    std::string dir = self.substr(0, self.rfind('/') + 1);
    std::vector<std::string> companion = {COMPANION_BIN};
    std::vector<std::string> echo = {dir + "bench_echo"};
    std::vector<std::string> cat = {"cat"};

    double tc = throughput(companion, requests), te = throughput(echo, requests),
           tcat = throughput(cat, requests);
    auto [c50, c99] = latency(companion, trips);
    auto [e50, e99] = latency(echo, trips);
    auto [k50, k99] = latency(cat, trips);
    std::printf("throughput (%d pipelined requests), replies/s:\n", requests);
    std::printf("  companion %10.0f\n  line echo %10.0f   companion/echo %.2f\n  cat       %10.0f   companion/cat  %.2f\n",
                tc, te, tc / te, tcat, tc / tcat);
    std::printf("round trip (%d sequential), p50 / p99 in us:\n", trips);
    std::printf("  companion %7.1f / %7.1f\n  line echo %7.1f / %7.1f   ratio %.2f / %.2f\n  cat       %7.1f / %7.1f   ratio %.2f / %.2f\n",
                c50, c99, e50, e99, c50 / e50, c99 / e99, k50, k99, c50 / k50, c99 / k99);
    return 0;
}
