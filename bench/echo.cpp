// The plain line echo the protocol benchmark compares against: reads stdin
// with read(2) and writes every whole line back with its own write(2), as the
// companion writes each reply.
#include <cstring>
#include <string>
#include <unistd.h>

int main() {
    std::string buf;
    size_t start = 0;
    char chunk[65536];
    for (;;) {
        ssize_t n = read(0, chunk, sizeof chunk);
        if (n <= 0) break;
        buf.append(chunk, size_t(n));
        for (;;) {
            auto lf = buf.find('\n', start);
            if (lf == std::string::npos) break;
            const char* p = buf.data() + start;
            size_t left = lf + 1 - start;
            while (left > 0) {
                ssize_t w = write(1, p, left);
                if (w <= 0) return 0;
                p += w;
                left -= size_t(w);
            }
            start = lf + 1;
        }
        buf.erase(0, start);
        start = 0;
    }
    return 0;
}
