// A 4 KB page of a paged pool and its descriptor, the PageObject in the page's last 48 bytes.
// From any block: page start = block & ~0xFFF, descriptor at page start + 4048.
// Invariants of a page in use: reserved <= carved <= capacity; the released chain holds
// freeCount blocks of the page (fewer once a damaged chain was dropped); the page is empty when
// carved == freeCount + reserved.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

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
    // Not part of the page's published fields, and set by the pool when it takes the page, so
    // that neither carving nor checking a released position costs a division. They live in the
    // padding: the page capacity, and ceil(2^32 / blockSize) (see ReciprocalOf).
    std::uint16_t capacity;
    std::uint32_t reciprocal;

    char* PageStart() { return reinterpret_cast<char*>(this) - kPageObjectOffset; }
    const char* PageStart() const {
        return reinterpret_cast<const char*>(this) - kPageObjectOffset;
    }
};

static_assert(sizeof(PageObject) == 48 && offsetof(PageObject, index) == 32 &&
                  offsetof(PageObject, carved) == 40 && offsetof(PageObject, reciprocal) == 44,
              "the page descriptor fills the last 48 bytes of its page");
static_assert(kPageObjectOffset + sizeof(PageObject) == kPageBytes);

inline PageObject* PageObjectOf(const void* block) {
    return reinterpret_cast<PageObject*>((reinterpret_cast<std::uintptr_t>(block) & kPageMask) +
                                         kPageObjectOffset);
}

// Block positions of a page for its block size (0 for a free page).
int PageCapacity(const PageObject& page);

// ceil(2^32 / blockSize): with it, for an offset below 8192 and a block size from 2 to 4095,
// offset * reciprocal has the quotient offset / blockSize in its high 32 bits, and its low 32 bits
// are below the reciprocal exactly when the offset is a multiple of the block size.
constexpr std::uint32_t ReciprocalOf(unsigned blockSize) {
    return static_cast<std::uint32_t>(0xFFFFFFFFu / blockSize + 1);
}

// Sets the capacity and the reciprocal of a page the pool has just taken.
void SetPageGeometry(PageObject& page);

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

// Bytes at the start of page 0 that no block may overlap: the region header and, with a delta,
// what lies before the region. A position k of page 0 is usable when k * blockSize >= this.
inline unsigned ReservedBytes(const PageObject& page0) {
    std::uint16_t delta;
    std::memcpy(&delta, page0.PageStart() + kRegionDeltaOffset, sizeof(delta));
    return delta + 32u;
}

// ReservedCount of page 0, by the reciprocal. Requires: geometry set.
inline unsigned ReservedPositions(const PageObject& page0) {
    const std::uint64_t bytes = ReservedBytes(page0) + page0.blockSize - 1; // below 8192
    return static_cast<unsigned>(bytes * page0.reciprocal >> 32);
}

// 1 when `offset` (from the page start) is a position the page has handed out: on a block
// boundary, below the carved positions, above page 0's region header; else 0. Requires: geometry
// set. Arithmetic, without a branch on the answer (a chain link is checked on every take, and
// whether the chain goes on is data): two multiplications and three compares.
inline std::uint32_t CarvedBit(const PageObject& page, std::uint32_t offset) {
    const std::uint64_t product = std::uint64_t{offset} * page.reciprocal;
    const std::uint32_t start = page.index == 0 ? ReservedBytes(page) : 0;
    return std::uint32_t{offset < std::uint32_t{page.carved} * page.blockSize} &
           std::uint32_t{static_cast<std::uint32_t>(product) < page.reciprocal} &
           std::uint32_t{offset >= start};
}

// CarvedBit with early exits, for a released pointer, which is almost always valid: fewer
// instructions where the answer is predictable.
inline bool IsCarvedOffset(const PageObject& page, std::uint32_t offset) {
    if (offset >= std::uint32_t{page.carved} * page.blockSize) return false;
    const std::uint64_t product = std::uint64_t{offset} * page.reciprocal;
    if (static_cast<std::uint32_t>(product) >= page.reciprocal) return false; // not a boundary
    return page.index != 0 || offset >= ReservedBytes(page);
}

// IsCarvedOffset for a release looked at outside the pool's lock, where `carved` may move: bounded
// by the page's capacity, which stays fixed while the page serves its class.
inline bool IsPositionOffset(const PageObject& page, std::uint32_t offset) {
    if (offset >= std::uint32_t{page.capacity} * page.blockSize) return false;
    const std::uint64_t product = std::uint64_t{offset} * page.reciprocal;
    if (static_cast<std::uint32_t>(product) >= page.reciprocal) return false;
    return page.index != 0 || offset >= ReservedBytes(page);
}

// The word a released block starts with: its link (the distance to the next released block of
// the page, 0 ends) and, by block size, the markers 0xbeef at +2 and 0xabaddead at +4.
constexpr std::uint32_t kReleasedLinkWord = std::uint32_t{kReleasedLinkMarker} << 16;
constexpr std::uint64_t kReleasedMarkers =
    std::uint64_t{kReleasedBlockMarker} << 32 | kReleasedLinkWord;

// Chains a released block. False (nothing changed) for a null, misaligned or off-boundary
// pointer or one outside the carved positions; a pointer outside the page is fatal.
bool PutBlock(PageObject& page, void* block);

// Chains a block at `offset` from the start of `page`; false (nothing changed) when that is not a
// handed-out position. Cost: about 20 instructions, no division.
inline bool PushReleased(PageObject& page, void* block, std::uint32_t offset) {
    const auto address = reinterpret_cast<std::uintptr_t>(block);
    const unsigned s = page.blockSize;
    if (!IsCarvedOffset(page, offset)) return false;
    // A carved position is aligned for its size: the alignment test is settled too.
    const std::uint16_t head =
        static_cast<std::uint16_t>(reinterpret_cast<std::uintptr_t>(page.freeBlocks));
    const std::uint16_t link =
        page.freeBlocks == nullptr
            ? 0
            : static_cast<std::uint16_t>(head - static_cast<std::uint16_t>(address));
    if (s >= 8) {
        const std::uint64_t word = link | kReleasedMarkers;
        std::memcpy(block, &word, 8);
    } else {
        const std::uint32_t word = link | (s >= 4 ? kReleasedLinkWord : 0u);
        std::memcpy(block, &word, s >= 4 ? 4 : 2);
    }
    ++page.freeCount;
    page.freeBlocks = block;
    return true;
}

// Pops the last released block, or null. A chain whose head or link is damaged is dropped.
// Cost: one load of the block's first word, its markers test and the link's position check.
inline void* TakeFreeBlock(PageObject& page) {
    char* const head = static_cast<char*>(page.freeBlocks);
    if (page.freeCount == 0 || head == nullptr) return nullptr;
    const unsigned s = page.blockSize;
    std::uint64_t word;
    std::memcpy(&word, head, sizeof(word)); // the page object follows the last block: in the page
    const std::uintptr_t address = reinterpret_cast<std::uintptr_t>(head);
    const bool damaged = s >= 8   ? (word >> 16) != (kReleasedMarkers >> 16) || (address & 3)
                         : s >= 4 ? (word & 0xFFFF0000u) != kReleasedLinkWord || (address & 3)
                                  : (address & 1) != 0;
    if (damaged) {
        page.freeBlocks = nullptr;
        return nullptr;
    }
    // A link that leads off the page's handed-out positions ends the chain here: the blocks
    // behind it are never handed out again (freeCount still counts them, so the page can empty).
    // Whether the chain goes on is data, so the result is a mask, not a branch (which would be
    // mispredicted about every other time).
    const auto distance = static_cast<std::int16_t>(word);
    const std::uint32_t next = static_cast<std::uint32_t>(address & (kPageBytes - 1)) + distance;
    const std::uintptr_t linked = std::uint32_t{distance != 0} & CarvedBit(page, next);
    page.freeBlocks = reinterpret_cast<void*>((address + distance) & (0 - linked));
    --page.freeCount;
    return head;
}

} // namespace qor
