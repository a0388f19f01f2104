/* A plain C program for the benchmark of unchanged programs (tools/bench.sh runs it with each
 * malloc preloaded; it links nothing but the C runtime and pthreads): 4 threads in a ring, each
 * allocating batches of blocks of mixed sizes and handing every batch to the next thread, which
 * checks and releases the blocks it did not allocate; between two batches each thread also replaces
 * blocks of a window of its own, as a worker keeps its own state.
 *
 * A thread's mailbox holds at most kQueued batches, so that a thread that runs ahead waits (the
 * memory in flight stays bounded). Each block carries its size and a seed in its first 16 bytes
 * and a byte derived from them at its end. Deterministic: the same batches print the same checksum
 * line whatever the malloc or the scheduling. Exits 1 on a failed allocation or a wrong byte.
 *
 * Usage: threads_cross [batches per thread, default 12000]
 */
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

enum { kThreads = 4, kBatch = 512, kQueued = 4, kWindow = 2048, kLocalPerBatch = 256 };

struct Mailbox {
    pthread_mutex_t lock;
    pthread_cond_t changed;
    void** batches[kQueued];
    unsigned head, count;
};

struct Worker {
    pthread_t thread;
    unsigned index;
    long batches;
    uint64_t state, checksum;
};

static struct Mailbox mailboxes[kThreads];
static struct Worker workers[kThreads];

static void Fail(const char* what) {
    fprintf(stderr, "threads_cross: %s\n", what);
    exit(1);
}

static uint64_t Draw(uint64_t* state) { /* xorshift64* */
    *state ^= *state >> 12;
    *state ^= *state << 25;
    *state ^= *state >> 27;
    return *state * 0x2545f4914f6cdd1du;
}

/* Mostly 16-1023 bytes (three in four under 256), one in 64 of 1-16 KB. */
static size_t DrawSize(uint64_t* state) {
    uint64_t draw = Draw(state);
    if (draw % 64 == 0) return 1024 + draw / 64 % 15360;
    return 16 + (draw / 64 % 4 == 0 ? draw / 256 % 1008 : draw / 256 % 240);
}

static unsigned char Tail(size_t size, uint64_t seed) { return (unsigned char)(size * 7 + seed); }

static void* Make(uint64_t* state) {
    size_t size = DrawSize(state);
    uint64_t seed = Draw(state);
    unsigned char* block = malloc(size);
    if (!block) Fail("malloc failed");
    memcpy(block, &size, sizeof size);
    memcpy(block + 8, &seed, sizeof seed);
    block[size - 1] = Tail(size, seed);
    return block;
}

/* Checks a block against what Make wrote, releases it and returns its share of the checksum. */
static uint64_t Release(void* pointer) {
    unsigned char* block = pointer;
    size_t size;
    uint64_t seed;
    memcpy(&size, block, sizeof size);
    memcpy(&seed, block + 8, sizeof seed);
    if (size < 16 || size > 16384 || block[size - 1] != Tail(size, seed))
        Fail("a block lost its contents");
    free(block);
    return size ^ seed;
}

static void Post(struct Mailbox* box, void** batch) {
    pthread_mutex_lock(&box->lock);
    while (box->count == kQueued)
        pthread_cond_wait(&box->changed, &box->lock);
    box->batches[(box->head + box->count++) % kQueued] = batch;
    pthread_cond_broadcast(&box->changed);
    pthread_mutex_unlock(&box->lock);
}

static void** Take(struct Mailbox* box) {
    pthread_mutex_lock(&box->lock);
    while (box->count == 0)
        pthread_cond_wait(&box->changed, &box->lock);
    void** batch = box->batches[box->head];
    box->head = (box->head + 1) % kQueued;
    --box->count;
    pthread_cond_broadcast(&box->changed);
    pthread_mutex_unlock(&box->lock);
    return batch;
}

static void* Run(void* argument) {
    struct Worker* self = argument;
    void* window[kWindow];
    for (unsigned i = 0; i < kWindow; ++i)
        window[i] = Make(&self->state);
    for (long round = 0; round < self->batches; ++round) {
        void** batch = malloc(kBatch * sizeof *batch);
        if (!batch) Fail("malloc failed");
        for (unsigned i = 0; i < kBatch; ++i)
            batch[i] = Make(&self->state);
        Post(&mailboxes[(self->index + 1) % kThreads], batch);
        for (unsigned i = 0; i < kLocalPerBatch; ++i) {
            void** slot = &window[Draw(&self->state) % kWindow];
            self->checksum += Release(*slot);
            *slot = Make(&self->state);
        }
        void** received = Take(&mailboxes[self->index]);
        for (unsigned i = 0; i < kBatch; ++i)
            self->checksum += Release(received[i]);
        free(received);
    }
    for (unsigned i = 0; i < kWindow; ++i)
        self->checksum += Release(window[i]);
    return NULL;
}

int main(int argc, char** argv) {
    long batches = argc > 1 ? strtol(argv[1], NULL, 10) : 12000;
    if (batches < 1) Fail("usage: threads_cross [batches per thread >= 1]");
    for (unsigned i = 0; i < kThreads; ++i) {
        pthread_mutex_init(&mailboxes[i].lock, NULL);
        pthread_cond_init(&mailboxes[i].changed, NULL);
        workers[i] =
            (struct Worker){.index = i, .batches = batches, .state = 0x9e3779b97f4a7c15u * (i + 1)};
    }
    for (unsigned i = 0; i < kThreads; ++i)
        if (pthread_create(&workers[i].thread, NULL, Run, &workers[i]))
            Fail("pthread_create failed");
    uint64_t checksum = 0;
    for (unsigned i = 0; i < kThreads; ++i) {
        pthread_join(workers[i].thread, NULL);
        checksum += workers[i].checksum;
    }
    printf("threads_cross: %d threads, %ld blocks handed over, checksum %016llx\n", kThreads,
           kThreads * batches * kBatch, (unsigned long long)checksum);
    return 0;
}
