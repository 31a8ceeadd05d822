// The main event loop and the background pools.
#pragma once

#include <chrono>
#include <functional>

namespace boost::asio {
class io_context;
}

namespace core {

// The main event loop: runs request jobs one at a time, in submission order,
// on the main thread, together with the platform's event sources.
boost::asio::io_context& mainLoop();

// Runs the main loop on the calling thread, for good. After each burst of
// jobs it stays awake for a few tens of microseconds before it sleeps, so a
// host that asks one question at a time is not paying for a thread wake-up on
// every request; while the host is silent it uses no processor time.
void serve(boost::asio::io_context& loop);

// Submits `job` to the main loop without waiting. Any thread.
void onMain(std::function<void()> job);

// Submits `job` to the shared background pool (capture jobs). Any thread.
// Here and in `onProbes`, an exception out of a job ends that job alone.
void onPool(std::function<void()> job);

// Submits `job` to the pool for work that waits on other processes
// (automation probes), so a slow peer cannot hold up captures. Any thread.
void onProbes(std::function<void()> job);

// Ends the process with status 0 without cutting a reply line in half: takes
// `output` first, but waits for it no longer than `patience` (a host that has
// stopped reading must not keep the process alive).
[[noreturn]] void exitNow(std::chrono::milliseconds patience);

}  // namespace core
