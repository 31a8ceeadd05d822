#include "tracking/front.hpp"

#include "core/reply.hpp"
#include "tracking/choose.hpp"
#include "tracking/icons.hpp"
#include "tracking/tracker.hpp"

#include <algorithm>
#include <cmath>
#include <iterator>

namespace tracking {

namespace json = boost::json;

namespace {

json::object appObject(const platform::App& app, bool granted) {
    json::object o;
    o["name"] = app.name.value_or("");
    o["bundle"] = app.bundle.value_or("");
    o["pid"] = app.pid;
    o["path"] = app.path.value_or("");
    std::string icon;
    if (granted) icon = iconOf(app).value_or("");
    o["icon"] = std::move(icon);
    return o;
}

// Whole numbers go out as integers, as the host's own writer would put them.
json::value number(double v) {
    if (v > -9.0e15 && v < 9.0e15 && v == std::trunc(v)) return int64_t(v);
    return v;
}

json::object windowObject(const platform::WindowRecord& w) {
    json::object o;
    o["id"] = w.number.value_or(0);
    o["title"] = w.name.value_or("");
    o["w"] = number(w.bounds ? w.bounds->width : 0.0);
    o["h"] = number(w.bounds ? w.bounds->height : 0.0);
    return o;
}

// The window choice over the window list, whose records are fetched in
// growing slices until the choice is settled: the answer is usually near the
// top, and each record costs requests to the X server. `list` receives the
// records fetched.
Choice chooseInStack(std::vector<platform::WindowRecord>& list, std::optional<int32_t> candidatePid) {
    std::vector<uint32_t> stack = platform::windowStack().value_or(std::vector<uint32_t>{});
    size_t fetched = 0, slice = 8;
    for (;;) {
        bool complete = fetched == stack.size();
        if (auto choice = chooseFromPrefix(list, candidatePid, dovkPid, complete)) return *choice;
        size_t end = std::min(stack.size(), fetched + slice);
        std::vector<uint32_t> ids(stack.begin() + long(fetched), stack.begin() + long(end));
        std::vector<platform::WindowRecord> more = platform::windowRecords(ids);
        list.insert(list.end(), std::make_move_iterator(more.begin()),
                    std::make_move_iterator(more.end()));
        fetched = end;
        slice *= 2;
    }
}

}  // namespace

void front(const json::value& id) {
    double start = core::ms();
    bool granted = false;
    json::object fields;
    try {
        granted = platform::screenCapturePreflight();
        platform::AppRef app = candidate(platform::frontmostApplication(), lastOther, dovkPid);
        std::vector<platform::WindowRecord> list;
        Choice choice = chooseInStack(list, app ? std::optional(app->pid) : std::nullopt);
        if (choice.window && !choice.ofCandidate)
            app = platform::runningApplication(ownerOf(list[*choice.window]));
        // To the nanosecond, the clock's own resolution: a short decimal that
        // JSON readers take back exactly.
        double elapsed = std::round((core::ms() - start) * 1e6) / 1e6;

        fields["granted"] = granted;
        fields["ms"] = elapsed;
        if (app) fields["app"] = appObject(*app, granted);
        if (choice.window) fields["window"] = windowObject(list[*choice.window]);
    } catch (const std::exception&) {
        // Out of memory at worst: still one reply, with what is known.
        fields = json::object();
        fields["granted"] = granted;
        fields["ms"] = core::ms() - start;
    }
    core::reply(id, std::move(fields));
}

}  // namespace tracking
