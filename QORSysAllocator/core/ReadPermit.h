// Checked mode's word on which memory it may read. The front end knows which pointer vouches for
// which page (a program's pointer for its own page, mincore for the others); the pools' proofs
// and walks ask it before they read a word they were not handed, and never include the front end.
#pragma once

#include <cstddef>

namespace qor {

// A null `allows` lets every read through: the common case (a release of the block's own
// pointer) costs one test instead of a call.
struct ReadPermit {
    bool (*allows)(const void* context, const void* at, std::size_t bytes);
    const void* context;
    bool Allows(const void* at, std::size_t bytes) const {
        return allows == nullptr || allows(context, at, bytes);
    }
};

} // namespace qor
