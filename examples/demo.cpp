// A tour of QORSysAllocator for a newcomer, one section per idea: the fixed pools behind the pool
// argument, a private general pool with arenas and its maintenance, a paged pool, and a swap
// file that keeps an object graph many times larger than its memory zone. It ends with the pool
// reports, a table of the bytes each pool had in use after every phase, and the same figures as
// an SVG chart.
//
// Usage: qor_demo [--quick] [--chart FILE]
//   --quick  smaller figures (for memcheck and smoke runs)
//   --chart  where to write the chart; by default qor_demo_chart.svg beside the executable
#include "DemoChart.h"

#include <QORSys.hpp>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// Pool arguments of QORSpecializedNew.
void* const kHeap = QORSys::Route::Heap;
void* const kPermanentPool = QORSys::Route::Permanent;
void* const kFastPools = QORSys::Route::Fast;
void* const kBesideBlock = QORSys::Route::BesideBlock;
void* const kReservedRoom = QORSys::ReserveRoom; // as `param`: `n` bytes of room behind
void* const kThreadedPool = QORSys::Route::ThreadSafe;

// What a swap file holds, from its statistics call.
QORSysSwapStatistics SwapFigures(QORSysSwapFile& file) {
    QORSysSwapStatistics figures{};
    file.GetStatistics(&figures);
    return figures;
}
std::uint64_t BytesOnDisk(QORSysSwapFile& file) { return SwapFigures(file).pagesBooked * 8192; }
std::string SwapPath(QORSysSwapFile& file) {
    char path[4096];
    return file.GetFilePath(path, sizeof path) == QORSysSwapSuccess ? path : "";
}

// What --quick scales down.
struct Sizes {
    int fastBlocks;        // blocks of the fixed-pool burst
    int threadedBlocks;    // allocate/release pairs per thread on the thread-safe pool
    int records;           // blocks of the private pool
    int pagedBlocks;       // blocks per size class of the paged pool
    int treeDepth;         // levels of the swappable tree: 2^depth - 1 nodes
    std::size_t zoneBytes; // memory of the swap file's zone
    int lookups;           // random root-to-leaf walks
};
constexpr Sizes kFull{30000, 20000, 6000, 2000, 16, 1 << 20, 100000};
constexpr Sizes kQuick{3000, 2000, 1000, 200, 11, 128 << 10, 1000};

void Title(const char* text) { std::printf("\n== %s ==\n", text); }

// The variables the library reads on its first call. With any of them set, blocks may carry an
// instrumentation delta or no header at all, so a block's owner cannot be read from its address:
// the demo then shows what it can and skips the checks that assume the default configuration.
const char* ConfigurationVariable() {
    for (const char* name : {"QORSysAllocatorInstrum", "QORSysPoolAllocator", "ReplayPurify"})
        if (std::getenv(name) != nullptr) return name;
    return nullptr;
}

std::string Hex(const void* address) {
    char text[32];
    std::snprintf(text, sizeof text, "%p", address);
    return text;
}

double Seconds(Clock::time_point since) {
    return std::chrono::duration<double>(Clock::now() - since).count();
}

QORPoolInfo Info(void* pool) {
    QORPoolInfo info{};
    QORSysGetPoolInfo(pool, nullptr, &info, 0);
    return info;
}

std::uint64_t InUse(void* pool) {
    if (pool == nullptr) return 0;
    const QORPoolInfo info = Info(pool);
    return info.totalSize - info.freeSize;
}

void OneLineReport(const char* label, void* pool) {
    std::printf("  %-16s ", label);
    std::fflush(stdout);
    QORSysGetPoolInfo(pool, stdout, nullptr, QORSysPoolFlag::REPORT_ONE_LINE);
}

// A paged pool prints no text report: its record tells the story.
void PagedRecord(const char* label, void* pool) {
    const QORPoolInfo info = Info(pool);
    std::printf("  %-16s %s of pages, %s free, %llu blocks (%s) in use, occupation %d%%\n", label,
                FormatBytes(double(info.totalSize)).c_str(),
                FormatBytes(double(info.freeSize)).c_str(),
                static_cast<unsigned long long>(info.blockTotal),
                FormatBytes(double(info.maxChunkFree)).c_str(), info.occupation);
}

// A progress line rewritten in place on a terminal; a line every quarter otherwise.
class Progress {
public:
    Progress(const char* what, std::uint64_t total)
        : what(what), total(total), terminal(isatty(fileno(stdout)) != 0) {}

    // `detail` is called only when a line is printed.
    template <class Detail> void Update(std::uint64_t done, Detail detail) {
        const bool due = terminal ? done % (total / 100 + 1) == 0 || done == total
                                  : done * 4 / total != shown * 4 / total || done == total;
        if (!due || done == shown) return;
        shown = done;
        std::printf("%s  %s: %llu/%llu (%3d%%)  %s%s", terminal ? "\r" : "", what,
                    static_cast<unsigned long long>(done), static_cast<unsigned long long>(total),
                    static_cast<int>(done * 100 / total), detail().c_str(),
                    terminal ? "\033[K" : "\n");
        std::fflush(stdout);
    }
    void Finish() {
        if (terminal) std::printf("\n");
    }

private:
    const char* what;
    std::uint64_t total;
    std::uint64_t shown = 0;
    bool terminal;
};

// ---------------------------------------------------------------------------------------------
// The swappable graph: a binary tree whose nodes hold their children through smart handles.

constexpr std::size_t kPayloadBytes = 1000;
std::uint64_t gSwappedOut = 0, gSwappedIn = 0, gDestroyed = 0;

struct Node;

// The application keeps smart handles, never addresses: an address is good only until the next
// allocation in the zone, which may send the object to disk. get() brings the node back from
// disk when it is there (null when it cannot).
using NodeRef = QORSys::SwapHandle<Node>;

// Its payload follows from its number, so a walk tells whether it came back from disk intact.
// Numbers are given in creation order, children first: the right child of node n is n - 1.
struct Node : QORSysSwappable {
    Node(QORSysSwapFile* file, std::uint32_t number, int depth, const NodeRef& left,
         const NodeRef& right)
        : QORSysSwappable(file, 0), number(number), depth(depth), left(left), right(right) {
        for (std::size_t i = 0; i < kPayloadBytes; ++i)
            payload[i] = Pattern(i);
    }
    ~Node() override { ++gDestroyed; }
    long SwappedOut() override { return ++gSwappedOut, 0; }
    long SwappedIn() override { return ++gSwappedIn, 0; }

    unsigned char Pattern(std::size_t i) const { return (number * 2654435761u + i * 40503u) >> 11; }
    bool Intact(std::uint32_t expectedNumber) const {
        if (number != expectedNumber) return false;
        for (std::size_t i = 0; i < kPayloadBytes; ++i)
            if (payload[i] != Pattern(i)) return false;
        return true;
    }

    std::uint32_t number;
    int depth; // 1 for a leaf
    NodeRef left, right;
    unsigned char payload[kPayloadBytes];
};

std::uint32_t SubtreeSize(int depth) { return (1u << depth) - 1; }

class Demo {
public:
    explicit Demo(const Sizes& sizes)
        : sizes(sizes), byDefault(ConfigurationVariable() == nullptr),
          chart("QORSysAllocator demo: bytes in use per pool",
                {"permanent pool (1)", "fast pools (4)", "thread-safe pool (32)",
                 "private general pool", "paged pool", "swap zone (memory)", "swap file (disk)"}) {}

    void FixedPools();
    void PrivatePool();
    void PagedPool();
    void SwapFile();
    void Reports();
    void CleanUpAndChart(const std::string& chartPath);

    int failures = 0; // of the demo's own checks

private:
    void Expect(bool ok, const char* what) {
        if (ok) return;
        ++failures;
        std::fprintf(stderr, "qor_demo: check failed: %s\n", what);
    }
    void Sample(const char* phase);
    NodeRef Build(int depth, Progress& progress);
    std::uint64_t Walk(NodeRef ref, std::uint32_t number, int depth, Progress& progress);
    std::string SwapDetail() {
        return "zone " + FormatBytes(double(InUse(swapZone))) + " in use, " +
               FormatBytes(double(BytesOnDisk(*swapFile))) + " on disk";
    }

    const Sizes& sizes;
    const bool byDefault; // the library runs in its default configuration
    BarChart chart;
    std::vector<std::pair<std::string, std::vector<double>>> samples;

    std::vector<void*> fastPools;  // the pools behind argument 4 that this demo uses
    std::vector<void*> keptBlocks; // fixed-pool blocks alive until the clean-up
    void* privatePool = nullptr;
    void* pagedPool = nullptr;
    QORSysSwapFile* swapFile = nullptr;
    void* swapZone = nullptr;
    std::uint32_t nextNumber = 0; // of the next node built
    std::uint64_t walked = 0;
    bool buildFailed = false;
};

void Demo::Sample(const char* phase) {
    double fast = 0;
    for (void* pool : fastPools)
        fast += double(InUse(pool));
    std::vector<double> bytes{double(InUse(kPermanentPool)),
                              fast,
                              double(InUse(kThreadedPool)),
                              double(InUse(privatePool)),
                              double(InUse(pagedPool)),
                              double(InUse(swapZone)),
                              swapFile ? double(BytesOnDisk(*swapFile)) : 0.0};
    chart.AddGroup(phase, bytes);
    samples.emplace_back(phase, bytes);
}

// ---------------------------------------------------------------------------------------------

void Demo::FixedPools() {
    Title("1. Fixed pools: the pool argument picks where a block comes from");
    std::printf("  Each fixed pool is created on first use. A block's 16-byte header names the\n"
                "  chunk that owns it: QORSysGetAllocatorFromAddress reads it (for a block of a\n"
                "  pool's first chunk, that is the pool itself).\n\n");
    struct Request {
        void* pool;
        std::size_t bytes;
        const char* what;
    };
    const Request requests[] = {
        {kHeap, 100, "heap: malloc with a 16-byte header"},
        {kPermanentPool, 200, "permanent pool (2 MB, exact counts)"},
        {kFastPools, 20, "fast pools: 20 rounds up to 24"},
        {kFastPools, 24, "24: the same single-size pool"},
        {kFastPools, 60, "60 rounds to 64: another pool"},
        {kFastPools, 121, "121 rounds to 128: another pool"},
        {kFastPools, 300, "other sizes: the general fast pool"},
        {kThreadedPool, 64, "thread-safe pool (locks a mutex)"},
    };
    std::printf("  %-4s %-38s %5s  %-16s %s\n", "arg", "what", "bytes", "block", "owner");
    for (const Request& r : requests) {
        void* block = QORSpecializedNew(r.bytes, r.pool, nullptr, 0);
        void* owner = QORSysGetAllocatorFromAddress(block);
        std::printf("  %-4d %-38s %5zu  %-16s %s\n",
                    static_cast<int>(reinterpret_cast<std::uintptr_t>(r.pool)), r.what, r.bytes,
                    Hex(block).c_str(), owner ? Hex(owner).c_str() : "null (a heap block)");
        // The first block of each fast pool lies in the pool's first chunk: its owner is the pool.
        if (r.pool == kFastPools && byDefault &&
            std::find(fastPools.begin(), fastPools.end(), owner) == fastPools.end())
            fastPools.push_back(owner);
        keptBlocks.push_back(block);
    }

    // A burst through argument 4 in the sizes above; a third of it stays until the end.
    const std::size_t burstSizes[] = {20, 24, 60, 121, 300, 1000};
    std::vector<void*> burst;
    for (int i = 0; i < sizes.fastBlocks; ++i)
        burst.push_back(QORSpecializedNew(burstSizes[i % 6], kFastPools, nullptr, 0));
    for (std::size_t i = 0; i < burst.size(); ++i)
        if (i % 3 == 0)
            keptBlocks.push_back(burst[i]);
        else
            QORSpecializedDelete(burst[i], nullptr);
    std::printf("\n  argument 4: %d blocks of 20 to 1000 bytes, two thirds released: %zu pools, "
                "%s in use\n",
                sizes.fastBlocks, fastPools.size(),
                FormatBytes(double([&] {
                    std::uint64_t bytes = 0;
                    for (void* pool : fastPools)
                        bytes += InUse(pool);
                    return bytes;
                }()))
                    .c_str());

    // Two threads share the thread-safe pool; each checks its blocks' contents before releasing
    // them and keeps its last 500 for the end.
    std::vector<void*> kept[2];
    int damaged[2] = {0, 0};
    const auto work = [&](int t) {
        std::vector<void*> window;
        for (int i = 0; i < sizes.threadedBlocks; ++i) {
            auto* block =
                static_cast<unsigned char*>(QORSpecializedNew(64, kThreadedPool, nullptr, 0));
            std::memset(block, t * 64 + i % 64, 64);
            window.push_back(block);
            if (window.size() > 500) {
                auto* old = static_cast<unsigned char*>(window.front());
                damaged[t] += old[0] != old[63];
                QORSpecializedDelete(old, nullptr);
                window.erase(window.begin());
            }
        }
        kept[t] = window;
    };
    std::thread other(work, 1);
    work(0);
    other.join();
    for (auto& blocks : kept)
        keptBlocks.insert(keptBlocks.end(), blocks.begin(), blocks.end());
    Expect(damaged[0] + damaged[1] == 0, "blocks of the thread-safe pool keep their contents");
    std::printf("  argument 32: two threads made %d allocate/release pairs each: %s, "
                "%s in use\n",
                sizes.threadedBlocks,
                damaged[0] + damaged[1] == 0 ? "every block intact" : "DAMAGED BLOCKS",
                FormatBytes(double(InUse(kThreadedPool))).c_str());
    Sample("fixed\npools");
}

// ---------------------------------------------------------------------------------------------

void Demo::PrivatePool() {
    Title("2. A private general pool: arenas, optimise and flush");
    privatePool = QORSysCreatePool(QORSysPoolFlag::TRACKED_FREE_LIST, 64 << 10, "documents");
    std::printf("  QORSysCreatePool(TRACKED_FREE_LIST, 64 KB, \"documents\") -> pool %s\n",
                Hex(privatePool).c_str());

    // An arena: a block with room reserved behind it, where related blocks are placed with pool
    // argument 8. Its blocks stay together and its owner is the arena, not the pool.
    for (int document = 1; document <= 2; ++document) {
        void* head = QORSpecializedNew(100, privatePool, kReservedRoom, 2048);
        void* arena = QORSysGetAllocatorFromAddress(head);
        int inside = 0;
        void* paragraph = nullptr;
        while ((paragraph = QORSpecializedNew(160, kBesideBlock, head, 0)) != nullptr &&
               QORSysGetAllocatorFromAddress(paragraph) == arena && inside < 100)
            ++inside;
        void* overflow = QORSysGetAllocatorFromAddress(paragraph);
        Expect(!byDefault || (inside > 0 && overflow != arena),
               "blocks placed beside an arena's block fill it");
        std::printf("  document %d: 100 bytes + 2 KB reserved (param 16, n 2048) at %s, arena %s\n"
                    "    argument 8 beside it: %d paragraphs of 160 bytes fit in the arena, the "
                    "next went to %s %s\n",
                    document, Hex(head).c_str(), Hex(arena).c_str(), inside,
                    overflow == privatePool ? "the pool's own chunk" : "chunk",
                    Hex(overflow).c_str());
    }

    std::vector<void*> records;
    for (int i = 0; i < sizes.records; ++i)
        records.push_back(QORSpecializedNew(16 + (i * 37) % 497, privatePool, nullptr, 0));
    std::printf("  %d records of 16 to 512 bytes: %u chunks, %s in use\n", sizes.records,
                Info(privatePool).chunkCount, FormatBytes(double(InUse(privatePool))).c_str());
    Sample("private pool\nfilled");

    // Release never merges neighbours; the merge is optimise's job.
    for (std::size_t i = 0; i < records.size(); ++i)
        if (i % 4 != 0) QORSpecializedDelete(records[i], nullptr);
    std::printf("  three records of every four released (release never merges free areas):\n");
    OneLineReport("before merging", privatePool);
    std::printf(
        "  (sz: bytes of chunks, fre: free, occ: in use, nbb: pieces, nbh: holes among them, "
        "nb: chunks)\n");
    QORSysOptimizePool(privatePool, QORSysPoolFlag::OPTIMIZE_MERGE);
    std::printf(
        "  optimise (OPTIMIZE_MERGE): neighbouring free areas joined, fewer holes (nbh):\n");
    OneLineReport("after merging", privatePool);

    for (std::size_t i = 0; i < records.size(); i += 4)
        QORSpecializedDelete(records[i], nullptr);
    const unsigned chunks = Info(privatePool).chunkCount;
    QORSysOptimizePool(privatePool, QORSysPoolFlag::OPTIMIZE_RELEASE_EMPTY);
    std::printf("  all records released, optimise (OPTIMIZE_RELEASE_EMPTY): %u chunks -> %u "
                "(empty further chunks go back)\n",
                chunks, Info(privatePool).chunkCount);
    QORSysFlushPool(privatePool, 0);
    std::printf("  flush (mode 0): every block gone at once, arenas included:\n");
    OneLineReport("after flush", privatePool);
    Sample("private pool\nflushed");
}

// ---------------------------------------------------------------------------------------------

void Demo::PagedPool() {
    Title("3. A paged pool: pages of 4 KB, each for one block size, blocks without a header");
    pagedPool = QORSysCreatePool(QORSysPoolFlag::PAGED, 0, "particles");
    std::printf("  QORSysCreatePool(PAGED, 0, \"particles\") -> pool %s\n\n",
                Hex(pagedPool).c_str());
    struct SizeClass {
        std::size_t request, blockBytes;
    };
    const SizeClass classes[] = {{1, 2},   {3, 4},     {5, 8},      {20, 24},
                                 {33, 40}, {200, 200}, {1000, 1000}};
    std::printf("  %-9s %-11s %-8s %s\n", "request", "size class", "blocks",
                "distance between two blocks in a row");
    std::vector<void*> blocks;
    for (const SizeClass& c : classes) {
        const std::size_t first = blocks.size();
        for (int i = 0; i < sizes.pagedBlocks; ++i)
            blocks.push_back(QORSpecializedNew(c.request, pagedPool, nullptr, 0));
        const auto distance =
            static_cast<char*>(blocks[first + 1]) - static_cast<char*>(blocks[first]);
        std::printf("  %-9zu %-11zu %-8d %td bytes\n", c.request, c.blockBytes, sizes.pagedBlocks,
                    distance);
        Expect(!byDefault || distance == std::ptrdiff_t(c.blockBytes),
               "paged blocks of one class lie back to back");
    }
    void* tooLarge = QORSpecializedNew(4048, pagedPool, nullptr, 0);
    std::printf("  4048 bytes: %s\n\n", tooLarge ? "served" : "refused (null): no page holds one");
    Expect(!byDefault || tooLarge == nullptr, "a paged pool refuses 4048 bytes");
    blocks.push_back(tooLarge); // released with the others (null is ignored)
    PagedRecord("filled", pagedPool);
    Sample("paged pool\nfilled");

    // No header to read: the PAGED flag tells the release to find the pool from the page. (With
    // pooling turned off by the environment, the blocks came from the heap with a header instead,
    // and go back without the flag.)
    const int release = QORSysGetPoolActivityStatus() ? QORSysPoolFlag::PAGED : 0;
    for (std::size_t i = 0; i < blocks.size(); i += 2)
        QORSpecializedDelete(blocks[i], nullptr, release);
    PagedRecord("half released", pagedPool);
    Sample("paged pool\nhalf released");
    for (std::size_t i = 1; i < blocks.size(); i += 2)
        QORSpecializedDelete(blocks[i], nullptr, release);
    PagedRecord("all released", pagedPool);
    std::printf("  (empty pages went back to their 512 KB regions as they emptied)\n");
}

// ---------------------------------------------------------------------------------------------

NodeRef Demo::Build(int depth, Progress& progress) {
    NodeRef left, right;
    if (depth > 1) {
        left = Build(depth - 1, progress);
        right = Build(depth - 1, progress);
    }
    if (buildFailed) return NodeRef();
    // Making room for the new node may send any older node to disk, the children included: they
    // are held by handle, so that is harmless.
    Node* node = new (swapFile, nullptr, 0) Node(swapFile, nextNumber, depth, left, right);
    if (node == nullptr) {
        buildFailed = true;
        return NodeRef();
    }
    ++nextNumber;
    progress.Update(nextNumber, [&] { return SwapDetail(); });
    return NodeRef(node);
}

// Checks the subtree against the way it was built; answers the number of intact nodes. The
// address from get() is used only until the next call that may touch the zone.
std::uint64_t Demo::Walk(NodeRef ref, std::uint32_t number, int depth, Progress& progress) {
    Node* node = ref.get();
    if (node == nullptr) return 0;
    const bool intact = node->Intact(number) && node->depth == depth &&
                        !node->left == (depth == 1) && !node->right == (depth == 1);
    const NodeRef left = node->left, right = node->right; // copies: `node` may leave memory below
    progress.Update(++walked, [&] { return SwapDetail(); });
    if (depth == 1) return intact;
    return intact + Walk(left, number - 1 - SubtreeSize(depth - 1), depth - 1, progress) +
           Walk(right, number - 1, depth - 1, progress);
}

void Demo::SwapFile() {
    const std::uint32_t nodes = SubtreeSize(sizes.treeDepth);
    const std::size_t nodeBlock = sizeof(Node) + 16; // with its block header
    const double graphBytes = double(nodes) * double(nodeBlock);
    char title[128];
    std::snprintf(title, sizeof title, "4. A swap file: an object graph %.0fx larger than its zone",
                  graphBytes / double(sizes.zoneBytes));
    Title(title);

    swapFile = new QORSysSwapFile;
    // The file's capacity bounds both the pages on disk (seven nodes fill 94% of an 8 KB page)
    // and the ZoneSize total of every object ever allocated through it: the graph plus a quarter.
    const std::size_t capacity = std::size_t(graphBytes * 1.25) + (1 << 20);
    if (swapFile->Initialize(0, sizes.zoneBytes, sizes.zoneBytes / 4, capacity) != 0) {
        Expect(false, "the swap file gets a zone");
        delete swapFile;
        swapFile = nullptr;
        return;
    }
    swapZone = SwapFigures(*swapFile).zonePool;
    std::printf("  zone: %s of memory; file: %s (8 KB pages, up to %s)\n",
                FormatBytes(double(sizes.zoneBytes)).c_str(), SwapPath(*swapFile).c_str(),
                FormatBytes(double(capacity)).c_str());
    std::printf("  graph: a binary tree of %u nodes of %zu bytes (%s); each node holds its two\n"
                "  children through smart handles, which stay valid while a node is on disk\n",
                nodes, nodeBlock, FormatBytes(graphBytes).c_str());

    // The long phase: the zone fills, and every new node sends the oldest ones to disk.
    auto start = Clock::now();
    NodeRef root;
    {
        Progress progress("building", nodes);
        root = Build(sizes.treeDepth, progress);
        progress.Finish();
    }
    Expect(!buildFailed, "the swap file takes every node of the tree");
    std::printf("  built in %.1f s: %llu nodes went to disk as the zone filled, oldest first\n",
                Seconds(start), static_cast<unsigned long long>(gSwappedOut));
    Sample("swap graph\nbuilt");

    // Back from the root: each node read from disk brings the whole 8 KB page it shares back.
    start = Clock::now();
    const std::uint64_t inBefore = gSwappedIn;
    std::uint64_t intact = 0;
    {
        Progress progress("walking", nodes);
        intact = Walk(root, nodes - 1, sizes.treeDepth, progress);
        progress.Finish();
    }
    std::printf(
        "  walked in %.1f s: %llu of %u nodes intact and linked as built; %llu were brought "
        "back\n",
        Seconds(start), static_cast<unsigned long long>(intact), nodes,
        static_cast<unsigned long long>(gSwappedIn - inBefore));
    Expect(intact == nodes, "every node comes back from disk intact");
    Sample("graph\nwalked");

    // Random lookups: the nodes near the root are used on every path and stay in the zone; the
    // deeper a level, the more often its node has to be brought back.
    start = Clock::now();
    std::vector<std::uint64_t> visits(sizes.treeDepth + 1), broughtBack(sizes.treeDepth + 1);
    std::uint32_t seed = 12345;
    int leaves = 0;
    {
        Progress progress("lookups", sizes.lookups);
        for (int lookup = 1; lookup <= sizes.lookups; ++lookup) {
            NodeRef at = root;
            for (int level = 1; level <= sizes.treeDepth; ++level) {
                const std::uint64_t before = gSwappedIn;
                Node* node = at.get();
                if (node == nullptr) break;
                node->IsUsed(); // the newest now: the last candidate for leaving memory
                ++visits[level];
                broughtBack[level] += gSwappedIn != before;
                if (node->depth == 1) {
                    ++leaves;
                    break;
                }
                seed = seed * 1103515245u + 12345u;
                at = (seed >> 16) & 1 ? node->right : node->left; // takes its reference first
            }
            progress.Update(lookup, [&] { return SwapDetail(); });
        }
        progress.Finish();
    }
    std::printf("  %d random root-to-leaf lookups in %.1f s; share of the visits that had to bring "
                "the node\n  back from the swap file, by level from the root:\n  level ",
                sizes.lookups, Seconds(start));
    for (int level = 1; level <= sizes.treeDepth; ++level)
        std::printf("%4d", level);
    std::printf("\n  back  ");
    for (int level = 1; level <= sizes.treeDepth; ++level)
        std::printf("%3d%%",
                    int(broughtBack[level] * 100 / std::max<std::uint64_t>(visits[level], 1)));
    std::printf("\n");
    Expect(leaves == sizes.lookups, "every lookup reaches a leaf");
    Sample("random\nlookups");

    // The dump lists the objects in the zone, the next to leave first.
    char* listing = nullptr;
    std::size_t listingBytes = 0;
    FILE* stream = open_memstream(&listing, &listingBytes);
    const std::size_t listed = stream ? swapFile->ListObjects(stream, "Zone", 1) : 0;
    if (stream != nullptr) std::fclose(stream);
    std::vector<std::string> lines;
    for (char* line = listing ? std::strtok(listing, "\n") : nullptr; line != nullptr;
         line = std::strtok(nullptr, "\n"))
        lines.emplace_back(line);
    std::free(listing);
    std::printf("  ListObjects(stream, \"Zone\", detailed) listed %zu objects in memory, "
                "oldest first:\n",
                listed);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (i < 4 || i + 3 >= lines.size())
            std::printf("    %s\n", lines[i].c_str());
        else if (i == 4)
            std::printf("    ... %zu more object lines ...\n", lines.size() - 7);
    }
    const QORSysSwapStatistics figures = SwapFigures(*swapFile);
    std::printf("  GetStatistics: %llu objects, %s charged to a zone of %s; %llu file pages "
                "booked, %llu written, %llu page buffers in memory; the file holds %s\n",
                static_cast<unsigned long long>(figures.objectsInZone),
                FormatBytes(double(figures.bytesInZone)).c_str(),
                FormatBytes(double(figures.zoneCapacity)).c_str(),
                static_cast<unsigned long long>(figures.pagesBooked),
                static_cast<unsigned long long>(figures.pagesWritten),
                static_cast<unsigned long long>(figures.buffersHeld),
                FormatBytes(double(figures.fileBytes)).c_str());
    Expect(stream == nullptr || figures.objectsInZone == listed,
           "the statistics count the objects that the listing shows");

    // Tear-down without recursion: a node released from its parent's destructor is brought back
    // while every ancestor still holds its zone memory, so a recursive release deeper than the
    // zone stops there. Each node gives its children's handles up before it goes.
    start = Clock::now();
    const std::uint64_t destroyedBefore = gDestroyed;
    std::vector<NodeRef> pending{root};
    root = NodeRef();
    while (!pending.empty()) {
        NodeRef ref = pending.back();
        pending.pop_back();
        Node* node = ref.get();
        if (node == nullptr) continue;
        if (node->left) pending.push_back(node->left);
        if (node->right) pending.push_back(node->right);
        node->left = NodeRef();
        node->right = NodeRef();
    } // each `ref` was the last handle of its node: the node is destroyed with it
    std::printf("  graph released through its handles in %.1f s: %llu nodes destroyed (those on "
                "disk came back first)\n",
                Seconds(start), static_cast<unsigned long long>(gDestroyed - destroyedBefore));
    Expect(gDestroyed - destroyedBefore == nodes, "the last handle of each node destroys it");
}

// ---------------------------------------------------------------------------------------------

void Demo::Reports() {
    Title("5. Pool reports (QORSysGetPoolInfo, one-line form)");
    OneLineReport("permanent (1)", kPermanentPool);
    for (void* pool : fastPools)
        OneLineReport("fast (4)", pool);
    OneLineReport("thread-safe (32)", kThreadedPool);
    OneLineReport("documents", privatePool);
    if (swapZone != nullptr) OneLineReport("swap zone", swapZone);
    PagedRecord("particles", pagedPool);
}

void Demo::CleanUpAndChart(const std::string& chartPath) {
    for (void* block : keptBlocks)
        QORSpecializedDelete(block, nullptr);
    QORSysFlushPool(privatePool, QORSysPoolFlag::FLUSH_DESTROY);
    QORSysFlushPool(pagedPool, QORSysPoolFlag::FLUSH_DESTROY);
    privatePool = pagedPool = nullptr;
    std::string swapPath;
    if (swapFile != nullptr) {
        swapPath = SwapPath(*swapFile);
        delete swapFile; // closes the file and empties the zone; both are left to their owner
        QORSysFlushPool(swapZone, QORSysPoolFlag::FLUSH_DESTROY);
        swapFile = nullptr;
        swapZone = nullptr;
        if (!swapPath.empty()) std::remove(swapPath.c_str());
    }
    Sample("cleaned\nup");

    Title("6. Bytes in use per pool after each phase");
    const char* const columns[] = {"perm.", "fast", "32", "private", "paged", "zone", "disk"};
    std::printf("  %-26s", "phase");
    for (const char* column : columns)
        std::printf("%9s", column);
    std::printf("\n");
    for (const auto& [phase, bytes] : samples) {
        std::string name = phase;
        std::replace(name.begin(), name.end(), '\n', ' ');
        std::printf("  %-26s", name.c_str());
        for (double value : bytes)
            std::printf("%9s", value > 0 ? FormatBytes(value).c_str() : "-");
        std::printf("\n");
    }

    std::string path = chartPath;
    if (path.empty()) { // beside the executable, else in the current directory
        char exe[4096] = {};
        const ssize_t length = readlink("/proc/self/exe", exe, sizeof exe - 1);
        const std::string self(exe, length > 0 ? std::size_t(length) : 0);
        path = self.substr(0, self.rfind('/') + 1) + "qor_demo_chart.svg";
    }
    bool written = chart.WriteSvg(path);
    if (!written && chartPath.empty()) written = chart.WriteSvg(path = "qor_demo_chart.svg");
    Expect(written, "the chart is written");
    std::printf("\n  chart: %s\n", path.c_str());
}

} // namespace

int main(int argc, char** argv) {
    const Sizes* sizes = &kFull;
    std::string chartPath;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--quick") == 0) {
            sizes = &kQuick;
        } else if (std::strcmp(argv[i], "--chart") == 0 && i + 1 < argc) {
            chartPath = argv[++i];
        } else {
            std::fprintf(stderr, "usage: %s [--quick] [--chart FILE]\n", argv[0]);
            return 2;
        }
    }
    const auto start = Clock::now();
    std::printf("QORSysAllocator demo: pools behind QORSpecializedNew, a paged pool and a swap "
                "file%s\n",
                sizes == &kQuick ? " (quick run)" : "");

    if (const char* variable = ConfigurationVariable())
        std::printf("note: %s is set, so the library does not run in its default configuration:\n"
                    "block owners and some figures below differ from a default run.\n",
                    variable);
    Demo demo(*sizes);
    demo.FixedPools();
    demo.PrivatePool();
    demo.PagedPool();
    demo.SwapFile();
    demo.Reports();
    demo.CleanUpAndChart(chartPath);
    std::printf("  demo finished in %.1f s%s\n", Seconds(start),
                demo.failures ? ", WITH FAILED CHECKS (see the standard error)" : "");
    return demo.failures == 0 ? 0 : 1;
}
