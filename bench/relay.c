/* The minimal line relay the protocol benchmark measures the companion
 * against: reads standard input in big blocks, finds line feeds with memchr
 * and writes every whole line back with its own write(2), as the companion
 * writes each reply. */
#include <string.h>
#include <unistd.h>

static char buf[1 << 20];

static int writeAll(const char* p, size_t n) {
    while (n > 0) {
        ssize_t w = write(1, p, n);
        if (w <= 0) return -1;
        p += w;
        n -= (size_t)w;
    }
    return 0;
}

int main(void) {
    size_t used = 0;
    for (;;) {
        if (used == sizeof buf) used = 0; /* a line longer than the buffer is dropped */
        ssize_t n = read(0, buf + used, sizeof buf - used);
        if (n <= 0) return 0;
        used += (size_t)n;
        char* start = buf;
        char* end = buf + used;
        char* lf;
        while ((lf = memchr(start, '\n', (size_t)(end - start))) != NULL) {
            if (writeAll(start, (size_t)(lf + 1 - start))) return 0;
            start = lf + 1;
        }
        used = (size_t)(end - start);
        memmove(buf, start, used);
    }
}
