// The segment pool: a few idle segments per connection, kept attached, so a
// capture costs no shmget/attach round trip once the pool is warm.
#include "platform/x11/shm.hpp"

#include <algorithm>
#include <mutex>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <vector>

namespace platform::x11 {
namespace {

constexpr size_t kIdleMax = 4;
constexpr size_t kGranule = size_t(1) << 20;

struct Pool {
    std::mutex lock;
    std::weak_ptr<Connection> owner;  // idle segments belong to this one
    std::vector<ShmSegment*> idle;
    bool unusable = false;  // the owner's server refused to attach
};
Pool& pool() {
    static auto* p = new Pool;
    return *p;
}

// Detaches on the server only while that connection still lives; a dead
// connection took its attachments with it.
void destroy(ShmSegment* s, xcb_connection_t* live) {
    if (live) xcb_shm_detach(live, s->id);
    shmdt(s->addr);
    delete s;
}

// A new attached segment; null with `refused` set when the server would not
// attach it (it cannot reach our memory).
ShmSegment* create(const ConnectionRef& conn, size_t bytes, bool& refused) {
    refused = false;
    size_t size = (bytes + kGranule - 1) / kGranule * kGranule;
    int shmid = shmget(IPC_PRIVATE, size, IPC_CREAT | 0600);
    if (shmid < 0) return nullptr;
    void* addr = shmat(shmid, nullptr, 0);
    if (addr == reinterpret_cast<void*>(-1)) {
        shmctl(shmid, IPC_RMID, nullptr);
        return nullptr;
    }
    auto* s = new ShmSegment{xcb_generate_id(conn->c), static_cast<uint8_t*>(addr), size,
                             conn.get()};
    xcb_generic_error_t* err = nullptr;
    if (s->id != uint32_t(-1))
        err = xcb_request_check(conn->c, xcb_shm_attach_checked(conn->c, s->id, uint32_t(shmid), 0));
    // Once the server holds it, the id can go: the memory vanishes with the
    // last detach, however the process ends.
    shmctl(shmid, IPC_RMID, nullptr);
    if (err || s->id == uint32_t(-1) || conn->broken()) {
        refused = err != nullptr;
        free(err);
        shmdt(addr);
        delete s;
        return nullptr;
    }
    return s;
}

}  // namespace

void ShmRelease::operator()(ShmSegment* s) const {
    Pool& p = pool();
    std::unique_lock guard(p.lock);
    ConnectionRef owner = p.owner.lock();
    if (owner && owner.get() == s->owner && !owner->broken() && p.idle.size() < kIdleMax) {
        p.idle.push_back(s);
        return;
    }
    guard.unlock();
    destroy(s, owner && owner.get() == s->owner && !owner->broken() ? owner->c : nullptr);
}

ShmLease leaseShm(const ConnectionRef& conn, size_t bytes) {
    if (!xcb_get_extension_data(conn->c, &xcb_shm_id) ||
        !xcb_get_extension_data(conn->c, &xcb_shm_id)->present)
        return nullptr;
    Pool& p = pool();
    {
        std::unique_lock guard(p.lock);
        if (p.owner.lock() != conn) {
            // A new connection: the old one's segments are attached nowhere.
            std::vector<ShmSegment*> stale;
            stale.swap(p.idle);
            p.owner = conn;
            p.unusable = false;
            guard.unlock();
            for (ShmSegment* s : stale) destroy(s, nullptr);
            guard.lock();
        }
        if (p.unusable) return nullptr;
        // The smallest idle segment that fits.
        auto best = p.idle.end();
        for (auto it = p.idle.begin(); it != p.idle.end(); ++it)
            if ((*it)->size >= bytes && (best == p.idle.end() || (*it)->size < (*best)->size))
                best = it;
        if (best != p.idle.end()) {
            ShmSegment* s = *best;
            p.idle.erase(best);
            return ShmLease(s);
        }
    }
    bool refused = false;
    ShmSegment* s = create(conn, bytes, refused);
    if (!s) {
        std::lock_guard guard(p.lock);
        if (refused && p.owner.lock() == conn) p.unusable = true;
        return nullptr;
    }
    return ShmLease(s);
}

}  // namespace platform::x11
