// The list of initialised swap files, for a sampler that links nothing of the library
// (QORSysGetSwapActivity): a fixed table of slots, zero before any constructor runs.
// Invariant: a slot's file is a live, initialised QORSysSwapFile whose page table is the slot's
// zone; a file is in one slot at most. Swap files of several threads claim and free slots with
// atomic operations; a file's own fields are read as they are (one thread at a time per file).
#include "SwapFileInternals.h"

namespace qor {

namespace {

constexpr std::size_t kListedSwapFiles = 64;

struct ListedFile {
    QORSysSwapFile* file;
    const void* zone; // the file's page table, shared by files assigned from one another
};

ListedFile gListed[kListedSwapFiles];

QORSysSwapFile* FileIn(const ListedFile& slot) {
    return __atomic_load_n(&slot.file, __ATOMIC_ACQUIRE);
}

ListedFile* SlotOf(const QORSysSwapFile* file) {
    for (ListedFile& slot : gListed)
        if (FileIn(slot) == file) return &slot;
    return nullptr;
}

// A free slot now holding `file`; null when every slot is taken.
ListedFile* ClaimSlot(QORSysSwapFile* file) {
    for (ListedFile& slot : gListed) {
        QORSysSwapFile* empty = nullptr;
        if (__atomic_compare_exchange_n(&slot.file, &empty, file, false, __ATOMIC_ACQ_REL,
                                        __ATOMIC_RELAXED))
            return &slot;
    }
    return nullptr;
}

void Free(ListedFile& slot) {
    __atomic_store_n(&slot.zone, nullptr, __ATOMIC_RELAXED);
    __atomic_store_n(&slot.file, nullptr, __ATOMIC_RELEASE);
}

} // namespace

void SwapFileInternals::List(QORSysSwapFile& file) {
    ListedFile* slot = SlotOf(&file);
    if (slot == nullptr) slot = ClaimSlot(&file);
    if (slot != nullptr) __atomic_store_n(&slot->zone, file.pageIndex, __ATOMIC_RELAXED);
}

void SwapFileInternals::Unlist(const QORSysSwapFile& file, bool withZone) {
    for (ListedFile& slot : gListed) {
        const bool sharesZone = withZone && file.pageIndex != nullptr &&
                                __atomic_load_n(&slot.zone, __ATOMIC_RELAXED) == file.pageIndex;
        if (FileIn(slot) == &file || sharesZone) Free(slot);
    }
}

QORSysSwapActivity SwapFileInternals::Activity(QORSysSwapFile& file) {
    const Moves& moves = MovesOf(file);
    return {&file,         file.pool,      file.zoneCapacity, moves.linked,
            file.zoneUsed, moves.swapOuts, moves.swapIns};
}

} // namespace qor

// Cost: one pass over the 64 slots and, per listed file, a copy of its counters.
long QORSysGetSwapActivity(QORSysSwapActivity* out, std::size_t capacity) {
    std::size_t count = 0;
    for (const qor::ListedFile& slot : qor::gListed) {
        QORSysSwapFile* file = qor::FileIn(slot);
        if (file == nullptr) continue;
        if (out != nullptr && count < capacity)
            out[count] = qor::SwapFileInternals::Activity(*file);
        ++count;
    }
    return static_cast<long>(count);
}
