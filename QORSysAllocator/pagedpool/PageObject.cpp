#include "PageObject.h"

#include "../frontend/PoolInterface.h"

#include <cstring>

namespace qor {

namespace {

constexpr int kPageObjectBytes = 48;
constexpr int kRegionHeaderBytes = 32;
// Page 0 also keeps the region's delta (2 bytes) just before its descriptor.
constexpr int kPage0TailBytes = 52;
constexpr int kPage0Slack = 56;

constexpr int CeilDiv(int a, int b) { return (a + b - 1) / b; }

inline std::uintptr_t Address(const void* p) { return reinterpret_cast<std::uintptr_t>(p); }

bool IsAlignedFor(std::uintptr_t address, unsigned blockSize) {
    if (blockSize >= 8) return (address & 7) == 0;
    if (blockSize >= 4) return (address & 3) == 0;
    if (blockSize >= 2) return (address & 1) == 0;
    return true;
}

// True when `address` is the start of a position this page has handed out.
bool IsCarvedPosition(const PageObject& page, std::uintptr_t address) {
    const std::uintptr_t offset = address - Address(page.PageStart());
    if (offset >= kPageObjectOffset) return false;
    // The release path's one division, on 32 bits (offsets stay below a page): the 64-bit one
    // costs several times as much.
    const std::uint32_t position = static_cast<std::uint32_t>(offset) / page.blockSize;
    return position * page.blockSize == offset &&
           (page.index != 0 || position >= static_cast<std::uint32_t>(ReservedCount(page))) &&
           position < page.carved;
}

} // namespace

int PageCapacity(const PageObject& page) {
    const int s = page.blockSize;
    if (s == 0) return 0;
    const bool page0 = page.index == 0;
    const int tail = page0 ? kPage0TailBytes : kPageObjectBytes;
    const int slack = page0 ? kPage0Slack : kPageObjectBytes;
    int n = static_cast<int>(kPageBytes) / s - CeilDiv(tail, s);
    if (static_cast<int>(kPageBytes) - s * (n + 1) > slack) ++n;
    return n < 0 ? 0 : n;
}

int ReservedCount(const PageObject& page) {
    if (page.index != 0 || page.blockSize == 0) return 0;
    std::uint16_t delta;
    std::memcpy(&delta, page.PageStart() + kRegionDeltaOffset, sizeof(delta));
    return CeilDiv(delta + kRegionHeaderBytes, page.blockSize);
}

bool PutBlock(PageObject& page, void* block) {
    const unsigned s = page.blockSize;
    const std::uintptr_t p = Address(block);
    if (block == nullptr || s == 0 || !IsAlignedFor(p, s)) return false;
    const std::uintptr_t start = Address(page.PageStart());
    if (p < start || p > start + kPageBytes) AbortWithMessage("Invalid Page Object in Page");
    // Only handed-out positions are chained: the region header, an untouched position or the
    // middle of a block would corrupt the page. This also settles the chain-distance test, since
    // the chain's head is such a position: the distance between two of them is a multiple of s.
    if (!IsCarvedPosition(page, p)) return false;
    const std::int16_t distance =
        page.freeBlocks == nullptr
            ? 0
            : static_cast<std::int16_t>(static_cast<std::uint16_t>(Address(page.freeBlocks)) -
                                        static_cast<std::uint16_t>(p));
    ++page.freeCount;
    std::memcpy(block, &distance, sizeof(distance));
    if (s >= 4) std::memcpy(static_cast<char*>(block) + 2, &kReleasedLinkMarker, 2);
    if (s >= 8) std::memcpy(static_cast<char*>(block) + 4, &kReleasedBlockMarker, 4);
    page.freeBlocks = block;
    return true;
}

void* TakeFreeBlock(PageObject& page) {
    if (page.freeCount == 0 || page.freeBlocks == nullptr) return nullptr;
    char* head = static_cast<char*>(page.freeBlocks);
    const unsigned s = page.blockSize;
    std::uint16_t link;
    std::uint32_t marker;
    std::memcpy(&link, head + 2, sizeof(link));
    std::memcpy(&marker, head + 4, sizeof(marker));
    const bool damaged = (Address(head) & 1) || (s >= 4 && (Address(head) & 3)) ||
                         (s >= 4 && link != kReleasedLinkMarker) ||
                         (s >= 8 && marker != kReleasedBlockMarker);
    if (damaged) {
        page.freeBlocks = nullptr;
        return nullptr;
    }
    std::int16_t distance;
    std::memcpy(&distance, head, sizeof(distance));
    char* next = distance != 0 ? head + distance : nullptr;
    // A link that leads off the page's handed-out positions ends the chain here: the blocks
    // behind it are never handed out again (freeCount still counts them, so the page can empty).
    if (next != nullptr && !IsCarvedPosition(page, Address(next))) next = nullptr;
    page.freeBlocks = next;
    --page.freeCount;
    return head;
}

} // namespace qor
