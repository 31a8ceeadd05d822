// Feeds arbitrary bytes through the line splitter, request decoding, the
// argument readers and the dispatcher, the way the reader thread and the main
// loop do. There is no display and no session bus, so "front", "capture" and
// "automation" fail fast; replies go to /dev/null.
#include "core/dispatch.hpp"
#include "core/protocol.hpp"
#include "core/reader.hpp"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    int null = open("/dev/null", O_WRONLY);
    if (null < 0 || dup2(null, STDOUT_FILENO) < 0) std::abort();
    close(null);
    unsetenv("DISPLAY");
    unsetenv("XDG_RUNTIME_DIR");
    setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/bus", 1);
    return 0;
}

namespace {

void serve(std::string_view line) {
    auto r = core::decodeRequest(line);
    if (!r) return;
    for (const char* key : {"dovk", "window", "edge", "quality", "bundle", "path", "pattern"}) {
        (void)core::integerArg(r->args, key);
        (void)core::numberArg(r->args, key);
        (void)core::stringArg(r->args, key);
    }
    core::handle(r->id, r->cmd, r->args);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    core::LineSplitter lines;
    // Two reads, to exercise lines split across them.
    size_t half = size / 2;
    std::string_view line;
    for (auto [p, n] : {std::pair{data, half}, std::pair{data + half, size - half}}) {
        std::memcpy(lines.reserve(n), p, n);
        lines.commit(n);
        while (lines.next(line)) serve(line);
    }
    if (lines.rest(line)) serve(line);
    return 0;
}
