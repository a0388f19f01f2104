#include "FixedPools.h"

#include "../core/SizeClasses.h"

namespace qor {

namespace {

struct FixedPoolSpec {
    std::size_t size;
    std::uint32_t flags;
    const char* name; // reaches only the pool-creation hook
};

constexpr FixedPoolSpec kPermanent{0x200000, QORSysPoolFlag::TRACKED_FREE_LIST, "Default"};
constexpr FixedPoolSpec kSingleSize{0x40000, QORSysPoolFlag::VOLATILE | QORSysPoolFlag::SINGLE_SIZE,
                                    "FastSglAllocs"};
constexpr FixedPoolSpec kFast{0x40000, QORSysPoolFlag::VOLATILE, "FastAllocs"};
constexpr FixedPoolSpec kThreaded{0x80000, QORSysPoolFlag::LOCKED, "Default"};

const FixedPoolSpec& SpecOf(int entry) {
    if (entry == kPermanentEntry) return kPermanent;
    return entry == kFastEntry ? kFast : kSingleSize;
}

// The pool in `slot`, made and published when missing; null when it cannot be made. A pool made
// by a thread that lost the race to publish is destroyed (the hooks see it come and go).
GeneralPool* Install(GeneralPool*& slot, const FixedPoolSpec& spec, const char* name) {
    GeneralPool* made = CreateGeneralPool(spec.size, spec.flags, name);
    GeneralPool* published = nullptr;
    if (made == nullptr) return LoadPublished(slot);
    if (std::atomic_ref(slot).compare_exchange_strong(published, made, std::memory_order_acq_rel,
                                                      std::memory_order_acquire))
        return made;
    made->Flush(QORSysPoolFlag::FLUSH_DESTROY);
    return published;
}

} // namespace

GeneralPool* CreateFixedPool(int entry) {
    const FixedPoolSpec& spec = SpecOf(entry);
    return Install(State().fixedPools[entry], spec, spec.name);
}

GeneralPool* CreateThreadedPool() {
    return Install(State().threadedPool, kThreaded, kThreaded.name);
}

GeneralPool* CreatePermanentPoolForReport() {
    return Install(State().fixedPools[kPermanentEntry], kPermanent, "PermAllocs");
}

} // namespace qor
