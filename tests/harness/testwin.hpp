// A running testwin process (tests/tools/testwin.cpp) on a display.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <sys/types.h>

namespace harness {

struct TestWin {
    explicit TestWin(const std::string& display);
    ~TestWin();
    TestWin(const TestWin&) = delete;
    TestWin& operator=(const TestWin&) = delete;

    pid_t pid = -1;

    // Sends one command and returns its answer line ("ok ...", "error ...").
    std::string command(const std::string& line);
    // "open NAME OPTIONS"; returns the new window's XID (0 on failure).
    uint32_t open(const std::string& name, const std::string& options = "");
    void quit();  // closes the connection: all its windows go

private:
    FILE* to_ = nullptr;
    FILE* from_ = nullptr;
};

}  // namespace harness
