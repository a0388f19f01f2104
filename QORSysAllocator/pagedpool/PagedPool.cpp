// Lifecycle of a paged pool: construction with its region list, flush and destruction, report.
#include "PagedPool.h"

#include "../core/Configuration.h"
#include "../core/Hooks.h"
#include "../core/LiveObjects.h"
#include "../platform/Platform.h"

#include <new>

namespace qor {

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof" // single inheritance: offsets are fixed
static_assert(sizeof(PagedPool) == PagedPool::kStructBytes && offsetof(PagedPool, minSize) == 80 &&
                  offsetof(PagedPool, step) == 84,
              "an 88-byte pool object");
#pragma GCC diagnostic pop

namespace {

constexpr std::uint32_t kPrivateListFlags = QORSysPoolFlag::LOCKED | QORSysPoolFlag::FLUSHABLE;
constexpr std::uint32_t kPrivateListMode = 2;

RegionList* ChooseRegionList(PagedPool* pool, std::uint32_t flags) {
    const bool releaseEmpty = (flags & QORSysPoolFlag::VOLATILE) != 0;
    if (flags & kPrivateListFlags)
        return NewRegionList(pool, kPrivateListMode |
                                       (releaseEmpty ? RegionList::kReleaseEmptyRegions : 0));
    return releaseEmpty ? SharedRegionListA() : SharedRegionListB();
}

} // namespace

PagedPool::PagedPool(std::uint32_t flags, const char* name) {
    chunk = ChunkFields{nullptr, 0, 0, nullptr, this, 0, 0, 0, flags};
    minSize = maxSize = step = 0;
    SetRegions(ChooseRegionList(this, flags));
    Register(); // complete by now: a report of every pool may read it from here on
    config::ConfigureIfPending();
    checks::NoteLiveIfChecked(this, checks::LiveKind::PagedPool, name);
    if (hooks::On())
        hooks::QORSignalPoolCreation(this, 0, static_cast<int>(flags), name, nullptr, 0);
}

// Requires: the pool is empty by its counters (Flush checked it).
PagedPool::~PagedPool() {
    Unregister();
    {
        PoolLockGuard guard(*this);
        if (Table() != nullptr) {
            ReleaseMainListPages();
            platform::Free(Table());
            SetTable(nullptr);
        }
        // A private list serves no other pool: its regions go back with the pool (with the lock
        // flag alone they are all free by now).
        if (RegionList* list = Regions(); list != nullptr && (chunk.flags & kPrivateListFlags)) {
            DestroyRegionList(list);
            DeleteRegionList(list);
            SetRegions(nullptr);
        }
        checks::NoteGoneIfChecked(this, 0);
        BytesInUse() = 0;
        BlocksInUse() = 0;
    }
}

void PagedPool::ReleaseMainListPages() {
    AccessorEntry* table = Table();
    for (int i = 0, count = AccessorEntryCount(*this); i < count; ++i) {
        AccessorEntry& entry = table[i];
        if (entry.size == 0 || entry.firstPage == nullptr) continue;
        if (!(chunk.flags & QORSysPoolFlag::FLUSHABLE))
            AbortWithMessage("Delete pool with existing allocation");
        while (PageObject* page = entry.firstPage) {
            UnlinkPage(page);
            if (entry.firstPage == page) entry.firstPage = page->next; // a damaged head link
            Regions()->ReleasePage(page);
        }
    }
}

int PagedPool::IsEmpty() { return HoldsNoBlock() ? -1 : 0; }

void* PagedPool::Reallocate(std::size_t, void*, void*) { return nullptr; }

int PagedPool::Flush(int mode) {
    bool empty;
    {
        PoolLockGuard guard(*this);
        if (hooks::On()) hooks::QORSignalPoolFlush(this, mode);
        empty = HoldsNoBlock();
    }
    if (!empty) return -1;
    if (mode & QORSysPoolFlag::FLUSH_DESTROY) {
        this->~PagedPool();
        FreeIfNotNull(this);
    }
    return 0;
}

int PagedPool::Optimize(int) {
    PoolLockGuard guard(*this);
    return 0;
}

std::size_t PagedPool::GetStructSize() { return kStructBytes; }
int PagedPool::CanAttachSwapFile(QORSysSwapFile*) { return 0; }

void PagedPool::Report(FILE*, QORPoolInfo* record, int) {
    PoolLockGuard guard(*this);
    if (record == nullptr) return;
    const std::uint64_t pageBytes = PageBytes();
    *record = QORPoolInfo{};
    record->flagBits = chunk.flags & 0x3E0;
    record->totalSize = pageBytes;
    record->freeSize = FreeBytes();
    record->chunkCount = static_cast<std::uint32_t>(IsEmpty());
    record->maxChunkFree = BytesInUse();
    record->occupation =
        pageBytes == 0 ? 0
                       : static_cast<std::int32_t>(static_cast<double>(pageBytes - FreeBytes()) /
                                                   static_cast<double>(pageBytes) * 100.0);
    record->holeTotal = chunk.freeAreaCount;
    record->blockTotal = BlocksInUse();
}

PagedPool* CreatePagedPool(std::uint32_t flags, const char* name) {
    void* memory = AllocateChunkMemory(PagedPool::kStructBytes, 2);
    return memory == nullptr ? nullptr : new (memory) PagedPool(flags, name);
}

} // namespace qor
