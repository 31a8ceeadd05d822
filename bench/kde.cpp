// KDE benchmark: "front" round trip (request written to reply read) with 20
// windows mirrored from KWin, and capture of a screen-sized window to 768
// through KWin's screenshot service, on a headless KWin 5.27 started here.
//   bench_kde [roundtrips=500] [captures=50]
// Run it through bench/kde.sh (as root: KWin runs as the test user).
#include "tests/harness/companion.hpp"
#include "tests/harness/kwin_session.hpp"

#include <boost/json/serialize.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

namespace {

namespace json = boost::json;
using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point t) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

void report(const char* what, std::vector<double> v) {
    std::sort(v.begin(), v.end());
    auto at = [&](double q) { return v[std::min(v.size() - 1, size_t(q * double(v.size())))]; };
    std::printf("%-44s p50 %8.3f ms   p99 %8.3f ms   (n=%zu)\n", what, at(0.5), at(0.99), v.size());
}

}  // namespace

int main(int argc, char** argv) {
    int roundtrips = argc > 1 ? std::atoi(argv[1]) : 500;
    int captures = argc > 2 ? std::atoi(argv[2]) : 50;
    harness::KWinSession session;
    auto x = session.xClient();
    for (int i = 0; i < 19; ++i)
        x->open("w" + std::to_string(i), "title=W" + std::to_string(i) + " w=400 h=300");
    x->open("big", "title=Big w=1920 h=1080 pattern=lines");

    harness::Launch how;
    how.prefix = harness::asUser(session.user, {});
    how.cleanEnv = true;
    harness::Companion c(session.companionEnv(), how);
    c.ask({{"cmd", "allow"}, {"id", "allow"}});
    session.runScript("var l = workspace.clientList(); for (var i = 0; i < l.length; i++)"
                      " if (l[i].caption == 'Big') workspace.activeClient = l[i];");
    json::object r;
    for (int i = 0; i < 200; ++i) {
        r = c.ask({{"cmd", "front"}, {"id", "wait"}});
        if (r.contains("window") && r.at("window").at("title") == "Big" &&
            r.at("granted") == json::value(true))
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (!r.contains("window")) {
        std::fprintf(stderr, "no front window: %s\n", json::serialize(r).c_str());
        return 1;
    }
    int64_t big = r.at("window").at("id").as_int64();
    std::printf("front window %s\n", json::serialize(r.at("window")).c_str());

    std::vector<double> front;
    for (int i = 0; i < roundtrips; ++i) {
        auto t = Clock::now();
        c.ask({{"cmd", "front"}, {"id", i}});
        front.push_back(msSince(t));
    }
    report("front, 20 windows (round trip)", front);

    std::vector<double> shot, shotMs, encodeMs;
    for (int i = 0; i < captures; ++i) {
        auto t = Clock::now();
        json::object s = c.ask({{"cmd", "capture"}, {"id", i}, {"window", big}, {"edge", 768}},
                               std::chrono::seconds(20));
        shot.push_back(msSince(t));
        if (s.at("ok") != json::value(true)) {
            std::fprintf(stderr, "capture failed: %s\n", json::serialize(s).c_str());
            return 1;
        }
        shotMs.push_back(s.at("shotMs").to_number<double>());
        encodeMs.push_back(s.at("encodeMs").to_number<double>());
        if (i == 0) std::printf("capture reply: %lldx%lld\n", (long long)s.at("w").as_int64(),
                                (long long)s.at("h").as_int64());
    }
    report("capture of the big window to 768 (round trip)", shot);
    report("  of which KWin, the pipe and the scaler", shotMs);
    report("  of which the JPEG encoder", encodeMs);
    return 0;
}
