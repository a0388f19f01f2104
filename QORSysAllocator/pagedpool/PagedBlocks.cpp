// Checked mode's questions to the paged pool, answered from the address's own page only: a
// descriptor is read once the front end's permit allows it, trusted once it names a live paged
// pool, and a chain is walked only inside its page.
#include "PagedBlocks.h"

#include "../core/LiveObjects.h"

namespace qor::paged {
namespace {

// True when `block` is on the chain of released blocks of its page (PagedBlocks.h).
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

// Where `offset` lies on a page in use: a handed-out position (`block` at the offset itself),
// inside the block that starts at `block`, or Outside past the carved positions or in page 0's
// region header.
PageState PlaceOnPage(const PageObject& page, std::uint32_t offset, const char*& block) {
    if (IsCarvedOffset(page, offset)) {
        block = page.PageStart() + offset;
        return PageState::AtPosition;
    }
    const std::uint32_t start = offset / page.blockSize * page.blockSize;
    if (start >= std::uint32_t{page.carved} * page.blockSize ||
        (page.index == 0 && start < ReservedBytes(page)))
        return PageState::Outside;
    block = page.PageStart() + start;
    return PageState::InBlock;
}

// The descriptor's verdict on a page of a live paged pool. Built once, after every call, so that
// the verdict is written once.
PageVerdict LivePageVerdict(const PageObject& page, const void* address) {
    const char* block = nullptr;
    PageState state = PageState::Idle;
    if (page.blockSize != 0 && page.nextFreePage == kPageInUse)
        state = PlaceOnPage(page,
                            static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(address) &
                                                       (kPageBytes - 1)),
                            block);
    const bool released = block != nullptr && IsOnReleasedChain(page, block);
    return {state, released, page.blockSize, page.PageStart(), page.owner, block};
}

} // namespace

PageVerdict ExaminePage(const void* address, ReadPermit permit, const PagedPool* provenOwner) {
    const PageObject& page = *PageObjectOf(address);
    if (!permit.Allows(&page, sizeof page))
        return {PageState::Unreadable, false, 0, page.PageStart()};
    const bool proven = provenOwner != nullptr && page.owner == provenOwner;
    if (!proven && checks::KindAt(page.owner) != checks::LiveKind::PagedPool)
        return {PageState::Unowned, false, page.blockSize, page.PageStart(), page.owner};
    return LivePageVerdict(page, address);
}

} // namespace qor::paged
