// Flush (reset or destroy a pool) and Optimize (give back empty chunks, merge free areas).
// After a flush that does not destroy, the pool is as created: its own chunk is one free area
// and the further chunks are released, so currentChunk is null or the pool itself.
#include "GeneralPool.h"

#include "MergeFreeAreas.h"

#include "../core/Hooks.h"
#include "../core/LiveObjects.h"
#include "../platform/Platform.h"
#include "../platform/Sanitizers.h"

namespace qor {

namespace {
inline SubPool* NextChunk(const SubPool* k) { return static_cast<SubPool*>(k->chunk.next); }
} // namespace

void GeneralPool::ReleaseChunksAfterPool() {
    for (SubPool* k = NextChunk(this); k != nullptr;) {
        SubPool* next = NextChunk(k);
        if (currentChunk == k) currentChunk = nullptr;
        checks::NoteGoneIfChecked(k, k->chunk.size);
        platform::Free(k);
        k = next;
    }
    lastChunk = this;
    chunk.next = nullptr;
}

int GeneralPool::Flush(int mode) {
    platform::MemcheckQuiet quiet;
    using namespace QORSysPoolFlag;
    if (hooks::On()) hooks::QORSignalPoolFlush(this, mode);
    if (mode & FLUSH_DESTROY_IF_EMPTY) {
        PoolLockGuard guard(*this);
        if (!IsEmpty()) return -1;
        mode = (mode & ~FLUSH_WALK) | FLUSH_DESTROY;
    }
    // A pool being destroyed leaves the registry before it gives back a chunk, so that a report
    // of every pool never walks one; and before its own lock, which such a report takes inside
    // the registry's.
    if (mode & FLUSH_DESTROY) Unregister();
    PoolLockGuard guard(*this);
    if ((mode & FLUSH_WALK) || !(mode & FLUSH_DESTROY)) {
        for (SubPool* k = this; k != nullptr; k = NextChunk(k)) {
            if (!(mode & FLUSH_DESTROY)) {
                checks::NoteArenasGoneIfChecked(k, k->chunk.size);
                ResetChunk(k);
            }
            if (hooks::On())
                hooks::QORSignalSubPoolFlushed(this, k, k->chunk.free, 0,
                                               reinterpret_cast<char*>(k) + HeaderBytesOf(k) +
                                                   kBlockHeaderBytes,
                                               chunk.free - kBlockHeaderBytes);
        }
    }
    ReleaseChunksAfterPool();
    if (!(mode & FLUSH_DESTROY)) return debug::AfterOperation(*this, "a flush", 0);
    guard.Unlock();
    checks::NoteGoneIfChecked(this, chunk.size);
    this->~GeneralPool();
    platform::Free(this);
    return 0;
}

int GeneralPool::Optimize(int bits) {
    platform::MemcheckQuiet quiet;
    PoolLockGuard guard(*this);
    if (bits & QORSysPoolFlag::OPTIMIZE_RELEASE_EMPTY) {
        SubPool* kept = this;
        for (SubPool* k = NextChunk(this); k != nullptr;) {
            SubPool* next = NextChunk(k);
            if (k->ChunkIsEmpty()) {
                kept->chunk.next = next;
                if (lastChunk == k) lastChunk = kept;
                if (currentChunk == k) currentChunk = nullptr;
                checks::NoteGoneIfChecked(k, k->chunk.size);
                platform::Free(k);
            } else {
                kept = k;
            }
            k = next;
        }
    }
    if (bits & QORSysPoolFlag::OPTIMIZE_MERGE)
        for (SubPool* k = this; k != nullptr; k = NextChunk(k))
            MergeFreeAreas(*this, k);
    return debug::AfterOperation(*this, "an optimisation", 0);
}

} // namespace qor
