// What the tracer keeps in and around every block, and how it recognises damage there.
// Layout of a traced block (kDelta is a multiple of 16, so the caller's alignment is the pool's):
//   block            front guard = kFrontSeal ^ pointer   (an overrun from the block below lands
//   here) block + 8        back guard  = kBackSeal ^ pointer    (an underrun lands here;
//   kReleasedSeal ^
//                                                          pointer once the block is released)
//   pointer = block + kDelta: the caller's `size` bytes, then `tailBytes` canary bytes up to the
//   end of the pool's piece or slot (none for heap blocks: their malloc size is exact).
#pragma once

#include "generalpool/GeneralBlocks.h" // the block header that heap and general blocks carry

#include <cstddef>
#include <cstdint>

namespace qor::tracer {

constexpr int kDelta = 16;
static_assert(kDelta % 16 == 0 && kDelta >= 16, "the delta keeps the pools' alignment");

constexpr std::uint64_t kFrontSeal = 0x7EA5ED0C0FFEE5A1;
constexpr std::uint64_t kBackSeal = 0x5AFE6A4D00B10C55;
constexpr std::uint64_t kReleasedSeal = 0xDEADB10CF4EED000;
constexpr unsigned char kCanaryByte = 0xA5;

// Engine: the heap engine behind the malloc override, whose blocks the hooks do not see.
enum class BlockKind : std::uint8_t { None, Heap, General, Paged, Engine };

// Bits of a damage finding: which part of a block's surroundings was overwritten.
enum DamageArea : std::uint8_t {
    kFrontGuard = 1,    // first word of the reserved room
    kBackGuard = 2,     // word just before the caller's bytes
    kTail = 4,          // canary bytes past the caller's size
    kHeader = 8,        // the library's block header (restored before the release goes on)
    kReleasedTwice = 16 // released again after its release
};
constexpr int kDamageAreaCount = 5;
// The words the reports use for each DamageArea bit, lowest bit first.
constexpr const char* kDamageAreaNames[kDamageAreaCount] = {
    "front guard", "back guard", "bytes past the end", "block header", "released twice"};

// One live block, kept outside the block so that an overrun cannot reach the bookkeeping.
struct LiveBlock {
    std::uintptr_t pointer;  // the caller's pointer; 0 marks a vacant entry
    std::uint64_t size;      // the caller's size
    BlockHeader header;      // the library's header as allocated (heap and general blocks)
    std::uint32_t tailBytes; // canary bytes behind the caller's size
    std::uint16_t pool;      // index of its PoolRecord
    BlockKind kind;
    std::uint8_t reported; // DamageArea bits already reported for this block
    std::uint32_t stack;   // its call site (CallSites.h), 0 when unknown
    std::uint32_t block;   // its number in the recording (EventRecording.h), while one is made
    std::uint32_t weight;  // the requests it stands for at its call site (1 unless sampled)
};
static_assert(sizeof(LiveBlock) == 56, "the table's entry size, as the README gives it");

inline std::uint64_t* GuardsOf(std::uintptr_t pointer) {
    return reinterpret_cast<std::uint64_t*>(pointer - kDelta);
}

// Writes the guards and the canary of a newly handed out block.
void Seal(const LiveBlock& block);

// DamageArea bits of what is no longer as Seal (and the library) left it.
std::uint8_t DamagedAreas(const LiveBlock& block);

} // namespace qor::tracer
