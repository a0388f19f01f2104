// A model of swap policies: replays a trace of object creations and visits against a zone of a
// given capacity and counts the objects, pages and bytes that move between the zone and the file.
// `page` follows the swap file's own rules (charges, make-room rounds from the oldest object,
// page buffers, page-grouped reload); `object` brings back only the record visited; `lru` and
// `belady` move single objects without pages, evicting the least recently used object or the one
// whose next visit is furthest away. The zone pool is taken never to fragment: an allocation
// succeeds whenever the bytes allow.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace qor::sim {

enum class Policy { Page, Object, Lru, Belady };

constexpr Policy kPolicies[] = {Policy::Page, Policy::Object, Policy::Lru, Policy::Belady};

const char* PolicyName(Policy policy);
// Whether the policy moves whole file pages (page, object) rather than single objects.
bool MovesPages(Policy policy);

// Sizes are the bytes asked of the swappable class's operator new.
struct TraceVisit {
    std::uint32_t slot;
    bool rewrites;
    std::uint32_t newRequestBytes; // the replacing object's size; 0 when not replaced
};

// Slot i's first object is created i-th; a replacement creates a new object for its slot (the
// new one first, then the old one is destroyed, as a program that assigns a handle does).
// Objects are numbered in the order of their creation, from 0.
struct Trace {
    std::vector<std::uint32_t> requestBytes;
    std::vector<TraceVisit> visits;
    std::size_t measuredFrom = 0; // the visits before it (and the creations) are not counted
};

struct ZoneGeometry {
    std::uint64_t capacityBytes;      // what the zone's pool has free when empty
    std::int32_t pageCount = 0x40000; // file pages
};

struct MoveCounts {
    std::uint64_t objectsIn = 0;
    std::uint64_t objectsOut = 0;
    std::uint64_t pagesRead = 0;
    std::uint64_t pagesWritten = 0;
    std::uint64_t bytesRead = 0;
    std::uint64_t bytesWritten = 0;
    // lru and belady: what is written when an object unchanged since it came in keeps its copy on
    // disk (only new or rewritten objects are written).
    std::uint64_t changedBytesWritten = 0;
};

struct Move {
    std::uint32_t object;
    bool in;
    bool operator==(const Move&) const = default;
};

// Replays the trace. `moves`, when given, receives every object's crossing in order, the
// creations and warm-up included. Stops the process with a message when the zone cannot hold
// the objects of one page read or one creation (a zone far too small for the trace).
MoveCounts Replay(Policy policy, const Trace& trace, const ZoneGeometry& zone,
                  std::vector<Move>* moves = nullptr);

} // namespace qor::sim
