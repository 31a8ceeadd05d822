#include "tests/harness/companion.hpp"

#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace harness {

namespace json = boost::json;

Companion::Companion(std::map<std::string, std::string> env)
    : Companion(std::move(env), Launch{}) {}

Companion::Companion(std::map<std::string, std::string> env, Launch how) {
    std::signal(SIGPIPE, SIG_IGN);
    int inPipe[2], outPipe[2], errPipe[2];
    if (pipe2(inPipe, O_CLOEXEC) || pipe2(outPipe, O_CLOEXEC) || pipe2(errPipe, O_CLOEXEC))
        throw std::runtime_error("pipe");

    std::map<std::string, std::string> vars;
    for (char** e = environ; *e && !how.cleanEnv; ++e) {
        std::string kv = *e;
        auto eq = kv.find('=');
        if (eq != std::string::npos) vars[kv.substr(0, eq)] = kv.substr(eq + 1);
    }
    for (auto& [k, v] : env) {
        if (v.empty()) vars.erase(k);
        else vars[k] = v;
    }
    std::vector<std::string> strings;
    for (auto& [k, v] : vars) strings.push_back(k + "=" + v);
    std::vector<char*> envp;
    for (auto& s : strings) envp.push_back(s.data());
    envp.push_back(nullptr);

    if (how.nonblockingStdin) fcntl(inPipe[0], F_SETFL, O_NONBLOCK);
    if (how.nonblockingStdout) fcntl(outPipe[1], F_SETFL, O_NONBLOCK);

    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, inPipe[0], 0);
    posix_spawn_file_actions_adddup2(&fa, outPipe[1], 1);
    posix_spawn_file_actions_adddup2(&fa, errPipe[1], 2);
    std::vector<std::string> args = how.prefix;
    args.push_back(how.binary.empty() ? std::string(COMPANION_BIN) : how.binary);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    int rc = posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&fa);
    close(inPipe[0]);
    close(outPipe[1]);
    close(errPipe[1]);
    in = inPipe[1];
    out = outPipe[0];
    err = errPipe[0];
    if (rc != 0) throw std::runtime_error("spawn companion");
    // Set from outside before the test sends anything; the companion's start
    // needs far less than any limit a test sets.
    if (how.addressSpace) {
        rlimit lim{how.addressSpace, how.addressSpace};
        if (prlimit(pid, RLIMIT_AS, &lim, nullptr) != 0) throw std::runtime_error("prlimit");
    }
    fcntl(err, F_SETFL, O_NONBLOCK);
}

Companion::~Companion() {
    closeInput();
    if (!exited_ && pid > 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    if (out >= 0) close(out);
    if (err >= 0) close(err);
}

void Companion::write(const std::string& bytes) {
    const char* p = bytes.data();
    size_t left = bytes.size();
    while (left > 0) {
        ssize_t n = ::write(in, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        p += n;
        left -= size_t(n);
    }
}

void Companion::send(const json::object& request) { send(json::serialize(request)); }

void Companion::closeInput() {
    if (in >= 0) close(in);
    in = -1;
}

std::optional<std::string> Companion::line(std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        auto lf = buffered_.find('\n');
        if (lf != std::string::npos) {
            std::string l = buffered_.substr(0, lf);
            buffered_.erase(0, lf + 1);
            return l;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return std::nullopt;
        pollfd p{out, POLLIN, 0};
        int r = poll(&p, 1, int(left.count()));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return std::nullopt;
        char chunk[65536];
        ssize_t n = read(out, chunk, sizeof chunk);
        if (n <= 0) return std::nullopt;
        buffered_.append(chunk, size_t(n));
    }
}

std::optional<json::object> Companion::next(std::chrono::milliseconds timeout) {
    auto l = line(timeout);
    if (!l) return std::nullopt;
    json::error_code ec;
    json::value v = json::parse(*l, ec);
    EXPECT_FALSE(ec) << "reply is not JSON: " << l->substr(0, 200);
    EXPECT_TRUE(v.is_object()) << "reply is not an object: " << l->substr(0, 200);
    if (ec || !v.is_object()) return std::nullopt;
    EXPECT_EQ(json::serialize(v).size(), l->size()) << "reply is not compact";
    return v.get_object();
}

json::object Companion::ask(json::object request, std::chrono::milliseconds timeout) {
    send(request);
    auto r = next(timeout);
    EXPECT_TRUE(r.has_value()) << "no reply to " << json::serialize(request);
    if (!r) return {};
    if (auto id = request.find("id"); id != request.end()) {
        EXPECT_EQ(r->at("id"), id->value());
    }
    return *r;
}

bool Companion::silentFor(std::chrono::milliseconds quiet) { return !line(quiet).has_value(); }

int Companion::wait(std::chrono::milliseconds timeout) {
    if (exited_) return status_;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int st = 0;
        pid_t r = waitpid(pid, &st, WNOHANG);
        if (r == pid) {
            exited_ = true;
            status_ = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
            return status_;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
            exited_ = true;
            status_ = -1;
            return -1;
        }
        usleep(2000);
    }
}

std::string Companion::stderrText() {
    char chunk[4096];
    ssize_t n;
    while ((n = read(err, chunk, sizeof chunk)) > 0) errText_.append(chunk, size_t(n));
    return errText_;
}

}  // namespace harness
