/* The chunked splitting floor: read the file in 128 KiB chunks into one reused
 * buffer and count every "\n$$$$" with memmem, carrying 4 bytes across chunks. */
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
    size_t kept = 0;  /* bytes carried over from the previous chunk */
    int first = 1;
    for (;;) {
        ssize_t got = read(fd, buffer + kept, CHUNK);
        if (got < 0) return perror("read"), 1;
        if (got == 0) break;
        size_t filled = kept + (size_t)got;
        if (first && filled >= 4 && memcmp(buffer, "$$$$", 4) == 0) blocks++;
        first = 0;
        const char* pos = buffer;
        const char* end = buffer + filled;
        while (pos < end) {
            const char* hit = memmem(pos, (size_t)(end - pos), "\n$$$$", 5);
            if (!hit) break;
            blocks++;
            pos = hit + 5;
        }
        /* Keep the last 4 bytes so that a "\n$$$$" cut by the chunk boundary is found. */
        size_t tail_start = filled > 4 ? filled - 4 : 0;
        if ((size_t)(pos - buffer) > tail_start) tail_start = (size_t)(pos - buffer);
        kept = filled - tail_start;
        memmove(buffer, buffer + tail_start, kept);
    }
    close(fd);
    printf("%ld %.6f\n", blocks, now() - start);
    return 0;
}
