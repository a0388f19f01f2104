// Everything the tracer knows, in one zero-initialised object guarded by one mutex: the pools it
// has seen with their counters, the live blocks, and the findings. Nothing here allocates through
// malloc or new, so a hook may run while the application's own allocator is the library.
// Invariants: a pool's liveBlocks and liveBytes sum over the table's entries naming it;
// peakBytes >= liveBytes; records 0 ("no pool") and 1 (the heap) exist once started.
#pragma once

#include "LiveBlockTable.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <pthread.h>

namespace qor::tracer {

// Request sizes are counted in 8-byte steps up to 128, then in four steps per power of two.
constexpr int kSizeBuckets = 16 + 57 * 4;
inline int SizeBucket(std::uint64_t size) {
    if (size <= 128) return size == 0 ? 0 : static_cast<int>((size - 1) / 8);
    const int power = 63 - __builtin_clzll(size - 1); // size in (2^power, 2^(power+1)], power >= 7
    return 16 + (power - 7) * 4 + static_cast<int>(((size - 1) >> (power - 2)) & 3);
}
// The smallest and largest size of a bucket.
inline std::uint64_t BucketLow(int bucket) {
    if (bucket < 16) return bucket == 0 ? 0 : std::uint64_t(bucket) * 8 + 1;
    const int power = 7 + (bucket - 16) / 4;
    return (std::uint64_t{1} << power) +
           std::uint64_t((bucket - 16) % 4) * (std::uint64_t{1} << (power - 2)) + 1;
}
inline std::uint64_t BucketHigh(int bucket) {
    return bucket + 1 < kSizeBuckets ? BucketLow(bucket + 1) - 1 : ~std::uint64_t{0};
}

struct PoolRecord {
    void* address;  // the pool object; null for "no pool", the heap and a fixed pool never seen
    char name[48];  // the creation name, cut to 47 characters
    char role[48];  // how the application reaches it, for the heap and the fixed pools
    BlockKind kind; // General or Paged; Heap for record 1, None for record 0
    bool destroyed;
    std::uint64_t allocations, releases, failures, invalidPointers;
    std::uint64_t chunksAdded, flushes, dropped; // dropped: live blocks ended by a flush
    std::uint64_t liveBlocks, liveBytes, peakBytes;
    bool sampled; // appears in a sample (a swap file's zone may have no allocation of its own)
    std::uint64_t sizes[kSizeBuckets]; // requests by SizeBucket of the caller's size
};

struct Damage {
    std::uintptr_t pointer;
    std::uint64_t size;
    std::uint16_t pool;
    std::uint8_t areas; // DamageArea bits
    bool atExit;        // found by the exit check rather than at the release
    std::uintptr_t below;
    std::uint64_t belowSize; // the paged block right below, when an overrun from it is likely
    std::uint32_t stack;     // the damaged block's call site
};

struct InvalidPointer {
    std::uintptr_t pointer; // the caller's pointer for a refused release, else as reported
    char tag[16];
    std::uint16_t pool;
};

constexpr std::uint16_t kNoPool = 0;
constexpr std::uint16_t kHeapPool = 1;
constexpr int kMaxPools = 1024; // the last record collects every further pool
constexpr int kPoolIndexSlots = 4096;
constexpr int kFixedPoolRoles = 18; // the library's 17 fixed entries, then the threaded pool
constexpr int kMaxDamage = 256;
constexpr int kMaxInvalidPointers = 64;

struct PoolIndexSlot {
    void* address;
    std::uint16_t pool;
};

struct TracerState {
    std::mutex lock;
    std::atomic<pthread_t> holder{}; // the thread holding `lock` (TracerLock), else 0
    bool finished = false;           // the report is written: later events are not recorded
    int pid = 0;                     // the process that started the tracer (0: not started)
    int poolCount = 0;
    PoolRecord pools[kMaxPools] = {};
    PoolIndexSlot poolIndex[kPoolIndexSlots] = {};
    std::uint16_t fixedPools[kFixedPoolRoles] = {}; // record per fixed role, 0 while unknown
    LiveBlockTable blocks;
    Damage damage[kMaxDamage] = {};
    int damageCount = 0;
    InvalidPointer invalid[kMaxInvalidPointers] = {};
    int invalidCount = 0;
    std::uint64_t findingsDropped = 0;
    std::uint64_t untrackedBlocks = 0;   // allocated while the table was full
    std::uint64_t untrackedReleases = 0; // released without being in the table
    std::uintptr_t releasing = 0;        // the untracked pointer whose release is under way
    char outputPrefix[4096] = {};        // QORSysTracerOutput as Start found it; empty: default
    char command[256] = {};              // the process's arguments, blank-separated, cut
    int exitStatusOnFindings = 0;        // QORSysTracerExitCode as Start found it; 0: none
    int exitStatus = 0; // what the process ends with, once the exit report found leaks or damage
    // The caller's pointer of the latest allocation, process-wide: a block released while it is
    // still the latest was released with no allocation in between, a temporary allocation.
    std::uintptr_t latestAllocation = 0;
    std::uint64_t temporaryAllocations = 0, temporaryBytes = 0; // every call site, unknown too
    // Behind the malloc override with QORSysMallocInstrumSample: the mean bytes asked for between
    // two requests the hooks see, the heap engine serving the others; 0: every request is seen.
    std::uint32_t sampleBytes = 0;
};

extern TracerState gState;

// The tracer's one lock, as every hook takes it. A hook may allocate while it holds it (libunwind
// makes its thread-local storage with malloc at a thread's first unwinding), and behind the malloc
// override that allocation comes back to the hooks: the nested hook finds the lock its own
// thread's, takes nothing and must record nothing. Another thread's holder never reads as this
// thread's, so a relaxed look suffices.
class TracerLock {
public:
    TracerLock() : held_(gState.holder.load(std::memory_order_relaxed) != pthread_self()) {
        if (!held_) return;
        gState.lock.lock();
        gState.holder.store(pthread_self(), std::memory_order_relaxed);
    }
    ~TracerLock() {
        if (!held_) return;
        gState.holder.store(pthread_t{}, std::memory_order_relaxed);
        gState.lock.unlock();
    }
    TracerLock(const TracerLock&) = delete;
    TracerLock& operator=(const TracerLock&) = delete;
    // False in a hook nested in one of the tracer's own allocations.
    bool Held() const { return held_; }

private:
    bool held_;
};

// All below require gState.lock to be held.

// Sets up the two fixed records, the table (size from QORSysTracerCapacity) and the output prefix
// (QORSysTracerOutput) once.
void Start();
// The record of a pool object, made on first sight (its kind read from the pool's flags).
std::uint16_t PoolAt(void* address);
// A fresh record for a pool just constructed (a reused address starts a new record).
std::uint16_t NewPool(void* address, const char* name, int flags);
// The record of the heap engine behind the malloc override (kind Engine, no address), whose
// figures the samples read as a whole.
std::uint16_t NewEngineRecord();
// The record of fixed role `role` (FixedRoleOf), made when the pool is not known yet; a
// non-zero `resolved` is the pool that served a block and becomes the role's record.
std::uint16_t FixedPoolRecord(int role, std::uint16_t resolved);
// The fixed role of pool argument 1, 4 (with the request's key) or 32, or -1.
int FixedRoleOf(std::uintptr_t poolArgument, std::size_t key);
// Ends the live blocks of a pool whose blocks a flush has invalidated.
void DropLiveBlocks(std::uint16_t pool);
// Keeps a damage finding (and, found at a release, tells stderr at once).
void RecordDamage(const LiveBlock& block, std::uint8_t areas, bool atExit);
void RecordInvalidPointer(std::uintptr_t pointer, const char* tag, std::uint16_t pool);

// "<name> (<role>)", the name or the role alone, or the address.
void DisplayName(const PoolRecord& pool, char* out, std::size_t bytes);
// One line describing a damage finding, without line feed.
void DescribeDamage(const Damage& damage, char* out, std::size_t bytes);
// What the library's tag for a pointer it refused means, in words ("SpeDel": a release of a
// pointer it did not hand out, and so on); an unknown tag as it is.
const char* InvalidPointerReason(const char* tag);

// Writes all of `text` to `fd` (nothing when fd < 0), giving up on an error.
void WriteAll(int fd, const char* text, std::size_t length);

// The prefix of this process's report files (QORSysTracerOutput, its pid added as it says).
void OutputPrefix(char* out, std::size_t bytes);
// A report file opened for writing (its directories made as needed), never on a standard
// descriptor; -1 (told on stderr) when not.
int OpenOutput(const char* path);

// Writes the report (text on stderr and in <prefix>.txt, JSON in <prefix>.json) once.
void WriteReport();
// The same from a fatal signal's handler: async-signal-safe calls only, no lock.
void WriteReportOnSignal(int signal);

} // namespace qor::tracer
