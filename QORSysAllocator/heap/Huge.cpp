// Huge blocks, aligned requests, usable sizes and realloc. A huge block is a mapping of its own
// with a segment header (kind Huge) at the 4 MiB boundary at or below the block: at the mapping's
// start, or, for an alignment of 4 MiB or more, 4 MiB below the block, which then starts a segment
// of its own and is found by OwnsAtSegmentStart. Invariants: a huge header's pages[0].start is its
// block and its owner 0, so that every release of it takes the slow path; its usable bytes run to
// the mapping's end.
#include "Heap.h"

#include "Segments.h"

#include "../platform/Platform.h"

#include <cstring>

namespace qor::heap {

namespace {

constexpr std::size_t RoundUp(std::size_t value, std::size_t unit) {
    return (value + unit - 1) & ~(unit - 1);
}

// A block that realloc grows into a mapping may take a kept mapping up to this large: the growth
// that follows then costs neither a copy nor a system call nor a page fault.
constexpr std::size_t kGrowingKeptBytes = std::size_t{2} << 20;

// Released huge mappings kept, resident, for the next huge block: a program that grows a table to a
// few MiB and frees it, again and again, would otherwise map, fault in and unmap every page each
// time. Kept at most the purge delay, and at most kKeptBytes in all. Under gRegistryLock.
struct KeptMapping {
    char* mapping;
    std::size_t bytes;
    std::uint32_t keptAtMs;
};
constexpr int kKeptMappings = 8;
constexpr std::size_t kKeptBytes = std::size_t{32} << 20;
KeptMapping gKept[kKeptMappings] = {};
int gKeptCount = 0;
std::size_t gKeptTotal = 0;

// Requires: gRegistryLock held. Unmaps the kept mappings older than the delay (all with `all`), or
// the oldest while `room` bytes more would not fit.
void ExpireKept(bool all, std::size_t room) {
    const auto now = static_cast<std::uint32_t>(platform::MonotonicMilliseconds());
    for (int k = 0; k < gKeptCount;) {
        const bool full = gKeptCount == kKeptMappings || gKeptTotal + room > kKeptBytes;
        if (all || now - gKept[k].keptAtMs >= gPurgeDelayMs || (k == 0 && full)) {
            platform::UnmapMemory(gKept[k].mapping, gKept[k].bytes);
            gKeptTotal -= gKept[k].bytes;
            for (int j = k + 1; j < gKeptCount; ++j)
                gKept[j - 1] = gKept[j];
            --gKeptCount;
        } else {
            ++k;
        }
    }
}

// A kept mapping of `bytes` to twice as many (to kGrowingKeptBytes for a `growing` block), the
// smallest; null when none.
char* TakeKept(std::size_t bytes, bool growing, std::size_t* mapped) {
    const std::size_t most =
        growing && bytes < kGrowingKeptBytes / 2 ? kGrowingKeptBytes : 2 * bytes;
    ScopedLock lock(gRegistryLock);
    ExpireKept(false, 0);
    int best = -1;
    for (int k = 0; k < gKeptCount; ++k)
        if (gKept[k].bytes >= bytes && gKept[k].bytes <= most &&
            (best < 0 || gKept[k].bytes < gKept[best].bytes))
            best = k;
    if (best < 0) return nullptr;
    char* mapping = gKept[best].mapping;
    *mapped = gKept[best].bytes;
    gKeptTotal -= *mapped;
    for (int j = best + 1; j < gKeptCount; ++j)
        gKept[j - 1] = gKept[j];
    --gKeptCount;
    return mapping;
}

// True when the mapping was kept (it is no longer registered).
bool Keep(char* mapping, std::size_t bytes) {
    if (bytes > kKeptBytes / 4) return false;
    ScopedLock lock(gRegistryLock);
    ExpireKept(false, bytes);
    if (gKeptCount == kKeptMappings || gKeptTotal + bytes > kKeptBytes) return false;
    gKept[gKeptCount++] =
        KeptMapping{mapping, bytes, static_cast<std::uint32_t>(platform::MonotonicMilliseconds())};
    gKeptTotal += bytes;
    return true;
}

Segment* HeaderAtSegmentStart(const void* memory) {
    const auto at = reinterpret_cast<std::uintptr_t>(memory);
    if (at < kSegmentBytes) return nullptr;
    const auto* below = reinterpret_cast<const void*>(at - kSegmentBytes);
    if (!InSegment(below)) return nullptr;
    Segment* header = Segment::Of(below);
    return header->kind == SegmentKind::Huge && header->pages[0].start == memory ? header : nullptr;
}

Segment* HugeHeaderOf(const void* memory) {
    if (!InSegment(memory)) return HeaderAtSegmentStart(memory);
    Segment* segment = Segment::Of(memory);
    return segment->kind == SegmentKind::Huge ? segment : nullptr;
}

std::size_t HugeUsable(const Segment* header, const void* block) {
    return static_cast<std::size_t>(header->mapping + header->mappedBytes -
                                    static_cast<const char*>(block));
}

// Resizes a huge block whose header starts its mapping, in place or by moving its pages; null
// (nothing changed) when the kernel refuses.
void* RemapHuge(Segment* header, void* block, std::size_t bytes) {
    const std::size_t offset =
        static_cast<std::size_t>(static_cast<char*>(block) - header->mapping);
    if (bytes > SIZE_MAX - offset - platform::kSystemPageBytes) return nullptr;
    const std::size_t total = RoundUp(offset + bytes, platform::kSystemPageBytes);
    const std::size_t mapped = header->mappedBytes;
    ScopedLock lock(gRegistryLock);
    if (total == mapped) return block;
    // Registered again with its new size (the leak checker knows a region by its bytes).
    UnregisterLocked(header);
    if (platform::RemapMemory(header, mapped, total, nullptr)) {
        header->mappedBytes = total;
        RegisterLocked(header);
        return block;
    }
    RegisterLocked(header);
    void* into = platform::MapMemory(total, kSegmentBytes);
    if (into == nullptr) return nullptr;
    UnregisterLocked(header);
    if (!platform::RemapMemory(header, mapped, total, into)) {
        RegisterLocked(header);
        platform::UnmapMemory(into, total);
        return nullptr;
    }
    auto* moved = static_cast<Segment*>(into);
    moved->mapping = static_cast<char*>(into);
    moved->mappedBytes = total;
    moved->pages[0].start = moved->mapping + offset;
    RegisterLocked(moved);
    return moved->pages[0].start;
}

} // namespace

void* AllocateHuge(std::size_t bytes, std::size_t alignment, HugeUse use) {
    const bool zeroed = use == HugeUse::Zeroed;
    const bool aboveSegment = alignment >= kSegmentBytes;
    const std::size_t offset = aboveSegment ? alignment : RoundUp(kHugeHeaderBytes, alignment);
    if (bytes > SIZE_MAX - offset - kSegmentBytes) return nullptr;
    std::size_t total = RoundUp(offset + bytes, platform::kSystemPageBytes);
    // A kept mapping is not zero, and is aligned at 4 MiB only.
    char* mapping =
        zeroed || aboveSegment ? nullptr : TakeKept(total, use == HugeUse::Growing, &total);
    if (mapping == nullptr)
        mapping = static_cast<char*>(
            platform::MapMemory(total, aboveSegment ? alignment : kSegmentBytes));
    if (mapping == nullptr) return nullptr;
    char* block = mapping + offset;
    auto* header = reinterpret_cast<Segment*>(aboveSegment ? block - kSegmentBytes : mapping);
    header->kind = SegmentKind::Huge;
    header->heap = nullptr;
    header->mapping = mapping;
    header->mappedBytes = total;
    header->pages[0].start = block;
    header->pages[0].owner.store(0, std::memory_order_relaxed);
    std::memset(header->pageOf, 0, sizeof(header->pageOf));
    Register(header);
    return block;
}

void ReleaseHuge(Segment* header) {
    Unregister(header);
    if (header->mapping == reinterpret_cast<char*>(header) &&
        Keep(header->mapping, header->mappedBytes))
        return;
    platform::UnmapMemory(header->mapping, header->mappedBytes);
}

void ReleaseKeptMappings() {
    ScopedLock lock(gRegistryLock);
    ExpireKept(true, 0);
}

std::size_t KeptMappingBytes() {
    ScopedLock lock(gRegistryLock);
    return gKeptTotal;
}

bool OwnsAtSegmentStart(const void* memory) { return HeaderAtSegmentStart(memory) != nullptr; }

void ReleaseAtSegmentStart(void* memory) { ReleaseHuge(HeaderAtSegmentStart(memory)); }

void* AllocateZeroed(std::size_t bytes) {
    if (bytes > kLargestClassBytes) return AllocateHuge(bytes, kGrain, HugeUse::Zeroed);
    void* block = Allocate(bytes);
    if (block != nullptr) std::memset(block, 0, bytes);
    return block;
}

void* AllocateAligned(std::size_t alignment, std::size_t bytes) {
    if (alignment <= kGrain) return Allocate(bytes);
    if (bytes > SIZE_MAX / 2 || alignment > SIZE_MAX / 4) return nullptr;
    const std::size_t request = bytes == 0 ? 1 : bytes;
    if (alignment <= kSliceBytes && request + alignment - kGrain <= kLargestClassBytes) {
        // Pages start at 64 KiB: a class that is a multiple of the alignment is aligned throughout.
        if (ClassBytes(ClassOf(request)) % alignment == 0) return Allocate(request);
        auto* block = static_cast<char*>(Allocate(request + alignment - kGrain));
        if (block == nullptr) return nullptr;
        char* aligned =
            reinterpret_cast<char*>(RoundUp(reinterpret_cast<std::uintptr_t>(block), alignment));
        // From now on a release into the page finds the block that holds its pointer.
        if (aligned != block)
            Segment::Of(block)->PageOf(block)->owner.fetch_or(kOwnerAligned,
                                                              std::memory_order_relaxed);
        return aligned;
    }
    return AllocateHuge(request, alignment, HugeUse::Plain);
}

std::size_t UsableBytes(const void* memory) {
    if (Segment* header = HugeHeaderOf(memory)) return HugeUsable(header, memory);
    Page* page = Segment::Of(memory)->PageOf(memory);
    if ((page->owner.load(std::memory_order_relaxed) & kOwnerAligned) == 0) return page->blockBytes;
    const auto offset = static_cast<std::size_t>(static_cast<const char*>(memory) - page->start);
    return page->blockBytes - offset % page->blockBytes;
}

void* Reallocate(void* memory, std::size_t bytes) {
    const std::size_t usable = UsableBytes(memory);
    // Shrinking by less than half keeps the block: moving would cost more than the bytes saved. So
    // does a huge block that would give back less than a kept mapping may hold: it may have been
    // given more room than asked, for the growth that follows.
    if (bytes <= usable && bytes >= usable / 2) return memory;
    Segment* header = HugeHeaderOf(memory);
    if (header != nullptr && bytes <= usable && bytes > kReallocMapBytes &&
        usable - bytes < kGrowingKeptBytes)
        return memory;
    if (header != nullptr && header->mapping == reinterpret_cast<char*>(header) &&
        bytes > kReallocMapBytes)
        if (void* resized = RemapHuge(header, memory, bytes)) return resized;
    void* moved = bytes > usable && bytes > kReallocMapBytes
                      ? AllocateHuge(bytes, kGrain, HugeUse::Growing)
                      : Allocate(bytes);
    if (moved == nullptr) return nullptr;
    std::memcpy(moved, memory, bytes < usable ? bytes : usable);
    Release(memory);
    return moved;
}

} // namespace qor::heap
