/* A plain C program for the benchmark of unchanged programs (tools/bench.sh runs it with each
 * malloc preloaded; it links nothing but the C runtime): a table that grows as a hash table or a
 * growing array grows, its size doubled by realloc from 16 bytes to 1 MiB, then released, again
 * and again. Whether a malloc grows a block in place, moves it by copying or remaps its pages, and
 * whether it keeps the freed megabyte for the next table or gives it back to the kernel, is all
 * that differs between runs.
 *
 * After each doubling the new half gets one word every kStride bytes (and its last word), so that
 * its pages are faulted in as a table's would be without the program's own stores outweighing the
 * malloc's work; then every word stamped so far is checked, since it is realloc that had to carry
 * them over. Deterministic: the same count prints the same checksum line whatever the malloc.
 * Exits 1 on a failed allocation or a lost word.
 *
 * Usage: table_resize [reallocs, default 1000000]
 */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

enum { kFirstBytes = 16, kLastBytes = 1 << 20, kStride = 256 };

static void Fail(const char* what) {
    fprintf(stderr, "table_resize: %s\n", what);
    exit(1);
}

/* A word's value depends on the table too, so that a block handed out again with an earlier
 * table's contents still in it cannot pass the check. */
static uint64_t Stamp(uint64_t table, size_t position) {
    return (table * 0x9e3779b97f4a7c15u) ^ (position * 0xbf58476d1ce4e5b9u);
}

static void Put(unsigned char* data, size_t position, uint64_t value) {
    memcpy(data + position, &value, sizeof value);
}

static uint64_t Get(const unsigned char* data, size_t position) {
    uint64_t value;
    memcpy(&value, data + position, sizeof value);
    return value;
}

/* The words of [from, to) that a table stamps: one every kStride bytes and the last one. */
static void StampHalf(unsigned char* data, size_t from, size_t to, uint64_t table) {
    for (size_t position = from; position + sizeof(uint64_t) <= to; position += kStride)
        Put(data, position, Stamp(table, position));
    Put(data, to - sizeof(uint64_t), Stamp(table, to - sizeof(uint64_t)));
}

static uint64_t checksum = 0;

/* The same words as StampHalf, half by half, for a table of `size` bytes. */
static void CheckTable(const unsigned char* data, size_t size, uint64_t table) {
    size_t from = 0;
    for (size_t to = kFirstBytes; to <= size; from = to, to *= 2) {
        for (size_t position = from; position + sizeof(uint64_t) <= to; position += kStride)
            if (Get(data, position) != Stamp(table, position)) Fail("a table lost a word");
        if (Get(data, to - sizeof(uint64_t)) != Stamp(table, to - sizeof(uint64_t)))
            Fail("a table lost its last word");
    }
    checksum = checksum * 31 + Get(data, size / 2) % 1000003;
}

int main(int argc, char** argv) {
    long reallocs = argc > 1 ? strtol(argv[1], NULL, 10) : 1000000;
    if (reallocs < 1) Fail("usage: table_resize [reallocs >= 1]");
    long done = 0;
    uint64_t tables = 0;
    while (done < reallocs) {
        const uint64_t table = ++tables;
        size_t size = kFirstBytes;
        unsigned char* data = malloc(size);
        if (!data) Fail("malloc failed");
        StampHalf(data, 0, size, table);
        while (size < kLastBytes && done < reallocs) {
            unsigned char* grown = realloc(data, size * 2);
            if (!grown) Fail("realloc failed");
            data = grown;
            ++done;
            StampHalf(data, size, size * 2, table);
            size *= 2;
            CheckTable(data, size, table);
        }
        free(data);
    }
    printf("table_resize: %ld reallocs, %llu tables, checksum %016llx\n", done,
           (unsigned long long)tables, (unsigned long long)checksum);
    return 0;
}
