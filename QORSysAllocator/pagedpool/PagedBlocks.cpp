// Checked mode's questions to the paged pool, answered from the block's own page only: a
// descriptor is trusted once the registry knows the pool it names, and a chain is walked only
// inside its page.
#include "PagedBlocks.h"

#include "../core/LiveObjects.h"
#include "../platform/Sanitizers.h"

namespace qor::paged {

PagedPool* HandedOutBy(const void* block) {
    const PageObject& page = *PageObjectOf(block);
    if (!platform::MayRead(&page, sizeof page)) return nullptr;
    if (checks::KindAt(page.owner) != checks::LiveKind::PagedPool) return nullptr;
    if (page.blockSize == 0 || page.nextFreePage != kPageInUse || page.capacity == 0)
        return nullptr;
    const auto offset =
        static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(block) & (kPageBytes - 1));
    return IsCarvedOffset(page, offset) ? page.owner : nullptr;
}

bool IsOnReleasedChain(const PageObject& page, const void* block) {
    if (page.blockSize >= 8) {
        std::uint64_t word;
        __builtin_memcpy(&word, block, sizeof word);
        if ((word >> 16) != (kReleasedMarkers >> 16)) return false;
    }
    const char* at = static_cast<const char*>(page.freeBlocks);
    for (unsigned i = 0; at != nullptr && i < page.freeCount; ++i) {
        if (at == block) return true;
        std::int16_t distance;
        __builtin_memcpy(&distance, at, sizeof(distance));
        if (distance == 0) break;
        at += distance;
        if ((reinterpret_cast<std::uintptr_t>(at) & kPageMask) !=
            (reinterpret_cast<std::uintptr_t>(block) & kPageMask))
            break;
    }
    return false;
}

} // namespace qor::paged
