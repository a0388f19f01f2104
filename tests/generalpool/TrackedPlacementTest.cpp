// Tracked placement against a model that walks its lists linearly: long random scripts of
// placements (by the pool, by the entry points, in a named chunk or arena), releases, merges,
// releases of empty chunks and flushes, with every chunk's list, counters and index compared after
// each step.
#include "GeneralPoolSupport.h"
#include "TestSupport.h"
#include "core/DebugTier.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <random>
#include <vector>

using namespace qor;
using namespace qor::test;
namespace Flag = QORSysPoolFlag;

namespace {

char* At(std::uintptr_t a) { return reinterpret_cast<char*>(a); }

struct Area {
    std::uintptr_t at;
    std::uint64_t size;
    bool operator==(const Area&) const = default;
};

// One chunk or arena as tracked placement must leave it.
struct ModelChunk {
    std::uintptr_t base = 0;
    std::uint64_t size = 0;
    std::uint64_t header = 0;
    bool arena = false;
    bool poolChunk = false;
    std::uint64_t free = 0;
    std::vector<Area> list;
    std::uint32_t areas = 1, pieces = 1, largest = 0;

    void Reset() {
        free = size - header;
        list = {{base + header, free}};
        areas = pieces = 1;
        largest = static_cast<std::uint32_t>(free);
    }
    std::uint64_t Span() const { return arena ? size : size & kChunkSizeMask; }
};

struct Live {
    std::uintptr_t chunk;
    std::uint64_t piece;
    std::size_t bytes;
};

// The linear first fit of tracked placement over one chunk: the area handed out (its address,
// 0 for none) and the counters after it.
std::uintptr_t LinearFit(ModelChunk& k, std::uint64_t need8) {
    if (k.free < need8 || (k.largest != kLargestUnknown && k.largest < need8)) return 0;
    std::uint64_t passed = 0;
    for (std::size_t i = 0; i < k.list.size(); ++i) {
        const Area area = k.list[i];
        if (area.size < need8) {
            passed = std::max(passed, area.size);
            continue;
        }
        if (area.size <= need8 + 16) {
            k.list.erase(k.list.begin() + static_cast<long>(i));
            --k.areas;
            k.free -= area.size;
        } else {
            k.list[i] = {area.at + need8, area.size - need8};
            passed = std::max(passed, area.size - need8);
            k.free -= need8;
            ++k.pieces;
        }
        if (area.size == k.largest)
            k.largest = passed >= k.free / 2 ? static_cast<std::uint32_t>(passed) : kLargestUnknown;
        return area.at;
    }
    k.largest = static_cast<std::uint32_t>(passed);
    return 0;
}

class Model {
public:
    Model(GeneralPool* pool, bool allocationsExact)
        : pool_(pool), exact_(allocationsExact), flags_(pool->chunk.flags) {
        chain_.push_back(Adopt(pool, GeneralPool::kPoolHeaderBytes, false));
    }

    // Places `bytes` (with `extra` reserved bytes) through the pool or the entry points.
    void Allocate(std::size_t bytes, std::size_t extra, bool entryPoint) {
        void* block = entryPoint && extra == 0 ? QORSpecializedNew(bytes, pool_, nullptr, 0)
                                               : pool_->Allocate(bytes, extra);
        if (!exact_) return Resync(block, bytes, extra);
        const std::uint64_t need8 = (bytes + extra + 16 + 7) & ~7ul;
        auto [chunk, at] = PlaceByPool(need8);
        if (at == 0) {
            ASSERT_EQ(block, nullptr);
            return;
        }
        if (extra == 0) return Expect(block, at, chunk, bytes);
        ASSERT_EQ(Addr(block), at + 80);
        AddArena(at, bytes, extra);
    }

    // Places `bytes` in the chunk or arena `base` (Allocate's route when it cannot).
    void AllocateIn(std::uintptr_t base, std::size_t bytes) {
        ModelChunk saved = chunks_.at(base);
        SubPool* savedCurrent = current_;
        void* block = pool_->Reallocate(bytes, nullptr, At(base));
        const std::uint64_t need8 = (bytes + 16 + 7) & ~7ul;
        if (const std::uintptr_t at = LinearFit(chunks_.at(base), need8)) {
            if (!chunks_.at(base).arena) current_ = reinterpret_cast<SubPool*>(base);
            return Expect(block, at, base, bytes);
        }
        if (!exact_) {
            chunks_.at(base) = saved, current_ = savedCurrent;
            return Resync(block, bytes, 0);
        }
        auto [chunk, at] = PlaceByPool(need8);
        ASSERT_EQ(Addr(block), at == 0 ? 0 : at + 16);
        if (at != 0) Expect(block, at, chunk, bytes);
    }

    void Release(std::uintptr_t block, bool entryPoint) {
        const Live live = live_.at(block);
        ASSERT_EQ(std::count(At(block), At(block) + live.bytes, Fill(block)),
                  static_cast<long>(live.bytes));
        live_.erase(block);
        if (entryPoint)
            QORSpecializedDelete(At(block), nullptr);
        else
            pool_->Free(At(block), nullptr);
        ModelChunk& k = chunks_.at(live.chunk);
        k.free += live.piece;
        if (k.free + k.header >= k.Span()) return k.Reset();
        k.list.insert(k.list.begin(), {block - 16, live.piece});
        ++k.areas;
        if (live.piece > k.largest) k.largest = static_cast<std::uint32_t>(live.piece);
    }

    void Optimize(int bits) {
        pool_->Optimize(bits);
        if (bits & Flag::OPTIMIZE_RELEASE_EMPTY)
            std::erase_if(chain_, [&](std::uintptr_t base) {
                const ModelChunk& k = chunks_.at(base);
                if (k.poolChunk || k.free + 64 < k.Span()) return false;
                if (current_ == reinterpret_cast<SubPool*>(base)) current_ = nullptr;
                chunks_.erase(base);
                return true;
            });
        if (bits & Flag::OPTIMIZE_MERGE)
            for (std::uintptr_t base : chain_)
                Merge(chunks_.at(base));
    }

    void Flush() {
        pool_->Flush(0);
        for (std::size_t i = 1; i < chain_.size(); ++i) {
            if (current_ == reinterpret_cast<SubPool*>(chain_[i])) current_ = nullptr;
            chunks_.erase(chain_[i]);
        }
        chain_.resize(1);
        std::erase_if(chunks_, [](const auto& entry) { return entry.second.arena; });
        chunks_.at(chain_[0]).Reset();
        live_.clear();
    }

    // Every chunk and arena of the model against the pool's, and the index of each.
    void Compare(int step) const {
        std::vector<std::uintptr_t> chain;
        for (SubPool* k = pool_; k != nullptr; k = static_cast<SubPool*>(k->chunk.next))
            chain.push_back(Addr(k));
        ASSERT_EQ(chain, chain_) << "step " << step;
        ASSERT_EQ(pool_->currentChunk, current_) << "step " << step;
        for (const auto& [base, m] : chunks_) {
            const ChunkFields& k = *FieldsOf(At(base));
            std::vector<Area> list;
            for (const FreeArea* a = k.freeList; a != nullptr && list.size() <= m.list.size();
                 a = a->next)
                list.push_back({Addr(a), a->size});
            ASSERT_EQ(list, m.list) << "step " << step << ", chunk " << base - chain_[0];
            ASSERT_EQ(std::tuple(k.free, k.freeAreaCount, k.pieceCount, k.largestFreeArea),
                      std::tuple(m.free, m.areas, m.pieces, m.largest))
                << "step " << step << ", chunk " << base - chain_[0];
            ASSERT_TRUE(placement::CheckIndex(k)) << "step " << step;
        }
    }

    // A request that the largest area of `base`, or one nearly as large, serves: what the
    // largest-area rules are about.
    std::size_t NearLargest(std::uintptr_t base, std::mt19937_64& rng) const {
        std::uint64_t largest = 0;
        for (const Area& a : chunks_.at(base).list)
            largest = std::max(largest, a.size);
        const std::uint64_t below = 8 * (rng() % 4) + 16;
        return largest > below + 16 ? largest - below : 0;
    }

    std::uintptr_t AnyLive(std::mt19937_64& rng) const {
        if (live_.empty()) return 0;
        return std::next(live_.begin(), static_cast<long>(rng() % live_.size()))->first;
    }
    std::uintptr_t AnyChunkOrArena(std::mt19937_64& rng) const {
        return std::next(chunks_.begin(), static_cast<long>(rng() % chunks_.size()))->first;
    }
    std::size_t LiveCount() const { return live_.size(); }
    std::uintptr_t LastPlaced() const { return last_; }

private:
    static char Fill(std::uintptr_t block) { return static_cast<char>(block >> 4); }

    std::uintptr_t Adopt(void* base, std::uint64_t header, bool arena) {
        const ChunkFields& k = *FieldsOf(base);
        ModelChunk m;
        m.base = Addr(base), m.size = k.size, m.header = header;
        m.arena = arena, m.poolChunk = base == pool_;
        m.Reset();
        chunks_[Addr(base)] = m;
        return Addr(base);
    }

    // Allocate's search: the hinted chunk, then the chain from the pool, then a new chunk.
    std::pair<std::uintptr_t, std::uintptr_t> PlaceByPool(std::uint64_t need8) {
        if (need8 > placement::kMaxNeed8) return {0, 0};
        if ((flags_ & Flag::CURRENT_SUBPOOL_HINT) && current_ != nullptr)
            if (const std::uintptr_t at = LinearFit(chunks_.at(Addr(current_)), need8))
                return {Addr(current_), at};
        if (auto hit = Onward(0, need8); hit.second != 0) return hit;
        if (flags_ & Flag::NO_NEW_SUBPOOL) return {0, 0};
        const ModelChunk& last = chunks_.at(chain_.back());
        std::uint64_t bytes = (last.size & kChunkSizeMask) * (flags_ & 0x100 ? 1 : 2);
        bytes = std::max(bytes, (need8 + 64 + 0xFFF) & ~0xFFFul);
        EXPECT_EQ(pool_->lastChunk->chunk.size, bytes);
        chain_.push_back(Adopt(pool_->lastChunk, 64, false));
        return Onward(chain_.size() - 1, need8);
    }

    std::pair<std::uintptr_t, std::uintptr_t> Onward(std::size_t from, std::uint64_t need8) {
        for (std::size_t i = from; i < chain_.size(); ++i) {
            if (const std::uintptr_t at = LinearFit(chunks_.at(chain_[i]), need8)) {
                current_ = reinterpret_cast<SubPool*>(chain_[i]);
                return {chain_[i], at};
            }
            if (current_ == reinterpret_cast<SubPool*>(chain_[i])) current_ = nullptr;
        }
        return {0, 0};
    }

    void Expect(void* block, std::uintptr_t at, std::uintptr_t chunk, std::size_t bytes) {
        ASSERT_EQ(Addr(block), at + 16);
        const std::uint64_t piece = HeaderOf(block)->sizeWord;
        ASSERT_EQ(HeaderOf(block)->ownerWord, chunk | 1);
        Record(Addr(block), chunk, piece, bytes);
    }

    void Record(std::uintptr_t block, std::uintptr_t chunk, std::uint64_t piece,
                std::size_t bytes) {
        live_[block] = {chunk, piece, bytes};
        last_ = block;
        std::memset(At(block), Fill(block), bytes);
    }

    // An arena in the block at `outer`, and the object placed first in it.
    void AddArena(std::uintptr_t outer, std::size_t bytes, std::size_t extra) {
        const std::uint64_t object = ((bytes + 7) & ~7ul) + 16;
        const std::uintptr_t base = Adopt(At(outer), 64, true);
        ModelChunk& arena = chunks_.at(base);
        EXPECT_EQ(arena.size, bytes + extra);
        arena.free = bytes + extra - object - 64;
        arena.list = {{base + 64 + object, arena.free}};
        arena.largest = static_cast<std::uint32_t>(arena.free);
        Record(base + 80, base, object, bytes);
    }

    // Reads the chain and every list back after a placement whose search the model cannot tell
    // (reclaim may have merged before it).
    void Resync(void* block, std::size_t bytes, std::size_t extra) {
        chain_.clear();
        for (SubPool* k = pool_; k != nullptr; k = static_cast<SubPool*>(k->chunk.next))
            chain_.push_back(Addr(k));
        current_ = pool_->currentChunk;
        std::erase_if(chunks_, [&](const auto& entry) {
            return !entry.second.arena && !std::ranges::count(chain_, entry.first);
        });
        for (std::uintptr_t base : chain_)
            if (!chunks_.contains(base)) Adopt(At(base), 64, false);
        for (auto& [base, m] : chunks_) {
            const ChunkFields& k = *FieldsOf(At(base));
            m.list.clear();
            for (const FreeArea* a = k.freeList; a != nullptr; a = a->next)
                m.list.push_back({Addr(a), a->size});
            m.free = k.free, m.areas = k.freeAreaCount, m.pieces = k.pieceCount;
            m.largest = k.largestFreeArea;
        }
        if (block == nullptr) return;
        const std::uintptr_t owner = HeaderOf(block)->ownerWord & ~3ul;
        if (extra == 0) return Record(Addr(block), owner, HeaderOf(block)->sizeWord, bytes);
        AddArena(Addr(block) - 80, bytes, extra);
    }

    bool IsEmpty(const ModelChunk& k) const {
        if (!k.poolChunk) return k.free + k.header >= k.Span();
        return std::ranges::all_of(chain_, [&](std::uintptr_t base) {
            const ModelChunk& c = chunks_.at(base);
            return c.free + c.header >= c.Span();
        });
    }

    // Both methods join exactly the adjacent areas: every free piece of a tracked chunk is listed.
    void Merge(ModelChunk& k) {
        if (IsEmpty(k) || (flags_ & Flag::SINGLE_SIZE)) return;
        std::vector<Area> areas = k.list;
        std::ranges::sort(areas, {}, &Area::at);
        std::vector<Area> merged;
        std::uint64_t largestMerged = 0;
        std::uint32_t merges = 0;
        for (const Area& a : areas) {
            if (!merged.empty() && merged.back().at + merged.back().size == a.at) {
                merged.back().size += a.size;
                largestMerged = std::max(largestMerged, merged.back().size);
                ++merges;
            } else {
                merged.push_back(a);
            }
        }
        k.list = merged;
        k.areas -= merges;
        k.pieces -= merges;
        if (largestMerged > k.largest) k.largest = static_cast<std::uint32_t>(largestMerged);
    }

    GeneralPool* pool_;
    bool exact_;
    std::uint32_t flags_;
    std::vector<std::uintptr_t> chain_;
    std::map<std::uintptr_t, ModelChunk> chunks_;
    std::map<std::uintptr_t, Live> live_;
    SubPool* current_ = nullptr;
    std::uintptr_t last_ = 0;
};

// Sizes from a 16-byte piece to several chunks' worth, most of them small; with `tiny`, pieces of
// 16 to 96 bytes only, so that splits often leave a rest too small for the height of its area.
std::size_t DrawBytes(std::mt19937_64& rng, bool tiny) {
    if (tiny) return rng() % 81;
    const unsigned roll = rng() % 100;
    if (roll < 10) return rng() % 9;
    if (roll < 60) return rng() % 64;
    if (roll < 85) return 64 + rng() % 200;
    if (roll < 97) return 264 + rng() % 2000;
    return 2264 + rng() % 70000;
}

struct Script {
    std::uint32_t flags;
    std::size_t bytes;
    bool tiny;
    std::uint64_t seed;
    friend void PrintTo(const Script& s, std::ostream* out) { *out << "seed " << s.seed; }
};
class TrackedPlacementScript : public testing::TestWithParam<Script> {};

// 12000 random operations on a pool, model and pool compared after each.
TEST_P(TrackedPlacementScript, MatchesTheLinearWalk) {
    const auto [flags, bytes, tiny, seed] = GetParam();
    Pool pool = MakeConfigured(flags, bytes);
    Model model(pool.get(), ReclaimOff());
    std::mt19937_64 rng(seed);
    for (int step = 0; step < 12000; ++step) {
        const unsigned roll = rng() % 1000;
        const std::uintptr_t live = model.AnyLive(rng);
        if (roll < 430 || live == 0) {
            const std::size_t size = DrawBytes(rng, tiny);
            model.Allocate(size, rng() % 40 ? 0 : 88 + rng() % 3000, rng() % 2);
        } else if (roll < 500) {
            model.AllocateIn(model.AnyChunkOrArena(rng), DrawBytes(rng, tiny));
        } else if (roll < 530) {
            const std::uintptr_t base = model.AnyChunkOrArena(rng);
            model.AllocateIn(base, model.NearLargest(base, rng));
        } else if (roll < 995) {
            model.Release(live, rng() % 2);
        } else if (roll < 998) {
            model.Optimize(rng() % 2 ? Flag::OPTIMIZE_MERGE
                                     : Flag::OPTIMIZE_MERGE | Flag::OPTIMIZE_RELEASE_EMPTY);
        } else if (rng() % 4 == 0) {
            model.Flush();
        } else {
            model.Optimize(Flag::OPTIMIZE_RELEASE_EMPTY);
        }
        ASSERT_FALSE(HasFatalFailure());
        model.Compare(step);
        ASSERT_FALSE(HasFatalFailure());
    }
}

INSTANTIATE_TEST_SUITE_P(
    , TrackedPlacementScript,
    testing::Values(Script{Flag::TRACKED_FREE_LIST, 0x8000, false, 1},
                    Script{Flag::TRACKED_FREE_LIST | Flag::CONSTANT_SUBPOOL_SIZE, 0x8000, false, 2},
                    Script{Flag::TRACKED_FREE_LIST | Flag::LOCKED, 0x40000, false, 3},
                    Script{Flag::TRACKED_FREE_LIST | Flag::NO_NEW_SUBPOOL, 0x20000, false, 4},
                    Script{Flag::TRACKED_FREE_LIST | Flag::SINGLE_SIZE, 0x10000, false, 5},
                    Script{Flag::TRACKED_FREE_LIST, 0x8000, true, 6}),
    [](const auto& info) {
        return PoolFlagNames(info.param.flags) + "_" + std::to_string(info.param.bytes / 1024) +
               "KiB" + (info.param.tiny ? "_TinyPieces" : "");
    });

// A steady churn of many small areas: long lists, where the index matters most.
TEST(TrackedPlacement, MatchesTheLinearWalkUnderLongChurn) {
    Pool pool = MakeConfigured(Flag::TRACKED_FREE_LIST, 0x100000);
    Model model(pool.get(), ReclaimOff());
    std::mt19937_64 rng(42);
    // The debug tier walks the whole pool after each operation: a third of the churn there.
    const int steps = debug::kFull ? 10000 : 30000;
    for (int step = 0; step < steps; ++step) {
        if (model.LiveCount() >= 1000) model.Release(model.AnyLive(rng), rng() % 2);
        const unsigned roll = rng() % 100;
        const std::size_t size = roll < 60   ? 8 + rng() % 57
                                 : roll < 95 ? 65 + rng() % 192
                                             : 257 + rng() % 256;
        model.Allocate(size, 0, rng() % 2);
        ASSERT_FALSE(HasFatalFailure());
        if (step % 8 == 0)
            model.AllocateIn(Addr(pool.get()), model.NearLargest(Addr(pool.get()), rng));
        ASSERT_FALSE(HasFatalFailure());
        if (step % 16 == 0) model.Compare(step);
        ASSERT_FALSE(HasFatalFailure());
    }
    model.Compare(-1);
}

// Releases pile up in front of the index until a search walks past them: a long burst of them,
// then requests that each fit only deep in the list (behind the burst, or its largest area), small
// ones that fit at its head, and more releases, in turns.
TEST(TrackedPlacement, ReleasedBurstsGoIntoTheIndexInListOrder) {
    Pool pool = MakeConfigured(Flag::TRACKED_FREE_LIST, 0x100000);
    Model model(pool.get(), ReclaimOff());
    std::mt19937_64 rng(7);
    for (int i = 0; i < 3000; ++i)
        model.Allocate(8 + rng() % 120, 0, false);
    for (int round = 0; round < 40 && !HasFatalFailure(); ++round) {
        for (int i = 0; i < 60 && model.LiveCount() > 0; ++i)
            model.Release(model.AnyLive(rng), rng() % 2);
        model.Allocate(200 + rng() % 300, 0, rng() % 2);
        model.AllocateIn(Addr(pool.get()), model.NearLargest(Addr(pool.get()), rng));
        for (int i = 0; i < 30; ++i)
            model.Allocate(rng() % 64, 0, rng() % 2);
        model.Compare(round);
    }
}

// An arena's last area need not be a multiple of 8, so a split can leave a rest of 17 to 23 bytes:
// an area without slots, listed behind a node whose spans must count it.
TEST(TrackedPlacement, OddArenaTailsLeaveAreasWithoutSlots) {
    Pool pool = MakeConfigured(Flag::TRACKED_FREE_LIST, 0x40000);
    Model model(pool.get(), ReclaimOff());
    for (int arena = 0; arena < 64 && !HasFatalFailure(); ++arena) {
        model.Allocate(100, 1001, false); // the arena's area: 1101 - 120 - 64 = 917 bytes
        const std::uintptr_t base = model.LastPlaced() - 80;
        model.AllocateIn(base, 184);                  // 200 bytes off its head
        model.Release(model.LastPlaced(), arena % 2); // listed in front of the 717-byte rest
        model.AllocateIn(base, 680);                  // need8 696: a rest of 21 bytes
        model.Compare(arena);
    }
}

} // namespace
