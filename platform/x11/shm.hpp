// MIT-SHM segments for reading window pixels, pooled across capture jobs.
// Internal to platform/.
#pragma once

#include "platform/x11/connection.hpp"

#include <xcb/shm.h>

#include <cstddef>
#include <cstdint>
#include <memory>

namespace platform::x11 {

// A shared-memory segment attached to one connection's server.
struct ShmSegment {
    xcb_shm_seg_t id = 0;
    uint8_t* addr = nullptr;
    size_t size = 0;
    Connection* owner = nullptr;  // the connection it is attached to
};

struct ShmRelease {
    void operator()(ShmSegment* segment) const;
};
// Back to the pool (or freed) when it goes.
using ShmLease = std::unique_ptr<ShmSegment, ShmRelease>;

// A segment of at least `bytes` attached to `conn`, reused when one is idle;
// null when the server cannot share memory with us (remote, no MIT-SHM).
// Any thread; the pool is guarded.
ShmLease leaseShm(const ConnectionRef& conn, size_t bytes);

}  // namespace platform::x11
