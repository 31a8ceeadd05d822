// sway's IPC: the i3-compatible framing ("i3-ipc", payload length, type, in
// the machine's byte order) over the Unix socket named by SWAYSOCK. Every
// read is bounded in size and in time, so a compositor that stalls, floods
// or dies costs one bounded wait and an absent answer. Internal to platform/.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace platform::wlroots {

enum : uint32_t {
    kIpcCommand = 0,
    kIpcSubscribe = 2,
    kIpcGetOutputs = 3,
    kIpcGetTree = 4,
    kIpcGetVersion = 7,
    kIpcEventBit = 0x80000000u,
};

// A payload past this is not believed (a tree of thousands of windows is
// a few MiB).
constexpr uint32_t kIpcMaxPayload = 32u << 20;
// How long one request may wait for its reply.
constexpr std::chrono::milliseconds kIpcDeadline{1000};

struct IpcMessage {
    uint32_t type = 0;
    std::string payload;
};

// A new non-blocking, close-on-exec connection to the socket at SWAYSOCK;
// -1 when it is unset or nobody answers.
int ipcConnect();

// Sends one message; false when it cannot be written before `deadline`.
bool ipcSend(int fd, uint32_t type, const std::string& payload,
             std::chrono::steady_clock::time_point deadline);

// Reads one whole message; nothing on a short, oversized or malformed frame,
// end of file, or when `deadline` passes. The connection is unusable after a
// failure (its framing is lost).
std::optional<IpcMessage> ipcRead(int fd, std::chrono::steady_clock::time_point deadline);

// One request and its reply on a shared connection, opened when needed and
// closed after any failure (the next call opens another). Events, if any,
// are skipped. Any thread; calls are serialized.
std::optional<std::string> ipcRequest(uint32_t type, const std::string& payload = {});

// The complete frame at `pos` of `buffer` (bytes read without waiting), if
// there is one, moving `pos` past it; false when the buffer holds a
// malformed or oversized frame there. A reader drops what it has taken once
// per read, not once per frame.
bool ipcFrameAt(std::string_view buffer, size_t& pos, std::optional<IpcMessage>& frame);

// ipcFrameAt at the front of `buffer`, the frame taken off it.
bool ipcTakeFrame(std::string& buffer, std::optional<IpcMessage>& frame);

}  // namespace platform::wlroots
