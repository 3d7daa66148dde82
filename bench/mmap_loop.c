/* Baseline of the compressed and mapped read+decode scenario: the capture
 * file mapped into memory and walked record by record by hand (native byte
 * order, every length checked), each frame decoded as in the libpcap loop.
 *
 *   bench_mmap_loop FILE      prints "<packets> <seconds> <udp payload bytes>" */
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "frame_decode.h"

int main(int argc, char** argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: %s FILE\n", argv[0]);
        return 2;
    }
    int fd = open(argv[1], O_RDONLY);
    struct stat info;
    if (fd < 0 || fstat(fd, &info) != 0 || info.st_size < 24) {
        perror(argv[1]);
        return 1;
    }
    size_t len = (size_t)info.st_size;
    const uint8_t* map = mmap(NULL, len, PROT_READ, MAP_PRIVATE, fd, 0);
    if (map == MAP_FAILED) {
        perror("mmap");
        return 1;
    }
    struct timespec start, stop;
    clock_gettime(CLOCK_MONOTONIC, &start);
    uint64_t packets = 0, bytes = 0;
    size_t at = 24;
    while (len - at >= 16) {
        uint32_t incl_len;
        memcpy(&incl_len, map + at + 8, 4);
        at += 16;
        if (incl_len > len - at) {
            break;
        }
        packets++;
        const uint8_t* payload = NULL;
        bytes += decode(map + at, incl_len, &payload);
        at += incl_len;
    }
    clock_gettime(CLOCK_MONOTONIC, &stop);
    munmap((void*)map, len);
    close(fd);
    double seconds = (double)(stop.tv_sec - start.tv_sec) + (double)(stop.tv_nsec - start.tv_nsec) / 1e9;
    printf("%llu %.6f %llu\n", (unsigned long long)packets, seconds, (unsigned long long)bytes);
    return 0;
}
