/* The chunked splitting floor as the splitter searches: read the file in
 * 128 KiB chunks into one reused buffer, find each '$' with memchr and count
 * those that start a "\n$$$$" line, carrying 4 bytes across chunks. */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#define CHUNK (128 * 1024)

static double now(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec * 1e-9;
}

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    static char buffer[CHUNK + 8];
    double start = now();
    int fd = open(argv[1], O_RDONLY | O_CLOEXEC);
    if (fd < 0) return perror("open"), 1;
    long blocks = 0;
    size_t kept = 0;      /* bytes carried over from the previous chunk */
    size_t searched = 0;  /* of the carried bytes, those already looked at */
    int first = 1;
    for (;;) {
        ssize_t got = read(fd, buffer + kept, CHUNK);
        if (got < 0) return perror("read"), 1;
        if (got == 0) break;
        size_t filled = kept + (size_t)got;
        const char* pos = buffer + searched;
        const char* end = buffer + filled;
        while (pos + 4 <= end) {
            const char* hit = memchr(pos, '$', (size_t)(end - pos) - 3);
            if (!hit) break;
            int line_start = hit == buffer ? first : hit[-1] == '\n';
            if (line_start && memcmp(hit, "$$$$", 4) == 0) {
                blocks++;
                pos = hit + 4;
            } else {
                pos = hit + 1;
            }
        }
        first = 0;
        /* Keep the last 4 bytes (from pos on) so that a "\n$$$$" cut by the
         * chunk boundary is found; the byte before them tells a line start. */
        size_t tail = filled > 4 ? filled - 4 : 0;
        if ((size_t)(pos - buffer) > tail) tail = (size_t)(pos - buffer);
        size_t from = tail > 0 ? tail - 1 : 0;
        kept = filled - from;
        memmove(buffer, buffer + from, kept);
        searched = tail - from;
    }
    close(fd);
    printf("%ld %.6f\n", blocks, now() - start);
    return 0;
}
