// What a process holds: memory, descriptors, threads, and its X resources.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

namespace harness {

struct Sample {
    double seconds = 0;   // since the first sample
    long rssKb = 0;       // VmRSS
    long peakKb = 0;      // VmHWM, the most resident so far
    int fds = 0;          // entries of /proc/PID/fd
    int threads = 0;      // Threads
    long xResources = 0;  // all X resources of its client(s) on `display`
    long xPixmaps = 0, xPictures = 0, xShmSegments = 0;
};

// Reads the figures of `pid` now; X figures are 0 when it has no client there.
Sample sample(pid_t pid, const std::string& display);

// One line per sample, then the growth over the last half of the run.
void printSamples(const std::vector<Sample>& samples);

}  // namespace harness
