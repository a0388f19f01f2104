// The heap engine driven directly: blocks of every class, around the class boundaries and huge,
// aligned (16 B to 8 MiB), zeroed, realloc chains across classes and into and out of huge blocks,
// releases from helper threads, threads that end holding blocks, abandoned heaps, Trim and a purge
// delay of 0. The model keeps every live block with its id's pattern over its usable bytes: after
// every step a new block overlaps no other, is aligned as asked and offers at least what was asked;
// a block's bytes survive until it is released or reallocated, and realloc keeps the prefix. At the
// quiet points (no helper thread running) the engine's figures follow from the live blocks alone,
// class by class, and at the end of an input every segment and mapping has gone back.
#include "FuzzInput.h"
#include "Models.h"
#include "core/PoolCheck.h"
#include "core/SizeClasses.h"
#include "heap/Heap.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <thread>
#include <vector>

using namespace qor::heap;

namespace {

struct Live {
    std::size_t requested;
    std::size_t usable;
    std::size_t
        charged; // what the figures count for it: its class's bytes, or a huge block's usable
    std::uint32_t seed;
    bool huge;
};
std::map<char*, Live> gLive;
std::uint64_t gLiveBytes = 0;

// One input's work stays small: 2,000 random inputs run in seconds.
constexpr std::size_t kMaxLive = 96;
constexpr std::uint64_t kMaxLiveBytes = std::uint64_t{24} << 20;
constexpr int kMaxThreadsPerInput = 3;
constexpr std::size_t kSystemPage = 4096;

// The bytes a block's pattern lies in: a block's first 512, 16 at every 64 KiB and its last 64.
// Touching more would make every huge block resident and each input slow. Without the tail the
// positions do not depend on the block's length, so that realloc's kept prefix can be checked
// against what the old block held.
template <class Visit> void ForSampled(std::size_t count, bool withTail, Visit visit) {
    for (std::size_t i = 0; i < std::min<std::size_t>(count, 512); ++i)
        visit(i);
    for (std::size_t at = 0x10000; at < count; at += 0x10000)
        for (std::size_t i = at; i < std::min(at + 16, count); ++i)
            visit(i);
    if (withTail)
        for (std::size_t i = count > 64 ? count - 64 : 0; i < count; ++i)
            visit(i);
}
void FillSampled(char* p, std::size_t count, std::uint32_t seed) {
    ForSampled(count, true, [&](std::size_t i) { p[i] = char(PatternByte(seed, i)); });
}
bool IntactSampled(const char* p, std::size_t count, std::uint32_t seed, bool withTail = true) {
    bool intact = true;
    ForSampled(count, withTail, [&](std::size_t i) {
        intact = intact && static_cast<unsigned char>(p[i]) == PatternByte(seed, i);
    });
    return intact;
}
bool ZeroSampled(const char* p, std::size_t count) {
    bool zero = true;
    ForSampled(count, true, [&](std::size_t i) { zero = zero && p[i] == 0; });
    return zero;
}

bool IsHuge(const void* p) { return !InSegment(p) || Segment::Of(p)->kind == SegmentKind::Huge; }

// The sizes the classes make interesting: tiny ones (0 too), each class's bounds, the direct
// table's range, the largest class's neighbours and huge blocks up to 4 MiB.
std::size_t PickSize(FuzzInput& in) {
    switch (in.Pick(16)) {
    case 0:
    case 1:
        return in.Pick(33);
    case 2:
    case 3:
    case 4:
        return ClassBytes(in.Pick(kClassCount)) + in.Pick(3) - 1;
    case 5:
    case 6:
    case 7:
        return in.Word() % (kDirectBytes + 17);
    case 8:
        return in.Word() * 4 % (kLargestClassBytes + 1);
    case 9:
        return kLargestClassBytes + in.Pick(3) - 1;
    case 10:
        return kLargestClassBytes + 1 + std::size_t{in.Word()} * (16 << in.Pick(3)) % (4 << 20);
    default:
        return in.Word() % 8192;
    }
}

// Checks a block just handed out and enters it in the model.
void Enter(char* p, std::size_t requested, std::size_t alignment, std::uint32_t seed,
           bool sizeDecidesKind) {
    FUZZ_CHECK(p != nullptr && Owns(p) && reinterpret_cast<std::uintptr_t>(p) % alignment == 0);
    const std::size_t usable = UsableBytes(p);
    const bool huge = IsHuge(p);
    FUZZ_CHECK(usable >= requested && usable >= 1);
    if (sizeDecidesKind) FUZZ_CHECK(huge == (requested > kLargestClassBytes));
    std::size_t charged = usable;
    if (huge) {
        // A released mapping kept for the next huge block serves requests of half its size on.
        // (its header and alignment included).
        const std::size_t front = std::max<std::size_t>(alignment, kSystemPage);
        FUZZ_CHECK(usable < 2 * (std::max<std::size_t>(requested, 1) + front) + 2 * kSystemPage);
    } else if (alignment <= kGrain) {
        charged = ClassBytes(ClassOf(requested));
        FUZZ_CHECK(usable == charged);
    } else {
        // Over-allocated inside a class that leaves room to round the start up, unless the
        // request's own class keeps every block aligned.
        const std::size_t request = requested == 0 ? 1 : requested;
        charged = ClassBytes(ClassOf(request)) % alignment == 0
                      ? ClassBytes(ClassOf(request))
                      : ClassBytes(ClassOf(request + alignment - kGrain));
        FUZZ_CHECK(usable <= charged);
    }
    const auto next = gLive.lower_bound(p);
    FUZZ_CHECK(next == gLive.end() || p + usable <= next->first);
    if (next != gLive.begin()) {
        const auto& [q, block] = *std::prev(next);
        FUZZ_CHECK(q + block.usable <= p);
    }
    FillSampled(p, usable, seed);
    gLive[p] = {requested, usable, charged, seed, huge};
    gLiveBytes += usable;
}

void Forget(std::map<char*, Live>::iterator b) {
    gLiveBytes -= b->second.usable;
    gLive.erase(b);
}

void CheckFigures() {
    if (tHeap != &gEmptyHeap) { // the engine's own account of the thread's heap, first
        qor::CheckResult result;
        if (!qor::CheckInvariants(*tHeap, result)) std::fprintf(stderr, "%s\n", result.Text());
        FUZZ_CHECK(result.Sound());
    }
    Figures figures;
    GetFigures(&figures);
    std::uint64_t inUse = 0, huge = 0, hugeBytes = 0, perClass[kClassCount] = {};
    for (const auto& [p, block] : gLive) {
        inUse += block.charged;
        if (block.huge)
            ++huge, hugeBytes += block.charged;
        else
            ++perClass[ClassOf(block.charged)];
    }
    FUZZ_CHECK(figures.bytesInUse == inUse);
    FUZZ_CHECK(figures.hugeBlocks == huge && figures.hugeBytes == hugeBytes);
    for (unsigned c = 0; c < kClassCount; ++c) {
        const ClassFigures& ofClass = figures.classes[c];
        FUZZ_CHECK(ofClass.blockBytes == ClassBytes(c) && ofClass.blocksInUse == perClass[c]);
        FUZZ_CHECK(ofClass.blocksCarved >= ofClass.blocksInUse);
        FUZZ_CHECK(ofClass.blocksCarved <=
                   ofClass.pages * PageSlices(c) * kSliceBytes / ClassBytes(c));
    }
    FUZZ_CHECK(figures.bytesInUse <= figures.bytesResident &&
               figures.bytesResident <= figures.bytesHeld);
    FUZZ_CHECK(figures.bytesHeld >= figures.segments * kSegmentBytes + figures.hugeBytes);
    FUZZ_CHECK(figures.abandonedHeaps <= figures.heaps);
}

// A helper thread checks and releases the blocks it is handed, after a few allocations of its
// own, which its end gives back.
void ReleaseOnAnotherThread(FuzzInput& in) {
    std::vector<std::pair<char*, Live>> handed;
    for (unsigned k = 1 + in.Pick(8); k-- > 0 && !gLive.empty();) {
        const auto b = in.Any(gLive);
        handed.emplace_back(*b);
        Forget(b);
    }
    std::vector<std::size_t> own(in.Pick(6));
    for (std::size_t& bytes : own)
        bytes = PickSize(in);
    std::thread([&] {
        std::vector<char*> blocks;
        for (std::size_t bytes : own) {
            blocks.push_back(static_cast<char*>(Allocate(bytes)));
            FUZZ_CHECK(blocks.back() != nullptr);
            std::memset(blocks.back(), 0x5A, std::min<std::size_t>(bytes, 4096));
        }
        for (auto& [p, block] : handed) {
            FUZZ_CHECK(IntactSampled(p, block.usable, block.seed));
            Release(p);
        }
        for (char* p : blocks)
            Release(p);
    }).join();
}

// A helper thread allocates blocks for the model and ends with them live (its heap abandoned,
// at its end or explicitly); they are released later, by whichever thread picks them.
void AllocateOnEndingThread(FuzzInput& in, std::uint32_t& seed) {
    std::vector<std::size_t> sizes(1 + in.Pick(24));
    for (std::size_t& bytes : sizes)
        bytes = in.Pick(4) ? in.Word() % 2048 : PickSize(in);
    const bool abandon = in.Pick(2);
    std::vector<char*> blocks(sizes.size());
    std::thread([&] {
        for (std::size_t i = 0; i < sizes.size(); ++i)
            blocks[i] = static_cast<char*>(Allocate(sizes[i]));
        if (abandon) AbandonThreadHeap();
    }).join();
    for (std::size_t i = 0; i < sizes.size(); ++i)
        Enter(blocks[i], sizes[i], kGrain, seed++, true);
}

void Prepare() { Configure(Settings{}); }

void Run(const std::uint8_t* data, std::size_t size) {
    FuzzInput in{data, size};
    int threads = 0;
    bool noPurgeDelay = false;
    for (std::uint32_t seed = 1; in.More(); ++seed) {
        const unsigned op = in.Pick(16);
        const bool room = gLive.size() < kMaxLive && gLiveBytes < kMaxLiveBytes;
        const auto b = in.Any(gLive);
        if ((op < 6 && room) || b == gLive.end()) {
            const std::size_t bytes = PickSize(in);
            if (op == 4) {
                // Mostly up to a page; now and then up to 8 MiB, beyond the segment.
                const std::size_t alignment = std::size_t{16} << in.Pick(in.Pick(4) ? 9 : 20);
                Enter(static_cast<char*>(AllocateAligned(alignment, bytes)), bytes, alignment, seed,
                      false);
            } else if (op == 5) {
                auto* p = static_cast<char*>(AllocateZeroed(bytes));
                FUZZ_CHECK(p != nullptr && ZeroSampled(p, bytes));
                Enter(p, bytes, kGrain, seed, true);
            } else {
                Enter(static_cast<char*>(Allocate(bytes)), bytes, kGrain, seed, true);
            }
        } else if (op < 9) { // realloc: the kept prefix is the old block's, the rest filled anew
            const auto [p, block] = *b;
            const std::size_t bytes = std::max<std::size_t>(PickSize(in), 1);
            FUZZ_CHECK(IntactSampled(p, block.usable, block.seed));
            auto* q = static_cast<char*>(Reallocate(p, bytes));
            FUZZ_CHECK(q != nullptr);
            const std::size_t kept = std::min(bytes, block.usable);
            FUZZ_CHECK(IntactSampled(q, kept, block.seed, kept == block.usable));
            Forget(b);
            if (q == p && !block.huge) { // kept in place: the same block, asked for less or more
                FUZZ_CHECK(bytes <= block.usable && UsableBytes(q) == block.usable);
                gLive[q] = {bytes, block.usable, block.charged, block.seed, false};
                gLiveBytes += block.usable;
            } else {
                const std::size_t usable = UsableBytes(q);
                const bool huge = IsHuge(q);
                // A huge block kept where it is stays huge; a moved block is huge when it is
                // larger than every class, or when realloc grew it past kReallocMapBytes.
                const bool grew = bytes > block.usable;
                FUZZ_CHECK(usable >= bytes &&
                           huge == (q == p ? block.huge
                                           : bytes > kLargestClassBytes ||
                                                 (grew && bytes > kReallocMapBytes)));
                const std::size_t charged = huge ? usable : ClassBytes(ClassOf(bytes));
                if (!huge) FUZZ_CHECK(usable == charged);
                const auto next = gLive.lower_bound(q);
                FUZZ_CHECK(next == gLive.end() || q + usable <= next->first);
                FUZZ_CHECK(next == gLive.begin() ||
                           std::prev(next)->first + std::prev(next)->second.usable <= q);
                FillSampled(q, usable, block.seed);
                gLive[q] = {bytes, usable, charged, block.seed, huge};
                gLiveBytes += usable;
            }
        } else if (op < 12) {
            FUZZ_CHECK(IntactSampled(b->first, b->second.usable, b->second.seed));
            FUZZ_CHECK(ReleaseIfOwned(b->first));
            Forget(b);
        } else if (op == 12) {
            FUZZ_CHECK(Owns(b->first) && UsableBytes(b->first) == b->second.usable);
            if (!b->second.huge) FUZZ_CHECK(Owns(b->first + b->second.usable - 1));
        } else if (op == 13 && threads < kMaxThreadsPerInput) {
            ++threads;
            switch (in.Pick(3)) {
            case 0:
                ReleaseOnAnotherThread(in);
                break;
            case 1:
                AllocateOnEndingThread(in, seed);
                break;
            default:
                AbandonThreadHeap();
                break;
            }
            CheckFigures();
        } else if (op == 14) {
            if (in.Pick(2)) {
                noPurgeDelay = !noPurgeDelay;
                Configure(Settings{noPurgeDelay ? 0u : 10u});
            } else {
                Trim();
            }
            CheckFigures();
        } else {
            CheckFigures();
        }
    }
    CheckFigures();
    for (auto& [p, block] : gLive) {
        FUZZ_CHECK(IntactSampled(p, block.usable, block.seed));
        Release(p);
    }
    gLive.clear(), gLiveBytes = 0;
    CheckFigures();
    // Nothing live, no thread but this one: every page, segment and mapping goes back.
    Trim();
    Figures figures;
    GetFigures(&figures);
    FUZZ_CHECK(figures.bytesHeld == 0 && figures.bytesResident == 0 && figures.segments == 0);
    if (noPurgeDelay) Configure(Settings{});
}

} // namespace

const FuzzModel kHeapModel{"Heap", Prepare, Run};
