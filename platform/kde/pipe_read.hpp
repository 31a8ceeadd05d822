// Reading a picture that another process writes into a pipe: exactly the
// size it announced, never more. Internal to platform/kde.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

namespace platform::kde {

// Reads exactly `size` bytes from `fd` into `into`, waiting at most `idle`
// for each part to arrive. "" on success, else what went wrong: the writer
// closed its end early, nothing came in time, or the read failed. Never
// reads past `size`.
std::string readExactly(int fd, uint8_t* into, size_t size, std::chrono::milliseconds idle);

}  // namespace platform::kde
