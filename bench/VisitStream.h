// The out-of-core workload as a stream: objects of 200 bytes to 20 KiB (about log-uniform, a mean
// near 4.3 KiB), then visits, 85 % near a slowly wandering locus (one object further every 20
// visits, a window of a fiftieth of the objects) and 15 % anywhere; 10 % of visits rewrite part
// of the object, 2 % replace it by a new object of another size. One seed and one draw order:
// qor_out_of_core and qor_swap_policy_sim see the same objects and visits.
// Invariant: Bytes(i) is the payload size of object i's current version.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

namespace qor::bench {

// What an out-of-core object holds in front of its payload: the swappable base class (48 bytes)
// and its own fields (the payload's length and checksum). Its allocation asks for this plus the
// payload.
constexpr std::size_t kObjectFieldBytes = 64;

struct VisitEvent {
    std::size_t object;
    bool rewrites;             // a part of the payload from rewriteFrom on is rewritten
    std::uint32_t rewriteFrom; // < the payload bytes; only when rewrites
    std::uint32_t newBytes;    // the replacing object's payload bytes, 0 when not replaced
};

class VisitStream {
public:
    // Draws every object's size.
    explicit VisitStream(std::size_t objects)
        : sizes(objects), window(static_cast<double>(objects) / 50) {
        for (auto& bytes : sizes)
            totalBytes += bytes = DrawSize();
    }

    std::size_t Objects() const { return sizes.size(); }
    std::uint32_t Bytes(std::size_t object) const { return sizes[object]; }
    // The payload bytes of the objects as first drawn (replacements not counted).
    std::uint64_t InitialBytes() const { return totalBytes; }

    VisitEvent Next() {
        locus += 0.05;
        VisitEvent event{};
        if (unit(rng) < 0.85)
            event.object = static_cast<std::size_t>(locus + window * unit(rng)) % sizes.size();
        else
            event.object = rng() % sizes.size();
        const double action = unit(rng);
        if (action < 0.10) {
            event.rewrites = true;
            event.rewriteFrom = static_cast<std::uint32_t>(rng() % sizes[event.object]);
        } else if (action < 0.12) {
            event.newBytes = sizes[event.object] = DrawSize();
        }
        return event;
    }

private:
    std::uint32_t DrawSize() { return static_cast<std::uint32_t>(std::exp(logSize(rng))); }

    std::mt19937_64 rng{20261206};
    std::uniform_real_distribution<double> logSize{std::log(200.0), std::log(20480.0)};
    std::uniform_real_distribution<double> unit{0.0, 1.0};
    std::vector<std::uint32_t> sizes;
    std::uint64_t totalBytes = 0;
    double locus = 0;
    double window;
};

} // namespace qor::bench
