// Checked mode's proofs. A header is trusted only once the chunk it names is in the registry; a
// page descriptor is read only from the block's own page (mapped whenever the block is); a pool
// argument only once the registry knows it. Every refusal goes through AbortWithMessage, like the
// pools' own fatal stops, with the pools named as their creators named them (CheckDiagnosis.h)
// and the likely mistake at the end of the text.
#include "Checks.h"

#include "../core/Hooks.h"
#include "../core/LiveObjects.h"
#include "../core/PoolArgument.h"
#include "../core/PoolCheck.h"
#include "../core/PoolInterface.h"
#include "../pagedpool/PagedBlocks.h"
#include "../pagedpool/PagedPool.h" // the checker of QORSysCheckPool takes the class
#include "../platform/Platform.h"
#include "../platform/Sanitizers.h"
#include "CheckDiagnosis.h"
#include "FixedPools.h"

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

// Stops when `block` was handed out by a paged pool: its header is then the previous block's
// bytes, whatever they hold.
void StopIfPaged(const Release& r, const char* what) {
    if (PagedPool* pool = paged::HandedOutBy(r.block))
        Stop("Invalid release of %s in %s: %s, but the block is on page %p of %s (class %u): "
             "released without the paged flag?",
             r.Subject(), r.entryPoint, what,
             static_cast<void*>(PageObjectOf(r.block)->PageStart()), PoolText(pool).text,
             unsigned{PageObjectOf(r.block)->blockSize});
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

// The descriptor of the block's page, once it may be read.
const PageObject& PageOf(const Release& r) {
    const PageObject* page = PageObjectOf(r.block);
    if (!MayReadBeside(r, page, sizeof(PageObject)))
        StopOnPointer(r, "the block's page is not mapped");
    return *page;
}

// A paged block released into `pool` (a live paged pool).
void CheckPagedBlock(const Release& r, PagedPool* pool) {
    const PageObject& page = PageOf(r);
    const void* pageStart = page.PageStart();
    if (page.owner != pool)
        Stop("Invalid release of %s to %s in %s: its page %p belongs to %s", r.Subject(),
             PoolText(pool).text, r.entryPoint, pageStart, PoolText(page.owner).text);
    if (page.blockSize == 0 || page.nextFreePage != kPageInUse) {
        StopIfPointerReleased(r);
        Stop("Invalid release of %s in %s: its page %p of %s holds no block in use: released "
             "twice?",
             r.Subject(), r.entryPoint, pageStart, PoolText(pool).text);
    }
    const auto offset = static_cast<std::uint32_t>(Value(r.block) & (kPageBytes - 1));
    if (!IsCarvedOffset(page, offset)) {
        StopIfPointerReleased(r);
        char where[320];
        bool released;
        DescribeAddress("it", r.block, where, sizeof where, released);
        Stop("Invalid release of %s in %s: not the start of a block: %s", r.Subject(), r.entryPoint,
             where);
    }
    if (paged::IsOnReleasedChain(page, r.block)) {
        StopIfPointerReleased(r);
        Stop("Invalid release of %s in %s: page %p of %s (class %u) has it among its released "
             "blocks: released twice",
             r.Subject(), r.entryPoint, pageStart, PoolText(pool).text, unsigned{page.blockSize});
    }
    CheckPointerInBlock(r, page.blockSize);
}

// A damaged header, as the pieces in front of it show: `spot.piece` is the first piece whose
// size does not fit, or the block's own header.
[[noreturn]] void StopDamaged(const Release& r, const Spot& spot) {
    const PoolText pool(PoolOf(spot));
    char place[96];
    if (spot.piece == HeaderOf(r.block))
        std::snprintf(place, sizeof place, "its header is damaged (words %#lx %#lx)",
                      static_cast<unsigned long>(spot.piece->ownerWord),
                      static_cast<unsigned long>(spot.piece->sizeWord));
    else
        std::snprintf(place, sizeof place,
                      "the header of block %p before it is damaged (words "
                      "%#lx %#lx)",
                      static_cast<const void*>(spot.piece + 1),
                      static_cast<unsigned long>(spot.piece->ownerWord),
                      static_cast<unsigned long>(spot.piece->sizeWord));
    if (spot.previous == nullptr)
        Stop("Invalid release of %s in %s: %s, at the start of chunk %p of %s: header "
             "overwritten?",
             r.Subject(), r.entryPoint, place, spot.chunk, pool.text);
    Stop("Invalid release of %s in %s: %s and follows %s of %s: probable overrun of block %p",
         r.Subject(), r.entryPoint, place, PieceText(spot.previous).text, pool.text,
         static_cast<const void*>(spot.previous + 1));
}

// A header that did not prove: stops with what the pieces of the general chunk that holds the
// block show (a block released twice, an overrun of the block in front, a pointer inside a
// block). Returns when no general pool's chunk holds the block.
void StopIfLocated(const Release& r) {
    const Spot spot = Locate(r.block);
    switch (spot.where) {
    case Where::Nowhere:
        return;
    case Where::BlockStart:
        if (spot.soundFreeArea)
            Stop("Invalid release of %s in %s: its header reads as a free area of %s (first word "
                 "%#lx): released twice?",
                 r.Subject(), r.entryPoint, PoolText(PoolOf(spot)).text,
                 static_cast<unsigned long>(spot.piece->ownerWord));
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

// A block's header fits the live chunk (or arena) it names: past the chunk's header, a size word
// of whole 8-byte units (but for an arena's last piece) that ends inside the chunk.
void CheckFitsChunk(const Release& r, const BlockHeader& header, void* chunk, LiveKind kind) {
    const ChunkFields& k = *FieldsOf(chunk);
    const std::uint64_t span = kind == LiveKind::Arena ? k.size : k.size & kChunkSizeMask;
    const std::uint64_t headerBytes =
        kind == LiveKind::GeneralPool ? GeneralPool::kPoolHeaderBytes : SubPool::kHeaderBytes;
    const std::uint64_t offset = Value(HeaderOf(r.block)) - Value(chunk);
    const std::uint64_t pieceBytes = header.sizeWord;
    // An arena spans size + extra bytes, any number: a block that took its last area whole ends
    // exactly there with a size word of any value.
    const bool arenaTail = kind == LiveKind::Arena && offset + pieceBytes == span;
    if (offset >= headerBytes && pieceBytes >= kBlockHeaderBytes &&
        ((pieceBytes & 7) == 0 || arenaTail) && pieceBytes <= span - offset)
        return;
    StopIfPointerReleased(r);
    StopIfLocated(r);
    Stop("Invalid release of %s in %s: its header (size word %#lx) does not fit chunk %p of %s "
         "(%lu bytes, block at offset %lu): header overwritten?",
         r.Subject(), r.entryPoint, static_cast<unsigned long>(pieceBytes), chunk,
         PoolText(k.owner).text, static_cast<unsigned long>(span),
         static_cast<unsigned long>(offset));
}

// The 16 bytes in front of the block, copied: a paged block of class 2 or 4 released without its
// flag is not 8-byte aligned, and this read is what has to survive such a mistake.
BlockHeader ReadHeader(const Release& r) {
    const auto* at = static_cast<const char*>(r.block) - sizeof(BlockHeader);
    if (!MayReadBeside(r, at, sizeof(BlockHeader)))
        StopOnPointer(r, "the block's header is not mapped");
    BlockHeader header;
    __builtin_memcpy(&header, at, sizeof header);
    return header;
}

// A block with a header: in use, in a live chunk, inside it. `expectedPool` is the pool the caller
// named (null when the header decides).
void CheckHeaderBlock(const Release& r, PoolBase* expectedPool) {
    const BlockHeader header = ReadHeader(r);
    if ((header.ownerWord & kOwnerInUse) == 0) {
        StopIfPaged(r, "its header reads as a free area");
        StopIfPointerReleased(r);
        StopIfLocated(r);
        Stop("Invalid release of %s in %s: its header reads as a free area (first word %#lx) and "
             "no live pool holds it: no block of this library, or released twice?",
             r.Subject(), r.entryPoint, static_cast<unsigned long>(header.ownerWord));
    }
    void* chunk = reinterpret_cast<void*>(header.ownerWord & ~kOwnerBits);
    if (chunk == nullptr) {
        StopIfPaged(r, "its header reads as a heap block's");
        if (expectedPool != nullptr)
            Stop("Invalid release of %s to %s in %s: it is a heap block", r.Subject(),
                 PoolText(expectedPool).text, r.entryPoint);
        return CheckPointerInBlock(r, header.sizeWord - kBlockHeaderBytes);
    }
    const LiveKind kind = KindAt(chunk);
    if (kind == LiveKind::None || kind == LiveKind::PagedPool) {
        StopIfPaged(r, "its header names no live chunk");
        StopIfPointerReleased(r);
        StopIfLocated(r);
        Stop("Invalid release of %s in %s: its header names %p, which is no live chunk of a "
             "pool: its pool was destroyed, its header was overwritten, or it is no block of "
             "this library",
             r.Subject(), r.entryPoint, chunk);
    }
    CheckFitsChunk(r, header, chunk, kind);
    const PoolBase* owner = FieldsOf(chunk)->owner;
    if (expectedPool != nullptr && owner != expectedPool)
        Stop("Invalid release of %s to %s in %s: the block belongs to %s", r.Subject(),
             PoolText(expectedPool).text, r.entryPoint, PoolText(owner).text);
    CheckPointerInBlock(r, header.sizeWord - kBlockHeaderBytes);
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
        if (kind == LiveKind::PagedPool) return CheckPagedBlock(r, static_cast<PagedPool*>(pool));
        return CheckHeaderBlock(r, FieldsOf(pool)->owner);
    }
    if (flags & kFlagPaged) {
        const PageObject& page = PageOf(r);
        PagedPool* owner = platform::MayRead(&page, sizeof page) ? page.owner : nullptr;
        if (KindAt(owner) != LiveKind::PagedPool)
            Stop("Invalid release of %s in %s with the paged flag: its page %p names %p%s, which "
                 "is no live paged pool: pool used after it was destroyed, or not a paged block?",
                 r.Subject(), r.entryPoint, static_cast<const void*>(page.PageStart()),
                 static_cast<void*>(owner), DestroyedPoolText(owner).text);
        return CheckPagedBlock(r, owner);
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
