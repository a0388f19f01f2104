// A tour of the library as an application uses it: the pool arguments of QORSpecializedNew,
// private pools, blocks placed next to each other, maintenance and the statistics.
#include <QORSysAllocator.h>
#include <QORSysSwapFile.h>

#include <cstdio>
#include <cstring>
#include <vector>

namespace {

void* const kHeap = nullptr;
void* const kPermanentPool = reinterpret_cast<void*>(1);
void* const kFastPools = reinterpret_cast<void*>(4);
void* const kBesideBlock = reinterpret_cast<void*>(8);
void* const kThreadedPool = reinterpret_cast<void*>(32);
void* const kReservedRoom = reinterpret_cast<void*>(16);

void Show(const char* what, void* block) {
    std::printf("%-44s %p (chunk %p)\n", what, block, QORSysGetAllocatorFromAddress(block));
}

// A swappable object and the typed smart handle the application keeps instead of its address.
struct Note : QORSysSwappable {
    Note(QORSysSwapFile* file, int number) : QORSysSwappable(file, 0), number(number) {
        std::snprintf(text, sizeof(text), "note %d, kept on disk when the zone is full", number);
    }
    ~Note() override = default;
    int number;
    char text[1000] = {};
};

struct NoteRef : QORSysSwappable_hdl {
    using QORSysSwappable_hdl::QORSysSwappable_hdl;
    Note* operator->() { return static_cast<Note*>(GetObject()); } // brings it back if needed
};

void PagedPoolTour() {
    void* paged = QORSysCreatePool(QORSysPoolFlag::PAGED, 0, "demo paged");
    std::vector<void*> blocks;
    for (int i = 0; i < 1000; ++i)
        blocks.push_back(QORSpecializedNew(8 + i % 64, paged, nullptr, 0));
    QORPoolInfo info{};
    QORSysGetPoolInfo(paged, nullptr, &info, 0);
    std::printf("\npaged pool: %llu bytes of pages, %llu blocks, %llu bytes in use\n",
                static_cast<unsigned long long>(info.totalSize),
                static_cast<unsigned long long>(info.blockTotal),
                static_cast<unsigned long long>(info.maxChunkFree));
    for (void* block : blocks)
        QORSpecializedDelete(block, nullptr, QORSysPoolFlag::PAGED);
    std::printf("after release: flush-and-destroy answers %d\n",
                QORSysFlushPool(paged, QORSysPoolFlag::FLUSH_DESTROY));
}

void SwapFileTour() {
    QORSysSwapFile file;
    // A 64 KB zone for 200 notes of about 1 KB: most of them live on disk at any moment.
    file.Initialize(0, 64 << 10, 32 << 10, 16 << 20);
    std::vector<NoteRef> notes;
    for (int i = 0; i < 200; ++i)
        notes.emplace_back(new (&file, nullptr, 0) Note(&file, i));
    int intact = 0;
    for (int i = 0; i < 200; ++i) {
        char expected[1000];
        std::snprintf(expected, sizeof(expected), "note %d, kept on disk when the zone is full", i);
        intact += notes[i]->number == i && std::strcmp(notes[i]->text, expected) == 0;
    }
    std::printf("\nswap file: %d of 200 notes read back intact through their handles\n", intact);
}

} // namespace

int main() {
    std::printf("QORSysAllocator demo (marker %d, pooling %s)\n\n",
                ORVANTIS_ZULX_INTERNAL_QORSysAllocator(),
                QORSysGetPoolActivityStatus() ? "active" : "inactive");

    // The fixed pools: created on first use, chosen by the pool argument.
    void* heapBlock = QORSpecializedNew(100, kHeap, nullptr, 0);
    void* permanent = QORSpecializedNew(200, kPermanentPool, nullptr, 0);
    void* small = QORSpecializedNew(20, kFastPools, nullptr, 0); // single-size pool for 24
    void* threaded = QORSpecializedNew(64, kThreadedPool, nullptr, 0);
    Show("heap block of 100 bytes", heapBlock);
    Show("permanent pool, 200 bytes", permanent);
    Show("fast pool for 24-byte blocks, 20 bytes", small);
    Show("thread-safe pool, 64 bytes", threaded);

    // A private tracked pool, with a block that reserves room for neighbours (an arena).
    void* pool = QORSysCreatePool(QORSysPoolFlag::TRACKED_FREE_LIST, 64 * 1024, "demo");
    void* owner = QORSpecializedNew(100, pool, kReservedRoom, 1000);
    void* neighbour = QORSpecializedNew(48, kBesideBlock, owner, 0);
    std::strcpy(static_cast<char*>(owner), "arena owner");
    std::strcpy(static_cast<char*>(neighbour), "placed beside it");
    Show("private pool block with 1000 bytes reserved", owner);
    Show("block placed in its reserved room", neighbour);

    void* blocks[64];
    for (int i = 0; i < 64; ++i)
        blocks[i] = QORSpecializedNew(16 + 24 * i, pool, nullptr, 0);
    for (int i = 0; i < 64; i += 2)
        QORSpecializedDelete(blocks[i], nullptr);

    std::size_t freeBytes = 0, largestChunkFree = 0;
    QORSysPoolGetFreeSpace(pool, &freeBytes, &largestChunkFree);
    std::printf("\nprivate pool: %zu bytes free, %zu in its emptiest chunk\n", freeBytes,
                largestChunkFree);
    QORSysOptimizePool(pool,
                       QORSysPoolFlag::OPTIMIZE_MERGE | QORSysPoolFlag::OPTIMIZE_RELEASE_EMPTY);
    QORSysGetPoolInfo(pool, stdout, nullptr, QORSysPoolFlag::REPORT_CHUNK_LIST);
    QORSysGetPoolInfo(pool, stdout, nullptr, QORSysPoolFlag::REPORT_ONE_LINE);

    for (int i = 1; i < 64; i += 2)
        QORSpecializedDelete(blocks[i], nullptr);
    QORSpecializedDelete(neighbour, nullptr);
    QORSpecializedDelete(owner, nullptr);
    // The arena's carrying block stays in its chunk until the pool is flushed, so the pool is not
    // empty: destroy-if-empty refuses, a plain destroy does it.
    std::printf("\ndestroy-if-empty on the private pool: %d\n",
                QORSysFlushPool(pool, QORSysPoolFlag::FLUSH_DESTROY_IF_EMPTY));
    std::printf("destroy on the private pool: %d\n",
                QORSysFlushPool(pool, QORSysPoolFlag::FLUSH_DESTROY));

    QORSpecializedDelete(heapBlock, nullptr);
    QORSpecializedDelete(permanent, nullptr);
    QORSpecializedDelete(small, nullptr);
    QORSpecializedDelete(threaded, nullptr);
    PagedPoolTour();
    SwapFileTour();

    std::printf("\nthe pools still registered:\n");
    QORSysGetPoolInfo(nullptr, stdout, nullptr, 0);
    return 0;
}
