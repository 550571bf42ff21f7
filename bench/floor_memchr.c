/* The scanning floor of a block index: map the whole file and count every
 * '$' byte with memchr. Every "$$$$" line starts with one, so no index of the
 * file can look at less. Prints the count and the seconds spent. */
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
    long count = 0;
    const char* pos = data;
    const char* end = data + size;
    while (pos < end) {
        const char* hit = memchr(pos, '$', (size_t)(end - pos));
        if (!hit) break;
        count++;
        pos = hit + 1;
    }
    if (size) munmap((void*)data, size);
    close(fd);
    printf("%ld %.6f\n", count, now() - start);
    return 0;
}
