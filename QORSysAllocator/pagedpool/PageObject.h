// A 4 KB page of a paged pool and its descriptor, the PageObject in the page's last 48 bytes.
// From any block: page start = block & ~0xFFF, descriptor at page start + 4048.
// Invariants of a page in use: reserved <= carved <= capacity; the released chain holds
// freeCount blocks of the page (fewer once a damaged chain was dropped); the page is empty when
// carved == freeCount + reserved.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qor {

class PagedPool;

constexpr std::size_t kPageBytes = 0x1000;
constexpr std::uintptr_t kPageMask = ~std::uintptr_t{kPageBytes - 1};
constexpr std::size_t kPageObjectOffset = 0xFD0; // 4048
constexpr std::size_t kRegionDeltaOffset = 4046; // page 0: the region's delta, just before
constexpr std::uint16_t kPageInUse = 129;        // nextFreePage of a page in use
constexpr std::uint16_t kReleasedLinkMarker = 0xbeef;
constexpr std::uint32_t kReleasedBlockMarker = 0xabaddead;

struct PageObject {
    PagedPool* owner; // left in place when the page goes back to its region
    PageObject* next; // per-size page list of the owning pool
    PageObject* prev;
    void* freeBlocks;        // head of the chain of released blocks
    std::uint16_t index;     // page number in its region, 0..127
    std::uint16_t blockSize; // 0 while the page is free
    std::uint16_t nextFreePage;
    std::uint16_t freeCount;
    std::uint16_t carved; // positions taken from the untouched part, reserved ones included
    // Not part of the page's published fields: the page capacity, computed once when the pool
    // takes the page, so that carving a block costs no division. Lives in the padding.
    std::uint16_t capacity;

    char* PageStart() { return reinterpret_cast<char*>(this) - kPageObjectOffset; }
    const char* PageStart() const {
        return reinterpret_cast<const char*>(this) - kPageObjectOffset;
    }
};

static_assert(sizeof(PageObject) == 48 && offsetof(PageObject, index) == 32 &&
                  offsetof(PageObject, carved) == 40,
              "the page descriptor fills the last 48 bytes of its page");
static_assert(kPageObjectOffset + sizeof(PageObject) == kPageBytes);

inline PageObject* PageObjectOf(const void* block) {
    return reinterpret_cast<PageObject*>((reinterpret_cast<std::uintptr_t>(block) & kPageMask) +
                                         kPageObjectOffset);
}

// Block positions of a page for its block size (0 for a free page).
int PageCapacity(const PageObject& page);

// Positions of page 0 covered by the region header (and, with a delta, the bytes before the
// region); 0 on every other page.
int ReservedCount(const PageObject& page);

inline bool IsPageEmpty(const PageObject& page) {
    return page.carved == page.freeCount + ReservedCount(page);
}

// Next untouched position, or null when the page is carved out. Requires: capacity set.
inline void* CarveBlock(PageObject& page) {
    if (page.carved >= page.capacity) return nullptr;
    return page.PageStart() + std::size_t{page.carved++} * page.blockSize;
}

// Chains a released block. False (nothing changed) for a null, misaligned or off-boundary
// pointer or one outside the carved positions; a pointer outside the page is fatal.
bool PutBlock(PageObject& page, void* block);

// Pops the last released block, or null. A chain whose head or link is damaged is dropped.
void* TakeFreeBlock(PageObject& page);

} // namespace qor
