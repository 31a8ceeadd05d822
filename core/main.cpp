// Start-up: state first, then the reader, then the main loop for good.
#include "core/loop.hpp"
#include "core/reader.hpp"
#include "platform/platform.hpp"
#include "tracking/tracker.hpp"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <thread>
#include <unistd.h>

int main() {
    // A host that closes its end must not kill us; writes then fail quietly.
    std::signal(SIGPIPE, SIG_IGN);
    // Debugging switches a host may pass on would make the libraries below
    // print to stdout or stderr (protocol traces, renderer logs) or abort on
    // a warning; nothing but replies may leave this process.
    for (const char* name : {"WAYLAND_DEBUG", "RSVG_LOG", "G_DEBUG", "G_MESSAGES_DEBUG"})
        unsetenv(name);
    // Room for a whole capture reply in the pipe, so its one write does not
    // wait for the host to read the first part (a no-op on anything else).
    fcntl(STDOUT_FILENO, F_SETPIPE_SZ, 1 << 20);

    auto& loop = core::mainLoop();
    platform::selectBackend();
    tracking::startTracking();

    std::thread([] { core::readRequests(STDIN_FILENO); }).detach();

    auto guard = boost::asio::make_work_guard(loop);
    for (;;) {
        try {
            core::serve(loop);
        } catch (...) {
            // A job that threw costs only itself; keep serving.
        }
    }
}
