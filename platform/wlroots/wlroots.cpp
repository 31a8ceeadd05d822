// The generic wlroots backend. Its connection lives on the main thread: the
// main loop reads its events (activations) and each request first takes in
// what has arrived. Toplevels are numbered by the companion; the activated
// one is the frontmost, the others follow by when they were last activated.
// Pids come only from an unambiguous process match (app_pid.hpp).
#include "platform/wlroots/wlroots.hpp"

#include "platform/apps/registry.hpp"
#include "platform/icons/theme.hpp"
#include "platform/wlroots/app_pid.hpp"
#include "platform/wlroots/screencopy.hpp"
#include "platform/wlroots/wayland.hpp"

#include "wlr-foreign-toplevel-management-unstable-v1.h"
#include <wayland-client.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <list>
#include <memory>

namespace platform::wlroots {
namespace {

using Clock = std::chrono::steady_clock;
constexpr std::chrono::milliseconds kDeadline{1000};
constexpr size_t kMaxToplevels = 4096;
constexpr size_t kMaxText = 4096;

struct Toplevel {
    zwlr_foreign_toplevel_handle_v1* handle = nullptr;
    uint32_t number = 0;
    std::string title, pendingTitle;
    std::string appId, pendingAppId;
    bool activated = false, pendingActivated = false;
    uint64_t activatedAt = 0;  // order of the last activation
};

struct State {
    wl_display* display = nullptr;
    wl_event_queue* queue = nullptr;
    wl_registry* registry = nullptr;
    zwlr_foreign_toplevel_manager_v1* manager = nullptr;
    std::list<Toplevel> toplevels;
    uint32_t nextNumber = 1;
    uint64_t activations = 0;
    // Activations raised while dispatching, handed to the loop.
    boost::asio::io_context* loop = nullptr;
    std::function<void(AppRef)> observer;
    std::optional<int32_t> activePid;
    std::string activeAppId;
    std::unique_ptr<boost::asio::posix::stream_descriptor> stream;
    std::unique_ptr<boost::asio::steady_timer> retry;
};
State* state = nullptr;

std::string bounded(const char* s) {
    std::string out = s ? s : "";
    if (out.size() > kMaxText) out.resize(kMaxText);
    // Cut at a character boundary; wayland strings are UTF-8 by protocol.
    while (!out.empty() && (static_cast<unsigned char>(out.back()) & 0xC0) == 0x80) out.pop_back();
    if (!out.empty() && static_cast<unsigned char>(out.back()) >= 0xC0) out.pop_back();
    return out;
}

AppRef appOfId(const std::string& appId) {
    int32_t pid = pidForAppId(appId);
    if (pid <= 0) return nullptr;
    return apps::appFor(pid, [&] {
        apps::Hints h;
        h.desktopId = appId;
        h.wmClass = apps::WmClass{appId, appId};
        return h;
    });
}

void noteActive(const Toplevel& t) {
    if (!state->observer || t.appId == state->activeAppId) return;
    state->activeAppId = t.appId;
    boost::asio::post(*state->loop, [appId = t.appId] {
        AppRef app = appOfId(appId);
        if (!app || app->pid == state->activePid) return;
        state->activePid = app->pid;
        state->observer(std::move(app));
    });
}

void onTitle(void* data, zwlr_foreign_toplevel_handle_v1*, const char* title) {
    static_cast<Toplevel*>(data)->pendingTitle = bounded(title);
}
void onAppId(void* data, zwlr_foreign_toplevel_handle_v1*, const char* id) {
    static_cast<Toplevel*>(data)->pendingAppId = bounded(id);
}
void onOutputEnter(void*, zwlr_foreign_toplevel_handle_v1*, wl_output*) {}
void onOutputLeave(void*, zwlr_foreign_toplevel_handle_v1*, wl_output*) {}
void onState(void* data, zwlr_foreign_toplevel_handle_v1*, wl_array* states) {
    auto* t = static_cast<Toplevel*>(data);
    t->pendingActivated = false;
    size_t n = states->size / sizeof(uint32_t);
    const auto* s = static_cast<const uint32_t*>(states->data);
    for (size_t i = 0; i < n; ++i)
        if (s[i] == ZWLR_FOREIGN_TOPLEVEL_HANDLE_V1_STATE_ACTIVATED) t->pendingActivated = true;
}
void onDone(void* data, zwlr_foreign_toplevel_handle_v1*) {
    auto* t = static_cast<Toplevel*>(data);
    t->title = t->pendingTitle;
    t->appId = t->pendingAppId;
    if (t->pendingActivated && !t->activated) {
        t->activatedAt = ++state->activations;
        t->activated = true;
        // libwayland calls this through C: nothing may unwind out of it.
        try {
            noteActive(*t);
        } catch (...) {
        }
    }
    t->activated = t->pendingActivated;
}
void onClosed(void* data, zwlr_foreign_toplevel_handle_v1* handle) {
    zwlr_foreign_toplevel_handle_v1_destroy(handle);
    state->toplevels.remove_if([data](const Toplevel& t) { return &t == data; });
}
void onParent(void*, zwlr_foreign_toplevel_handle_v1*, zwlr_foreign_toplevel_handle_v1*) {}
const zwlr_foreign_toplevel_handle_v1_listener kHandleListener = {
    onTitle, onAppId, onOutputEnter, onOutputLeave, onState, onDone, onClosed, onParent};

void onToplevel(void*, zwlr_foreign_toplevel_manager_v1*, zwlr_foreign_toplevel_handle_v1* handle) {
    if (state->toplevels.size() >= kMaxToplevels) {
        zwlr_foreign_toplevel_handle_v1_destroy(handle);
        return;
    }
    Toplevel& t = state->toplevels.emplace_back();
    t.handle = handle;
    t.number = state->nextNumber++;
    zwlr_foreign_toplevel_handle_v1_add_listener(handle, &kHandleListener, &t);
}
void onFinished(void*, zwlr_foreign_toplevel_manager_v1*) {}
const zwlr_foreign_toplevel_manager_v1_listener kManagerListener = {onToplevel, onFinished};

void global(void*, wl_registry* registry, uint32_t name, const char* iface, uint32_t version) {
    if (std::strcmp(iface, zwlr_foreign_toplevel_manager_v1_interface.name) == 0 && !state->manager) {
        state->manager = static_cast<zwlr_foreign_toplevel_manager_v1*>(wl_registry_bind(
            registry, name, &zwlr_foreign_toplevel_manager_v1_interface, std::min(version, 3u)));
        zwlr_foreign_toplevel_manager_v1_add_listener(state->manager, &kManagerListener, nullptr);
    }
}
void globalRemove(void*, wl_registry*, uint32_t) {}
const wl_registry_listener kRegistryListener = {global, globalRemove};

void disconnect() {
    if (state->stream) {
        boost::system::error_code ec;
        state->stream->cancel(ec);
        (void)state->stream->release();  // the display owns the fd
        state->stream.reset();
    }
    for (Toplevel& t : state->toplevels) zwlr_foreign_toplevel_handle_v1_destroy(t.handle);
    state->toplevels.clear();
    if (state->manager) zwlr_foreign_toplevel_manager_v1_destroy(state->manager);
    if (state->registry) wl_registry_destroy(state->registry);
    if (state->queue) wl_event_queue_destroy(state->queue);
    if (state->display) wl_display_disconnect(state->display);
    state->manager = nullptr;
    state->registry = nullptr;
    state->queue = nullptr;
    state->display = nullptr;
    state->activeAppId.clear();
}

void watchFd();

// Opens the connection and takes in the toplevels; false when the
// compositor does not answer or offers no toplevel manager.
bool open() {
    if (!state) state = new State;
    disconnect();
    state->display = connectDisplay();
    if (!state->display) return false;
    state->queue = wl_display_create_queue(state->display);
    auto* wrapper = static_cast<wl_display*>(wl_proxy_create_wrapper(state->display));
    if (!state->queue || !wrapper) {
        if (wrapper) wl_proxy_wrapper_destroy(wrapper);
        disconnect();
        return false;
    }
    wl_proxy_set_queue(reinterpret_cast<wl_proxy*>(wrapper), state->queue);
    state->registry = wl_display_get_registry(wrapper);
    wl_proxy_wrapper_destroy(wrapper);
    wl_registry_add_listener(state->registry, &kRegistryListener, nullptr);
    auto deadline = Clock::now() + kDeadline;
    if (!roundtrip(state->display, state->queue, deadline) || !state->manager ||
        !roundtrip(state->display, state->queue, deadline)) {
        disconnect();
        return false;
    }
    watchFd();
    return true;
}

// The connection, usable and up to date; reopened when it broke.
bool fresh() {
    if (!state) return false;
    if (state->display && dispatchAvailable(state->display, state->queue)) return true;
    return open();
}

void watchFd() {
    if (!state->loop || !state->display || state->stream) return;
    try {
        state->stream = std::make_unique<boost::asio::posix::stream_descriptor>(
            *state->loop, wl_display_get_fd(state->display));
    } catch (const std::exception&) {
        return;
    }
    struct Arm {
        void operator()() const {
            if (!state->stream) return;
            state->stream->async_wait(boost::asio::posix::descriptor_base::wait_read,
                                      [](const boost::system::error_code& ec) {
                                          if (ec || !state->stream) return;
                                          if (!dispatchAvailable(state->display, state->queue)) {
                                              disconnect();
                                              state->retry->expires_after(std::chrono::seconds(1));
                                              state->retry->async_wait([](auto e) {
                                                  if (!e && !state->display) open();
                                              });
                                              return;
                                          }
                                          Arm{}();
                                      });
        }
    };
    Arm{}();
}

// Toplevels frontmost first: the activated one, then by last activation.
std::vector<const Toplevel*> ordered() {
    std::vector<const Toplevel*> out;
    for (const Toplevel& t : state->toplevels) out.push_back(&t);
    std::stable_sort(out.begin(), out.end(), [](const Toplevel* a, const Toplevel* b) {
        if (a->activated != b->activated) return a->activated;
        return a->activatedAt > b->activatedAt;
    });
    return out;
}

bool preflight() { return fresh() && screencopyAvailable(); }

AppRef frontmost() {
    if (!fresh()) return nullptr;
    for (const Toplevel* t : ordered())
        if (t->activated) return appOfId(t->appId);
    return nullptr;
}

AppRef running(int32_t pid) {
    if (pid <= 0) return nullptr;
    return apps::appFor(pid, [] { return apps::Hints{}; });
}

std::optional<std::vector<uint32_t>> stack() {
    if (!fresh()) return std::nullopt;
    std::vector<uint32_t> ids;
    for (const Toplevel* t : ordered()) ids.push_back(t->number);
    return ids;
}

std::vector<WindowRecord> records(const std::vector<uint32_t>& numbers) {
    std::vector<WindowRecord> out;
    if (!state || !state->display) return out;
    for (uint32_t n : numbers)
        for (const Toplevel& t : state->toplevels) {
            if (t.number != n) continue;
            WindowRecord r;
            r.layer = 0;
            if (int32_t pid = pidForAppId(t.appId)) r.ownerPid = pid;
            r.number = t.number;
            r.name = t.title;
            out.push_back(std::move(r));
        }
    return out;
}

std::optional<RgbaImage> icon(const App& app) {
    if (app.iconName) return icons::themeIcon(*app.iconName, 64);
    return std::nullopt;
}

void watch(boost::asio::io_context& loop, std::function<void(AppRef)> observer) {
    if (state->observer) return;
    state->loop = &loop;
    state->observer = std::move(observer);
    state->retry = std::make_unique<boost::asio::steady_timer>(loop);
    if (fresh()) {
        for (const Toplevel* t : ordered())
            if (t->activated) {
                state->activeAppId = t->appId;
                if (AppRef app = appOfId(t->appId)) state->activePid = app->pid;
            }
        watchFd();
    }
}

ShareableContent content() {
    ShareableContent c;
    c.error = "this compositor does not tell where windows are";
    return c;
}

double pixelScale(uint32_t) { return 1.0; }

Shot shot(uint32_t, int64_t, int64_t) { return {std::nullopt, "gone"}; }

}  // namespace

bool connect(Backend& b) {
    if (!open()) return false;
    b.kind = BackendKind::wlroots;
    b.screenCapturePreflight = preflight;
    b.screenCaptureRequest = preflight;
    b.frontmostApplication = frontmost;
    b.runningApplication = running;
    b.windowStack = stack;
    b.windowRecords = records;
    b.iconImage = icon;
    b.watchActivations = watch;
    b.shareableContent = content;
    b.pointPixelScale = pixelScale;
    b.screenshot = shot;
    return true;
}

}  // namespace platform::wlroots
