#include "tests/harness/resources.hpp"

#include <xcb/res.h>
#include <xcb/xcb.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <string>

namespace harness {
namespace {

long statusField(pid_t pid, const char* key) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    size_t n = std::strlen(key);
    while (std::getline(in, line))
        if (line.compare(0, n, key) == 0) return std::atol(line.c_str() + n);
    return 0;
}

int countFds(pid_t pid) {
    std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    DIR* d = opendir(dir.c_str());
    if (!d) return 0;
    int n = 0;
    while (dirent* e = readdir(d))
        if (e->d_name[0] != '.') ++n;
    closedir(d);
    return n;
}

std::string atomName(xcb_connection_t* c, xcb_atom_t a) {
    auto* r = xcb_get_atom_name_reply(c, xcb_get_atom_name(c, a), nullptr);
    std::string name = r ? std::string(xcb_get_atom_name_name(r), size_t(xcb_get_atom_name_name_length(r))) : "";
    free(r);
    return name;
}

void xFigures(pid_t pid, const std::string& display, Sample& s) {
    xcb_connection_t* c = xcb_connect(display.c_str(), nullptr);
    if (xcb_connection_has_error(c)) {
        xcb_disconnect(c);
        return;
    }
    xcb_res_client_id_spec_t byPid{0, XCB_RES_CLIENT_ID_MASK_LOCAL_CLIENT_PID};
    auto* ids = xcb_res_query_client_ids_reply(c, xcb_res_query_client_ids(c, 1, &byPid), nullptr);
    if (ids) {
        for (auto it = xcb_res_query_client_ids_ids_iterator(ids); it.rem; xcb_res_client_id_value_next(&it)) {
            if (xcb_res_client_id_value_value_length(it.data) < 1) continue;
            if (pid_t(*xcb_res_client_id_value_value(it.data)) != pid) continue;
            auto* res = xcb_res_query_client_resources_reply(
                c, xcb_res_query_client_resources(c, it.data->spec.client), nullptr);
            if (!res) continue;
            auto types = xcb_res_query_client_resources_types_iterator(res);
            for (; types.rem; xcb_res_type_next(&types)) {
                long count = long(types.data->count);
                s.xResources += count;
                std::string name = atomName(c, types.data->resource_type);
                if (name == "PIXMAP") s.xPixmaps += count;
                else if (name == "PICTURE") s.xPictures += count;
                else if (name == "ShmSeg") s.xShmSegments += count;
            }
            free(res);
        }
        free(ids);
    }
    xcb_disconnect(c);
}

}  // namespace

Sample sample(pid_t pid, const std::string& display) {
    static const auto start = std::chrono::steady_clock::now();
    Sample s;
    s.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    s.rssKb = statusField(pid, "VmRSS:");
    s.peakKb = statusField(pid, "VmHWM:");
    s.threads = int(statusField(pid, "Threads:"));
    s.fds = countFds(pid);
    if (!display.empty()) xFigures(pid, display, s);
    return s;
}

void printSamples(const std::vector<Sample>& samples) {
    std::printf("%8s %9s %5s %7s %7s %7s %7s %7s\n", "t/s", "rss/KiB", "fds", "threads", "xres",
                "pixmap", "picture", "shmseg");
    for (auto& s : samples)
        std::printf("%8.1f %9ld %5d %7d %7ld %7ld %7ld %7ld\n", s.seconds, s.rssKb, s.fds,
                    s.threads, s.xResources, s.xPixmaps, s.xPictures, s.xShmSegments);
    if (samples.size() < 2) return;
    const Sample& mid = samples[samples.size() / 2];
    const Sample& end = samples.back();
    auto growth = [](double a, double b) { return a > 0 ? 100.0 * (b - a) / a : 0.0; };
    std::printf("growth over the last half: rss %+.1f%%, fds %+.1f%%, threads %+.1f%%, X resources %+.1f%%\n",
                growth(double(mid.rssKb), double(end.rssKb)), growth(mid.fds, end.fds),
                growth(mid.threads, end.threads), growth(double(mid.xResources), double(end.xResources)));
}

}  // namespace harness
