// Checked mode's proofs: the pools give their verdicts on a block (general::ProveHeader, which
// trusts a header once the chunk it names is in the registry; paged::ExaminePage, which reads the
// block's own page only), this file decides and words the stop. It alone knows which memory a
// release vouches for (MayReadBeside) and hands the pools that as a ReadPermit. A pool argument is
// trusted once the registry knows it. Every refusal goes through AbortWithMessage, like the pools'
// own fatal stops, with the pools named as their creators named them (CheckDiagnosis.h) and the
// likely mistake at the end of the text.
#include "Checks.h"

#include "../core/Hooks.h"
#include "../core/LiveObjects.h"
#include "../core/PoolArgument.h"
#include "../core/PoolCheck.h"
#include "../core/PoolInterface.h"
#include "../generalpool/GeneralBlocks.h"
#include "../generalpool/GeneralPool.h" // the checker of QORSysCheckPool takes the class
#include "../pagedpool/PagedBlocks.h"
#include "../pagedpool/PagedPool.h" // the checker of QORSysCheckPool takes the class
#include "../platform/Platform.h"
#include "../platform/Sanitizers.h"
#include "CheckDiagnosis.h"

#include <cstdarg>
#include <cstdio>

namespace qor::checks {
namespace {

[[noreturn, gnu::format(printf, 1, 2)]] void Stop(const char* format, ...) {
    char text[768];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(text, sizeof(text), format, arguments);
    va_end(arguments);
    AbortWithMessage(text);
}

inline std::uintptr_t Value(const void* p) { return reinterpret_cast<std::uintptr_t>(p); }

inline bool IsPool(LiveKind kind) {
    return kind == LiveKind::GeneralPool || kind == LiveKind::PagedPool;
}

// A release as the messages name it: "block <block>", or "pointer <pointer> (block <block>)" when
// the program holds another pointer than the library's block.
struct Release {
    Release(void* releasedBlock, const void* programPointer, const char* entry)
        : block(releasedBlock), pointer(programPointer), entryPoint(entry) {}
    // Formatted only for a stop: a sound release prints nothing.
    const char* Subject() const {
        if (pointer == block)
            std::snprintf(subject, sizeof subject, "block %p", block);
        else
            std::snprintf(subject, sizeof subject, "pointer %p (block %p)", pointer, block);
        return subject;
    }
    void* block;
    const void* pointer;
    const char* entryPoint;

private:
    mutable char subject[64];
};

// Stops when `block` was handed out by a live paged pool: its header is then the previous block's
// bytes, whatever they hold.
void StopIfPaged(const Release& r, const char* what) {
    const paged::PageVerdict page = paged::ExaminePage(r.block, kSanitizerPermit);
    if (page.state == paged::PageState::AtPosition)
        Stop("Invalid release of %s in %s: %s, but the block is on page %p of %s (class %u): "
             "released without the paged flag?",
             r.Subject(), r.entryPoint, what, static_cast<const void*>(page.pageStart),
             PoolText(page.owner).text, page.blockBytes);
}

// Where the program's pointer lies, after `failure` (null: none) was found.
[[noreturn]] void StopOnPointer(const Release& r, const char* failure) {
    char where[320];
    bool released;
    DescribeAddress("the pointer", r.pointer, where, sizeof where, released);
    Stop("Invalid release of %s in %s: %s%s%s%s", r.Subject(), r.entryPoint,
         failure != nullptr ? failure : "", failure != nullptr ? "; " : "", where,
         released ? ": released twice?" : "");
}

// A program's pointer beside the block (an adapter's over-aligned pointer, a hook library's
// delta) lies inside the block's `capacity` bytes. Otherwise the word that led from the pointer to
// the block was no offset of it: the block was released (and that word written over), or the
// pointer is no adapter's.
void CheckPointerInBlock(const Release& r, std::uint64_t capacity) {
    if (r.pointer == r.block || Value(r.pointer) - Value(r.block) <= capacity) return;
    char failure[96];
    std::snprintf(failure, sizeof failure, "the pointer lies outside that block of %lu bytes",
                  static_cast<unsigned long>(capacity));
    StopOnPointer(r, failure);
}

// A header that did not prove, for a program's pointer beside the block: when the pointer lies in
// free memory, the block was released and the word that led to it may be written over.
void StopIfPointerReleased(const Release& r) {
    if (r.pointer == r.block) return;
    char where[320];
    bool released;
    DescribeAddress("the pointer", r.pointer, where, sizeof where, released);
    if (released) StopOnPointer(r, nullptr);
}

// Whether [at, at + bytes) may be read. A program's pointer beside the block vouches for its own
// page only (the word in front of it was read): elsewhere the pages must be mapped.
bool MayReadBeside(const Release& r, const void* at, std::size_t bytes) {
    const std::uintptr_t vouched = (Value(r.pointer) - 8) & kPageMask;
    if (r.pointer == r.block ||
        ((Value(at) & kPageMask) == vouched && ((Value(at) + bytes - 1) & kPageMask) == vouched))
        return true;
    return platform::IsMapped(at, bytes);
}

// A permit for reads beside a release (MayReadBeside); `sanitized` adds the sanitizer's word.
// `mapped` tells, after a refusal, whether the pages were mapped.
struct BesidePermit {
    const Release& r;
    bool sanitized;
    mutable bool mapped = true;
    static bool Allows(const void* context, const void* at, std::size_t bytes) {
        const auto& self = *static_cast<const BesidePermit*>(context);
        self.mapped = MayReadBeside(self.r, at, bytes);
        return self.mapped && (!self.sanitized || platform::MayRead(at, bytes));
    }
    // The block's own pointer vouches for every read (MayReadBeside), but for a sanitizer's word.
    ReadPermit Permit() const {
        if (r.pointer == r.block && !(sanitized && platform::kMayReadRefuses))
            return {nullptr, nullptr};
        return {Allows, this};
    }
};

// What the block's page says, once its descriptor may be read (`sanitized`: and the sanitizer
// lets it be read; otherwise Unreadable). `pool`: the live paged pool the caller named, or null.
paged::PageVerdict ExaminePageOf(const Release& r, bool sanitized, const PagedPool* pool) {
    const BesidePermit permit{r, sanitized};
    const paged::PageVerdict page = paged::ExaminePage(r.block, permit.Permit(), pool);
    if (!permit.mapped) StopOnPointer(r, "the block's page is not mapped");
    return page;
}

// A paged block released into `pool` (a live paged pool), as its page says.
void CheckPagedBlock(const Release& r, PagedPool* pool, const paged::PageVerdict& page) {
    const void* pageStart = page.pageStart;
    if (page.owner != pool)
        Stop("Invalid release of %s to %s in %s: its page %p belongs to %s", r.Subject(),
             PoolText(pool).text, r.entryPoint, pageStart, PoolText(page.owner).text);
    if (page.state == paged::PageState::Idle) {
        StopIfPointerReleased(r);
        Stop("Invalid release of %s in %s: its page %p of %s holds no block in use: released "
             "twice?",
             r.Subject(), r.entryPoint, pageStart, PoolText(pool).text);
    }
    if (page.state != paged::PageState::AtPosition) {
        StopIfPointerReleased(r);
        char where[320];
        bool released;
        DescribeAddress("it", r.block, where, sizeof where, released);
        Stop("Invalid release of %s in %s: not the start of a block: %s", r.Subject(), r.entryPoint,
             where);
    }
    if (page.released) {
        StopIfPointerReleased(r);
        Stop("Invalid release of %s in %s: page %p of %s (class %u) has it among its released "
             "blocks: released twice",
             r.Subject(), r.entryPoint, pageStart, PoolText(pool).text, page.blockBytes);
    }
    CheckPointerInBlock(r, page.blockBytes);
}

// A damaged header, as the pieces in front of it show: `spot.piece` is the first piece whose
// size does not fit, or the block's own header.
[[noreturn]] void StopDamaged(const Release& r, const general::Spot& spot) {
    const PoolText pool(spot.pool);
    char place[96];
    if (spot.piece.block == r.block)
        std::snprintf(place, sizeof place, "its header is damaged (words %#lx %#lx)",
                      static_cast<unsigned long>(spot.piece.ownerWord),
                      static_cast<unsigned long>(spot.piece.sizeWord));
    else
        std::snprintf(place, sizeof place,
                      "the header of block %p before it is damaged (words "
                      "%#lx %#lx)",
                      spot.piece.block, static_cast<unsigned long>(spot.piece.ownerWord),
                      static_cast<unsigned long>(spot.piece.sizeWord));
    if (spot.previous.block == nullptr)
        Stop("Invalid release of %s in %s: %s, at the start of chunk %p of %s: header "
             "overwritten?",
             r.Subject(), r.entryPoint, place, spot.chunk, pool.text);
    Stop("Invalid release of %s in %s: %s and follows %s of %s: probable overrun of block %p",
         r.Subject(), r.entryPoint, place, PieceText(spot.previous).text, pool.text,
         spot.previous.block);
}

// A header that did not prove: stops with what the pieces of the general chunk that holds the
// block show (a block released twice, an overrun of the block in front, a pointer inside a
// block). Returns when no general pool's chunk holds the block.
void StopIfLocated(const Release& r) {
    using general::Where;
    const general::Spot spot = general::Locate(r.block);
    switch (spot.where) {
    case Where::Nowhere:
        return;
    case Where::BlockStart:
        if (spot.soundFreeArea)
            Stop("Invalid release of %s in %s: its header reads as a free area of %s (first word "
                 "%#lx): released twice?",
                 r.Subject(), r.entryPoint, PoolText(spot.pool).text,
                 static_cast<unsigned long>(spot.piece.ownerWord));
        StopDamaged(r, spot);
    case Where::Damaged:
        StopDamaged(r, spot);
    case Where::ChunkHeader:
    case Where::InsidePiece:
        break;
    }
    char where[320];
    bool released;
    DescribeAddress("it", r.block, where, sizeof where, released);
    Stop("Invalid release of %s in %s: %s%s%s", r.Subject(), r.entryPoint,
         released ? "" : "not the start of a block: ", where, released ? ": released twice?" : "");
}

// A header that does not fit the live chunk (or arena) it names.
[[noreturn]] void StopMisfit(const Release& r, const general::HeaderVerdict& header) {
    StopIfPointerReleased(r);
    StopIfLocated(r);
    Stop("Invalid release of %s in %s: its header (size word %#lx) does not fit chunk %p of %s "
         "(%lu bytes, block at offset %lu): header overwritten?",
         r.Subject(), r.entryPoint, static_cast<unsigned long>(header.sizeWord), header.chunk,
         PoolText(header.pool).text, static_cast<unsigned long>(header.chunkBytes),
         static_cast<unsigned long>(header.offset));
}

// A header whose owner word is no live chunk's: a free area, or a chunk the registry does not know.
[[noreturn]] void StopUnowned(const Release& r, const general::HeaderVerdict& header) {
    const bool free = header.state == general::HeaderState::FreeArea;
    StopIfPaged(r, free ? "its header reads as a free area" : "its header names no live chunk");
    StopIfPointerReleased(r);
    StopIfLocated(r);
    if (free)
        Stop("Invalid release of %s in %s: its header reads as a free area (first word %#lx) and "
             "no live pool holds it: no block of this library, or released twice?",
             r.Subject(), r.entryPoint, static_cast<unsigned long>(header.ownerWord));
    Stop("Invalid release of %s in %s: its header names %p, which is no live chunk of a "
         "pool: its pool was destroyed, its header was overwritten, or it is no block of "
         "this library",
         r.Subject(), r.entryPoint, header.chunk);
}

// A block with a header: in use, in a live chunk, inside it. `expectedPool` is the pool the caller
// named (null when the header decides).
void CheckHeaderBlock(const Release& r, PoolBase* expectedPool) {
    const BesidePermit permit{r, false};
    const general::HeaderVerdict header = general::ProveHeader(r.block, permit.Permit());
    switch (header.state) {
    case general::HeaderState::Unreadable:
        StopOnPointer(r, "the block's header is not mapped");
    case general::HeaderState::FreeArea:
    case general::HeaderState::NoLiveChunk:
        StopUnowned(r, header);
    case general::HeaderState::HeapBlock:
        StopIfPaged(r, "its header reads as a heap block's");
        if (expectedPool != nullptr)
            Stop("Invalid release of %s to %s in %s: it is a heap block", r.Subject(),
                 PoolText(expectedPool).text, r.entryPoint);
        break;
    case general::HeaderState::Misfit:
        StopMisfit(r, header);
    case general::HeaderState::Fits:
        if (expectedPool != nullptr && header.pool != expectedPool)
            Stop("Invalid release of %s to %s in %s: the block belongs to %s", r.Subject(),
                 PoolText(expectedPool).text, r.entryPoint, PoolText(header.pool).text);
        break;
    }
    CheckPointerInBlock(r, header.BlockBytes());
}

[[noreturn]] void StopDestroyed(const void* pool, const char* entryPoint) {
    Stop("Invalid pool %p in %s: no live pool has this address%s: pool used after it was "
         "destroyed?",
         pool, entryPoint, DestroyedPoolText(pool).text);
}

} // namespace

void CheckRelease(void* block, void* pool, int flags, const void* pointer) {
    platform::MemcheckQuiet quiet;
    const Release r(block, pointer, "QORSpecializedDelete");
    if (pool != nullptr) {
        if (IsPoolNumber(pool)) return; // names no pool: the release does nothing
        const LiveKind kind = KindAt(pool);
        if (kind == LiveKind::None) StopDestroyed(pool, r.entryPoint);
        if (kind == LiveKind::PagedPool)
            return CheckPagedBlock(r, static_cast<PagedPool*>(pool),
                                   ExaminePageOf(r, false, static_cast<PagedPool*>(pool)));
        return CheckHeaderBlock(r, general::PoolOfChunk(pool));
    }
    if (flags & kFlagPaged) {
        // A descriptor the sanitizer hides names no pool.
        const paged::PageVerdict page = ExaminePageOf(r, true, nullptr);
        PagedPool* owner = page.state != paged::PageState::Unreadable ? page.owner : nullptr;
        if (page.state <= paged::PageState::Unowned)
            Stop("Invalid release of %s in %s with the paged flag: its page %p names %p%s, which "
                 "is no live paged pool: pool used after it was destroyed, or not a paged block?",
                 r.Subject(), r.entryPoint, static_cast<const void*>(page.pageStart),
                 static_cast<void*>(owner), DestroyedPoolText(owner).text);
        return CheckPagedBlock(r, owner, page);
    }
    CheckHeaderBlock(r, nullptr);
}

void CheckNew(std::uintptr_t poolArgument, void* param) {
    platform::MemcheckQuiet quiet;
    static constexpr const char* kEntry = "QORSpecializedNew";
    const PoolChoice choice = ClassifyPoolArgument(poolArgument, param);
    if (choice.route == PoolRoute::BesideBlock) {
        // With a hook library, `param` is the caller's pointer, its delta past the block: the
        // block is proved when the instrumented route has found it.
        if (param != nullptr && !hooks::On())
            CheckHeaderBlock(Release(param, param, kEntry), nullptr);
        return;
    }
    // A fixed pool or the heap is the library's own; no pool makes the request fail.
    if (choice.route != PoolRoute::Object) return;
    void* object = reinterpret_cast<void*>(choice.object);
    if (!IsPool(KindAt(object))) StopDestroyed(object, kEntry);
}

void CheckPoolArgument(void* pool, const char* entryPoint) {
    if (IsPoolNumber(pool)) return;
    if (!IsPool(KindAt(pool))) StopDestroyed(pool, entryPoint);
}

} // namespace qor::checks

using namespace qor;

namespace {

bool IsRegistered(const void* pool) {
    ScopedLock registry(State().registryLock);
    for (PoolBase* p = State().poolRegistry; p != nullptr; p = p->nextPool)
        if (p == pool) return true;
    return false;
}

// Requires: `pool` is registered.
bool CheckOnePool(PoolBase* pool, FILE* stream) {
    platform::MemcheckQuiet quiet;
    CheckResult result;
    PoolLockGuard guard(*pool);
    if (pool->chunk.flags & kFlagPaged)
        CheckInvariants(*static_cast<PagedPool*>(pool), result);
    else
        CheckInvariants(*static_cast<GeneralPool*>(pool), result);
    guard.Unlock();
    if (!result.Sound()) PrintToStream(stream, "QORSysCheckPool: %s\n", result.Text());
    return result.Sound();
}

} // namespace

int QORSysCheckPool(void* pool, FILE* stream) {
    if (pool == nullptr) {
        ScopedLock registry(State().registryLock);
        for (PoolBase* p = State().poolRegistry; p != nullptr; p = p->nextPool)
            if (!CheckOnePool(p, stream)) return 0;
        return -1;
    }
    if (State().config.checks) [[unlikely]]
        checks::CheckPoolArgument(pool, "QORSysCheckPool");
    if (IsPoolNumber(pool) || !IsRegistered(pool)) {
        PrintToStream(stream, "QORSysCheckPool: %p is no registered pool\n", pool);
        return 0;
    }
    return CheckOnePool(static_cast<PoolBase*>(pool), stream) ? -1 : 0;
}
