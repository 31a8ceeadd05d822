#include "tests/harness/testwin.hpp"

#include <csignal>
#include <cstring>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

namespace harness {

TestWin::TestWin(const std::string& display) {
    int toChild[2], fromChild[2];
    if (pipe(toChild) || pipe(fromChild)) throw std::runtime_error("pipe");
    pid = fork();
    if (pid == 0) {
        dup2(toChild[0], 0);
        dup2(fromChild[1], 1);
        close(toChild[1]);
        close(fromChild[0]);
        setenv("DISPLAY", display.c_str(), 1);
        std::string path = std::string(TOOLS_DIR) + "/testwin";
        execl(path.c_str(), "testwin", nullptr);
        _exit(127);
    }
    close(toChild[0]);
    close(fromChild[1]);
    to_ = fdopen(toChild[1], "w");
    from_ = fdopen(fromChild[0], "r");
    char line[256] = {};
    if (!fgets(line, sizeof line, from_) || strncmp(line, "ready", 5) != 0)
        throw std::runtime_error("testwin did not start");
}

TestWin::~TestWin() { quit(); }

std::string TestWin::command(const std::string& line) {
    if (!to_) return "error gone";
    fputs((line + "\n").c_str(), to_);
    fflush(to_);
    std::string answer;
    char buf[4096];
    while (fgets(buf, sizeof buf, from_)) {
        answer += buf;
        if (!answer.empty() && answer.back() == '\n') break;
    }
    if (!answer.empty()) answer.pop_back();
    return answer;
}

uint32_t TestWin::open(const std::string& name, const std::string& options) {
    std::string a = command("open " + name + " " + options);
    if (a.rfind("ok ", 0) != 0) return 0;
    return uint32_t(std::stoul(a.substr(3)));
}

void TestWin::quit() {
    if (to_) fclose(to_);
    if (from_) fclose(from_);
    to_ = from_ = nullptr;
    if (pid > 0) {
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
        pid = -1;
    }
}

}  // namespace harness
