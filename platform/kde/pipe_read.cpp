// The bounded pipe reader.
#include "platform/kde/pipe_read.hpp"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace platform::kde {

std::string readExactly(int fd, uint8_t* into, size_t size, std::chrono::milliseconds idle) {
    size_t got = 0;
    while (got < size) {
        pollfd p{fd, POLLIN, 0};
        int ready = ::poll(&p, 1, int(idle.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) return std::string("the picture could not be read: ") + std::strerror(errno);
        if (ready == 0) return "KWin did not send the picture in time";
        ssize_t n = ::read(fd, into + got, size - got);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n < 0) return std::string("the picture could not be read: ") + std::strerror(errno);
        if (n == 0) return "KWin sent fewer bytes than it announced";
        got += size_t(n);
    }
    return {};
}

}  // namespace platform::kde
