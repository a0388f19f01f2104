// Construction, growth and destruction of a general pool, and its small virtual operations.
#include "GeneralPool.h"

#include "../core/Hooks.h"
#include "../core/LiveObjects.h"
#include "../platform/Platform.h"
#include "../platform/Sanitizers.h"

#include <new>

namespace qor {

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof" // single inheritance: offsets are fixed
static_assert(sizeof(GeneralPool) <= GeneralPool::kPoolHeaderBytes &&
                  offsetof(GeneralPool, lastChunk) == 80 &&
                  offsetof(GeneralPool, currentChunk) == 88 &&
                  offsetof(GeneralPool, swapFile) == 96 &&
                  offsetof(GeneralPool, reclaimPlacementsDue) == 104,
              "the pool object fits the 112-byte header of its first chunk");
#pragma GCC diagnostic pop

namespace {
constexpr std::uint32_t kFlagConstantChunkSize = QORSysPoolFlag::CONSTANT_SUBPOOL_SIZE;
constexpr std::uint32_t kFlagsWithHint =
    QORSysPoolFlag::TRACKED_FREE_LIST | QORSysPoolFlag::CONSTANT_SUBPOOL_SIZE;
constexpr std::size_t kMinimumChunkBytes = 0x8000;
constexpr std::uint64_t kChunkGrain = 0x1000;

// Requires: fields.owner is set (a tracked pool's list carries the index).
void InitialiseAsOneFreeArea(void* chunkBase, ChunkFields& fields, std::uint64_t size,
                             std::size_t headerBytes) {
    auto* area = reinterpret_cast<FreeArea*>(static_cast<char*>(chunkBase) + headerBytes);
    fields.size = size;
    fields.free = size - headerBytes;
    area->next = nullptr;
    area->size = fields.free;
    fields.freeList = area;
    placement::BoundOneArea(fields);
    fields.freeAreaCount = 1;
    fields.pieceCount = 1;
    fields.largestFreeArea = static_cast<std::uint32_t>(fields.free);
    platform::PoisonPoolBytes(area, fields.free);
}

// A chunk's first area as a block placed in it would give it to its user: address and bytes.
void* FirstUserAddress(void* chunkBase, std::size_t headerBytes) {
    return static_cast<char*>(chunkBase) + headerBytes + kBlockHeaderBytes;
}
} // namespace

GeneralPool::GeneralPool(std::size_t size, std::uint32_t flags, const char* name) {
    const std::uint64_t chunkBytes =
        size < kMinimumChunkBytes ? kMinimumChunkBytes : size & kChunkSizeMask;
    chunk.flags = flags | kFlagChunk | kFlagPoolObject;
    chunk.owner = this;
    chunk.next = nullptr;
    InitialiseAsOneFreeArea(this, chunk, chunkBytes, kPoolHeaderBytes);
    lastChunk = this;
    swapFile = nullptr;
    currentChunk = nullptr;
    if (chunk.flags & kFlagsWithHint) chunk.flags |= QORSysPoolFlag::CURRENT_SUBPOOL_HINT;
    Register(); // complete by now: a report of every pool may read it from here on
    checks::NoteLiveIfChecked(this, checks::LiveKind::GeneralPool, name);
    if (hooks::On())
        hooks::QORSignalPoolCreation(this, chunkBytes, static_cast<int>(flags), name,
                                     FirstUserAddress(this, kPoolHeaderBytes),
                                     chunk.free - kBlockHeaderBytes);
}

// Clears the pool (its destroying flush unregistered it); the caller frees its memory afterwards.
GeneralPool::~GeneralPool() {
    {
        PoolLockGuard guard(*this);
        chunk = ChunkFields{};
        nextPool = nullptr;
        lastChunk = nullptr;
        currentChunk = nullptr;
        swapFile = nullptr;
    }
    chunk.flags = 0;
}

SubPool* GeneralPool::AddChunk(std::size_t need) {
    std::uint64_t bytes = lastChunk->chunk.size & kChunkSizeMask;
    if (!(chunk.flags & kFlagConstantChunkSize)) bytes *= 2;
    const std::uint64_t fitting =
        (need + SubPool::kHeaderBytes + kChunkGrain - 1) & ~(kChunkGrain - 1);
    if (bytes < fitting) bytes = fitting;

    void* memory = AllocateChunkMemory(bytes, 1);
    while (memory == nullptr) {
        const std::uint64_t half = ((bytes >> 1) + kChunkGrain - 1) & ~(kChunkGrain - 1);
        // The halving stops at one grain: asking for the same size again would never end.
        if (half == 0 || half < need || half >= bytes) return nullptr;
        bytes = half;
        memory = AllocateChunkMemory(bytes, 1);
    }

    auto* added = new (memory) SubPool();
    added->chunk.flags = kFlagChunk;
    added->chunk.owner = this;
    added->chunk.next = nullptr;
    InitialiseAsOneFreeArea(added, added->chunk, bytes, SubPool::kHeaderBytes);
    lastChunk->chunk.next = added;
    lastChunk = added;
    checks::NoteLiveIfChecked(added, checks::LiveKind::Chunk);
    if (hooks::On())
        hooks::QORSignalSubPoolCreation(this, added, added->chunk.free, 0,
                                        FirstUserAddress(added, SubPool::kHeaderBytes),
                                        added->chunk.free - kBlockHeaderBytes);
    return added;
}

void GeneralPool::ResetChunk(void* chunkBase) {
    ChunkFields& fields = *FieldsOf(chunkBase);
    InitialiseAsOneFreeArea(chunkBase, fields, fields.size, HeaderBytesOf(chunkBase));
}

int GeneralPool::IsEmpty() {
    platform::MemcheckQuiet quiet;
    return general::HoldsNoBlock(chunk) ? -1 : 0;
}

std::size_t GeneralPool::GetBlockSize(void*) { return 0; }
std::size_t GeneralPool::GetStructSize() { return kPoolHeaderBytes; }
int GeneralPool::CanAttachSwapFile(QORSysSwapFile*) { return -1; }

int SetPoolSwapFile(PoolBase* pool, QORSysSwapFile* swapFile) {
    if (pool == nullptr || pool->CanAttachSwapFile(swapFile) == 0) return -1;
    // Only the general pool accepts a swap file.
    static_cast<GeneralPool*>(pool)->swapFile = swapFile;
    return 0;
}

GeneralPool* CreateGeneralPool(std::size_t size, std::uint32_t flags, const char* name) {
    void* memory = AllocateChunkMemory(size, 1);
    return memory == nullptr ? nullptr : new (memory) GeneralPool(size, flags, name);
}

} // namespace qor
