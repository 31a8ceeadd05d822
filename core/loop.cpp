#include "core/loop.hpp"

#include "core/reply.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/thread_pool.hpp>

#include <algorithm>
#include <chrono>
#include <thread>
#include <unistd.h>

namespace core {
namespace {

size_t poolSize() { return std::max(2u, std::thread::hardware_concurrency()); }

// A background job that throws costs only itself, as on the main loop.
auto guarded(std::function<void()> job) {
    return [job = std::move(job)] {
        try {
            job();
        } catch (...) {
        }
    };
}

}  // namespace

boost::asio::io_context& mainLoop() {
    static auto* io = new boost::asio::io_context(1);
    return *io;
}

void serve(boost::asio::io_context& loop) {
    using Clock = std::chrono::steady_clock;
    constexpr auto kAwake = std::chrono::microseconds(50);
    for (;;) {
        loop.run_one();
        auto until = Clock::now() + kAwake;
        while (Clock::now() < until) {
            if (loop.poll() > 0) until = Clock::now() + kAwake;
        }
    }
}

void onMain(std::function<void()> job) { boost::asio::post(mainLoop(), std::move(job)); }

void onPool(std::function<void()> job) {
    static auto* pool = new boost::asio::thread_pool(poolSize());
    boost::asio::post(*pool, guarded(std::move(job)));
}

void onProbes(std::function<void()> job) {
    static auto* pool = new boost::asio::thread_pool(8);
    boost::asio::post(*pool, guarded(std::move(job)));
}

void exitNow(std::chrono::milliseconds patience) {
    // Holding `output` (when we get it) keeps every other writer out until
    // the process is gone.
    (void)output.try_lock_for(patience);
    _exit(0);
}

}  // namespace core
