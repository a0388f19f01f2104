// Call sites: unwinding past the allocation library, and the table of distinct stacks: the
// records in order of first sight (dense, so that memory follows the stacks seen) behind an
// open-addressing index of their ids (4 bytes a slot); never grown, never erased, since a
// program has few distinct stacks.
// The stack is unwound by libunwind's unw_backtrace, which keeps each return address's frame rule
// in a per-thread cache (made with mmap, not malloc): once a program's call paths are known, a
// frame costs a cache lookup, where interpreting the unwind tables again for every allocation
// made call sites cost nine times the rest of the tracer.
#include "CallSites.h"

#include "MappedMemory.h"
#include "TracerState.h"

#include <link.h>

#define UNW_LOCAL_ONLY // this process's own stack only: the small, fast variant
#include <libunwind.h>

#include <cstdlib>
#include <cstring>

// Present when a leak checker's runtime (AddressSanitizer's included) is in the process.
extern "C" [[gnu::weak]] void __lsan_do_leak_check();

namespace qor::tracer {
namespace {

constexpr std::uint32_t kStackSlots = 1u << 16;
constexpr std::uint32_t kStackLimit = kStackSlots / 8 * 7;
// Frames of the tracer, the library and operator new above the caller: unwound and dropped.
constexpr int kInternalFrames = 16;

struct Range {
    std::uintptr_t start = 0, end = 0;
    bool Holds(std::uintptr_t address) const { return address >= start && address < end; }
};

struct CallSiteState {
    int depth = 0;
    Range skipped[3]; // the tracer, the module that called the hook, the C++ runtime's new
    StackRecord* records = nullptr; // stack id i + 1 at i
    std::uint32_t* index = nullptr; // by hash: a stack id, 0 for a vacant slot
    std::uint32_t count = 0;
    bool stepFrames = false; // a leak checker is in the process (ReturnAddresses)
    // The most frames above a caller that were the tracer's, the library's or operator new's:
    // an unwind asks for that many besides those it keeps (each frame costs a lookup).
    int internalFrames = 0;
};

constinit CallSiteState gSites;

// The executable segments' span of the loaded object holding `address`.
Range ModuleOf(const void* address) {
    struct Search {
        std::uintptr_t address;
        Range found;
    } search{reinterpret_cast<std::uintptr_t>(address), {}};
    dl_iterate_phdr(
        [](dl_phdr_info* info, std::size_t, void* data) {
            auto* wanted = static_cast<Search*>(data);
            Range span{~std::uintptr_t{0}, 0};
            for (int i = 0; i < info->dlpi_phnum; ++i) {
                const ElfW(Phdr)& header = info->dlpi_phdr[i];
                if (header.p_type != PT_LOAD) continue;
                const std::uintptr_t start = info->dlpi_addr + header.p_vaddr;
                if (start < span.start) span.start = start;
                if (start + header.p_memsz > span.end) span.end = start + header.p_memsz;
            }
            if (!span.Holds(wanted->address)) return 0;
            wanted->found = span;
            return 1;
        },
        &search);
    return search.found;
}

bool Skipped(std::uintptr_t address) {
    for (const Range& range : gSites.skipped)
        if (range.Holds(address)) return true;
    return false;
}

// The return addresses from here up, at most `max`. unw_backtrace keeps its cache of frame rules
// in the thread-local storage of libunwind, which LeakSanitizer's exit scan of a process cannot
// walk (it faults): under a leak checker, the frames are stepped through one by one instead, at
// about ten times the cost.
int ReturnAddresses(std::uintptr_t* out, int max) {
    if (!gSites.stepFrames) return unw_backtrace(reinterpret_cast<void**>(out), max);
    unw_context_t context;
    unw_cursor_t cursor;
    if (unw_getcontext(&context) != 0 || unw_init_local(&cursor, &context) != 0) return 0;
    int count = 0;
    for (unw_word_t ip = 0; count < max && unw_step(&cursor) > 0; out[count++] = ip)
        if (unw_get_reg(&cursor, UNW_REG_IP, &ip) != 0 || ip == 0) break;
    return count;
}

// The first of `count` return addresses that is the caller's, not the tracer's, the library's or
// operator new's.
int FirstOwnFrame(const std::uintptr_t* taken, int count) {
    int first = 0;
    while (first < count && Skipped(taken[first]))
        ++first;
    return first;
}

std::uint64_t HashOf(const Frames& frames, std::uint16_t pool) {
    std::uint64_t hash = 0x9E3779B97F4A7C15ull ^ static_cast<std::uint64_t>(frames.count) ^
                         (std::uint64_t{pool} << 8);
    for (int i = 0; i < frames.count; ++i)
        hash = (hash ^ frames.address[i]) * 0xFF51AFD7ED558CCDull;
    return hash | 1; // 0 marks a vacant slot
}

} // namespace

void StartCallSites() {
    const char* text = std::getenv("QORSysTracerStackDepth");
    const long asked = text != nullptr ? std::strtol(text, nullptr, 10) : 4;
    gSites.depth = asked < 0 ? 0 : asked > kMaxStackDepth ? kMaxStackDepth : int(asked);
    if (gSites.depth == 0) return;
    gSites.records = MapZeroed<StackRecord>(kStackLimit, Filling::FromStart);
    gSites.index = MapZeroed<std::uint32_t>(kStackSlots);
    if (gSites.records == nullptr || gSites.index == nullptr) {
        gSites.depth = 0;
        return;
    }
    gSites.skipped[0] = ModuleOf(reinterpret_cast<void*>(&StartCallSites));
    gSites.stepFrames = __lsan_do_leak_check != nullptr;
    void* (*runtimeNew)(std::size_t) = &::operator new;
    gSites.skipped[2] = ModuleOf(reinterpret_cast<void*>(runtimeNew));
}

int StackDepth() { return gSites.depth; }

Frames CaptureFrames(const void* hookCaller) {
    Frames frames;
    if (gSites.depth == 0) return frames;
    // The library's module, found once (and again should a second copy of it call, as the malloc
    // override's does beside a program's own).
    if (!gSites.skipped[1].Holds(reinterpret_cast<std::uintptr_t>(hookCaller)))
        gSites.skipped[1] = ModuleOf(hookCaller);
    std::uintptr_t taken[kInternalFrames + kMaxStackDepth];
    int count = ReturnAddresses(taken, gSites.internalFrames + gSites.depth);
    int first = FirstOwnFrame(taken, count);
    // Cut short by the limit rather than by the stack's end: a path with more internal frames
    // than seen so far. The full unwind gives what any unwind would, and raises the limit.
    if (count - first < gSites.depth && count == gSites.internalFrames + gSites.depth) {
        count = ReturnAddresses(taken, kInternalFrames + gSites.depth);
        first = FirstOwnFrame(taken, count);
        if (first > gSites.internalFrames) gSites.internalFrames = first;
    }
    for (int i = first; i < count && frames.count < gSites.depth; ++i)
        frames.address[frames.count++] = taken[i];
    return frames;
}

std::uint32_t StackOf(const Frames& frames, std::uint16_t pool) {
    if (frames.count == 0 || gSites.records == nullptr) return kUnknownStack;
    const std::uint64_t hash = HashOf(frames, pool);
    for (std::uint32_t i = static_cast<std::uint32_t>(hash >> 48) & (kStackSlots - 1);;
         i = (i + 1) & (kStackSlots - 1)) {
        if (const std::uint32_t id = gSites.index[i]; id != kUnknownStack) {
            const StackRecord& known = gSites.records[id - 1];
            if (known.hash == hash && known.pool == pool && known.depth == frames.count &&
                std::memcmp(known.frames, frames.address, sizeof(std::uintptr_t) * frames.count) ==
                    0)
                return id;
            continue;
        }
        if (gSites.count == kStackLimit) return kUnknownStack;
        StackRecord& added = gSites.records[gSites.count];
        added.hash = hash;
        added.pool = pool;
        added.depth = static_cast<std::uint8_t>(frames.count);
        std::memcpy(added.frames, frames.address, sizeof(std::uintptr_t) * frames.count);
        NoteFilled(gSites.records, (gSites.count + 1) * sizeof(StackRecord));
        return gSites.index[i] = ++gSites.count;
    }
}

void CountLive(std::uint32_t stack, std::int64_t bytes, std::int64_t blocks) {
    if (stack == kUnknownStack) return;
    StackRecord& record = gSites.records[stack - 1];
    record.liveBytes += static_cast<std::uint64_t>(bytes);
    record.liveBlocks += static_cast<std::uint64_t>(blocks);
    if (blocks > 0) {
        record.allocatedBytes += static_cast<std::uint64_t>(bytes);
        record.allocations += static_cast<std::uint64_t>(blocks);
    }
}

void CountTemporary(std::uint32_t stack, std::uint64_t bytes) {
    if (stack == kUnknownStack) return;
    StackRecord& record = gSites.records[stack - 1];
    record.temporaryBytes += bytes;
    ++record.temporaries;
}

void KeepPeakSites() {
    for (std::uint32_t i = 0; i < gSites.count; ++i) {
        StackRecord& record = gSites.records[i];
        record.peakBytes = record.liveBytes;
        record.peakBlocks = record.liveBlocks;
    }
}

const StackRecord* StackById(std::uint32_t id) {
    return id == kUnknownStack || id > gSites.count ? nullptr : &gSites.records[id - 1];
}

std::uint32_t StackCount() { return gSites.count; }

} // namespace qor::tracer
