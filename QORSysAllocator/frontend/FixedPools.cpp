#include "FixedPools.h"

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

GeneralPool* Create(const FixedPoolSpec& spec, const char* name) {
    return CreateGeneralPool(spec.size, spec.flags, name);
}

} // namespace

GeneralPool* CreateFixedPool(int entry) {
    const FixedPoolSpec& spec = SpecOf(entry);
    return State().fixedPools[entry] = Create(spec, spec.name);
}

GeneralPool* CreateThreadedPool() {
    return State().threadedPool = Create(kThreaded, kThreaded.name);
}

GeneralPool* CreatePermanentPoolForReport() {
    return State().fixedPools[kPermanentEntry] = Create(kPermanent, "PermAllocs");
}

} // namespace qor
