// The swap file's zone calls, on the general pool's own routines.
#include "SwapZone.h"

#include "GeneralPool.h"

namespace qor::zone {

static_assert(kZoneHeaderBytes == sizeof(BlockHeader) && kOwnerFlagBits == kOwnerBits &&
                  kOwnerInUseBit == kOwnerInUse,
              "a zone block carries the general pool's block header");
static_assert(offsetof(BlockHeader, sizeWord) == kZoneHeaderBytes - sizeof(std::uint64_t),
              "the size word ends the header");

bool AttachSwapFile(void* zone, QORSysSwapFile* file) {
    return SetPoolSwapFile(static_cast<PoolBase*>(zone), file) == 0;
}

void* Allocate(void* zone, std::size_t bytes) {
    return static_cast<PoolBase*>(zone)->Allocate(bytes, 0);
}

void Release(void* block) {
    if (block == nullptr) return;
    const std::uintptr_t owner = HeaderOf(block)->ownerWord & ~kOwnerBits;
    if (owner != 0 && owner != kInvalidOwner)
        ReleaseThroughOwner(reinterpret_cast<void*>(owner), block);
}

} // namespace qor::zone
