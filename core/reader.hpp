// The request reader: splits standard input into lines and hands them to the
// main loop, a read's worth at a time.
#pragma once

#include <string>
#include <string_view>

namespace core {

// Splits a byte stream into lines on 0x0A. Feed it what read(2) returned;
// whole lines come out of `next`. No limit on a line's length but memory;
// bytes of an unfinished line are kept, and only new bytes are scanned for a
// line feed.
struct LineSplitter {
    std::string buffer;
    size_t start = 0;       // first byte of the unfinished line
    size_t scanned = 0;     // bytes of it already searched for a line feed
    bool skipping = false;  // inside a line that was dropped, up to its line feed

    // Room for at least `n` more bytes at the end; returns where to read into.
    // When the unfinished line cannot grow for want of memory, it is dropped:
    // what was kept of it is discarded and so is the rest of it, up to its line
    // feed. Returns nullptr when not even `n` bytes can be had; try later. A
    // buffer that is empty and much larger than `n` is given back first.
    char* reserve(size_t n);
    size_t room() const { return buffer.size() - used_; }
    void commit(size_t n);  // `n` bytes were read into the reserved room
    // The next whole line without its line feed, valid until the next call.
    bool next(std::string_view& line);
    // At end of input: the last line if it had no line feed.
    bool rest(std::string_view& line);

private:
    void clear() { used_ = start = scanned = 0; }
    size_t used_ = 0;
};

// Reads fd until its end or a read error and posts the lines of each read to
// the main loop as one job, which decodes and serves them in order; a
// non-blocking fd is waited on like a blocking one. At the end it lets the
// main loop serve what is already queued for about a second at most, then
// ends the process with status 0; background work still running is
// abandoned. Never returns.
[[noreturn]] void readRequests(int fd);

}  // namespace core
