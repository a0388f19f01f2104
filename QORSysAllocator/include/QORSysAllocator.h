// QORSysAllocator: pools of memory behind two entry points, QORSpecializedNew and
// QORSpecializedDelete, plus the calls that create, flush, optimise and report pools.
// Failures are reported by result (null block, int status); no function throws. Truth values are
// ints: 0 false, -1 true. Configuration comes from the environment only, read on the first
// allocation or pool creation (docs/CONFIGURATION.md).
// Threads: only pool argument 32 and pools created with QORSysPoolFlag::LOCKED may be used by
// several threads at once; make the process's first call before starting threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// The library is built with hidden visibility: only what carries this macro is exported.
#define QOR_SYS_API [[gnu::visibility("default")]]

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
// QORSysFlushPool modes. 0 empties a general pool (every block gone, the pool stays).
constexpr int FLUSH_DESTROY = 0x1;          // destroy the pool and all its memory
constexpr int FLUSH_WALK = 0x2;             // report each chunk to the hook library first
constexpr int FLUSH_DESTROY_IF_EMPTY = 0x4; // destroy only when no block is in use, else -1
// QORSysOptimizePool bits (general pools; a paged pool ignores them).
constexpr int OPTIMIZE_RELEASE_EMPTY = 0x1; // give back the further chunks that hold no block
constexpr int OPTIMIZE_MERGE = 0x100;       // merge neighbouring free areas in every chunk
// QORSysGetPoolInfo options (a paged pool prints nothing whatever they say).
constexpr int REPORT_CHUNK_LIST = 0x1; // one line per chunk before the summary
constexpr int REPORT_ONE_LINE = 0x2;   // the summary on one line instead of a labelled block
} // namespace QORSysPoolFlag

// Statistics record filled by a pool's report (QORSysGetPoolInfo), every field at once. Natural
// alignment: every field on a multiple of its width, 96 bytes in all. Meanings for a general pool;
// a paged pool fills totalSize (bytes of its pages), freeSize, chunkCount (-1 when empty, else 0),
// maxChunkFree (bytes in use), occupation, blockTotal (blocks in use), flagBits, and 0 elsewhere.
struct QORPoolInfo {
    std::uint32_t flagBits;          // pool flags & 0x3E0
    std::uint64_t totalSize;         // bytes of all chunks, headers included
    std::uint64_t freeSize;          // bytes in free areas
    std::uint32_t chunkCount;        // chunks, the pool's own first chunk included
    std::uint64_t maxChunkFree;      // free bytes of the freest chunk
    std::uint64_t minChunkFree;      // free bytes of the fullest chunk
    std::int32_t minChunkOccupation; // percent, truncated
    std::int32_t maxChunkOccupation; // percent, truncated
    std::int32_t occupation;         // whole pool, percent, truncated
    std::uint64_t holeTotal;         // free areas (exact with TRACKED_FREE_LIST only)
    std::uint64_t blockTotal;        // pieces: blocks and free areas (likewise)
    std::uint64_t largestKnownHole;  // largest known free area
    std::int64_t holeSizeUnknown;    // -1 when some chunk's largest free area is not known
};

static_assert(offsetof(QORPoolInfo, totalSize) == 8 && offsetof(QORPoolInfo, chunkCount) == 24 &&
                  offsetof(QORPoolInfo, maxChunkFree) == 32 &&
                  offsetof(QORPoolInfo, minChunkOccupation) == 48 &&
                  offsetof(QORPoolInfo, occupation) == 56 &&
                  offsetof(QORPoolInfo, holeTotal) == 64 &&
                  offsetof(QORPoolInfo, holeSizeUnknown) == 88 && sizeof(QORPoolInfo) == 96,
              "QORPoolInfo keeps its natural layout");

// Allocates `size` bytes from the place named by the pool argument `pool`:
//   0 (null) the heap: malloc with a 16-byte header;
//   1 the permanent pool;
//   2 the pool object given in `param`;
//   4 a fast pool chosen by `size` rounded up to 8: the single-size pool of 8, 16, ... 80 or 128
//     bytes, else the general fast pool;
//   8 the chunk or arena that holds the block given in `param` (a block with a header), else that
//     block's pool;
//   32 the thread-safe pool;
//   a pool object from QORSysCreatePool.
// `param` == (void*)16 makes `n` the room reserved behind the block (an arena in a general pool);
// otherwise `param` and `n` are read only as above. The fifth argument is not used. Fixed pools
// are created on first use. Returns the block (8-byte aligned with a header; a paged block is
// aligned to the lowest set bit of its size class), or null: no memory, a size the pool cannot
// serve, a number that names no pool. With pools off (QORSysPoolAllocator=OFF) every pool
// argument but 2 is served from the heap; with pools cancelled this is malloc(size).
QOR_SYS_API void* QORSpecializedNew(std::size_t size, void* pool, void* param, int n, int fifth);
QOR_SYS_API void* QORSpecializedNew(std::size_t size, void* pool, void* param, int n);

// Releases a block. Pass a null `pool`: the block's header names its owner, or, for a block of a
// paged pool, its page does when `flags` is QORSysPoolFlag::PAGED (a paged block has no header:
// the flag is required). A named pool releases the block whatever its header says. A null block,
// a pool-argument number as `pool` and a pointer the library did not hand out (owner word 0) are
// ignored. A block released twice is not detected. With pools cancelled this is free(block).
QOR_SYS_API void QORSpecializedDelete(void* block, void* pool, int flags);
QOR_SYS_API void QORSpecializedDelete(void* block, void* pool);

// The same pair through per-thread caches: QORSysCachedNew(size, pool, param) is
// QORSpecializedNew(size, pool, param, 0) and QORSysCachedDelete(block, flags) is
// QORSpecializedDelete(block, nullptr, flags), except that for the thread-safe pool (32) and pools
// created with QORSysPoolFlag::LOCKED the calling thread keeps up to 1024-byte blocks it releases
// and serves its next requests of their size from them, without the pool's lock. A cached block
// is in use in its pool's eyes; QORSysFlushPool, QORSysOptimizePool and QORSysGetPoolInfo first
// give every thread's cached blocks of the pool back, and a thread's cache goes back when it ends.
// Which free block a request gets therefore differs from the uncached pair's choice. The two pairs
// mix freely. The adapters and the routed global new and delete (QORSysStdAdapters.h) use this
// pair. With QORSysAllocatorThreadCache=OFF, hooks (QORSysAllocatorInstrum) or checked mode
// (QORSysAllocatorChecks=ON) it is exactly the uncached pair (docs/thread-safety.md).
QOR_SYS_API void* QORSysCachedNew(std::size_t size, void* pool, void* param);
QOR_SYS_API void QORSysCachedDelete(void* block, int flags);
// The same release of `block` for a program that holds another pointer inside it (the adapters'
// over-aligned pointers, QORSysStdAdapters.h). Checked mode (QORSysAllocatorChecks=ON) proves
// that `pointer` lies in the block and names `pointer` in its messages; otherwise it is not read.
QOR_SYS_API void QORSysCachedDelete(void* block, int flags, void* pointer);

// The general-purpose heap engine (docs/heap-engine.md): per-thread heaps over size-class pages,
// every size, memory from and back to the system. By default it serves QORSysCachedNew on pool 32
// (pool 32 through QORSpecializedNew stays the thread-safe pool), the pair below, the routed
// global new and delete and the adapters' default (QORSysStdAdapters.h), and the malloc override.
// QORSysHeapEngine=OFF, checked mode, a hook library or inactive pools give those routes back to
// pool 32 through the per-thread caches. An engine block goes back through QORSysCachedDelete or
// QORSysHeapDelete only: it has no block header, so QORSpecializedDelete and
// QORSysGetAllocatorFromAddress do not know it.
// QORSysHeapNew: `bytes` aligned to `alignment` (a power of two; 16 is given to every block), from
// any thread; null when no memory can be had. With the engine off: pool 32 over-allocated as the
// adapters do (QORSysStdAdapters.h). QORSysHeapDelete takes any pointer QORSysHeapNew gave, or
// null (nothing done).
QOR_SYS_API void* QORSysHeapNew(std::size_t bytes, std::size_t alignment);
QOR_SYS_API void QORSysHeapDelete(void* memory);

// The engine's figures, from any thread; exact while no other thread allocates or releases.
// bytesInUse counts blocks at their class's size (huge blocks: their usable bytes); bytesHeld the
// address space mapped; bytesResident what may be resident of it (pages' carved blocks, free
// slices not yet given back, headers, huge mappings).
struct QORHeapInfo {
    std::uint64_t bytesInUse;
    std::uint64_t bytesHeld;
    std::uint64_t bytesResident;
    std::uint64_t segments;       // 4 MiB segments of pages
    std::uint64_t hugeBlocks;     // blocks mapped alone (above the largest class)
    std::uint64_t hugeBytes;      // their usable bytes
    std::uint64_t heaps;          // thread heaps made, the ended threads' included
    std::uint64_t abandonedHeaps; // heaps of ended threads waiting for a new thread
    // Blocks released by other threads that their heap's thread has not yet taken back: free, but
    // not yet ready to serve (not in bytesInUse).
    std::uint64_t bytesAwaitingOwner;
};
struct QORHeapClassInfo {
    std::uint64_t blockBytes; // the class's block size
    std::uint64_t blocksInUse;
    std::uint64_t blocksCarved; // blocks cut out of its pages so far
    std::uint64_t pages;
};
// Fills `info` (unless null) and the first `capacity` classes into `classes` (unless null),
// smallest first; returns the number of classes.
QOR_SYS_API int QORSysGetHeapInfo(QORHeapInfo* info, QORHeapClassInfo* classes, int capacity);

// Never resizes a block: always null, nothing changed.
QOR_SYS_API void* QORSpecializedResize(void* block, std::size_t size, void* pool);

// The chunk that holds a block with a header: the pool itself for a block of its first chunk, an
// added chunk or an arena otherwise; null for a heap block or a null pointer; (void*)0xFF00 for a
// pointer whose owner word is 0. Not for paged blocks. With a hook library's delta, pass the block
// minus the delta.
QOR_SYS_API void* QORSysGetAllocatorFromAddress(void* block);

// Creates a pool. `flags`: QORSysPoolFlag bits; with PAGED a paged pool (`size` ignored), else a
// general pool whose first chunk has `size` bytes rounded down to a multiple of 1024, at least
// 32768. `name` goes to the hook library only ("unknown" for the two-argument form). Runs the
// configuration on the first call. Returns the pool, or null when malloc fails.
QOR_SYS_API void* QORSysCreatePool(int flags, std::size_t size, const char* name);
QOR_SYS_API void* QORSysCreatePool(int flags, std::size_t size);

// Flushes a pool; `mode` is made of FLUSH_* bits (0: empty a general pool, keeping it). A paged
// pool is destroyed by FLUSH_DESTROY when it holds no block and is otherwise left as it is.
// Returns 0; -1 for a null pool or a pool-argument number, when FLUSH_DESTROY_IF_EMPTY finds a
// block in use, and for a paged pool that holds blocks. After a destroying flush `pool` is invalid.
QOR_SYS_API int QORSysFlushPool(void* pool, int mode);

// Gives back empty chunks and merges free areas (OPTIMIZE_* bits) of a general pool; a paged pool
// does nothing. Returns 0; -1 for a null pool or a pool-argument number.
QOR_SYS_API int QORSysOptimizePool(void* pool, int how);

// Reports a pool: fills `record` when it is not null, prints to `stream` when it is not null
// (general pools only; REPORT_* options). `pool` may also be null (every pool of the process,
// newest first, each printed as a labelled block), 1 (the permanent pool, created when missing),
// 4 (the single-size pools of 8 to 80 bytes that exist, each writing the same record) or 32 (the
// thread-safe pool, when it exists). With a null pool and a stream, a last line gives the heap
// engine's figures once it holds memory (QORSysGetHeapInfo).
QOR_SYS_API void QORSysGetPoolInfo(void* pool, FILE* stream, QORPoolInfo* record, int options);

// Stores the pool's free bytes in *freeBytes and the free bytes of its freest chunk in
// *largestChunkFree (for a paged pool: its bytes in use), each when its pointer is not null.
// Returns -1 (true); 0 and nothing stored for a null pool.
QOR_SYS_API int QORSysPoolGetFreeSpace(void* pool, std::size_t* freeBytes,
                                       std::size_t* largestChunkFree);

// Walks every structure of a pool (general: chunks, pieces, free lists; paged: page lists,
// released chains, region list) and answers -1 (true) when every invariant holds, 0 when one is
// broken, which is then described in one line on `stream` (when not null). A null pool checks every
// pool of the process; a pool that is not (or no longer) registered answers 0. For tests and for
// checked mode (QORSysAllocatorChecks=ON, docs/checked-mode.md); it costs a walk of the pool.
QOR_SYS_API int QORSysCheckPool(void* pool, FILE* stream);

// What a stretch of a pool's memory is, in QORPoolMapEntry::kind.
namespace QORSysMapKind {
constexpr std::uint32_t CHUNK = 1;  // a chunk on a general pool's chain (its own first chunk
                                    // included); an arena is no chunk here: its chunk shows it as
                                    // a block
constexpr std::uint32_t HEADER = 2; // the chunk's own header (112 bytes for the pool's first
                                    // chunk, 64 for the others)
constexpr std::uint32_t BLOCKS = 3; // neighbouring blocks in use, their 16-byte headers included
constexpr std::uint32_t FREE = 4;   // neighbouring free areas
constexpr std::uint32_t PAGE = 5;   // a paged pool's page
} // namespace QORSysMapKind

// One stretch of a pool's map (QORSysGetPoolMap). Natural alignment, 40 bytes.
struct QORPoolMapEntry {
    std::uint64_t start;     // CHUNK, PAGE: its address; HEADER, BLOCKS, FREE: offset from the
                             // chunk's start
    std::uint64_t bytes;     // length of the stretch (a page: its 4096 bytes)
    std::uint64_t usedBytes; // CHUNK: size - free; BLOCKS, HEADER: bytes; FREE: 0; PAGE: used
                             // slots x slot size
    std::uint32_t kind;      // QORSysMapKind
    std::uint32_t count;     // CHUNK: its pieces; BLOCKS, FREE: pieces merged in this stretch;
                             // HEADER: 0; PAGE: slot size (its size class)
    std::uint32_t slots;     // PAGE: the slots blocks may take (page 0 of a region loses those
                             // under the region's header); else 0
    std::uint32_t usedSlots; // PAGE: slots in use; else 0
};

static_assert(offsetof(QORPoolMapEntry, usedBytes) == 16 && offsetof(QORPoolMapEntry, kind) == 24 &&
                  offsetof(QORPoolMapEntry, usedSlots) == 36 && sizeof(QORPoolMapEntry) == 40,
              "QORPoolMapEntry keeps its natural layout");

// Lists pool's memory into entries (up to capacity of them): a general pool gives each chunk of
// its chain as a CHUNK entry followed by its stretches in address order (HEADER first, then runs
// of BLOCKS and FREE, neighbours of one kind merged), so that a chunk's stretches add up to its
// bytes; a paged pool gives one PAGE entry per page it holds, in address order. Returns the
// number of entries the whole map takes (more than capacity: only the first capacity were
// written; entries may be null when capacity is 0); -1 for a null pool or a pool-argument number
// (map a fixed pool through QORSysGetFixedPool). A piece whose size does not fit its chunk ends
// that chunk's stretches there (QORSysCheckPool describes the damage). Allocates nothing and calls
// no hook (a hook library may call it); takes the pool's lock when it has one, and gives back
// thread-cached blocks first, as QORSysGetPoolInfo does. Cost: a walk of every piece (general) or
// of every page of the pool's regions (paged).
extern "C" QOR_SYS_API long QORSysGetPoolMap(void* pool, QORPoolMapEntry* entries,
                                             std::size_t capacity);

// Writes that map of one pool as one self-contained SVG document to stream: a strip per chunk
// (blocks, free areas and the header in their own colours, at their offsets) or a grid of pages
// coloured by fill, with a legend; every shape carries its figures in data- attributes and a
// <title>. Returns 0; -1 for a null pool, a pool-argument number, a null stream, or when no memory
// can be had for the map's copy.
extern "C" QOR_SYS_API int QORSysWritePoolMap(void* pool, FILE* stream);

// The pool object behind a fixed-pool argument, for the calls that take a pool object
// (QORSysOptimizePool, QORSysGetPoolInfo, QORSysPoolGetFreeSpace): 1 the permanent pool, 32 the
// thread-safe pool, 4 the fast pool that serves `size` (no reserved room); `size` is read for 4
// only. Null when that pool has not been created yet (this call creates nothing and does not run
// the configuration) and for every other argument. Never flush a fixed pool: the library keeps
// using it.
QOR_SYS_API void* QORSysGetFixedPool(void* poolArgument, std::size_t size);

// Always 8, whatever the arguments.
QOR_SYS_API int QORSysPoolGetAllocAddedSize(int, void*);

// Stores 112 (general pool header), 80 (abstract pool) and 64 (chunk header) through `a`, `b` and
// `c`. Does nothing when `a` is null; otherwise `b` and `c` must be valid too.
QOR_SYS_API void QORSysAllGetStructInfos(std::size_t* a, std::size_t* b, std::size_t* c);

// 0 when the configuration turned pools off (OFF, CANCELED, ReplayPurify alone), -1 otherwise,
// also before the configuration has run (this call does not run it).
QOR_SYS_API int QORSysGetPoolActivityStatus();

// Marker that the library is loaded: always 1.
extern "C" QOR_SYS_API int ORVANTIS_ZULX_INTERNAL_QORSysAllocator();
