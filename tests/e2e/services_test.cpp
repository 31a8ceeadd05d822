// "automation", "allow", "app" and "haptic" end to end: the real companion
// against a private session bus with its own policy, and real files on disk.
#include "tests/harness/companion.hpp"
#include "tests/harness/display.hpp"

#include <boost/json/serialize.hpp>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>

extern char** environ;

namespace {

namespace json = boost::json;
namespace fs = std::filesystem;
using harness::Companion;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr const char* kOwned = "org.example.Owned";
constexpr const char* kDenied = "org.example.Denied";
constexpr const char* kSilent = "org.example.Silent";
constexpr const char* kAsk = "org.example.Ask";

// A child with its stdout on a pipe; killed and reaped when it goes.
struct Child {
    Child(std::vector<std::string> argv, const std::string& busAddress) {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC)) throw std::runtime_error("pipe");
        std::vector<std::string> env;
        for (char** e = environ; *e; ++e)
            if (std::strncmp(*e, "DBUS_SESSION_BUS_ADDRESS=", 25) != 0) env.push_back(*e);
        if (!busAddress.empty()) env.push_back("DBUS_SESSION_BUS_ADDRESS=" + busAddress);
        std::vector<char*> envp, args;
        for (auto& s : env) envp.push_back(s.data());
        envp.push_back(nullptr);
        for (auto& s : argv) args.push_back(s.data());
        args.push_back(nullptr);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, fds[1], 1);
        posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
        int rc = posix_spawnp(&pid, args[0], &fa, nullptr, args.data(), envp.data());
        posix_spawn_file_actions_destroy(&fa);
        close(fds[1]);
        out = fds[0];
        if (rc != 0) {
            pid = -1;
            throw std::runtime_error("spawn " + argv[0]);
        }
    }
    ~Child() {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        if (out >= 0) close(out);
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    // The first line it writes, or "" when none comes within `timeout`.
    std::string firstLine(std::chrono::milliseconds timeout = 5s) {
        std::string text;
        auto deadline = Clock::now() + timeout;
        while (text.find('\n') == std::string::npos) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            pollfd p{out, POLLIN, 0};
            if (left.count() <= 0 || poll(&p, 1, int(left.count())) <= 0) return "";
            char buf[512];
            ssize_t n = read(out, buf, sizeof buf);
            if (n <= 0) return "";
            text.append(buf, size_t(n));
        }
        return text.substr(0, text.find('\n'));
    }

    pid_t pid = -1;
    int out = -1;
};

// A scratch directory, removed at the end.
struct Scratch {
    Scratch() {
        char tmpl[] = "/tmp/services-e2e-XXXXXX";
        if (!mkdtemp(tmpl)) throw std::runtime_error("mkdtemp");
        dir = tmpl;
    }
    ~Scratch() { fs::remove_all(dir); }
    std::string write(const std::string& name, const std::string& text) const {
        std::string path = dir + "/" + name;
        std::ofstream(path, std::ios::binary) << text;
        return path;
    }
    std::string dir;
};

// The configuration of a private session bus listening on `listen`, letting
// everyone own and send anything but what `mandatory` policy rules forbid.
std::string busConfig(const std::string& listen, const std::string& mandatory) {
    return R"(<!DOCTYPE busconfig PUBLIC
 "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>)" + listen + R"(</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
  <policy context="mandatory">)" + mandatory + R"(</policy>
</busconfig>
)";
}

// A private session bus that refuses messages to kDenied, with peers on it.
class Bus : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        scratch = new Scratch;
        std::string config = scratch->write(
            "bus.conf", busConfig("unix:dir=" + scratch->dir,
                                  std::string("<deny send_destination=\"") + kDenied + "\"/>"));
        daemon = new Child({"dbus-daemon", "--nofork", "--config-file=" + config, "--print-address=1"},
                           "");
        address = daemon->firstLine();
        ASSERT_FALSE(address.empty()) << "dbus-daemon gave no address";
        for (auto [name, mode] : {std::pair{kOwned, ""}, {kDenied, ""}, {kSilent, "--silent"},
                                  {kAsk, "--ask"}}) {
            std::vector<std::string> argv{TOOLS_DIR "/busname"};
            if (*mode) argv.push_back(mode);
            argv.push_back(name);
            peers.push_back(new Child(argv, address));
            ASSERT_EQ(peers.back()->firstLine(), "ready") << name;
        }
    }
    static void TearDownTestSuite() {
        for (Child* p : peers) delete p;
        peers.clear();
        delete daemon;
        delete scratch;
    }
    static std::map<std::string, std::string> env() {
        return {{"DISPLAY", ""}, {"DBUS_SESSION_BUS_ADDRESS", address}};
    }
    static json::object automation(const json::value& bundle, const json::value& id) {
        json::object r{{"cmd", "automation"}, {"id", id}};
        if (!bundle.is_null()) r["bundle"] = bundle;
        return r;
    }

    static inline Scratch* scratch = nullptr;
    static inline Child* daemon = nullptr;
    static inline std::vector<Child*> peers;
    static inline std::string address;
};

std::string state(const json::object& reply) {
    auto it = reply.find("state");
    return it != reply.end() && it->value().is_string() ? std::string(it->value().get_string()) : "";
}

TEST_F(Bus, EachStateComesFromTheBusAndItsPolicy) {
    Companion c(env());
    struct Case {
        json::value bundle;
        const char* word;
    } cases[] = {
        {kOwned, "allowed"},
        {"org.example.Nobody", "not-running"},
        {kDenied, "denied"},
        {kAsk, "ask"},
        {"not a bus name", "unknown"},
        {"single", "unknown"},
        {"", "unknown"},
        {nullptr, "unknown"},  // no "bundle" key
        {42, "unknown"},
        {json::array{kOwned}, "unknown"},
    };
    int id = 0;
    for (const Case& k : cases) {
        auto r = c.ask(automation(k.bundle, ++id));
        EXPECT_EQ(state(r), k.word) << json::serialize(k.bundle);
        EXPECT_EQ(r.size(), 2u);
    }
    // Probing never starts anything or takes the name: still not running.
    EXPECT_EQ(state(c.ask(automation("org.example.Nobody", "again"))), "not-running");
    c.closeInput();
    EXPECT_EQ(c.wait(), 0);
    EXPECT_EQ(c.stderrText(), "");
}

TEST_F(Bus, APeerThatNeverAnswersGivesUnknownInTimeAndHoldsUpNothing) {
    Companion c(env());
    auto start = Clock::now();
    c.send(automation(kSilent, "slow"));
    c.send(automation(kOwned, "owned"));
    c.send(R"({"cmd":"app","id":"app","path":"/nowhere/Thing.app"})");

    // The main thread answers "app" at once; the owned name's probe does not
    // wait behind the silent one.
    std::vector<std::string> order;
    std::map<std::string, json::object> replies;
    while (order.size() < 3) {
        auto r = c.next(3s);
        ASSERT_TRUE(r) << "replies so far: " << order.size();
        std::string id(r->at("id").as_string());
        order.push_back(id);
        replies[id] = *r;
        if (id == "slow") {
            auto took = Clock::now() - start;
            EXPECT_GE(took, 400ms);
            EXPECT_LT(took, 2s);
        }
    }
    EXPECT_EQ(order.back(), "slow");
    EXPECT_EQ(state(replies["slow"]), "unknown");
    EXPECT_EQ(state(replies["owned"]), "allowed");
    EXPECT_EQ(replies["app"]["name"], "Thing");
    EXPECT_EQ(c.stderrText(), "");
}

TEST_F(Bus, ProbesRunSideBySide) {
    Companion c(env());
    auto start = Clock::now();
    for (int i = 0; i < 4; ++i) c.send(automation(kSilent, i));
    std::set<int64_t> ids;
    for (int i = 0; i < 4; ++i) {
        auto r = c.next(3s);
        ASSERT_TRUE(r);
        EXPECT_EQ(state(*r), "unknown");
        ids.insert(r->at("id").as_int64());
    }
    EXPECT_EQ(ids.size(), 4u);
    EXPECT_LT(Clock::now() - start, 1500ms) << "silent probes waited for each other";
}

TEST(NoBus, EveryProbeIsUnknown) {
    Scratch empty;
    for (std::map<std::string, std::string> env :
         {std::map<std::string, std::string>{{"DBUS_SESSION_BUS_ADDRESS",
                                              "unix:path=" + empty.dir + "/none"}},
          {{"DBUS_SESSION_BUS_ADDRESS", ""}, {"XDG_RUNTIME_DIR", empty.dir}},
          {{"DBUS_SESSION_BUS_ADDRESS", "garbage:"}}}) {
        env["DISPLAY"] = "";
        Companion c(env);
        auto start = Clock::now();
        EXPECT_EQ(state(c.ask({{"cmd", "automation"}, {"id", 1}, {"bundle", kOwned}})), "unknown");
        EXPECT_LT(Clock::now() - start, 1s);
        c.closeInput();
        EXPECT_EQ(c.wait(), 0);
        EXPECT_EQ(c.stderrText(), "");
    }
}

// ---- app ------------------------------------------------------------------

json::object app(const json::value& path, const json::value& id) {
    json::object r{{"cmd", "app"}, {"id", id}};
    if (!path.is_null()) r["path"] = path;
    return r;
}

void expectAppFor(Companion& c, const json::value& path, const char* name, const char* bundle) {
    auto r = c.ask(app(path, "a"), 3s);
    EXPECT_EQ(r.size(), 3u) << json::serialize(r);
    EXPECT_EQ(r["name"], json::value(name)) << json::serialize(path);
    EXPECT_EQ(r["bundle"], json::value(bundle)) << json::serialize(path);
}
void expectApp(Companion& c, const std::string& path, const char* name, const char* bundle) {
    expectAppFor(c, json::string(path), name, bundle);
}

std::map<std::string, std::string> noDisplay() { return {{"DISPLAY", ""}}; }

const char* kEntry =
    "[Desktop Entry]\nType=Application\nName=Editor 2.0\nName[de]=Bearbeiter 2.0\n"
    "Name[de_AT]=Editor Wien\nExec=editor\n";

TEST(App, DesktopEntriesAreBundlesWithLocalizedNames) {
    Scratch s;
    std::string entry = s.write("org.example.Editor.desktop", kEntry);
    {
        Companion c({{"DISPLAY", ""}, {"LANG", "de_DE.UTF-8"}, {"LC_ALL", ""}, {"LC_MESSAGES", ""}});
        expectApp(c, entry, "Bearbeiter 2", "org.example.Editor");
    }
    {
        Companion c({{"DISPLAY", ""}, {"LANG", "de_AT.UTF-8"}, {"LC_ALL", ""}, {"LC_MESSAGES", ""}});
        expectApp(c, entry, "Editor Wien", "org.example.Editor");
    }
    Companion c({{"DISPLAY", ""}, {"LANG", "C"}, {"LC_ALL", ""}, {"LC_MESSAGES", ""}});
    expectApp(c, entry, "Editor 2", "org.example.Editor");

    // Several megabytes of entry: the bounded prefix still has the name.
    std::string big = s.write("big.desktop", "[Desktop Entry]\nName=Big\nComment=" +
                                                 std::string(8 << 20, 'x') + "\n");
    expectApp(c, big, "Big", "big");
    std::string odd = s.write("odd.desktop", "[Desktop Entry]\nName=Odd\xff\xfe Name\n");
    expectApp(c, odd, "Odd\xEF\xBF\xBD\xEF\xBF\xBD Name", "odd");
    EXPECT_EQ(c.stderrText(), "");
}

TEST(App, OtherPathsAreNamedByTheirLastComponent) {
    Scratch s;
    fs::create_directory(s.dir + "/Tool.app");
    fs::create_directory(s.dir + "/v1.2.3");
    s.write("report.final.pdf", "%PDF");
    s.write(".profile", "x");
    std::string fifo = s.dir + "/pipe.desktop";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::string locked = s.write("locked.desktop", kEntry);
    chmod(locked.c_str(), 0);

    Companion c(noDisplay());
    expectApp(c, s.dir + "/Tool.app", "Tool", "");
    expectApp(c, s.dir + "/Tool.app/", "Tool", "");
    expectApp(c, s.dir + "/v1.2.3", "v1.2", "");
    expectApp(c, s.dir + "/report.final.pdf", "report.final", "");
    expectApp(c, s.dir + "/.profile", ".profile", "");
    expectApp(c, "/nowhere/Missing.app", "Missing", "");
    expectApp(c, "relative/name.", "name", "");
    expectApp(c, "/dev/null", "null", "");
    expectApp(c, fifo, "pipe", "");  // must not wait for a writer
    if (geteuid() != 0) expectApp(c, locked, "locked", "");
    expectAppFor(c, 42, "", "");
    expectAppFor(c, nullptr, "", "");  // no "path" key
    expectApp(c, "", "", "");
    expectApp(c, "/", "/", "");
    c.closeInput();
    EXPECT_EQ(c.wait(), 0);
    EXPECT_EQ(c.stderrText(), "");
}

// ---- allow and haptic -----------------------------------------------------

TEST(Services, HapticNeverRepliesAndRepliesAroundItKeepTheirOrder) {
    Companion c(noDisplay());
    c.send(R"({"cmd":"allow","id":1})");
    c.send(R"({"cmd":"haptic","id":"h1"})");
    c.send(R"({"cmd":"haptic","id":"h2","pattern":"generic"})");
    c.send(R"({"cmd":"haptic","id":"h3","pattern":"Generic "})");
    c.send(R"({"cmd":"haptic","id":"h4","pattern":7})");
    c.send(R"({"cmd":"app","id":2,"path":"/x/y.z"})");
    c.send(R"({"cmd":"haptic"})");
    c.send(R"({"cmd":"allow","id":3})");
    EXPECT_EQ(c.line(), R"({"granted":false,"id":1})");
    EXPECT_EQ(c.line(), R"({"name":"y","bundle":"","id":2})");
    EXPECT_EQ(c.line(), R"({"granted":false,"id":3})");
    EXPECT_TRUE(c.silentFor(300ms));
    c.closeInput();
    EXPECT_EQ(c.wait(), 0);
    EXPECT_EQ(c.stderrText(), "");
}

TEST(Services, AllowIsGrantedWithAUsableDisplay) {
    harness::Display display(false);
    Companion c({{"DISPLAY", display.name}});
    auto r = c.ask({{"cmd", "allow"}, {"id", "g"}});
    EXPECT_EQ(r["granted"], json::value(true));
    EXPECT_EQ(r.size(), 2u);
}

}  // namespace

namespace {

// A session bus at a fixed socket, so that a new one can take its place.
std::unique_ptr<Child> busAt(const Scratch& scratch, const std::string& socket) {
    std::string config = scratch.write("fixed.conf", busConfig("unix:path=" + socket, ""));
    auto bus = std::make_unique<Child>(
        std::vector<std::string>{"dbus-daemon", "--nofork", "--config-file=" + config,
                                 "--print-address=1"},
        "");
    EXPECT_FALSE(bus->firstLine().empty());
    return bus;
}

TEST(BusFaults, TheBusGoingAwayBetweenProbesGivesUnknownAndItsReturnIsSeen) {
    Scratch scratch;
    std::string socket = scratch.dir + "/bus";
    std::string address = "unix:path=" + socket;
    auto bus = busAt(scratch, socket);
    auto peer = std::make_unique<Child>(std::vector<std::string>{TOOLS_DIR "/busname", kOwned}, address);
    ASSERT_EQ(peer->firstLine(), "ready");
    Companion c({{"DISPLAY", ""}, {"DBUS_SESSION_BUS_ADDRESS", address}});
    auto probe = [&](int id) {
        return state(c.ask({{"cmd", "automation"}, {"id", id}, {"bundle", kOwned}}));
    };
    EXPECT_EQ(probe(1), "allowed");

    peer.reset();
    bus.reset();
    std::filesystem::remove(socket);
    auto start = Clock::now();
    EXPECT_EQ(probe(2), "unknown");
    EXPECT_LT(Clock::now() - start, 2s);

    bus = busAt(scratch, socket);
    peer = std::make_unique<Child>(std::vector<std::string>{TOOLS_DIR "/busname", kOwned}, address);
    ASSERT_EQ(peer->firstLine(), "ready");
    EXPECT_EQ(probe(3), "allowed");
    c.closeInput();
    EXPECT_EQ(c.wait(), 0);
    EXPECT_EQ(c.stderrText(), "");
}

}  // namespace
