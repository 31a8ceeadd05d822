// A program under measurement, spoken to over pipes: the benches' one way
// to start the companion and its peers. Failures end the bench.
#pragma once

#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

extern char** environ;

namespace bench {

struct Peer {
    pid_t pid = -1;
    int in = -1, out = -1;  // its standard input and output
    std::string buffered;   // read but not yet taken as a line
};

// Starts `argv` (looked up on PATH) with pipes on its stdin and stdout.
inline Peer start(const std::vector<std::string>& argv) {
    int a[2], b[2];
    if (pipe(a) || pipe(b)) std::exit(1);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, a[0], 0);
    posix_spawn_file_actions_adddup2(&fa, b[1], 1);
    posix_spawn_file_actions_addclose(&fa, a[1]);
    posix_spawn_file_actions_addclose(&fa, b[0]);
    std::vector<char*> args;
    for (const std::string& s : argv) args.push_back(const_cast<char*>(s.c_str()));
    args.push_back(nullptr);
    Peer p;
    if (posix_spawnp(&p.pid, args[0], &fa, nullptr, args.data(), environ) != 0) std::exit(1);
    posix_spawn_file_actions_destroy(&fa);
    close(a[0]);
    close(b[1]);
    p.in = a[1];
    p.out = b[0];
    return p;
}

// Ends its input, drains its output and waits for it. Returns the processor
// time it used over its life (user + system, all threads), in seconds.
inline double stop(Peer& p) {
    close(p.in);
    char buf[65536];
    while (read(p.out, buf, sizeof buf) > 0) {
    }
    close(p.out);
    rusage use{};
    wait4(p.pid, nullptr, 0, &use);
    auto secs = [](timeval t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
    return secs(use.ru_utime) + secs(use.ru_stime);
}

inline void writeAll(int fd, const std::string& s) {
    for (size_t done = 0; done < s.size();) {
        ssize_t n = write(fd, s.data() + done, s.size() - done);
        if (n <= 0) std::exit(2);
        done += size_t(n);
    }
}

// The next line of its output, without the line feed.
inline std::string readLine(Peer& p) {
    for (;;) {
        auto lf = p.buffered.find('\n');
        if (lf != std::string::npos) {
            std::string l = p.buffered.substr(0, lf);
            p.buffered.erase(0, lf + 1);
            return l;
        }
        char buf[65536];
        ssize_t n = read(p.out, buf, sizeof buf);
        if (n <= 0) std::exit(2);
        p.buffered.append(buf, size_t(n));
    }
}

}  // namespace bench
