// sway's IPC framing and the shared request connection.
#include "platform/wlroots/ipc.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace platform::wlroots {
namespace {

constexpr char kMagic[] = {'i', '3', '-', 'i', 'p', 'c'};
constexpr size_t kHeader = sizeof(kMagic) + 8;

using Clock = std::chrono::steady_clock;

// Waits until `fd` is ready for `events` or `deadline` passes.
bool waitFor(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) return false;
        pollfd p{fd, events, 0};
        int n = ::poll(&p, 1, int(left.count()));
        if (n > 0) return (p.revents & (events | POLLHUP | POLLERR)) != 0;
        if (n < 0 && errno != EINTR) return false;
    }
}

bool readExactly(int fd, char* out, size_t size, Clock::time_point deadline) {
    size_t done = 0;
    while (done < size) {
        ssize_t n = ::read(fd, out + done, size - done);
        if (n > 0) {
            done += size_t(n);
        } else if (n == 0) {
            return false;
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            if (!waitFor(fd, POLLIN, deadline)) return false;
        } else if (errno != EINTR) {
            return false;
        }
    }
    return true;
}

bool parseHeader(const char* h, uint32_t& length, uint32_t& type) {
    if (std::memcmp(h, kMagic, sizeof(kMagic)) != 0) return false;
    std::memcpy(&length, h + sizeof(kMagic), 4);
    std::memcpy(&type, h + sizeof(kMagic) + 4, 4);
    return length <= kIpcMaxPayload;
}

struct Shared {
    std::mutex lock;
    int fd = -1;
};
Shared& shared() {
    static auto* s = new Shared;
    return *s;
}

}  // namespace

int ipcConnect() {
    const char* path = std::getenv("SWAYSOCK");
    sockaddr_un addr{};
    if (!path || !*path || std::strlen(path) >= sizeof(addr.sun_path)) return -1;
    addr.sun_family = AF_UNIX;
    std::strcpy(addr.sun_path, path);
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return -1;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool ipcSend(int fd, uint32_t type, const std::string& payload, Clock::time_point deadline) {
    if (payload.size() > kIpcMaxPayload) return false;
    std::string frame(kMagic, sizeof(kMagic));
    uint32_t length = uint32_t(payload.size());
    frame.append(reinterpret_cast<const char*>(&length), 4);
    frame.append(reinterpret_cast<const char*>(&type), 4);
    frame += payload;
    size_t done = 0;
    while (done < frame.size()) {
        ssize_t n = ::send(fd, frame.data() + done, frame.size() - done, MSG_NOSIGNAL);
        if (n > 0) {
            done += size_t(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!waitFor(fd, POLLOUT, deadline)) return false;
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            return false;
        }
    }
    return true;
}

std::optional<IpcMessage> ipcRead(int fd, Clock::time_point deadline) {
    char header[kHeader];
    if (!readExactly(fd, header, kHeader, deadline)) return std::nullopt;
    uint32_t length = 0;
    IpcMessage m;
    if (!parseHeader(header, length, m.type)) return std::nullopt;
    try {
        m.payload.resize(length);
    } catch (const std::exception&) {
        return std::nullopt;
    }
    if (!readExactly(fd, m.payload.data(), length, deadline)) return std::nullopt;
    return m;
}

std::optional<std::string> ipcRequest(uint32_t type, const std::string& payload) {
    Shared& s = shared();
    std::lock_guard guard(s.lock);
    auto deadline = Clock::now() + kIpcDeadline;
    for (int attempt = 0; attempt < 2; ++attempt) {
        bool fresh = s.fd < 0;
        if (fresh) s.fd = ipcConnect();
        if (s.fd < 0) return std::nullopt;
        bool sent = ipcSend(s.fd, type, payload, deadline);
        while (sent) {
            auto m = ipcRead(s.fd, deadline);
            if (!m) break;
            if (m->type & kIpcEventBit) continue;
            if (m->type != type) break;
            return std::move(m->payload);
        }
        ::close(s.fd);
        s.fd = -1;
        // A connection kept from before may have died with an earlier
        // compositor: one more try on a new one, within the same deadline.
        if (fresh || Clock::now() >= deadline) break;
    }
    return std::nullopt;
}

bool ipcFrameAt(std::string_view buffer, size_t& pos, std::optional<IpcMessage>& frame) {
    frame.reset();
    std::string_view rest = buffer.substr(std::min(pos, buffer.size()));
    if (rest.size() < kHeader) return true;
    uint32_t length = 0, type = 0;
    if (!parseHeader(rest.data(), length, type)) return false;
    if (rest.size() < kHeader + size_t(length)) return true;
    frame = IpcMessage{type, std::string(rest.substr(kHeader, length))};
    pos += kHeader + size_t(length);
    return true;
}

bool ipcTakeFrame(std::string& buffer, std::optional<IpcMessage>& frame) {
    size_t pos = 0;
    if (!ipcFrameAt(buffer, pos, frame)) return false;
    buffer.erase(0, pos);
    return true;
}

}  // namespace platform::wlroots
