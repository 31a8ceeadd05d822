// Screencopy of an output region into a wl_shm buffer. One Wayland
// connection is shared by every capture job; each job reads its own events
// through an event queue of its own, with a bounded wait.
#include "platform/wlroots/screencopy.hpp"

#include "platform/codec/scale.hpp"
#include "platform/wlroots/wayland.hpp"

#include "wlr-screencopy-unstable-v1.h"
#include <wayland-client.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <memory>
#include <mutex>
#include <poll.h>
#include <sys/mman.h>
#include <unistd.h>

namespace platform::wlroots {
namespace {

using Clock = std::chrono::steady_clock;
constexpr std::chrono::milliseconds kCopyDeadline{2000};
constexpr uint32_t kXbgr8888 = 0x34324258, kAbgr8888 = 0x34324241;
constexpr int64_t kMaxSide = 16384;

struct Output {
    wl_output* proxy = nullptr;
    uint32_t global = 0;
    std::string name;
};

// The shared connection and the globals bound on it.
struct Connection {
    wl_display* display = nullptr;
    wl_event_queue* queue = nullptr;  // set-up events
    wl_registry* registry = nullptr;
    wl_shm* shm = nullptr;
    zwlr_screencopy_manager_v1* copier = nullptr;
    uint32_t copierVersion = 0;
    std::vector<std::unique_ptr<Output>> outputs;
    ~Connection() {
        for (auto& o : outputs) wl_output_destroy(o->proxy);
        if (copier) zwlr_screencopy_manager_v1_destroy(copier);
        if (shm) wl_shm_destroy(shm);
        if (registry) wl_registry_destroy(registry);
        if (queue) wl_event_queue_destroy(queue);
        if (display) wl_display_disconnect(display);
    }
    bool broken() const { return wl_display_get_error(display) != 0; }
};
using ConnectionRef = std::shared_ptr<Connection>;

void outputName(void* data, wl_output*, const char* name) {
    static_cast<Output*>(data)->name = name ? name : "";
}
void ignoreGeometry(void*, wl_output*, int32_t, int32_t, int32_t, int32_t, int32_t, const char*,
                    const char*, int32_t) {}
void ignoreMode(void*, wl_output*, uint32_t, int32_t, int32_t, int32_t) {}
void ignoreDone(void*, wl_output*) {}
void ignoreScale(void*, wl_output*, int32_t) {}
void ignoreDescription(void*, wl_output*, const char*) {}
const wl_output_listener kOutputListener = {ignoreGeometry, ignoreMode, ignoreDone,
                                            ignoreScale, outputName, ignoreDescription};

void global(void* data, wl_registry* registry, uint32_t name, const char* iface, uint32_t version) {
    auto* c = static_cast<Connection*>(data);
    if (std::strcmp(iface, wl_shm_interface.name) == 0 && !c->shm) {
        c->shm = static_cast<wl_shm*>(wl_registry_bind(registry, name, &wl_shm_interface, 1));
    } else if (std::strcmp(iface, zwlr_screencopy_manager_v1_interface.name) == 0 && !c->copier) {
        c->copierVersion = std::min(version, 3u);
        c->copier = static_cast<zwlr_screencopy_manager_v1*>(wl_registry_bind(
            registry, name, &zwlr_screencopy_manager_v1_interface, c->copierVersion));
    } else if (std::strcmp(iface, wl_output_interface.name) == 0 && c->outputs.size() < 64) {
        auto o = std::make_unique<Output>();
        o->global = name;
        o->proxy = static_cast<wl_output*>(
            wl_registry_bind(registry, name, &wl_output_interface, std::min(version, 4u)));
        wl_output_add_listener(o->proxy, &kOutputListener, o.get());
        c->outputs.push_back(std::move(o));
    }
}
void globalRemove(void* data, wl_registry*, uint32_t name) {
    auto* c = static_cast<Connection*>(data);
    for (auto it = c->outputs.begin(); it != c->outputs.end(); ++it)
        if ((*it)->global == name) {
            wl_output_destroy((*it)->proxy);
            c->outputs.erase(it);
            return;
        }
}
const wl_registry_listener kRegistryListener = {global, globalRemove};

ConnectionRef open() {
    auto c = std::make_shared<Connection>();
    c->display = connectDisplay();
    if (!c->display) return nullptr;
    c->queue = wl_display_create_queue(c->display);
    auto* wrapper = static_cast<wl_display*>(wl_proxy_create_wrapper(c->display));
    if (!c->queue || !wrapper) return nullptr;
    wl_proxy_set_queue(reinterpret_cast<wl_proxy*>(wrapper), c->queue);
    c->registry = wl_display_get_registry(wrapper);
    wl_proxy_wrapper_destroy(wrapper);
    if (!c->registry) return nullptr;
    wl_registry_add_listener(c->registry, &kRegistryListener, c.get());
    auto deadline = Clock::now() + kCopyDeadline;
    // Globals, then the outputs' names.
    if (!roundtrip(c->display, c->queue, deadline) || !roundtrip(c->display, c->queue, deadline))
        return nullptr;
    return c;
}

struct Shared {
    std::mutex lock;
    ConnectionRef conn;
};
Shared& shared() {
    static auto* s = new Shared;
    return *s;
}

// The shared connection, opened when there is none or it broke; the
// registry's events (outputs come and go) are taken in on the way.
ConnectionRef connection() {
    Shared& s = shared();
    std::lock_guard guard(s.lock);
    if (s.conn && !s.conn->broken()) {
        wl_display_dispatch_queue_pending(s.conn->display, s.conn->queue);
        roundtrip(s.conn->display, s.conn->queue, Clock::now() + kCopyDeadline);
    }
    if (!s.conn || s.conn->broken()) s.conn = open();
    return s.conn;
}

// One copy's state, filled by the frame's events.
struct Frame {
    bool bufferKnown = false, bufferDone = false, ready = false, failed = false;
    bool yInvert = false;
    uint32_t format = 0, width = 0, height = 0, stride = 0;
};

bool usableFormat(uint32_t f) {
    return f == WL_SHM_FORMAT_ARGB8888 || f == WL_SHM_FORMAT_XRGB8888 || f == kXbgr8888 ||
           f == kAbgr8888;
}

void onBuffer(void* data, zwlr_screencopy_frame_v1*, uint32_t format, uint32_t w, uint32_t h,
              uint32_t stride) {
    auto* f = static_cast<Frame*>(data);
    if (f->bufferKnown && usableFormat(f->format)) return;
    f->bufferKnown = true;
    f->format = format;
    f->width = w;
    f->height = h;
    f->stride = stride;
}
void onFlags(void* data, zwlr_screencopy_frame_v1*, uint32_t flags) {
    static_cast<Frame*>(data)->yInvert = flags & ZWLR_SCREENCOPY_FRAME_V1_FLAGS_Y_INVERT;
}
void onReady(void* data, zwlr_screencopy_frame_v1*, uint32_t, uint32_t, uint32_t) {
    static_cast<Frame*>(data)->ready = true;
}
void onFailed(void* data, zwlr_screencopy_frame_v1*) { static_cast<Frame*>(data)->failed = true; }
void onDamage(void*, zwlr_screencopy_frame_v1*, uint32_t, uint32_t, uint32_t, uint32_t) {}
void onDmabuf(void*, zwlr_screencopy_frame_v1*, uint32_t, uint32_t, uint32_t) {}
void onBufferDone(void* data, zwlr_screencopy_frame_v1*) {
    static_cast<Frame*>(data)->bufferDone = true;
}
const zwlr_screencopy_frame_v1_listener kFrameListener = {onBuffer, onFlags,  onReady,     onFailed,
                                                          onDamage, onDmabuf, onBufferDone};

// Shared memory for one buffer, unmapped and closed on every path.
struct Memory {
    int fd = -1;
    void* addr = MAP_FAILED;
    size_t size = 0;
    ~Memory() {
        if (addr != MAP_FAILED) ::munmap(addr, size);
        if (fd >= 0) ::close(fd);
    }
    bool allocate(size_t bytes) {
        size = bytes;
        fd = ::memfd_create("companion-screencopy", MFD_CLOEXEC);
        if (fd < 0 || ::ftruncate(fd, off_t(bytes)) != 0) return false;
        addr = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        return addr != MAP_FAILED;
    }
};

// Destroys the job's objects in order, the queue last.
struct Job {
    wl_event_queue* queue = nullptr;
    zwlr_screencopy_manager_v1* copier = nullptr;  // wrapper
    wl_shm* shm = nullptr;                         // wrapper
    zwlr_screencopy_frame_v1* frame = nullptr;
    wl_shm_pool* pool = nullptr;
    wl_buffer* buffer = nullptr;
    ~Job() {
        if (buffer) wl_buffer_destroy(buffer);
        if (pool) wl_shm_pool_destroy(pool);
        if (frame) zwlr_screencopy_frame_v1_destroy(frame);
        if (shm) wl_proxy_wrapper_destroy(shm);
        if (copier) wl_proxy_wrapper_destroy(copier);
        if (queue) wl_event_queue_destroy(queue);
    }
};

template <typename T>
T* wrapOn(T* proxy, wl_event_queue* queue) {
    auto* w = static_cast<T*>(wl_proxy_create_wrapper(proxy));
    if (w) wl_proxy_set_queue(reinterpret_cast<wl_proxy*>(w), queue);
    return w;
}

void flipRows(uint8_t* data, size_t stride, uint32_t height) {
    std::vector<uint8_t> row(stride);
    for (uint32_t top = 0, bottom = height - 1; top < bottom; ++top, --bottom) {
        std::memcpy(row.data(), data + top * stride, stride);
        std::memcpy(data + top * stride, data + bottom * stride, stride);
        std::memcpy(data + bottom * stride, row.data(), stride);
    }
}

const char* const kNoAnswer = "the compositor did not answer";

}  // namespace

bool screencopyAvailable() {
    ConnectionRef c = connection();
    return c && c->copier && c->shm;
}

Shot copyRegion(const std::string& outputName, const Rect& region, int64_t width, int64_t height) {
    ConnectionRef c = connection();
    if (!c) return {std::nullopt, "cannot connect to the Wayland compositor"};
    if (!c->copier || !c->shm) return {std::nullopt, "the compositor offers no screencopy"};
    if (region.width < 1 || region.height < 1) return {std::nullopt, "gone"};
    Job job;
    Frame f;
    job.queue = wl_display_create_queue(c->display);
    if (!job.queue) return {std::nullopt, kNoAnswer};
    job.copier = wrapOn(c->copier, job.queue);
    job.shm = wrapOn(c->shm, job.queue);
    if (!job.copier || !job.shm) return {std::nullopt, kNoAnswer};
    {
        // Under the lock: an output that goes away is destroyed under it.
        std::lock_guard guard(shared().lock);
        wl_output* output = nullptr;
        for (auto& o : c->outputs)
            if (o->name == outputName) output = o->proxy;
        if (!output && c->outputs.size() == 1) output = c->outputs.front()->proxy;
        if (!output) return {std::nullopt, "the window's output is not known"};
        job.frame = zwlr_screencopy_manager_v1_capture_output_region(
            job.copier, 0, output, int32_t(std::lround(region.x)), int32_t(std::lround(region.y)),
            int32_t(std::lround(region.width)), int32_t(std::lround(region.height)));
    }
    if (!job.frame) return {std::nullopt, kNoAnswer};
    zwlr_screencopy_frame_v1_add_listener(job.frame, &kFrameListener, &f);
    auto deadline = Clock::now() + kCopyDeadline;
    const bool announcesDone = c->copierVersion >= 3;
    if (!dispatchUntil(c->display, job.queue, deadline, [&] {
            return f.failed || (f.bufferKnown && (!announcesDone || f.bufferDone));
        }))
        return {std::nullopt, kNoAnswer};
    if (f.failed) return {std::nullopt, "gone"};

    if (!usableFormat(f.format)) return {std::nullopt, "the compositor's pixel format is not supported"};
    if (f.width < 1 || f.height < 1 || f.width > kMaxSide || f.height > kMaxSide ||
        f.stride < f.width * 4 || f.stride > f.width * 4 + 4096)
        return {std::nullopt, "the compositor sent an unusable buffer size"};
    Memory mem;
    const size_t bytes = size_t(f.stride) * f.height;
    if (!mem.allocate(bytes)) return {std::nullopt, "out of memory for the picture"};
    job.pool = wl_shm_create_pool(job.shm, mem.fd, int32_t(bytes));
    if (!job.pool) return {std::nullopt, kNoAnswer};
    job.buffer = wl_shm_pool_create_buffer(job.pool, 0, int32_t(f.width), int32_t(f.height),
                                           int32_t(f.stride), f.format);
    if (!job.buffer) return {std::nullopt, kNoAnswer};
    zwlr_screencopy_frame_v1_copy(job.frame, job.buffer);
    if (!dispatchUntil(c->display, job.queue, deadline, [&] { return f.ready || f.failed; }))
        return {std::nullopt, kNoAnswer};
    if (f.failed) return {std::nullopt, "gone"};

    auto* pixels = static_cast<uint8_t*>(mem.addr);
    if (f.yInvert) flipRows(pixels, f.stride, f.height);
    Pixels32 src;
    src.data = pixels;
    src.width = int(f.width);
    src.height = int(f.height);
    src.stride = f.stride;
    src.redFirst = f.format == kXbgr8888 || f.format == kAbgr8888;
    if (width > src.width || height > src.height) {
        double s = std::min(double(src.width) / double(width), double(src.height) / double(height));
        width = std::clamp<int64_t>(std::llround(double(width) * s), 1, src.width);
        height = std::clamp<int64_t>(std::llround(double(height) * s), 1, src.height);
    }
    return {scaledPicture(src, int(width), int(height)), {}};
}

}  // namespace platform::wlroots
