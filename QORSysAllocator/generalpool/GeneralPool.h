// A pool of chunks, each carved into pieces (blocks with a 16-byte header, or free areas) with a
// free list per chunk. The pool object is the header of its own first chunk.
// Invariants, per chunk K: the pieces after K's header tile K exactly up to K.size;
// K.free == sum of K's free areas (listed or not); free + header <= size, header being 112 for
// the pool's own chunk and 64 otherwise; currentChunk is null or a chunk of the chain.
#pragma once

#include "../frontend/PoolInterface.h"

#include <cstddef>
#include <cstdint>

namespace qor {

class GeneralPool final : public PoolBase {
public:
    static constexpr std::size_t kPoolHeaderBytes = 112;
    static constexpr std::size_t kArenaOverheadBytes = 80;

    // Requires: `this` is the start of memory from AllocateChunkMemory(size, 1).
    GeneralPool(std::size_t size, std::uint32_t flags, const char* name);

    int IsEmpty() override;
    std::size_t GetBlockSize(void* block) override;
    void* Allocate(std::size_t size, std::size_t extra) override;
    void* Reallocate(std::size_t size, void* block, void* chunk) override;
    void Free(void* block, void* chunk) override;
    int Flush(int mode) override;
    int Optimize(int bits) override;
    std::size_t GetStructSize() override;
    void Report(FILE* stream, QORPoolInfo* record, int options) override;
    int CanAttachSwapFile(QORSysSwapFile* swapFile) override;

    // Links a new chunk able to hold a piece of `need` bytes after lastChunk; null when no size
    // between the preferred one and `need` can be obtained (the pool is then unchanged).
    SubPool* AddChunk(std::size_t need);

    // Header size of a chunk of this pool: 112 for the pool's own chunk, 64 for the others.
    std::size_t HeaderBytesOf(const void* chunk) const {
        return chunk == this ? kPoolHeaderBytes : SubPool::kHeaderBytes;
    }

    SubPool* lastChunk = nullptr;
    SubPool* currentChunk = nullptr;
    QORSysSwapFile* swapFile = nullptr;

private:
    friend class GeneralPoolTestAccess;
    ~GeneralPool();

    BlockHeader* AllocateLocked(std::uint64_t need8);
    BlockHeader* TakeIn(void* chunk, std::uint64_t need8);
    BlockHeader* TrackedFitOnward(SubPool* start, std::uint64_t need8);
    void ReleaseChunksAfterPool();
    void ResetChunk(void* chunk);
};

// Stores the swap file in a pool that accepts one. Returns -1 (and changes nothing) for a null
// pool or a pool whose CanAttachSwapFile answers 0, else 0.
int SetPoolSwapFile(PoolBase* pool, QORSysSwapFile* swapFile);

// The memory of a new general pool and the pool built in it; null when malloc fails.
GeneralPool* CreateGeneralPool(std::size_t size, std::uint32_t flags, const char* name);

} // namespace qor
