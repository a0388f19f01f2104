#include "PageObject.h"

#include "../core/PoolInterface.h"

#include <cstring>

namespace qor {

namespace {

constexpr int kPageObjectBytes = 48;
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
    return CeilDiv(static_cast<int>(ReservedBytes(page)), page.blockSize);
}

void SetPageGeometry(PageObject& page) {
    page.capacity = static_cast<std::uint16_t>(PageCapacity(page));
    page.reciprocal = ReciprocalOf(page.blockSize);
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
    return PushReleased(page, block, static_cast<std::uint32_t>(p - start));
}

} // namespace qor
