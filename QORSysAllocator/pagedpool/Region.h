// Regions of 512 KB cut into 128 pages of 4 KB, and the lists that own them.
// Invariants: in a RegionList, last == nullptr exactly when first == nullptr; every region of the
// process has the delta that RegionDelta() gives; a page with index < pagesIssued is in use or in
// its region's free-page chain, a page from pagesIssued on has never been used.
#pragma once

#include "../core/Runtime.h"
#include "PageObject.h"

#include <cstddef>
#include <cstdint>

namespace qor {

class PagedPool;
struct RegionList;

constexpr std::size_t kRegionBytes = 0x80000;
constexpr std::uint16_t kPagesPerRegion = 128;
constexpr std::uint16_t kNoFreePage = 129;

// Start address & 0xfff of every region; recorded by the first region of the process.
inline int RegionDelta() { return State().regionDelta; }

struct Region {
    RegionList* parent;
    Region* next;
    Region* prev;
    std::uint16_t delta;
    std::uint16_t freePageHead;
    std::uint16_t pagesIssued;
    std::uint16_t freePages;

    // Requires: `this` is region memory. Appends the region to `parent` (fatal when null).
    explicit Region(RegionList* parent);

    // Unlinks from the parent and zeroes the header.
    void Clear();
    // A page now in use by `pool` for blocks of `blockSize`, or null.
    PageObject* GetPage(std::uint64_t blockSize, PagedPool* pool);
    // Takes an empty page back; may give the region itself back to the system.
    void ReleasePage(PageObject* page);

    char* GridBase() const;
    PageObject* PageAt(unsigned index) const {
        return reinterpret_cast<PageObject*>(GridBase() + index * kPageBytes + kPageObjectOffset);
    }
};

static_assert(sizeof(Region) == 32 && offsetof(Region, delta) == 24, "32-byte region header");

struct RegionList {
    PagedPool* owner; // the pool the list is private to; null for a shared list
    Region* first;
    Region* last;
    Region* current; // where the search for a page starts
    std::uint32_t mode;

    static constexpr std::uint32_t kReleaseEmptyRegions = 0x1;

    // A page now in use by `pool`, from the list's regions or a new one; null when none can be
    // had. Takes the region lock for a shared list, and for any list to make a region.
    PageObject* GetPage(std::uint64_t blockSize, PagedPool* pool);
    // Requires: `page` came from this list and is empty. Its region takes it back and may give
    // itself back to the system.
    void ReleasePage(PageObject* page);
    void Append(Region* region);
    void Unlink(Region* region);
    // Variant A: a region that regained its first free page goes right behind current.
    void MoveAfterCurrent(Region* region);
    // Variant B: the same for an entirely free region; true when it is to be given back.
    bool MoveAfterCurrentAndCheckRelease(Region* region);

private:
    bool MoveBehindCurrent(Region* region);
    void CheckLast() const;
};

static_assert(sizeof(RegionList) == 40, "40-byte region list");

// Memory for a new region (0x80000 - RegionDelta() bytes at 4096), or null.
void* AllocRegionMemory();

// The 40 bytes of a list (no region yet), or null; DeleteRegionList gives them back (requires:
// the list holds no region).
RegionList* NewRegionList(PagedPool* owner, std::uint32_t mode);
void DeleteRegionList(RegionList* list);

// Gives back every region of a list and resets it; clears a shared-list pointer naming it. Under
// the region lock.
void DestroyRegionList(RegionList* list);

// The process-wide lists: A releases empty regions at once, B keeps them. Created on first
// request (under the region lock); null when that creation fails. Every change to them and to
// their regions is made under the region lock.
RegionList* SharedRegionListA();
RegionList* SharedRegionListB();

// At exit: gives back the entirely free regions of the shared lists; deletes a list left empty.
void ReleaseSharedRegionLists();

} // namespace qor
