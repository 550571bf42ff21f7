/* The splitting floor as the splitter searches: map the whole file, find each
 * '$' with memchr (a byte that is rare in SD text) and count those that start
 * a "\n$$$$" line. Prints the block count and the seconds spent. */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

static double now(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec * 1e-9;
}

/* Blocks ended in [data, data + size): `$$$$` after an LF (or at the start). */
static long count(const char* data, size_t size, int at_start) {
    long blocks = 0;
    const char* pos = data;
    const char* end = data + size;
    while (pos + 4 <= end) {
        const char* hit = memchr(pos, '$', (size_t)(end - pos) - 3);
        if (!hit) break;
        if ((hit == data ? at_start : hit[-1] == '\n') && memcmp(hit, "$$$$", 4) == 0) {
            blocks++;
            pos = hit + 4;
        } else {
            pos = hit + 1;
        }
    }
    return blocks;
}

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    double start = now();
    int fd = open(argv[1], O_RDONLY | O_CLOEXEC);
    if (fd < 0) return perror("open"), 1;
    struct stat st;
    if (fstat(fd, &st) < 0) return perror("fstat"), 1;
    size_t size = (size_t)st.st_size;
    const char* data = size ? mmap(NULL, size, PROT_READ, MAP_PRIVATE, fd, 0) : "";
    if (data == MAP_FAILED) return perror("mmap"), 1;
    long blocks = count(data, size, 1);
    if (size) munmap((void*)data, size);
    close(fd);
    printf("%ld %.6f\n", blocks, now() - start);
    return 0;
}
