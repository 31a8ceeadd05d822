// A session-bus peer for the automation tests: owns one well-known name and
// answers Peer.Ping as told, until it is killed.
//   busname NAME            answers every Ping
//   busname --silent NAME   never answers a Ping
//   busname --ask NAME      answers Ping with InteractiveAuthorizationRequired
// Prints "ready" on stdout once the name is owned; exits 1 when it cannot be.
#include <systemd/sd-bus.h>

#include <cstdio>
#include <cstring>

namespace {

enum class Mode { answer, silent, ask };

int onMessage(sd_bus_message* m, void* userdata, sd_bus_error*) {
    Mode mode = *static_cast<Mode*>(userdata);
    if (mode == Mode::answer || !sd_bus_message_is_method_call(m, "org.freedesktop.DBus.Peer", "Ping"))
        return 0;
    if (mode == Mode::ask)
        sd_bus_reply_method_errorf(m, SD_BUS_ERROR_INTERACTIVE_AUTHORIZATION_REQUIRED,
                                   "consent needed");
    return 1;  // handled: the built-in Peer answer must not run
}

}  // namespace

int main(int argc, char** argv) {
    Mode mode = Mode::answer;
    int at = 1;
    if (argc == 3 && std::strcmp(argv[1], "--silent") == 0) mode = Mode::silent, at = 2;
    if (argc == 3 && std::strcmp(argv[1], "--ask") == 0) mode = Mode::ask, at = 2;
    if (argc != at + 1) return 2;

    sd_bus* bus = nullptr;
    if (sd_bus_open_user(&bus) < 0) return 1;
    if (sd_bus_add_filter(bus, nullptr, onMessage, &mode) < 0) return 1;
    if (sd_bus_request_name(bus, argv[at], 0) < 0) return 1;
    std::printf("ready\n");
    std::fflush(stdout);
    for (;;) {
        int r = sd_bus_process(bus, nullptr);
        if (r < 0) return 1;
        if (r == 0 && sd_bus_wait(bus, UINT64_MAX) < 0) return 1;
    }
}
