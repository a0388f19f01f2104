// The ground every pool stands on: the chunk header fields, the block header, the pool class tree
// with its eleven virtual operations in slot order, and the small shared routines.
// Invariants: a chunk starts with one word (a table of virtual operations, or an arena's owner
// word) followed by ChunkFields at offset 8; sizeof(SubPool) == 64, sizeof(PoolBase) == 80.
// A block handed out with a header satisfies HeaderOf(block)->ownerWord & kOwnerInUse.
#pragma once

#include "QORMutex.h"
#include "QORSysAllocator.h"
#include "Runtime.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace qor {

class PoolBase;

// The 16 bytes in front of every heap or general-pool block.
struct BlockHeader {
    std::uintptr_t ownerWord; // holding chunk | kOwnerInUse (| kOwnerArena); 1 for a heap block
    std::uint64_t sizeWord;   // piece size in bytes, these 16 bytes included
};

// The first two words of a free area: the same two words a block header occupies. The library is
// built with -fno-strict-aliasing because a piece changes between these two views.
struct FreeArea {
    FreeArea* next;
    std::uint64_t size;
};

constexpr std::size_t kBlockHeaderBytes = sizeof(BlockHeader);
constexpr std::uintptr_t kOwnerInUse = 0x1;
constexpr std::uintptr_t kOwnerArena = 0x2;
constexpr std::uintptr_t kOwnerBits = kOwnerInUse | kOwnerArena;
// Stands for the owner of a pointer that the library did not hand out; never dereferenced.
constexpr std::uintptr_t kInvalidOwner = 0xFF00;
// Chunk sizes are multiples of 1024; readers mask the low bits off before use.
constexpr std::uint64_t kChunkSizeMask = ~std::uint64_t{0x3FF};

inline BlockHeader* HeaderOf(void* block) {
    return reinterpret_cast<BlockHeader*>(static_cast<char*>(block) - kBlockHeaderBytes);
}

// The chunk header's fields after its first word. Pools, chunks and arenas all reach them here,
// so that an arena (which has no table of virtual operations) is never seen as a polymorphic
// object.
struct ChunkFields {
    void* next;                    // next chunk of the pool; in an arena, the outer size word
    std::uint64_t size;            // whole chunk in bytes, header included
    std::uint64_t free;            // bytes in free areas, listed or not
    FreeArea* freeList;            // head of the chunk's free areas
    PoolBase* owner;               // the pool; a pool's own owner is itself
    std::uint32_t freeAreaCount;   // free areas ("holes")
    std::uint32_t pieceCount;      // blocks and free areas ("blocks")
    std::uint32_t largestFreeArea; // largest free area, or kLargestUnknown
    std::uint32_t flags;           // pool flags; 0x1 on an added chunk, 0 on an arena
};

constexpr std::uint32_t kLargestUnknown = 1;
constexpr std::size_t kChunkFieldsOffset = 8;

static_assert(sizeof(ChunkFields) == 56 && offsetof(ChunkFields, owner) == 32 &&
                  offsetof(ChunkFields, freeAreaCount) == 40 && offsetof(ChunkFields, flags) == 52,
              "chunk header fields sit at fixed offsets that arenas share");

inline ChunkFields* FieldsOf(void* chunk) {
    return reinterpret_cast<ChunkFields*>(static_cast<char*>(chunk) + kChunkFieldsOffset);
}

// Pool flag bits that the pools test (QORSysPoolFlag has the public names).
constexpr std::uint32_t kFlagChunk = 0x1;
constexpr std::uint32_t kFlagLocked = 0x8;
constexpr std::uint32_t kFlagPoolObject = 0x10;
constexpr std::uint32_t kFlagPaged = 0x400000;

// One chunk of a pool. Slots 0 to 2.
class SubPool {
public:
    static constexpr std::size_t kHeaderBytes = 64;

    SubPool() = default;
    SubPool(const SubPool&) = delete;
    SubPool& operator=(const SubPool&) = delete;

    virtual int IsPool();                          // slot 0
    virtual int IsEmpty();                         // slot 1
    virtual std::size_t GetBlockSize(void* block); // slot 2

    // True when only free space is left: free + 64 >= masked size.
    bool ChunkIsEmpty() const { return chunk.free + kHeaderBytes >= (chunk.size & kChunkSizeMask); }

    ChunkFields chunk{};

protected:
    ~SubPool() = default;
};

// The abstract pool: a chunk header with a registry link and a mutex. Slots 3 to 10.
class PoolBase : public SubPool {
public:
    int IsPool() override;
    virtual void* Allocate(std::size_t size, std::size_t extra) = 0;          // slot 3
    virtual void* Reallocate(std::size_t size, void* block, void* chunk) = 0; // slot 4
    virtual void Free(void* block, void* chunk) = 0;                          // slot 5
    virtual int Flush(int mode) = 0;                                          // slot 6
    virtual int Optimize(int bits) = 0;                                       // slot 7
    virtual std::size_t GetStructSize() = 0;                                  // slot 8
    virtual void Report(FILE* stream, QORPoolInfo* record, int options) = 0;  // slot 9
    virtual int CanAttachSwapFile(QORSysSwapFile* swapFile);                  // slot 10

    bool IsLocking() const { return (chunk.flags & kFlagLocked) != 0; }

    PoolBase* nextPool = nullptr;
    QORMutex mutex{0, 0, 0};

protected:
    PoolBase() = default;
    ~PoolBase() = default;

    // Registry membership, under the registry lock: pushed at the head once constructed (a report
    // of every pool may then read it), unlinked first thing on destruction, before the pool's own
    // lock is taken (a report holds the registry lock while it takes a pool's).
    void Register();
    void Unregister();
};

// Takes a pool's mutex for a scope when the pool has the locking flag; Unlock ends it early.
// Apart from ScopedLock (Runtime.h) because it sits on the locking pools' fast paths: one pointer,
// null when not held, costs three instructions less per allocation and release pair there.
class PoolLockGuard {
public:
    explicit PoolLockGuard(PoolBase& pool) : mutex_(pool.IsLocking() ? &pool.mutex : nullptr) {
        if (mutex_ != nullptr) mutex_->Lock();
    }
    ~PoolLockGuard() { Unlock(); }
    PoolLockGuard(const PoolLockGuard&) = delete;
    PoolLockGuard& operator=(const PoolLockGuard&) = delete;

    void Unlock() {
        if (mutex_ != nullptr) mutex_->Unlock();
        mutex_ = nullptr;
    }

private:
    QORMutex* mutex_;
};

// mode 1 (chunk memory): at least 32768 bytes, else the size rounded down to 1024; other modes:
// exactly the size. Null when malloc fails.
void* AllocateChunkMemory(std::size_t size, int mode);
void FreeIfNotNull(void* memory);

// Writes "text\n" to stderr, breaks into an attached debugger, aborts.
[[noreturn]] void AbortWithMessage(const char* text);

// fprintf that does nothing on a null stream.
[[gnu::format(printf, 2, 3)]] void PrintToStream(FILE* stream, const char* format, ...);

// Calls the owner's Free with (block, chunk), or (block, null) when the chunk is the pool itself.
void ReleaseThroughOwner(void* chunk, void* block);
void* ReallocateThroughOwner(void* chunk, std::size_t size, void* block);

} // namespace qor
