// Sealing a block and reading back what is left of its seals.
#include "TracerLayout.h"

#include <cstring>

namespace qor::tracer {

void Seal(const LiveBlock& block) {
    std::uint64_t* guards = GuardsOf(block.pointer);
    guards[0] = kFrontSeal ^ block.pointer;
    guards[1] = kBackSeal ^ block.pointer;
    std::memset(reinterpret_cast<void*>(block.pointer + block.size), kCanaryByte, block.tailBytes);
}

std::uint8_t DamagedAreas(const LiveBlock& block) {
    const std::uint64_t* guards = GuardsOf(block.pointer);
    std::uint8_t areas = 0;
    if (guards[0] != (kFrontSeal ^ block.pointer)) areas |= kFrontGuard;
    if (guards[1] != (kBackSeal ^ block.pointer)) areas |= kBackGuard;
    const auto* tail = reinterpret_cast<const unsigned char*>(block.pointer + block.size);
    for (std::uint32_t i = 0; i < block.tailBytes; ++i)
        if (tail[i] != kCanaryByte) {
            areas |= kTail;
            break;
        }
    if (block.kind != BlockKind::Paged &&
        std::memcmp(HeaderOf(GuardsOf(block.pointer)), &block.header, sizeof(BlockHeader)) != 0)
        areas |= kHeader;
    return areas;
}

} // namespace qor::tracer
