// The general pool through the front end: a pool with flags chosen by the input, the fixed pools,
// the heap, arenas and blocks placed beside others. After every step each block lies in a chunk
// or arena of its pool and overlaps no other, contents survive, every pool's record accounts for
// exactly the model's blocks and arenas, and every pool passes QORSysCheckPool. With
// QORSysAllocatorChecks=ON the run also makes mistakes and expects checked mode's stop.
#include "FuzzInput.h"
#include "Mistakes.h"
#include "Models.h"
#include "core/Configuration.h"
#include "frontend/FixedPools.h"
#include "pagedpool/PageObject.h"

#include <algorithm>
#include <map>
#include <set>
#include <tuple>
#include <vector>

using namespace qor;

namespace {

struct Block {
    std::size_t size;
    std::uint32_t seed;
    GeneralPool* pool; // null for a heap block
};
std::map<char*, Block> gLive;          // by address
std::map<char*, GeneralPool*> gArenas; // by start: the header of the block that carries it

std::uint64_t Need8(std::uint64_t bytes) { return (bytes + 23) & ~std::uint64_t{7}; }
char* OwnerOf(char* p) { return reinterpret_cast<char*>(HeaderOf(p)->ownerWord & ~kOwnerBits); }

// Every listed area of a chunk starts a free piece, which the checker proves only of tracked lists
// (a plain list it holds to no more areas and bytes than the chunk has free). Pieces tile the
// chunk: the checker has proved it.
void CheckListedAreas(GeneralPool* pool, SubPool* c) {
    std::set<char*> freePieces;
    char* const k = reinterpret_cast<char*>(c);
    for (char* at = k + pool->HeaderBytesOf(c); at < k + (c->chunk.size & kChunkSizeMask);
         at += HeaderOf(at + 16)->sizeWord)
        if (!(HeaderOf(at + 16)->ownerWord & 1)) freePieces.insert(at);
    for (FreeArea* a = c->chunk.freeList; a != nullptr; a = a->next)
        FUZZ_CHECK(freePieces.contains(reinterpret_cast<char*>(a)));
}

// The pools' structure is QORSysCheckPool's. What it cannot know is the model: which pool each
// block was given by, that the blocks overlap nowhere and keep their bytes, that their pieces are
// no larger than placement allows, and that every pool's report counts exactly the model's blocks
// and arenas. The chains are walked here only for the room each block must lie in and the totals.
void CheckAll() {
    std::map<char*, std::tuple<GeneralPool*, char*, char*>> rooms; // chunk or arena: pool, room
    std::map<GeneralPool*, std::uint64_t> total, used; // used: headers, blocks and arenas
    for (PoolBase* registered = State().poolRegistry; registered; registered = registered->nextPool)
        for (SubPool* c = registered; c != nullptr; c = static_cast<SubPool*>(c->chunk.next)) {
            auto* const pool = static_cast<GeneralPool*>(registered);
            auto* const k = reinterpret_cast<char*>(c);
            rooms[k] = {pool, k + pool->HeaderBytesOf(c), k + (c->chunk.size & kChunkSizeMask)};
            total[pool] += c->chunk.size, used[pool] += pool->HeaderBytesOf(c);
        }
    FUZZ_CHECK(QORSysCheckPool(nullptr, stderr) == -1); // pieces, lists, bounds, arenas
    for (auto [k, room] : rooms)
        CheckListedAreas(std::get<0>(room), reinterpret_cast<SubPool*>(k));
    for (auto [k, pool] : gArenas)
        rooms[k] = {pool, k + 64, k + FieldsOf(k)->size}, used[pool] += HeaderOf(k + 16)->sizeWord;
    char* end = nullptr;
    for (auto& [p, b] : gLive) {
        const auto [owner, piece] = *HeaderOf(p);
        const auto [pool, first, last] = rooms[OwnerOf(p)]; // none: all null
        FUZZ_CHECK(Intact(p, b.size, b.seed, false) && end <= p - 16 && pool == b.pool);
        FUZZ_CHECK(pool ? p - 16 >= first && p + b.size <= last && piece - Need8(b.size) <= 16
                        : owner == 1 && piece == b.size + 16);
        used[pool] += gArenas.contains(OwnerOf(p)) ? 0 : piece, end = p + b.size;
    }
    for (auto [pool, bytes] : total) {
        QORPoolInfo info;
        QORSysGetPoolInfo(pool, nullptr, &info, 0);
        FUZZ_CHECK(info.totalSize == bytes && bytes - info.freeSize == used[pool]);
    }
}

// Pool arguments by route: the own pool, 2 naming it, the own pool with reserved room (an arena),
// 8 beside a live block, the permanent pool, 4 (with reserved room or not), 32 and the heap.
void Allocate(FuzzInput& in, GeneralPool* own, std::uint32_t seed) {
    const unsigned route = in.Pick(8);
    const std::size_t word = in.Word(), size = word >> in.Pick(12), n = in.Word() % 4096;
    const auto near = in.Any(gLive);
    if (route == 3 && near == gLive.end()) return;
    void* const kPools[] = {own, (void*)2, own, (void*)8, (void*)1, (void*)4, (void*)32, nullptr};
    void* const param = route == 1   ? own
                        : route == 3 ? near->first
                                     : (void*)(route == 2 || (route == 5 && n & 1) ? 16ul : 0ul);
    auto* p = static_cast<char*>(QORSpecializedNew(size, kPools[route], param, int(n)));
    const std::size_t extra = param == (void*)16 ? n : 0, key = extra + (size + 7) / 8 * 8;
    const int fast = key % 8 == 0 && key - 8 <= 72 ? int(key / 8) : key == 128 ? 11 : 16;
    GeneralPool* const kFixed[] = {State().fixedPools[0], State().fixedPools[fast],
                                   State().threadedPool, nullptr};
    GeneralPool* const pool = route < 3 ? own : route == 3 ? near->second.pool : kFixed[route - 4];
    const bool refused = (extra != 0 && extra + size < Need8(size) + 64) || (route == 3 && !pool);
    FUZZ_CHECK(p ? !refused : refused || (pool == own && own->chunk.flags & 0x200)); // no new chunk
    if (p == nullptr) return;
    if (extra != 0) // the carrying block: both owner bits, room for size + extra
        FUZZ_CHECK(HeaderOf(p - 64)->ownerWord % 4 == 3 &&
                   HeaderOf(p - 64)->sizeWord - Need8(size + extra) <= 16 &&
                   gArenas.emplace(p - 80, pool).second);
    Fill(p, size, seed);
    gLive[p] = {size, seed, pool};
}

// A pool block released twice or as a paged block (when the place of a page descriptor lies
// inside the block, so that reading it stays in the block), or a destroyed pool named.
void MakeMistake(FuzzInput& in, std::map<char*, Block>::iterator b) {
    const unsigned kind = b == gLive.end() || b->second.pool == nullptr ? 2 : in.Pick(3);
    char* const descriptor = kind == 2 ? nullptr : reinterpret_cast<char*>(PageObjectOf(b->first));
    if (kind == 0)
        ExpectStop(
            [&] {
                QORSpecializedDelete(b->first, nullptr);
                QORSpecializedDelete(b->first, nullptr);
            },
            "released twice?");
    else if (kind == 1 && descriptor >= b->first && descriptor + 8 <= b->first + b->second.size)
        ExpectStop([&] { QORSpecializedDelete(b->first, nullptr, 0x400000); },
                   "which is no live paged pool");
    else if (kind == 2) {
        void* stale = QORSysCreatePool(0, 0);
        QORSysFlushPool(stale, 1);
        ExpectStop([&] { QORSpecializedNew(8, stale, nullptr, 0); },
                   "pool used after it was destroyed?");
    }
}

// The merge method comes from QORSysAllocatorForceOptMeth, once per process; unset, it is chosen
// chunk by chunk, so that both methods run.
void Prepare() { UseDefaultConfiguration(); }

void Run(const std::uint8_t* data, std::size_t bytes) {
    FuzzInput in{data, bytes};
    // The first byte: tracked, single size, constant chunk size, no new chunk, locked; low reclaim
    // threshold; walk.
    unsigned bits = in.Byte(), flags = 0;
    for (unsigned flag : {0x100000, 0x80, 0x100, 0x200, 0x8})
        flags |= bits & 1 ? flag : 0, bits >>= 1;
    // Reclaim at its own threshold, or at one that small pools reach after a few releases.
    State().reclaimFloorBytes = bits & 1 ? 512 : kReclaimFloorBytes;
    const std::size_t poolBytes = in.Byte() * 1024;
    auto* own = static_cast<GeneralPool*>(QORSysCreatePool(int(flags), poolBytes));
    static FILE* const devNull = std::fopen("/dev/null", "w");
    for (std::uint32_t seed = 1; in.More(); CheckAll(), ++seed) {
        const unsigned op = in.Pick(State().config.checks ? 9 : 8);
        const auto b = in.Any(gLive);
        if (op == 8) { // checked mode: a mistake, in a child
            MakeMistake(in, b);
        } else if (op < 2 || b == gLive.end()) {
            Allocate(in, own, seed);
        } else if (op < 4) { // rewrite, or release naming the chunk or not
            FUZZ_CHECK(Intact(b->first, b->second.size, b->second.seed, true));
            if (op == 2) Fill(b->first, b->second.size, b->second.seed = seed);
            if (op == 3) QORSpecializedDelete(b->first, in.Pick(2) ? OwnerOf(b->first) : nullptr);
            if (op == 3) gLive.erase(b);
        } else if (op == 4) { // reset, or destroy only if empty (then a new pool takes over)
            const int mode = in.Pick(2) ? 0 : 4;
            const bool empty =
                std::ranges::none_of(gLive, [own](auto& l) { return l.second.pool == own; }) &&
                std::ranges::none_of(gArenas, [own](auto& a) { return a.second == own; });
            FUZZ_CHECK(QORSysFlushPool(own, mode) == (mode && !empty ? -1 : 0));
            if (mode && empty)
                own = static_cast<GeneralPool*>(QORSysCreatePool(int(flags), poolBytes));
            std::erase_if(gLive, [own, mode](auto& l) { return !mode && l.second.pool == own; });
            std::erase_if(gArenas, [own, mode](auto& a) { return !mode && a.second == own; });
        } else { // merge (giving back empty chunks or not), or report; numbers name no pool object
            void* const kPools[] = {own,
                                    State().fixedPools[0],
                                    State().fixedPools[16],
                                    (void*)1,
                                    State().threadedPool,
                                    (void*)4,
                                    (void*)32,
                                    nullptr};
            void* const pool = kPools[in.Pick(8)];
            const int how = int(in.Pick(4));
            QORPoolInfo info;
            if (op == 5)
                FUZZ_CHECK(QORSysOptimizePool(pool, 0x100 | (how & 1)) ==
                           (IsPoolNumber(pool) ? -1 : 0));
            if (op > 5) QORSysGetPoolInfo(pool, devNull, &info, how);
        }
    }
    for (auto& [p, b] : gLive)
        FUZZ_CHECK(Intact(p, b.size, b.seed, true)), QORSpecializedDelete(p, nullptr);
    gLive.clear();
    CheckAll();                  // every pool without arenas is empty again
    while (State().poolRegistry) // each destroyed, walking its chunks or not
        FUZZ_CHECK(static_cast<GeneralPool*>(State().poolRegistry)->Flush(int(1 | (bits & 2))) ==
                   0);
    ResetState(); // the fixed pools went with the registry
    gArenas.clear();
}

} // namespace

const FuzzModel kGeneralPoolModel{"GeneralPool", Prepare, Run};
