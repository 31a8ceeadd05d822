// Soak: a churning desktop and a host that keeps several requests of every
// kind in flight, checking the reply stream as it goes.
//
//   SOAK_SECONDS=N   how long to run (default 20; CI sets about a minute)
//   SOAK_REPORT=1    print resource samples (for the hour-long run by hand)
// Runs of ten minutes or more also hold memory growth over the last half
// under 5%.
#include "tests/harness/companion.hpp"
#include "tests/harness/display.hpp"
#include "tests/harness/resources.hpp"
#include "tests/harness/testwin.hpp"

#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <sys/stat.h>
#include <thread>

namespace {

namespace json = boost::json;
using namespace std::chrono_literals;

int soakSeconds() {
    const char* s = std::getenv("SOAK_SECONDS");
    return s ? std::max(1, std::atoi(s)) : 20;
}

// What a request expects back.
enum class Expect { Ordered, Async, None };

struct Ledger {
    std::mutex lock;
    std::condition_variable changed;
    std::map<int64_t, Expect> open;  // sent, not yet answered
    int64_t lastOrdered = -1;        // seq of the last reply answered on the main thread
    int64_t replies = 0, asyncOpen = 0;
    std::vector<std::string> faults;

    void fault(std::string f) {
        std::lock_guard g(lock);
        if (faults.size() < 20) faults.push_back(std::move(f));
    }
};

// Windows of several processes, changed at random all the time.
struct Churn {
    explicit Churn(const std::string& display) {
        for (int i = 0; i < 3; ++i) procs.push_back(std::make_unique<harness::TestWin>(display));
    }

    void step(std::mt19937& rng) {
        auto& p = *procs[rng() % procs.size()];
        auto& names = open[&p];
        int op = int(rng() % 10);
        if (names.size() < 3 || (op < 3 && names.size() < 12)) {
            std::string name = "w" + std::to_string(serial++);
            int w = 100 + int(rng() % 900), h = 80 + int(rng() % 700);
            char color[8];
            snprintf(color, sizeof color, "%06x", unsigned(rng() & 0xFFFFFF));
            std::string opts = "w=" + std::to_string(w) + " h=" + std::to_string(h) +
                               " color=" + color;
            if (rng() % 4 == 0) opts += " opacity=0.05";
            if (rng() % 5 == 0) opts += " icon=48x48";
            if (rng() % 9 == 0) opts += " icon=16x16:100000x100000";
            uint32_t id = p.open(name, opts);
            if (id) {
                names.push_back(name);
                std::lock_guard g(lock);
                ids[name] = id;
            }
            return;
        }
        std::string name = names[rng() % names.size()];
        switch (op) {
            case 3: {
                std::string title = "t" + std::to_string(rng());
                if (rng() % 3 == 0) title += "\xff\xfe bad \xc3";
                if (rng() % 20 == 0) title += std::string(200000, 'x');
                p.command("title " + name + " " + title);
                break;
            }
            case 4:
                p.command("resize " + name + " " + std::to_string(150 + rng() % 800) + " " +
                          std::to_string(100 + rng() % 600));
                break;
            case 5:
            case 6:
                p.command("activate " + name);
                break;
            case 7:
                p.command("raise " + name);
                break;
            default: {
                p.command("close " + name);
                names.erase(std::find(names.begin(), names.end(), name));
                std::lock_guard g(lock);
                gone.push_back(ids[name]);
                ids.erase(name);
            }
        }
    }

    // A window number to capture: mostly a live one, sometimes a destroyed one.
    uint32_t pick(std::mt19937& rng) {
        std::lock_guard g(lock);
        if ((rng() % 4 == 0 || ids.empty()) && !gone.empty()) return gone[rng() % gone.size()];
        if (ids.empty()) return 0;
        auto it = ids.begin();
        std::advance(it, rng() % ids.size());
        return it->second;
    }

    std::vector<std::unique_ptr<harness::TestWin>> procs;
    std::map<harness::TestWin*, std::vector<std::string>> open;
    std::mutex lock;
    std::map<std::string, uint32_t> ids;
    std::vector<uint32_t> gone;
    int serial = 0;
};

// Reads every reply line and checks it against the ledger.
void readReplies(harness::Companion& c, Ledger& ledger, std::atomic<bool>& done) {
    while (!done) {
        auto line = c.line(500ms);
        if (!line) continue;
        json::error_code ec;
        json::value v = json::parse(*line, ec);
        if (ec || !v.is_object()) {
            ledger.fault("not a JSON object: " + line->substr(0, 120));
            continue;
        }
        if (json::serialize(v).size() != line->size())
            ledger.fault("not compact: " + line->substr(0, 120));
        auto& obj = v.get_object();
        auto id = obj.find("id");
        if (id == obj.end() || !id->value().is_int64()) {
            ledger.fault("reply without our id: " + line->substr(0, 120));
            continue;
        }
        int64_t seq = id->value().get_int64();
        std::lock_guard g(ledger.lock);
        auto it = ledger.open.find(seq);
        if (it == ledger.open.end()) {
            if (ledger.faults.size() < 20)
                ledger.faults.push_back("unexpected or second reply for " + std::to_string(seq));
        } else {
            if (it->second == Expect::None && ledger.faults.size() < 20)
                ledger.faults.push_back("reply to a request that must get none: " +
                                        std::to_string(seq));
            if (it->second == Expect::Ordered) {
                if (seq < ledger.lastOrdered && ledger.faults.size() < 20)
                    ledger.faults.push_back("main-thread reply out of order: " +
                                            std::to_string(seq));
                ledger.lastOrdered = seq;
            }
            if (it->second == Expect::Async) --ledger.asyncOpen;
            ledger.open.erase(it);
        }
        ++ledger.replies;
        ledger.changed.notify_all();
    }
}

std::string fifoPath() {
    std::string p = "/tmp/soak-fifo-" + std::to_string(getpid());
    mkfifo(p.c_str(), 0600);
    return p;
}

TEST(Soak, EveryRequestGetsExactlyTheRepliesItShould) {
    harness::Display display;
    Churn churn(display.name);
    harness::Companion c({{"DISPLAY", display.name}});
    Ledger ledger;
    std::atomic<bool> done{false};
    std::thread reader([&] { readReplies(c, ledger, done); });
    std::atomic<bool> churning{true};
    std::thread churner([&] {
        std::mt19937 rng(7);
        while (churning) {
            churn.step(rng);
            std::this_thread::sleep_for(10ms);
        }
    });
    std::string fifo = fifoPath();
    std::vector<harness::Sample> samples;

    std::mt19937 rng(11);
    int64_t seq = 0, silent = 0;
    auto send = [&](json::object req, Expect e) {
        int64_t id = seq++;
        req["id"] = id;
        {
            std::lock_guard g(ledger.lock);
            ledger.open[id] = e;
            if (e == Expect::Async) ++ledger.asyncOpen;
        }
        c.send(req);
    };
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(soakSeconds());
    auto nextSample = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() < until) {
        {
            // Several in flight, but bounded: a slow job must not let the
            // backlog grow without end.
            std::unique_lock g(ledger.lock);
            ledger.changed.wait_for(g, 2s, [&] { return ledger.asyncOpen < 12; });
        }
        switch (rng() % 16) {
            case 0:
            case 1:
            case 2:
                send({{"cmd", "front"}}, Expect::Ordered);
                break;
            case 3:
                send({{"cmd", "front"}, {"dovk", int64_t(churn.procs[0]->pid)}}, Expect::Ordered);
                break;
            case 4:
            case 5:
            case 6:
                send({{"cmd", "capture"}, {"window", churn.pick(rng)},
                      {"edge", double(64 + rng() % 900)}, {"quality", 0.5}},
                     Expect::Async);
                break;
            case 7:
                send({{"cmd", "automation"}, {"bundle", rng() % 2 ? "org.example.Soak" : "bad..name"}},
                     Expect::Async);
                break;
            case 8: {
                const char* paths[] = {"/usr/share/applications", "/nonexistent/x.app", "/etc/hostname",
                                       fifo.c_str(), ""};
                send({{"cmd", "app"}, {"path", paths[rng() % 5]}}, Expect::Ordered);
                break;
            }
            case 9:
                send({{"cmd", "allow"}}, Expect::Ordered);
                break;
            case 10:
                send({{"cmd", "haptic"}, {"pattern", rng() % 2 ? "generic" : "x"}}, Expect::None);
                ++silent;
                break;
            case 11:
                send({{"cmd", "unknown-" + std::to_string(rng() % 100)}}, Expect::Ordered);
                break;
            case 12:
                c.send(rng() % 2 ? "{broken" : "[\"cmd\",\"front\"]");
                break;
            case 13: {
                int64_t id = seq++;
                {
                    std::lock_guard g(ledger.lock);
                    ledger.open[id] = Expect::Ordered;
                }
                c.send("{\"cmd\":\"bad\xff\xc0utf8\",\"id\":" + std::to_string(id) + "}");
                break;
            }
            case 14:
                if (rng() % 50 == 0)
                    send({{"cmd", "padded"}, {"pad", std::string(3 << 20, 'p')}}, Expect::Ordered);
                break;
            default:
                std::this_thread::sleep_for(2ms);
        }
        if (std::chrono::steady_clock::now() >= nextSample) {
            samples.push_back(harness::sample(c.pid, display.name));
            nextSample += std::chrono::seconds(std::max(1, soakSeconds() / 20));
        }
    }
    churning = false;
    churner.join();

    // Everything answerable is answered; what must stay silent stays silent.
    {
        std::unique_lock g(ledger.lock);
        ledger.changed.wait_for(g, 60s, [&] { return ledger.open.size() == size_t(silent); });
        for (auto& [id, e] : ledger.open)
            if (e != Expect::None) ADD_FAILURE() << "no reply to request " << id;
    }
    EXPECT_TRUE(c.silentFor(300ms));
    done = true;
    reader.join();
    for (auto& f : ledger.faults) ADD_FAILURE() << f;

    samples.push_back(harness::sample(c.pid, display.name));
    if (std::getenv("SOAK_REPORT")) harness::printSamples(samples);
    std::printf("soak: %lld requests, %lld replies checked\n", (long long)seq,
                (long long)ledger.replies);
    // Bounded resources: after warm-up, descriptors, threads and X resources
    // do not grow with the run.
    ASSERT_GE(samples.size(), 3u);
    const harness::Sample& warm = samples[samples.size() / 3];
    EXPECT_LE(samples.back().fds, warm.fds + 4);
    EXPECT_LE(samples.back().threads, warm.threads + 4);
    // The server counts one redirection per captured window still open, and
    // the run's windows come and go: tens either way are noise, a leak per
    // capture would be thousands.
    EXPECT_LE(samples.back().xResources, warm.xResources + 48);
    // A long run has a plateau: memory grows by less than 5% over its last
    // half (short runs are still warming their caches and pools).
    if (soakSeconds() >= 600) {
        const harness::Sample& mid = samples[samples.size() / 2];
        EXPECT_LT(double(samples.back().rssKb), 1.05 * double(mid.rssKb));
    }

    c.closeInput();
    EXPECT_EQ(c.wait(10s), 0);
    EXPECT_EQ(c.stderrText(), "");
    unlink(fifo.c_str());
}

}  // namespace
