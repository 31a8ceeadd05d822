// Protocol benchmark: pipelined throughput and sequential round-trip latency
// of the companion beside a minimal C line relay (bench/relay.c) and cat,
// through the same pipes, in the same run, peers taking turns.
//   bench_protocol [requests=1000000] [roundtrips=10000] [runs=3]
// COMPANION=path measures another build of the companion (an older one, say).
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

// Lines per second for `n` requests written as fast as the pipe takes them;
// `cpu` gets the peer's processor time per line in microseconds, a figure
// that other work on the machine disturbs less than the wall clock.
double throughput(const std::vector<std::string>& argv, int n, double& cpu) {
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
    cpu = stop(p) * 1e6 / double(n);
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

struct Spread {
    double median, low, high;
};
Spread spread(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return {v[v.size() / 2], v.front(), v.back()};
}

}  // namespace

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    int requests = argc > 1 ? std::atoi(argv[1]) : 1000000;
    int trips = argc > 2 ? std::atoi(argv[2]) : 10000;
    int runs = argc > 3 ? std::max(1, std::atoi(argv[3])) : 3;
    std::string self = argv[0];
    std::string dir = self.substr(0, self.rfind('/') + 1);
    const char* other = std::getenv("COMPANION");
    const std::vector<std::string> peers[] = {
        {other ? other : COMPANION_BIN}, {dir + "bench_relay"}, {"cat"}};
    const char* names[] = {"companion", "C relay", "cat"};

    // Per peer, per run: lines/s, round trip p50 and p99 (us).
    std::vector<double> rate[3], cpu[3], p50[3], p99[3], rateRatio, cpuRatio, tripRatio;
    for (int run = 0; run < runs; ++run) {
        for (int k = 0; k < 3; ++k) {
            double used = 0;
            rate[k].push_back(throughput(peers[k], requests, used));
            cpu[k].push_back(used);
        }
        for (int k = 0; k < 3; ++k) {
            auto [a, b] = latency(peers[k], trips);
            p50[k].push_back(a);
            p99[k].push_back(b);
        }
        rateRatio.push_back(rate[0].back() / rate[1].back());
        cpuRatio.push_back(cpu[0].back() / cpu[1].back());
        tripRatio.push_back(p50[0].back() / p50[1].back());
        std::printf("run %d: companion %.0f/s, relay %.0f/s (%.2f); cpu %.2f us, relay %.2f us "
                    "a line; round trip %.1f us, relay %.1f us (%.2f)\n",
                    run + 1, rate[0].back(), rate[1].back(), rateRatio.back(), cpu[0].back(),
                    cpu[1].back(), p50[0].back(), p50[1].back(), tripRatio.back());
        std::fflush(stdout);
    }
    std::printf("\nmedian of %d runs [lowest, highest]\n", runs);
    std::printf("throughput, %d pipelined requests, lines/s; processor time a line, us:\n",
                requests);
    for (int k = 0; k < 3; ++k) {
        Spread r = spread(rate[k]), c = spread(cpu[k]);
        std::printf("  %-10s %10.0f  [%.0f, %.0f]   %6.2f [%.2f, %.2f]\n", names[k], r.median,
                    r.low, r.high, c.median, c.low, c.high);
    }
    Spread rr = spread(rateRatio), cr = spread(cpuRatio);
    std::printf("  companion / relay %.2f [%.2f, %.2f]   (aim >= 0.33); processor time a line, "
                "companion / relay %.2f [%.2f, %.2f]\n",
                rr.median, rr.low, rr.high, cr.median, cr.low, cr.high);
    std::printf("round trip, %d sequential, us: p50 [lowest, highest] / p99 median\n", trips);
    for (int k = 0; k < 3; ++k) {
        Spread a = spread(p50[k]);
        std::printf("  %-10s %7.1f [%.1f, %.1f] / %7.1f\n", names[k], a.median, a.low, a.high,
                    spread(p99[k]).median);
    }
    Spread tr = spread(tripRatio);
    std::printf("  companion / relay p50 %.2f [%.2f, %.2f]   (aim <= 2)\n", tr.median, tr.low,
                tr.high);
    return 0;
}
