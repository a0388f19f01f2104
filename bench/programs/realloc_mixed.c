/* A plain C program for the benchmark of unchanged programs (tools/bench.sh runs it with each
 * malloc preloaded; it links nothing but the C runtime): buffers grown by realloc as a string
 * builder or a growing array grows them, some to beyond 256 KB and some shrunk before their
 * release, among a churn of blocks of mixed sizes from malloc and calloc.
 *
 * Every byte a buffer holds is a function of its position and the buffer's seed, so a release
 * checks samples of the contents that every realloc had to carry over; a churn block's first and
 * last bytes are checked the same way. Deterministic: the same steps print the same checksum line
 * whatever the malloc. Exits 1 on a failed allocation or a wrong byte.
 *
 * Usage: realloc_mixed [steps, default 1000000]
 */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

enum { kBuffers = 256, kSlots = 4096, kChurnPerStep = 3 };

static uint64_t state = 0x9e3779b97f4a7c15u;

static uint64_t Draw(void) { /* xorshift64* */
    state ^= state >> 12;
    state ^= state << 25;
    state ^= state >> 27;
    return state * 0x2545f4914f6cdd1du;
}

/* Roughly log-uniform in [low, high), high / low a power of two: as many sizes of 16-31 bytes as
 * of 16-31 KB. */
static size_t DrawSize(size_t low, size_t high) {
    size_t size = low << Draw() % (uint64_t)(__builtin_ctzll(high / low) + 1);
    size += Draw() % size;
    return size < high ? size : high - 1;
}

/* The bytes a buffer holds: a pattern that repeats every kPeriod bytes (a prime, so that no
 * power-of-two offset lines up with it), entered at the buffer's seed, so that an append is a copy.
 */
enum { kPeriod = 4093 };
static unsigned char pattern[kPeriod];

static unsigned char Byte(uint64_t seed, size_t position) {
    return pattern[(seed + position) % kPeriod];
}

static void Fill(unsigned char* data, size_t from, size_t to, uint64_t seed) {
    while (from < to) {
        size_t offset = (seed + from) % kPeriod, count = kPeriod - offset;
        if (count > to - from) count = to - from;
        memcpy(data + from, pattern + offset, count);
        from += count;
    }
}

static void Fail(const char* what) {
    fprintf(stderr, "realloc_mixed: %s\n", what);
    exit(1);
}

/* A buffer grows towards its target, by exact appends (a string builder) or by doubling its
 * capacity (a growing array); at the target it may be shrunk to its length, then released. */
struct Buffer {
    unsigned char* data;
    size_t length, capacity, target;
    uint64_t seed;
    int doubling;
};

static uint64_t checksum = 0;

static void Check(const unsigned char* data, size_t length, uint64_t seed) {
    for (size_t position = 0; position < length; position += 4099)
        if (data[position] != Byte(seed, position)) Fail("a buffer lost its contents");
    if (length && data[length - 1] != Byte(seed, length - 1)) Fail("a buffer lost its last byte");
    checksum = checksum * 31 + length + data[length / 2];
}

static void Restart(struct Buffer* buffer) {
    free(buffer->data);
    buffer->data = NULL;
    buffer->length = buffer->capacity = 0;
    buffer->target = DrawSize(16, (size_t)1 << 20);
    buffer->seed = Draw();
    buffer->doubling = (int)(Draw() & 1);
}

static void Grow(struct Buffer* buffer) {
    if (buffer->length >= buffer->target) {
        if (Draw() % 4 == 0) { /* shrink to fit before the release */
            unsigned char* fitted = realloc(buffer->data, buffer->length / 2 + 1);
            if (!fitted) Fail("realloc failed");
            buffer->data = fitted;
            buffer->length = buffer->length / 2 + 1;
        }
        Check(buffer->data, buffer->length, buffer->seed);
        Restart(buffer);
        return;
    }
    size_t append = 1 + Draw() % (buffer->length / 4 + 64);
    size_t needed = buffer->length + append;
    if (needed > buffer->capacity) {
        size_t capacity =
            buffer->doubling ? (buffer->capacity ? buffer->capacity * 2 : 16) : needed;
        if (capacity < needed) capacity = needed;
        unsigned char* grown = realloc(buffer->data, capacity);
        if (!grown) Fail("realloc failed");
        buffer->data = grown;
        buffer->capacity = capacity;
    }
    Fill(buffer->data, buffer->length, needed, buffer->seed);
    buffer->length = needed;
}

/* A churn block: its size in the first word, its last byte a function of the size. */
static void Replace(unsigned char** slot) {
    if (*slot) {
        size_t size;
        memcpy(&size, *slot, sizeof size);
        if ((*slot)[size - 1] != Byte(size, size - 1)) Fail("a block lost its contents");
        checksum += size;
        free(*slot);
    }
    size_t size = DrawSize(16, 8192);
    *slot = Draw() % 8 == 0 ? calloc(1, size) : malloc(size);
    if (!*slot) Fail("malloc failed");
    memcpy(*slot, &size, sizeof size);
    (*slot)[size - 1] = Byte(size, size - 1);
}

int main(int argc, char** argv) {
    long steps = argc > 1 ? strtol(argv[1], NULL, 10) : 1000000;
    if (steps < 1) Fail("usage: realloc_mixed [steps >= 1]");
    static struct Buffer buffers[kBuffers];
    static unsigned char* slots[kSlots];
    for (size_t i = 0; i < sizeof pattern; ++i)
        pattern[i] = (unsigned char)(i * 0x9du >> 3);
    for (int i = 0; i < kBuffers; ++i)
        Restart(&buffers[i]);
    for (long step = 0; step < steps; ++step) {
        Grow(&buffers[Draw() % kBuffers]);
        for (int i = 0; i < kChurnPerStep; ++i)
            Replace(&slots[Draw() % kSlots]);
    }
    for (int i = 0; i < kBuffers; ++i)
        free(buffers[i].data);
    for (int i = 0; i < kSlots; ++i)
        free(slots[i]);
    printf("realloc_mixed: %ld steps, checksum %016llx\n", steps, (unsigned long long)checksum);
    return 0;
}
