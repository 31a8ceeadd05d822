// Drives a real companion process over its pipes.
#pragma once

#include <boost/json/object.hpp>
#include <boost/json/value.hpp>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace harness {

using namespace std::chrono_literals;

// How the companion is started, beyond its environment.
struct Launch {
    bool nonblockingStdin = false;   // O_NONBLOCK on the pipe end it reads
    bool nonblockingStdout = false;  // O_NONBLOCK on the pipe end it writes
    size_t addressSpace = 0;         // RLIMIT_AS in bytes when not 0
    // Run through this argv prefix (asUser's, to run as the session's user);
    // the companion's pid and parent stay the same, as the prefix execs it.
    std::vector<std::string> prefix = {};
    bool cleanEnv = false;           // start from an empty environment, not the test's
    std::string binary = {};         // the program to run; the build tree's when empty
};

struct Companion {
    // Starts the companion with the test's environment plus `env` (a value
    // of "" removes the variable). stderr is captured to check it stays empty.
    explicit Companion(std::map<std::string, std::string> env = {});
    Companion(std::map<std::string, std::string> env, Launch how);
    ~Companion();
    Companion(const Companion&) = delete;
    Companion& operator=(const Companion&) = delete;

    pid_t pid = -1;
    int in = -1;   // our end of its stdin
    int out = -1;  // our end of its stdout
    int err = -1;  // our end of its stderr

    // Writes raw bytes to its stdin (blocks until written).
    void write(const std::string& bytes);
    void send(const std::string& line) { write(line + "\n"); }
    void send(const boost::json::object& request);
    void closeInput();

    // The next reply line (without its LF), or nothing after `timeout`.
    std::optional<std::string> line(std::chrono::milliseconds timeout = 10s);
    // The next reply, parsed; fails the test when it is not a JSON object.
    std::optional<boost::json::object> next(std::chrono::milliseconds timeout = 10s);
    // Sends `request` and returns the reply with its id, skipping none.
    boost::json::object ask(boost::json::object request, std::chrono::milliseconds timeout = 10s);
    // True when no reply line arrives within `quiet`.
    bool silentFor(std::chrono::milliseconds quiet);

    // Waits for the process to end; its exit status, or -1 when it did not
    // end in time (it is killed then) or died by a signal.
    int wait(std::chrono::milliseconds timeout = 5s);
    // Everything it wrote to stderr so far.
    std::string stderrText();

private:
    std::string buffered_;
    std::string errText_;
    bool exited_ = false;
    int status_ = -1;
};

}  // namespace harness
