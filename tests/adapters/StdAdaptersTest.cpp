// The standard adapters over every pool kind: containers keep their contents and give every
// block back to its pool, every alignment is honoured (or refused with std::bad_alloc), a paged
// pool's upstream takes exactly what no page holds, and equality and propagation follow the pool
// and its kind. Private pools are owned through QORSys.hpp where that reads better.
#include "QORSys.hpp"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <tuple>
#include <unordered_map>
#include <vector>

namespace qor::test {
namespace {

using namespace QORSys;

constexpr int kFixed = -1;
constexpr int kPaged = int(QORSysPoolFlag::PAGED);
struct PoolCase {
    const char* name;
    int createFlags; // kFixed: the fixed pool below
    FixedPool fixed;
};
// Failure messages name the case rather than dumping its bytes.
void PrintTo(const PoolCase& poolCase, std::ostream* out) { *out << poolCase.name; }

class StdAdapters : public testing::TestWithParam<PoolCase> {
protected:
    void SetUp() override {
        if (GetParam().createFlags != kFixed) pool_ = QORSysCreatePool(GetParam().createFlags, 0);
    }
    // A private pool can be destroyed (-1 otherwise) only when every block has come back to it.
    void TearDown() override { EXPECT_TRUE(pool_ == nullptr || QORSysFlushPool(pool_, 5) == 0); }
    bool Paged() const { return GetParam().createFlags == kPaged; }
    template <typename Adapter> Adapter Over() const { // a PoolResource or a PoolAllocator
        if (pool_ == nullptr) return Adapter(GetParam().fixed);
        return Adapter(pool_, Paged() ? PoolKind::Paged : PoolKind::General);
    }
    // Mode 0x4 destroys nothing, and answers -1 while a block is in use, in both kinds.
    bool PrivatePoolInUse() const {
        return pool_ == nullptr || QORSysFlushPool(pool_, QORSysPoolFlag::FLUSH_DESTROY_IF_EMPTY);
    }
    void* pool_ = nullptr;
};

struct alignas(64) Over64 {
    int value;
};

// 512 ints, 257 buckets and 32 x 64 bytes: every block of a paged pool comes from its pages.
TEST_P(StdAdapters, ContainersKeepTheirContents) {
    auto resource = Over<PoolResource>();
    std::pmr::vector<int> numbers(&resource);
    std::pmr::unordered_map<int, std::pmr::string> names(&resource);
    std::vector<Over64, PoolAllocator<Over64>> aligned(Over<PoolAllocator<Over64>>());
    std::map<int, int, std::less<>, PoolAllocator<std::pair<const int, int>>> squares(
        Over<PoolAllocator<std::pair<const int, int>>>());
    auto name = [](int i) { return std::pmr::string(40 + i % 9, char('a' + i % 26)); };
    for (int i = 0; i < 500; ++i) {
        numbers.push_back(i * 7), squares.emplace(i, i * i);
        if (i < 200) names.emplace(i, name(i));
        if (i < 32) aligned.push_back({i});
    }
    EXPECT_TRUE(PrivatePoolInUse());
    int wrong = 0, next = 0;
    for (int i = 0; i < 500; ++i)
        wrong += numbers[i] != i * 7 || (i < 200 && names.at(i) != name(i));
    for (const auto& [n, square] : squares)
        wrong += square != n * n;
    for (const Over64& element : aligned)
        wrong += reinterpret_cast<std::uintptr_t>(&element) % 64 != 0 || element.value != next++;
    EXPECT_EQ(wrong, 0);
}

// Every (bytes, alignment) held at once, each filled with its own byte: a block placed or sized
// wrongly overlaps another one (or a header, or an offset word) and shows in the check.
TEST_P(StdAdapters, EveryAlignmentIsHonoured) {
    auto resource = Over<PoolResource>();
    std::vector<std::tuple<void*, std::size_t, std::size_t>> held; // block, bytes, alignment
    for (std::size_t alignment = 1; alignment <= 4096; alignment *= 2) {
        for (std::size_t bytes : {0, 1, 3, 24, 100, 1000}) {
            // Beyond a paged pool (bytes + alignment from 4048 on): served by the upstream.
            void* p = resource.allocate(bytes, alignment);
            EXPECT_EQ(reinterpret_cast<std::uintptr_t>(p) % alignment, 0u) << bytes;
            std::memset(p, int(held.size()), bytes);
            held.emplace_back(p, bytes, alignment);
        }
    }
    for (std::size_t i = 0; i < held.size(); ++i) {
        const auto [p, bytes, alignment] = held[i];
        const auto* data = static_cast<const unsigned char*>(p);
        EXPECT_EQ(std::count(data, data + bytes, static_cast<unsigned char>(i)),
                  std::ptrdiff_t(bytes))
            << bytes << " aligned to " << alignment;
        resource.deallocate(p, bytes, alignment);
    }
}

INSTANTIATE_TEST_SUITE_P(Pools, StdAdapters,
                         testing::Values(PoolCase{"GeneralPool", 0, {}},
                                         PoolCase{"PagedPool", kPaged, {}},
                                         PoolCase{"Heap", kFixed, FixedPool::Heap},
                                         PoolCase{"Permanent", kFixed, FixedPool::Permanent},
                                         PoolCase{"Fast", kFixed, FixedPool::Fast},
                                         PoolCase{"ThreadSafe", kFixed, FixedPool::ThreadSafe}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(StdAdaptersEquality, FollowsThePoolAndItsKind) {
    void* pools[] = {QORSysCreatePool(0, 0), QORSysCreatePool(0, 0)};
    const PoolResource general(pools[0], PoolKind::General);
    EXPECT_TRUE(general.is_equal(PoolResource(pools[0], PoolKind::General)));
    EXPECT_FALSE(general.is_equal(PoolResource(pools[0], PoolKind::Paged)));
    EXPECT_FALSE(general.is_equal(PoolResource(pools[1], PoolKind::General)));
    EXPECT_FALSE(general.is_equal(*std::pmr::new_delete_resource()));
    EXPECT_FALSE(PoolResource(FixedPool::Fast).is_equal(PoolResource(FixedPool::ThreadSafe)));
    const PoolAllocator<int> ints(pools[0], PoolKind::General);
    EXPECT_EQ(ints, PoolAllocator<double>(ints)); // rebound: the same pool
    EXPECT_NE(ints, PoolAllocator<int>(pools[1], PoolKind::General));
    EXPECT_NE(ints, PoolAllocator<int>(pools[0], PoolKind::Paged));
    EXPECT_EQ(PoolAllocator<int>(), PoolAllocator<int>(FixedPool::ThreadSafe));
    EXPECT_EQ(QORSysFlushPool(pools[0], 5) | QORSysFlushPool(pools[1], 5), 0);
}

// The last requests a page holds, and the first it does not, each way: direct (alignment up to
// 16, rounded to it) and over-allocated (bytes + alignment). A refusing upstream shows the split.
TEST(StdAdaptersUpstream, TakesExactlyWhatNoPageHolds) {
    QORSys::PagedPool pool;
    PoolResource refusing = pool.resource(std::pmr::null_memory_resource());
    PoolResource heap = pool.resource();
    for (const auto& [bytes, alignment, paged] : {std::tuple{4040, 8, true},
                                                  {4041, 8, false},
                                                  {4040, 16, false},
                                                  {4032, 16, true},
                                                  {4008, 32, true},
                                                  {4009, 32, false},
                                                  {0, 4096, false}}) {
        if (!paged) {
            EXPECT_THROW((void)refusing.allocate(bytes, alignment), std::bad_alloc) << bytes;
            void* p = heap.allocate(bytes, alignment); // the heap route: a block with a header
            void* block = alignment > 8 ? RoutedBlock(p) : p; // over-allocated: the offset word
            EXPECT_EQ(QORSysGetAllocatorFromAddress(block), nullptr) << bytes;
            heap.deallocate(p, bytes, alignment);
            continue;
        }
        void* p = refusing.allocate(bytes, alignment);
        EXPECT_FALSE(pool.empty()) << bytes; // a block in use: from a page
        refusing.deallocate(p, bytes, alignment);
    }
    EXPECT_TRUE(heap.is_equal(PoolResource(pool.get(), PoolKind::Paged, HeapResource())));
    EXPECT_FALSE(heap.is_equal(refusing));
    EXPECT_TRUE(pool.destroy_if_empty());
}

// Swap and assignment between containers over a general and a paged pool: the allocators go
// with the blocks, so each pool gets back exactly its own and both can be destroyed afterwards.
TEST(StdAdaptersPropagation, BlocksGoBackToThePoolThatGaveThem) {
    QORSys::GeneralPool general;
    QORSys::PagedPool paged;
    using Vector = std::vector<std::uint64_t, PoolAllocator<std::uint64_t>>;
    {
        Vector a({1, 2, 3}, general.allocator<std::uint64_t>());
        Vector b({4, 5}, paged.allocator<std::uint64_t>());
        Vector c({6}, general.allocator<std::uint64_t>());
        a.swap(b);
        EXPECT_EQ(a.get_allocator().pool(), paged.get());
        c = std::move(a); // c's block goes back to the general pool
        b = c;            // b's too; the copy comes from the paged pool
        EXPECT_EQ(b, Vector({4, 5}));
        EXPECT_EQ(b.get_allocator().kind(), PoolKind::Paged);
    }
    EXPECT_TRUE(general.destroy_if_empty());
    EXPECT_TRUE(paged.destroy_if_empty());
}

} // namespace
} // namespace qor::test
