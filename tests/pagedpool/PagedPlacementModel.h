// Where a paged pool must put each block, worked out the plain way from the pool's history alone:
// per class, its current page and its ordered pages with released blocks; per page, its carved
// count and its stack of released blocks. An allocation is carved from the current page, else
// taken from the current page's stack, else from the first page with released blocks (pages found
// without any leave that list on the way), else it opens a new page at its first usable position.
// The pool's own shortcuts (the used-up mark of a current page) are not modelled: the model asks
// every page as if each request were the first. Shared by the paged pool's fuzz model and tests.
// Assumes no damaged chain and no double release (those are other tests' matter).
#pragma once

#include "pagedpool/PagedPool.h"

#include <algorithm>
#include <map>
#include <utility>
#include <vector>

namespace qor::test {

class PagedPlacementModel {
public:
    // Applies a request of `sizeClass` answered by `block` (null: refused, nothing changes); false
    // when the block is not the one the pool had to give.
    bool Allocated(const PagedPool* pool, unsigned sizeClass, char* block) {
        if (block == nullptr) return true;
        ClassState& state = classes_[{pool, sizeClass}];
        char* const expected = Take(state);
        if (expected != nullptr) return block == expected;
        PageObject* const page = PageObjectOf(block);
        if (pages_.contains(page)) return false; // a new page was due
        PageState fresh = Geometry(*page, sizeClass);
        if (block != page->PageStart() + fresh.carved * sizeClass) return false;
        ++fresh.carved;
        pages_[page] = std::move(fresh);
        state.current = page;
        return true;
    }

    // Applies an accepted release of a block the pool handed out.
    void Released(const PagedPool* pool, char* block) {
        PageObject* const page = PageObjectOf(block);
        PageState& p = pages_.at(page);
        ClassState& state = classes_.at({pool, p.sizeClass});
        p.released.push_back(block);
        if (p.carved == p.released.size() + p.reserved) { // empty: back to its region
            std::erase(state.partial, page);
            if (state.current == page) state.current = nullptr;
            pages_.erase(page);
        } else if (p.released.size() == 1 && page != state.current) {
            std::erase(state.partial, page);
            state.partial.insert(state.partial.begin(), page);
        }
    }

    // True when the pool's current pages and lists of pages with released blocks are the model's.
    bool ListsMatch(const PagedPool& pool) const {
        for (const auto& [key, state] : classes_) {
            if (key.first != &pool) continue;
            const AccessorEntry* entry = pool.EntryOf(key.second);
            if (entry == nullptr || entry->currentPage != state.current) return false;
            std::vector<PageObject*> partial;
            for (PageObject* page = entry->partialPages; page != nullptr; page = page->next)
                partial.push_back(page);
            if (partial != state.partial) return false;
        }
        return true;
    }

    // A destroyed pool (empty, so its pages are gone already): its address may serve again.
    void Forget(const PagedPool* pool) {
        std::erase_if(classes_, [&](const auto& item) { return item.first.first == pool; });
    }

private:
    struct PageState {
        unsigned sizeClass, capacity, reserved, carved;
        std::vector<char*> released; // the last released on top
    };
    struct ClassState {
        PageObject* current = nullptr;
        std::vector<PageObject*> partial; // head first
    };

    // Capacity and reserved positions from the page's place in its region, worked out anew.
    static PageState Geometry(const PageObject& page, unsigned s) {
        const bool page0 = page.index == 0;
        const unsigned tail = page0 ? 52 : 48, slack = page0 ? 56 : 48;
        unsigned n = 4096 / s - (tail + s - 1) / s;
        n += 4096 - s * (n + 1) > slack;
        const unsigned reserved = page0 ? (RegionDelta() + 32 + s - 1) / s : 0;
        return {s, n, reserved, reserved, {}};
    }

    static char* Pop(PageState& page) {
        char* const block = page.released.back();
        page.released.pop_back();
        return block;
    }

    // The block due from the class's own pages, or null when only a new page would do.
    char* Take(ClassState& state) {
        if (state.current != nullptr) {
            PageState& current = pages_.at(state.current);
            if (current.carved < current.capacity)
                return state.current->PageStart() + current.carved++ * current.sizeClass;
            if (!current.released.empty()) return Pop(current);
        }
        while (!state.partial.empty()) {
            PageState& head = pages_.at(state.partial.front());
            if (!head.released.empty()) return Pop(head);
            state.partial.erase(state.partial.begin()); // to the main list, which no request asks
        }
        return nullptr;
    }

    std::map<std::pair<const PagedPool*, unsigned>, ClassState> classes_;
    std::map<PageObject*, PageState> pages_;
};

} // namespace qor::test
