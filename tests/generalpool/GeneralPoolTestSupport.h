// Shared helpers of the general pool tests: a pool handle that destroys its pool, free lists laid
// out by allocations, a walker that checks every chunk's tiling against its header fields, and a
// recorder on the malloc seam.
#pragma once

#include "generalpool/GeneralPool.h"
#include "platform/Platform.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace qor {
inline bool operator==(const BlockHeader& a, const BlockHeader& b) {
    return a.ownerWord == b.ownerWord && a.sizeWord == b.sizeWord;
}
inline std::ostream& operator<<(std::ostream& os, const BlockHeader& h) {
    return os << "{owner 0x" << std::hex << h.ownerWord << std::dec << ", size " << h.sizeWord
              << "}";
}
} // namespace qor

namespace qor::test {

namespace Flag = QORSysPoolFlag;

inline std::uintptr_t Addr(const void* p) { return reinterpret_cast<std::uintptr_t>(p); }
inline ChunkFields& F(void* chunk) { return *FieldsOf(chunk); }
inline void* OwnerChunkOf(void* block) {
    return reinterpret_cast<void*>(HeaderOf(block)->ownerWord & ~kOwnerBits);
}
inline FreeArea* AreaOf(void* block) { return reinterpret_cast<FreeArea*>(HeaderOf(block)); }
inline std::vector<std::uint64_t> ListedSizes(const ChunkFields& c) {
    std::vector<std::uint64_t> sizes;
    for (const FreeArea* a = c.freeList; a != nullptr; a = a->next)
        sizes.push_back(a->size);
    return sizes;
}
inline bool SameFields(const ChunkFields& a, const ChunkFields& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

// Owns a pool for one test; the pool's destructor is private, so it ends with a destroying flush.
class PoolHandle {
public:
    explicit PoolHandle(std::size_t bytes = 32768, std::uint32_t flags = 0)
        : pool_(CreateGeneralPool(bytes, flags, "test")) {}
    ~PoolHandle() {
        if (pool_ != nullptr) pool_->Flush(Flag::FLUSH_DESTROY);
    }
    PoolHandle(const PoolHandle&) = delete;
    PoolHandle& operator=(const PoolHandle&) = delete;
    GeneralPool* get() const { return pool_; }
    GeneralPool* operator->() const { return pool_; }
    GeneralPool* Release() { return std::exchange(pool_, nullptr); }

private:
    GeneralPool* pool_;
};

inline std::vector<SubPool*> ChainOf(GeneralPool* pool) {
    std::vector<SubPool*> chain;
    for (auto* k = static_cast<SubPool*>(pool); k != nullptr;
         k = static_cast<SubPool*>(k->chunk.next))
        chain.push_back(k);
    return chain;
}

// Allocates one block per piece size (each >= 16, a multiple of 8) from the front of the pool's
// first free area, then one block that takes the rest of that area whole, so that the chunk holds
// no free area. Returns the blocks in address order, the filler last.
inline std::vector<void*> FillWith(GeneralPool* pool, const std::vector<std::uint64_t>& pieces) {
    std::vector<void*> blocks;
    for (std::uint64_t piece : pieces) {
        EXPECT_EQ(piece % 8, 0u) << "pieces are multiples of 8";
        blocks.push_back(pool->Allocate(piece - kBlockHeaderBytes, 0));
    }
    blocks.push_back(pool->Allocate(pool->chunk.freeList->size - kBlockHeaderBytes, 0));
    return blocks;
}

// Lays out free areas of the given sizes, each followed by a 16-byte block, in a full first
// chunk, listed in this order. Returns the blocks that became those areas.
inline std::vector<void*> WithFreeAreas(GeneralPool* pool,
                                        const std::vector<std::uint64_t>& areas) {
    std::vector<std::uint64_t> pieces;
    for (std::uint64_t area : areas)
        pieces.insert(pieces.end(), {area, 16});
    const std::vector<void*> blocks = FillWith(pool, pieces);
    std::vector<void*> released;
    for (std::size_t i = 0; i < areas.size(); ++i)
        released.push_back(blocks[2 * i]);
    for (auto it = released.rbegin(); it != released.rend(); ++it)
        pool->Free(*it, nullptr);
    return released;
}

// The chunk (or arena) is one free area right after its header, as created or reset.
inline testing::AssertionResult IsOneFreeArea(void* chunk, std::size_t headerBytes) {
    const ChunkFields& c = F(chunk);
    const std::uint64_t bytes = c.size - headerBytes;
    if (c.free != bytes || Addr(c.freeList) != Addr(chunk) + headerBytes ||
        c.freeList->next != nullptr || c.freeList->size != bytes || c.freeAreaCount != 1 ||
        c.pieceCount != 1 || c.largestFreeArea != bytes)
        return testing::AssertionFailure()
               << "free " << c.free << ", head " << c.freeList << ", counters " << c.freeAreaCount
               << "/" << c.pieceCount << ", largest " << c.largestFreeArea;
    return testing::AssertionSuccess();
}

struct Piece {
    std::uintptr_t at;
    std::uint64_t bytes;
    bool inUse;
};

// Walks the pieces of one chunk of the chain in address order; an empty result means the pieces
// do not tile the chunk.
inline std::vector<Piece> PiecesOf(GeneralPool* pool, void* chunk) {
    std::vector<Piece> pieces;
    const std::uintptr_t end = Addr(chunk) + (F(chunk).size & kChunkSizeMask);
    for (std::uintptr_t at = Addr(chunk) + pool->HeaderBytesOf(chunk); at != end;) {
        const auto* words = reinterpret_cast<const std::uint64_t*>(at);
        if (words[1] < 16 || words[1] % 8 != 0 || at + words[1] > end) return {};
        pieces.push_back({at, words[1], (words[0] & kOwnerInUse) != 0});
        at += words[1];
    }
    return pieces;
}

// The invariants every operation must keep, over the whole chain: the pieces tile each chunk,
// `free` is the total of the free pieces (listed or not), every listed area is one of them and is
// listed once, headers and links name this pool and its chain; with tracked placement the
// counters are exact.
inline testing::AssertionResult ChunksAreConsistent(GeneralPool* pool) {
    const bool tracked = (pool->chunk.flags & Flag::TRACKED_FREE_LIST) != 0;
    const std::vector<SubPool*> chain = ChainOf(pool);
    if (pool->lastChunk != chain.back()) return testing::AssertionFailure() << "lastChunk";
    if (pool->currentChunk != nullptr &&
        std::find(chain.begin(), chain.end(), pool->currentChunk) == chain.end())
        return testing::AssertionFailure() << "currentChunk outside the chain";
    for (SubPool* k : chain) {
        const ChunkFields& c = k->chunk;
        auto fail = [&]() { return testing::AssertionFailure() << "chunk " << k << ": "; };
        if (c.owner != pool || (k != pool && c.flags != kFlagChunk)) return fail() << "header";
        if (c.free + pool->HeaderBytesOf(k) > c.size) return fail() << "free " << c.free;
        const std::vector<Piece> pieces = PiecesOf(pool, k);
        if (pieces.empty()) return fail() << "pieces do not tile the chunk";
        std::uint64_t freeBytes = 0;
        std::vector<std::uintptr_t> freeAreas; // ascending: the walk goes in address order
        for (const Piece& p : pieces) {
            if (!p.inUse) {
                freeBytes += p.bytes;
                freeAreas.push_back(p.at);
            } else if ((*reinterpret_cast<const std::uintptr_t*>(p.at) & ~kOwnerBits) != Addr(k)) {
                return fail() << "block at " << p.at << " names another owner";
            }
        }
        if (freeBytes != c.free) return fail() << "free " << c.free << " != " << freeBytes;
        std::vector<std::uintptr_t> listed;
        for (const FreeArea* a = c.freeList; a != nullptr && listed.size() <= freeAreas.size();
             a = a->next)
            listed.push_back(Addr(a));
        std::sort(listed.begin(), listed.end());
        if (std::adjacent_find(listed.begin(), listed.end()) != listed.end() ||
            !std::includes(freeAreas.begin(), freeAreas.end(), listed.begin(), listed.end()))
            return fail() << "the list holds an area twice or one that is not a free piece";
        if (tracked && (c.freeAreaCount != listed.size() || listed.size() != freeAreas.size() ||
                        c.pieceCount != pieces.size()))
            return fail() << "counters " << c.freeAreaCount << "/" << c.pieceCount;
    }
    return testing::AssertionSuccess();
}

// Records every request that reaches the malloc seam; requests are refused while `failFirst` is
// positive (counting down) or when they are at least `failFrom` bytes.
struct MallocSeam {
    static inline std::vector<std::size_t> requests;
    static inline int failFirst = 0;
    static inline std::size_t failFrom = SIZE_MAX;

    static bool Filter(std::size_t bytes) {
        requests.push_back(bytes);
        if (failFirst > 0) return --failFirst, true;
        return bytes >= failFrom;
    }
    MallocSeam() {
        requests.clear();
        platform::SetMallocFailureFilter(&Filter);
    }
    ~MallocSeam() {
        platform::SetMallocFailureFilter(nullptr);
        failFirst = 0;
        failFrom = SIZE_MAX;
    }
};

} // namespace qor::test
