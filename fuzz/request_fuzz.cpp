// Feeds arbitrary bytes through the line splitter, request decoding and the
// argument readers of the dispatcher, the way the reader thread does.
#include "core/dispatch.hpp"
#include "core/protocol.hpp"
#include "core/reader.hpp"

#include <boost/json/serialize.hpp>

#include <cstdint>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    core::LineSplitter lines;
    // Two reads, to exercise lines split across them.
    size_t half = size / 2;
    std::string_view line;
    for (auto [p, n] : {std::pair{data, half}, std::pair{data + half, size - half}}) {
        std::memcpy(lines.reserve(n), p, n);
        lines.commit(n);
        while (lines.next(line)) {
            auto r = core::decodeRequest(line);
            if (!r) continue;
            for (const char* key : {"dovk", "window", "edge", "quality", "bundle", "path", "pattern"}) {
                (void)core::integerArg(r->args, key);
                (void)core::numberArg(r->args, key);
                (void)core::stringArg(r->args, key);
            }
            boost::json::object reply{{"id", r->id}, {"cmd", r->cmd}};
            (void)boost::json::serialize(reply);
        }
    }
    if (lines.rest(line)) (void)core::decodeRequest(line);
    return 0;
}
