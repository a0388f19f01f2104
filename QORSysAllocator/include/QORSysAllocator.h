// QORSysAllocator: pools of memory behind two entry points, QORSpecializedNew and
// QORSpecializedDelete, plus the calls that create, flush, optimise and report pools.
// Failures are reported by result (null block, int status); no function throws.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// The library is built with hidden visibility: only what carries this macro is exported.
#define QOR_SYS_API __attribute__((visibility("default")))

class QORSysSwapFile;

// Bits of the flags argument of QORSysCreatePool (and of a pool's flags), of the mode of
// QORSysFlushPool, of the argument of QORSysOptimizePool and of the options of QORSysGetPoolInfo.
namespace QORSysPoolFlag {
constexpr unsigned LOCKED = 0x8;                    // every operation takes the pool's mutex
constexpr unsigned FLUSHABLE = 0x20;                // paged pool: own region list
constexpr unsigned VOLATILE = 0x40;                 // paged pool: release regions when free
constexpr unsigned SINGLE_SIZE = 0x80;              // general pool: never merge free areas
constexpr unsigned CONSTANT_SUBPOOL_SIZE = 0x100;   // general pool: chunks do not double
constexpr unsigned NO_NEW_SUBPOOL = 0x200;          // general pool: never add a chunk
constexpr unsigned TRACKED_FREE_LIST = 0x100000;    // general pool: exact counters
constexpr unsigned CURRENT_SUBPOOL_HINT = 0x200000; // set by the pool with tracking
constexpr unsigned PAGED = 0x400000;                // paged pool; paged block on release
constexpr int FLUSH_DESTROY = 0x1;
constexpr int FLUSH_WALK = 0x2;
constexpr int FLUSH_DESTROY_IF_EMPTY = 0x4;
constexpr int OPTIMIZE_RELEASE_EMPTY = 0x1;
constexpr int OPTIMIZE_MERGE = 0x100;
constexpr int REPORT_CHUNK_LIST = 0x1;
constexpr int REPORT_ONE_LINE = 0x2;
} // namespace QORSysPoolFlag

// Statistics record filled by a pool's report. Natural alignment: every field on a multiple of
// its width, 96 bytes in all.
struct QORPoolInfo {
    std::uint32_t flagBits;
    std::uint64_t totalSize;
    std::uint64_t freeSize;
    std::uint32_t chunkCount;
    std::uint64_t maxChunkFree;
    std::uint64_t minChunkFree;
    std::int32_t minChunkOccupation;
    std::int32_t maxChunkOccupation;
    std::int32_t occupation;
    std::uint64_t holeTotal;
    std::uint64_t blockTotal;
    std::uint64_t largestKnownHole;
    std::int64_t holeSizeUnknown;
};

static_assert(offsetof(QORPoolInfo, totalSize) == 8 && offsetof(QORPoolInfo, chunkCount) == 24 &&
                  offsetof(QORPoolInfo, maxChunkFree) == 32 &&
                  offsetof(QORPoolInfo, minChunkOccupation) == 48 &&
                  offsetof(QORPoolInfo, occupation) == 56 &&
                  offsetof(QORPoolInfo, holeTotal) == 64 &&
                  offsetof(QORPoolInfo, holeSizeUnknown) == 88 && sizeof(QORPoolInfo) == 96,
              "QORPoolInfo keeps its natural layout");

// Allocation. Pool argument: 0 heap with a 16-byte header, 1 permanent pool, 2 the pool object in
// `param`, 4 a fast pool chosen by size, 8 next to the block in `param`, 32 the thread-safe pool,
// above 32 a pool object. `param` == (void*)16 makes `n` the reserved room behind the block.
QOR_SYS_API void* QORSpecializedNew(std::size_t size, void* pool, void* param, int n, int fifth);
QOR_SYS_API void* QORSpecializedNew(std::size_t size, void* pool, void* param, int n);

// Release. `pool` null: the block's header (or, with flags 0x400000, its page) names the owner.
QOR_SYS_API void QORSpecializedDelete(void* block, void* pool, int flags);
QOR_SYS_API void QORSpecializedDelete(void* block, void* pool);

// Never resizes: always null.
QOR_SYS_API void* QORSpecializedResize(void* block, std::size_t size, void* pool);

// The chunk that holds a block: null for a heap block, (void*)0xFF00 for a foreign pointer.
QOR_SYS_API void* QORSysGetAllocatorFromAddress(void* block);

// Pool management.
QOR_SYS_API void* QORSysCreatePool(int flags, std::size_t size, const char* name);
QOR_SYS_API void* QORSysCreatePool(int flags, std::size_t size);
QOR_SYS_API int QORSysFlushPool(void* pool, int mode);
QOR_SYS_API int QORSysOptimizePool(void* pool, int how);
QOR_SYS_API void QORSysGetPoolInfo(void* pool, FILE* stream, QORPoolInfo* record, int options);
QOR_SYS_API int QORSysPoolGetFreeSpace(void* pool, std::size_t* freeBytes,
                                       std::size_t* largestChunkFree);
QOR_SYS_API int QORSysPoolGetAllocAddedSize(int, void*);
QOR_SYS_API void QORSysAllGetStructInfos(std::size_t* a, std::size_t* b, std::size_t* c);
QOR_SYS_API int QORSysGetPoolActivityStatus();

extern "C" QOR_SYS_API int ORVANTIS_ZULX_INTERNAL_QORSysAllocator();
