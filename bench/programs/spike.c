/* A plain C program for the benchmark of unchanged programs (tools/bench.sh runs it with each
 * malloc preloaded; it links nothing but the C runtime): a spike of small blocks, as a request or
 * a parse builds them, all released at once, then a process that stays up doing nothing. What it
 * shows is how much of the spike a malloc keeps resident once it is over, and whether it gives
 * memory back while the process makes no call at all.
 *
 * The blocks are 64 to 256 bytes (uniform, fixed seed), each filled in full, its first byte
 * checked at the release. The resident set is read from /proc/self/statm with no allocation of its
 * own, at the peak (every block live), right after the release, and after 100 ms, 500 ms and 1 s
 * of sleep. Prints one JSON line; its "requested" and "checksum" are the same whatever the malloc.
 * Exits 1 on a failed allocation or a wrong byte.
 *
 * Usage: spike [blocks, default 4000000]
 */
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

static void Fail(const char* what) {
    fprintf(stderr, "spike: %s\n", what);
    exit(1);
}

/* A block's fill depends on its index alone, so that the release can check it without its size. */
static unsigned char Fill(long index) { return (unsigned char)((uint64_t)index * 0x9du >> 3); }

static uint64_t state = 0x5eed5eed5eedu;

static uint64_t Draw(void) { /* xorshift64* */
    state ^= state >> 12;
    state ^= state << 25;
    state ^= state >> 27;
    return state * 0x2545f4914f6cdd1du;
}

/* stdio would allocate a buffer, which a malloc might place in memory the spike just left. */
static long long ResidentBytes(void) {
    char text[128];
    int file = open("/proc/self/statm", O_RDONLY);
    if (file < 0) Fail("cannot open /proc/self/statm");
    ssize_t length = read(file, text, sizeof text - 1);
    close(file);
    if (length <= 0) Fail("cannot read /proc/self/statm");
    text[length] = '\0';
    long long size = 0, resident = 0;
    if (sscanf(text, "%lld %lld", &size, &resident) != 2) Fail("cannot parse /proc/self/statm");
    return resident * sysconf(_SC_PAGESIZE);
}

static void SleepUntil(const struct timespec* start, long milliseconds) {
    struct timespec until = *start;
    until.tv_sec += milliseconds / 1000;
    until.tv_nsec += milliseconds % 1000 * 1000000L;
    if (until.tv_nsec >= 1000000000L) {
        until.tv_sec += 1;
        until.tv_nsec -= 1000000000L;
    }
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, NULL) != 0) {
    }
}

int main(int argc, char** argv) {
    long blocks = argc > 1 ? strtol(argv[1], NULL, 10) : 4000000;
    if (blocks < 1) Fail("usage: spike [blocks >= 1]");
    unsigned char** live = malloc((size_t)blocks * sizeof *live);
    if (!live) Fail("malloc failed");
    unsigned long long requested = 0, checksum = 0;
    for (long i = 0; i < blocks; ++i) {
        size_t size = 64 + Draw() % 193;
        live[i] = malloc(size);
        if (!live[i]) Fail("malloc failed");
        memset(live[i], Fill(i), size);
        requested += size;
    }
    const long long peak = ResidentBytes();
    for (long i = 0; i < blocks; ++i) {
        if (live[i][0] != Fill(i)) Fail("a block lost its contents");
        checksum = checksum * 31 + live[i][0];
        free(live[i]);
    }
    free(live);
    struct timespec released;
    clock_gettime(CLOCK_MONOTONIC, &released);
    const long long afterRelease = ResidentBytes();
    long long idle[3];
    const long marks[3] = {100, 500, 1000};
    for (int i = 0; i < 3; ++i) {
        SleepUntil(&released, marks[i]);
        idle[i] = ResidentBytes();
    }
    printf("{\"program\":\"spike\",\"blocks\":%ld,\"requested\":%llu,\"checksum\":%llu,"
           "\"rss_peak\":%lld,\"rss_released\":%lld,\"rss_100ms\":%lld,\"rss_500ms\":%lld,"
           "\"rss_1s\":%lld}\n",
           blocks, requested, checksum, peak, afterRelease, idle[0], idle[1], idle[2]);
    return 0;
}
