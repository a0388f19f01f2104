#include "MergeFreeAreas.h"

#include "../core/EnvironmentVariables.h"
#include "../platform/Platform.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace qor {

namespace {

constexpr char kSortProblem[] = "Sort Problem";
constexpr std::uint64_t kSmallestPiece = 16;

inline std::uintptr_t Address(const void* p) { return reinterpret_cast<std::uintptr_t>(p); }

// Moves each lower-addressed area to the current position. A list longer than the chunk could
// hold (a cycle left by a double release) is corrupt and stops the process.
void SortByAddress(ChunkFields& k) {
    const std::uint64_t maxAreas = k.size / kSmallestPiece;
    std::uint64_t length = 0;
    for (const FreeArea* area = k.freeList; area != nullptr; area = area->next)
        if (++length > maxAreas) AbortWithMessage(kSortProblem);
    for (FreeArea** position = &k.freeList; *position != nullptr; position = &(*position)->next) {
        FreeArea** scan = &(*position)->next;
        while (*scan != nullptr) {
            FreeArea* candidate = *scan;
            if (Address(candidate) < Address(*position)) {
                *scan = candidate->next;
                candidate->next = *position;
                *position = candidate;
            } else {
                scan = &candidate->next;
            }
        }
    }
}

void SortMerge(ChunkFields& k) {
    SortByAddress(k);
    std::uint32_t merges = 0;
    std::uint64_t largestMerged = 0;
    for (FreeArea* area = k.freeList; area != nullptr; area = area->next) {
        while (FreeArea* next = area->next) {
            if (Address(area) >= Address(next)) AbortWithMessage(kSortProblem);
            if (Address(area) + area->size + 8 < Address(next)) break;
            area->size += next->size;
            area->next = next->next;
            ++merges;
            if (area->size > largestMerged) largestMerged = area->size;
        }
    }
    k.freeAreaCount -= merges;
    k.pieceCount -= merges;
    if (largestMerged > k.largestFreeArea)
        k.largestFreeArea = static_cast<std::uint32_t>(largestMerged);
}

struct Piece {
    std::uintptr_t firstWord; // bit 0 set: a block in use; clear: a free area's next link
    std::uint64_t size;
};

// Returns the largest area listed afterwards (0 when none): the walk sees every free area.
std::uint64_t AddressWalk(void* chunkBase, ChunkFields& k, std::size_t headerBytes) {
    const std::uintptr_t end = Address(chunkBase) + (k.size & kChunkSizeMask);
    std::uintptr_t at = Address(chunkBase) + headerBytes;
    FreeArea* head = nullptr;
    FreeArea** tail = &head;
    std::uint32_t merges = 0;
    std::uint64_t largestMerged = 0;
    std::uint64_t largest = 0;
    while (at < end) {
        auto* piece = reinterpret_cast<Piece*>(at);
        if (piece->size < kSmallestPiece) break; // corrupt tiling: keep what was rebuilt
        if (piece->firstWord & kOwnerInUse) {
            at += piece->size;
            continue;
        }
        auto* area = reinterpret_cast<FreeArea*>(piece);
        area->next = nullptr;
        *tail = area;
        tail = &area->next;
        at += area->size;
        while (at < end && !(reinterpret_cast<Piece*>(at)->firstWord & kOwnerInUse) &&
               reinterpret_cast<Piece*>(at)->size >= kSmallestPiece) {
            area->size += reinterpret_cast<Piece*>(at)->size;
            ++merges;
            if (area->size > largestMerged) largestMerged = area->size;
            at = Address(area) + area->size;
        }
        if (area->size > largest) largest = area->size;
    }
    k.freeList = head;
    k.freeAreaCount -= merges;
    k.pieceCount -= merges;
    if (largestMerged > k.largestFreeArea)
        k.largestFreeArea = static_cast<std::uint32_t>(largestMerged);
    return largest;
}

// A merge reorders areas and grows them: every bound is computed again from the tail (the list
// is reversed in place, then turned back while the bounds are set), or the index rebuilt.
void RecomputeSuffixBounds(ChunkFields& k) {
    if (placement::IsIndexed(k)) return placement::RebuildIndex(k);
    FreeArea* reversed = nullptr;
    for (FreeArea* area = k.freeList; area != nullptr;) {
        FreeArea* next = area->next;
        area->next = reversed;
        reversed = area;
        area = next;
    }
    FreeArea* list = nullptr;
    for (FreeArea* area = reversed; area != nullptr;) {
        FreeArea* next = area->next;
        area->next = list;
        placement::SetSuffixBound(area);
        list = area;
        area = next;
    }
    k.freeList = list;
}

// The words an area keeps for its list: next, size, and the index's slots (TrackedIndex.h).
constexpr std::uintptr_t kAreaWordsBytes = std::uintptr_t{8} * (2 + placement::kTallestNode + 1);
constexpr std::uintptr_t kPageBytes = platform::kSystemPageBytes;

// Gives the whole pages inside each listed area back to the system, past the words the list
// keeps in it: they read as zero when a later block takes them, and no block's content is lost
// (an area holds none).
void PurgeListedAreas(const ChunkFields& k) {
    for (FreeArea* area = k.freeList; area != nullptr; area = area->next) {
        const std::uintptr_t begin =
            (Address(area) + kAreaWordsBytes + kPageBytes - 1) & ~(kPageBytes - 1);
        const std::uintptr_t end = (Address(area) + area->size) & ~(kPageBytes - 1);
        if (end > begin) platform::PurgeMemory(reinterpret_cast<void*>(begin), end - begin);
    }
}

// Read as "%d" reads it (blanks, a sign, digits, anything after ignored), but a number beyond the
// int range is another value, not the int it wraps to (sscanf gives 1 for 4294967297).
MergeMethod ReadForcedMethod() {
    const char* value = ReadVariable(Variable::ForceMergeMethod);
    if (value == nullptr) return MergeMethod::Automatic;
    char* end = nullptr;
    const long method = std::strtol(value, &end, 10);
    if (end == value || method < 0 || method > 2) return MergeMethod::Automatic;
    return static_cast<MergeMethod>(method);
}

// Empty chunks and single-size pools have nothing to merge.
bool Mergeable(const GeneralPool& pool, SubPool* chunk) {
    return chunk != nullptr && !chunk->IsEmpty() &&
           (pool.chunk.flags & QORSysPoolFlag::SINGLE_SIZE) == 0;
}

} // namespace

MergeMethod CurrentMergeMethod() {
    std::atomic<int>& fixed = State().mergeMethod;
    int method = fixed.load(std::memory_order_relaxed);
    if (method < 0) {
        method = static_cast<int>(ReadForcedMethod());
        fixed.store(method, std::memory_order_relaxed);
    }
    return static_cast<MergeMethod>(method);
}

void MergeForReclaim(GeneralPool& pool, SubPool* chunk, bool purge) {
    if (!Mergeable(pool, chunk)) return;
    ChunkFields& k = chunk->chunk;
    const std::uint64_t largest = AddressWalk(chunk, k, pool.HeaderBytesOf(chunk));
    k.largestFreeArea =
        largest > UINT32_MAX ? kLargestUnknown : static_cast<std::uint32_t>(largest);
    RecomputeSuffixBounds(k);
    if (purge) PurgeListedAreas(k);
}

bool MergeBehind(GeneralPool& pool, SubPool* chunk, void* piece) {
    if (!Mergeable(pool, chunk) || (pool.chunk.flags & QORSysPoolFlag::TRACKED_FREE_LIST))
        return false;
    ChunkFields& k = chunk->chunk;
    auto* first = static_cast<Piece*>(piece);
    if (first->firstWord & kOwnerInUse) return false;
    const std::uintptr_t end = Address(chunk) + (k.size & kChunkSizeMask);
    std::uintptr_t runEnd = Address(first) + first->size;
    std::uint32_t merges = 0;
    for (; runEnd < end; ++merges) {
        const auto* next = reinterpret_cast<const Piece*>(runEnd);
        if ((next->firstWord & kOwnerInUse) || next->size < kSmallestPiece) break;
        runEnd += next->size;
    }
    if (merges == 0) return false;
    // Taking areas out of the list keeps every bound an upper bound; the join, listed first, sets
    // its own.
    for (FreeArea** link = &k.freeList; *link != nullptr;) {
        const std::uintptr_t at = Address(*link);
        if (at >= Address(first) && at < runEnd)
            *link = (*link)->next;
        else
            link = &(*link)->next;
    }
    auto* area = reinterpret_cast<FreeArea*>(first);
    area->size = runEnd - Address(first);
    area->next = k.freeList;
    placement::SetSuffixBound(area);
    k.freeList = area;
    k.freeAreaCount -= merges;
    k.pieceCount -= merges;
    if (k.largestFreeArea != kLargestUnknown && area->size > k.largestFreeArea)
        k.largestFreeArea =
            area->size > UINT32_MAX ? kLargestUnknown : static_cast<std::uint32_t>(area->size);
    return true;
}

int MergeFreeAreas(GeneralPool& pool, SubPool* chunk, MergeMethod method) {
    if (!Mergeable(pool, chunk)) return -1;
    ChunkFields& k = chunk->chunk;
    if (method == MergeMethod::Automatic) method = CurrentMergeMethod();
    if (method == MergeMethod::Automatic) {
        const double areas = k.freeAreaCount;
        const bool sortIsCheaper = (areas + 1) * areas < static_cast<double>(k.pieceCount);
        method = sortIsCheaper && (k.flags & QORSysPoolFlag::TRACKED_FREE_LIST)
                     ? MergeMethod::SortMerge
                     : MergeMethod::AddressWalk;
    }
    if (method == MergeMethod::SortMerge)
        SortMerge(k);
    else
        AddressWalk(chunk, k, pool.HeaderBytesOf(chunk));
    RecomputeSuffixBounds(k);
    return 0;
}

} // namespace qor
