// Server-style churn: worker threads that keep replacing blocks in one shared table, so that most
// blocks are released by another thread than the one that allocated them (as requests handed
// between workers are). Each operation claims a slot, checks its block's pattern, deletes it and
// puts a new block of 8 to 1000 bytes, written in full once, in its place. Built twice
// (CMakeLists.txt): qor_server_style uses the process's malloc, qor_server_style_routed the
// routed global new.
//
// Usage: qor_server_style THREADS OPERATIONS_PER_THREAD [SLOTS] [--damage]
//   OPERATIONS_PER_THREAD: THREADS times as many operations in all, which the threads take from
//          one shared count (a thread may do more or fewer); counts such as "2e6" accepted.
//   SLOTS: the table's size, default 10,000 per thread (about 5 MB of live blocks per thread:
//          beyond the caches, as a server's live data is).
//   --damage: change one byte of one block, to check that the check fails.
// Each thread fills its share of the table, then all start together; a thread draws slots and
// sizes from its own generator (seeded by its index, never repeating within a run) and skips, up
// to three times in a row, slots whose block it allocated itself. Prints one JSON line
// (ProgramRun.h, plus slots, the share of releases of another thread's block and the bytes live
// at the end); exits 1 on bad arguments, 2 when a block's pattern was damaged.
#include "ProgramRun.h"

#ifdef QOR_BENCH_ROUTE_GLOBAL_NEW_DELETE
#include <QORSysStdAdapters.h>
QOR_SYS_ROUTE_GLOBAL_NEW_DELETE();
#endif

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr std::uint32_t kMinBytes = 8;
constexpr std::uint32_t kMaxBytes = 1000;

// 16 bytes. A thread owns a slot from the exchange that takes its block (leaving null, which
// other threads skip) to the store that puts the new one back; bytes and fill are only touched
// in between, and the release store publishes them with the block.
struct Slot {
    std::atomic<char*> block{nullptr};
    std::atomic<std::uint16_t> owner{0}; // the thread that allocated the block; read unclaimed
    std::uint8_t fill = 0;               // every byte of the block
    std::uint32_t bytes = 0;
};

// True when every byte is `fill`. An OR over the whole block rather than an early exit: the
// compiler vectorises it, and the check costs every route the same read of the block.
bool Intact(const char* block, std::uint32_t bytes, std::uint8_t fill) {
    unsigned char differs = 0;
    for (std::uint32_t i = 0; i < bytes; ++i)
        differs |= static_cast<unsigned char>(block[i]) ^ fill;
    return differs == 0;
}

// One 64-bit draw gives a block: its size from the high half, its fill byte from the low one.
char* NewBlock(Slot& slot, std::uint64_t draw, std::uint16_t owner) {
    slot.bytes =
        kMinBytes + static_cast<std::uint32_t>(((draw >> 32) * (kMaxBytes - kMinBytes + 1)) >> 32);
    slot.fill = static_cast<std::uint8_t>(draw);
    slot.owner.store(owner, std::memory_order_relaxed);
    char* block = new char[slot.bytes];
    std::memset(block, slot.fill, slot.bytes);
    return block;
}

struct ThreadCounts {
    std::uint64_t remote = 0;  // releases of a block that another thread allocated
    std::uint64_t damaged = 0; // blocks whose pattern had changed
};

// One operation: claims a slot, checks and deletes its block, puts a new one in its place.
// `draws` bounds the slots drawn in search of another thread's block: a thread that runs while the
// others wait for a core may have made every block its own.
void ReplaceOne(std::vector<Slot>& slots, std::uint16_t me, unsigned draws, std::mt19937_64& stream,
                ThreadCounts& counts) {
    Slot* slot;
    char* old;
    for (unsigned draw = 1;; ++draw) {
        slot = &slots[((stream() >> 32) * slots.size()) >> 32];
        if (draw < draws && slot->owner.load(std::memory_order_relaxed) == me) continue;
        old = slot->block.exchange(nullptr, std::memory_order_acquire);
        if (old != nullptr) break;
    }
    counts.remote += slot->owner.load(std::memory_order_relaxed) != me;
    counts.damaged += !Intact(old, slot->bytes, slot->fill);
    delete[] old;
    slot->block.store(NewBlock(*slot, stream(), me), std::memory_order_release);
}

// The timed loop. Operations are taken from one shared count in batches, as requests from one
// queue, so that the threads end together instead of one running on alone with none but its own
// blocks to release. The counts stay in locals until the end, away from the other threads' cache
// lines.
ThreadCounts Replace(std::vector<Slot>& slots, std::uint16_t me, std::atomic<std::uint64_t>& taken,
                     std::uint64_t operations, unsigned draws, std::mt19937_64& stream) {
    constexpr std::uint64_t kBatch = 256;
    ThreadCounts counts;
    for (std::uint64_t first;
         (first = taken.fetch_add(kBatch, std::memory_order_relaxed)) < operations;) {
        const std::uint64_t end = std::min(operations, first + kBatch);
        for (std::uint64_t operation = first; operation < end; ++operation)
            ReplaceOne(slots, me, draws, stream, counts);
    }
    return counts;
}

} // namespace

int main(int argc, char** argv) {
    qor::bench::ProgramArguments arguments;
    const bool valid = qor::bench::ParseProgramArguments(argc, argv, arguments);
    if (arguments.size == 0) arguments.size = 10000 * arguments.threads;
    // The slot draw scales 32 random bits; every thread needs a share of the table to fill.
    if (!valid || arguments.size < arguments.threads || arguments.size > 0xFFFFFFFFu) {
        std::fprintf(stderr,
                     "usage: qor_server_style THREADS OPERATIONS_PER_THREAD [SLOTS] [--damage]\n");
        return 1;
    }
    const auto threads = static_cast<unsigned>(arguments.threads);
    std::vector<Slot> slots(arguments.size);
    std::vector<ThreadCounts> counts(threads);
    const std::uint64_t operations = arguments.perThread * threads;
    alignas(64) std::atomic<std::uint64_t> taken{0};
    const double seconds = qor::bench::RunTogether(threads, [&](unsigned thread, auto& gate) {
        std::mt19937_64 stream(0x5E7E7 + thread);
        const auto me = static_cast<std::uint16_t>(thread);
        for (std::uint64_t i = slots.size() * thread / threads;
             i < slots.size() * (thread + 1) / threads; ++i)
            slots[i].block.store(NewBlock(slots[i], stream(), me), std::memory_order_relaxed);
        if (arguments.damage && thread == 0) slots[0].block.load(std::memory_order_relaxed)[0] ^= 1;
        gate.arrive_and_wait();
        counts[thread] = Replace(slots, me, taken, operations, threads > 1 ? 4 : 1, stream);
    });

    ThreadCounts total;
    std::uint64_t liveBytes = 0;
    for (const ThreadCounts& thread : counts) {
        total.remote += thread.remote;
        total.damaged += thread.damaged;
    }
    for (Slot& slot : slots) {
        char* block = slot.block.load(std::memory_order_relaxed);
        total.damaged += !Intact(block, slot.bytes, slot.fill);
        liveBytes += slot.bytes;
        delete[] block;
    }
    qor::bench::PrintProgramResult(
        "server-style", threads, operations, seconds,
        ",\"slots\":" + std::to_string(slots.size()) + ",\"remote_releases\":" +
            std::to_string(static_cast<double>(total.remote) / static_cast<double>(operations)) +
            ",\"live_bytes\":" + std::to_string(liveBytes));
    if (total.damaged == 0) return 0;
    std::fprintf(stderr, "qor_server_style: damaged blocks: %llu\n",
                 static_cast<unsigned long long>(total.damaged));
    return 2;
}
