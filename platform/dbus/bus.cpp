// sd-bus on the main loop: the connection's fd is watched with a
// posix::stream_descriptor and its timeout with a steady_timer; each wake-up
// processes every pending message, then asks again what to wait for.
#include "platform/dbus/bus.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/steady_timer.hpp>

#include <poll.h>
#include <time.h>

#include <chrono>

namespace platform::dbus {
namespace {

namespace asio = boost::asio;

struct Served : std::enable_shared_from_this<Served> {
    Served(asio::io_context& loop, BusRef b) : bus(std::move(b)), fd(loop), timer(loop) {}
    BusRef bus;
    asio::posix::stream_descriptor fd;
    asio::steady_timer timer;
    void (*lost)(void*) = nullptr;
    void* lostData = nullptr;
    bool waiting = false;
    bool done = false;

    void close() {
        if (done) return;
        done = true;
        timer.cancel();
        fd.release();  // sd-bus owns the fd
        if (lost) lost(lostData);
    }

    void pump() {
        if (done) return;
        for (;;) {
            int r = sd_bus_process(bus.get(), nullptr);
            if (r < 0) return close();
            if (r == 0) break;
        }
        if (!sd_bus_is_open(bus.get())) return close();
        sd_bus_flush(bus.get());
        arm();
    }

    void arm() {
        int events = sd_bus_get_events(bus.get());
        if (events < 0) return close();
        auto self = shared_from_this();
        if (!waiting) {
            waiting = true;
            auto kind = (events & POLLOUT) ? asio::posix::stream_descriptor::wait_write
                                           : asio::posix::stream_descriptor::wait_read;
            fd.async_wait(kind, [self](const boost::system::error_code& ec) {
                self->waiting = false;
                if (!ec) self->pump();
            });
        }
        uint64_t usec = 0;
        if (sd_bus_get_timeout(bus.get(), &usec) >= 0 && usec != UINT64_MAX) {
            timespec ts;
            clock_gettime(CLOCK_MONOTONIC, &ts);
            uint64_t now = uint64_t(ts.tv_sec) * 1000000u + uint64_t(ts.tv_nsec) / 1000u;
            uint64_t wait = usec > now ? usec - now : 0;
            timer.expires_after(std::chrono::microseconds(wait));
            timer.async_wait([self](const boost::system::error_code& ec) {
                if (!ec) self->pump();
            });
        }
    }
};

uint64_t nowUsec() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64_t(ts.tv_sec) * 1000000u + uint64_t(ts.tv_nsec) / 1000u;
}

}  // namespace

BusRef openSessionBus() {
    sd_bus* bus = nullptr;
    if (sd_bus_open_user(&bus) < 0 || !bus) return nullptr;
    return BusRef(bus, [](sd_bus* b) { sd_bus_flush_close_unref(b); });
}

MessageRef call(sd_bus* bus, const char* destination, const char* path, const char* interface,
                const char* method, uint64_t timeoutUsec, CallError& error,
                int (*fill)(sd_bus_message*, void*), void* fillData) {
    MessageRef none(nullptr, &sd_bus_message_unref);
    sd_bus_message* m = nullptr;
    int r = sd_bus_message_new_method_call(bus, &m, destination, path, interface, method);
    MessageRef msg(m, &sd_bus_message_unref);
    if (r >= 0 && fill) r = fill(m, fillData);
    if (r < 0) {
        error = {"org.freedesktop.DBus.Error.InvalidArgs", "the call could not be built"};
        return none;
    }
    sd_bus_error e = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    uint64_t start = nowUsec();
    r = sd_bus_call(bus, m, timeoutUsec, &e, &reply);
    if (r < 0) {
        if (sd_bus_error_is_set(&e)) {
            error = {e.name ? e.name : "", e.message ? e.message : ""};
        } else if (nowUsec() - start >= timeoutUsec) {
            error = {"org.freedesktop.DBus.Error.Timeout", "no answer in time"};
        } else {
            error = {"org.freedesktop.DBus.Error.Disconnected", "the session bus is gone"};
        }
        sd_bus_error_free(&e);
        return none;
    }
    sd_bus_error_free(&e);
    return MessageRef(reply, &sd_bus_message_unref);
}

void attach(asio::io_context& loop, BusRef bus, void (*lost)(void*), void* lostData) {
    int fd = sd_bus_get_fd(bus.get());
    if (fd < 0) {
        if (lost) lost(lostData);
        return;
    }
    auto served = std::make_shared<Served>(loop, std::move(bus));
    served->lost = lost;
    served->lostData = lostData;
    served->fd.assign(fd);
    served->pump();
}

}  // namespace platform::dbus
