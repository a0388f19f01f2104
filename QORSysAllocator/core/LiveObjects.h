// Checked mode's registry of what a block header or a pool argument may name: every live general
// pool, added chunk, arena and paged pool, by address. Only checked mode keeps it (the pools note
// their births and deaths when State().config.checks is set), so that a release can prove an owner
// word before it dereferences it, and the pools' names for its messages. Invariants (checked mode):
// an address is in the registry exactly while the object it names lives; a pool has a name entry
// exactly while it is in the registry.
#pragma once

#include "Runtime.h"

#include <cstdint>

namespace qor::checks {

enum class LiveKind : std::uint8_t {
    None = 0,
    GeneralPool = 1,
    Chunk = 2,
    Arena = 3,
    PagedPool = 4
};

// Requires: `address` is 8-aligned and not null. Noting an address twice keeps one entry. A pool
// (GeneralPool, PagedPool) keeps its flags and its name beside it (null: none, or the one noted
// before), cut to 31 characters.
void NoteLive(const void* address, LiveKind kind, const char* name = nullptr);
void NoteGone(const void* address);
// Forgets the arenas that lie inside [begin, begin + bytes): a chunk that is reset or released
// takes its arenas with it.
void NoteArenasGone(const void* begin, std::uint64_t bytes);
// What lives at `address`, or LiveKind::None. Cost: a hash and, on average, one or two probes
// under a spin lock.
LiveKind KindAt(const void* address);

// The name and flags noted for `pool`: a live pool's, else those of the newest of the last eight
// pools destroyed at that address. False when there are none.
bool FindPoolName(const void* pool, PoolName& out);

// Enters every pool of the registry and the chunks of its chain: the pools built before checked
// mode was read from the environment (the first paged pool configures only after registering).
void NoteRegisteredPools();

// The pools' call sites: one predictable branch when checked mode is off.
inline void NoteLiveIfChecked(const void* address, LiveKind kind, const char* name = nullptr) {
    if (State().config.checks) [[unlikely]]
        NoteLive(address, kind, name);
}
// A chunk of `bytes` (0 for a paged pool) that is released takes its arenas with it.
inline void NoteGoneIfChecked(const void* address, std::uint64_t bytes) {
    if (State().config.checks) [[unlikely]] {
        NoteGone(address);
        if (bytes != 0) NoteArenasGone(address, bytes);
    }
}
inline void NoteArenasGoneIfChecked(const void* begin, std::uint64_t bytes) {
    if (State().config.checks) [[unlikely]]
        NoteArenasGone(begin, bytes);
}

} // namespace qor::checks
