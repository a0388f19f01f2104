// Pool records, findings and their descriptions.
#include "TracerState.h"

#include "CallSites.h"
#include "EventRecording.h"
#include "SafeFormat.h"
#include "Sampler.h"

#include "core/PoolArgument.h"
#include "core/SizeClasses.h"

#include <fcntl.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace qor::tracer {

constinit TracerState gState;

namespace {

constexpr std::size_t kDefaultCapacity = std::size_t{1} << 20;
constexpr int kThreadedRole = 17;

// Control characters become '?', so that a name cannot break a line of the text report.
void CopyText(char* out, std::size_t bytes, const char* text) {
    SafePrint(out, bytes, "%s", text != nullptr ? text : "");
    for (char* c = out; *c != '\0'; ++c)
        if (static_cast<unsigned char>(*c) < 0x20) *c = '?';
}

std::uint16_t NewRecord(void* address, const char* name, BlockKind kind) {
    if (gState.poolCount == kMaxPools) return kMaxPools - 1;
    const auto index = static_cast<std::uint16_t>(gState.poolCount++);
    PoolRecord& pool = gState.pools[index];
    pool.address = address;
    pool.kind = kind;
    CopyText(pool.name, sizeof pool.name, gState.poolCount == kMaxPools ? "other pools" : name);
    return index;
}

// The index slot for `address`: its own, else the vacancy where it belongs; null when full.
PoolIndexSlot* IndexSlotOf(void* address) {
    const auto home = static_cast<std::size_t>(
        ((reinterpret_cast<std::uintptr_t>(address) >> 4) * 0x9E3779B97F4A7C15ull) >> 52);
    for (int probe = 0; probe < kPoolIndexSlots; ++probe) {
        PoolIndexSlot& slot = gState.poolIndex[(home + probe) % kPoolIndexSlots];
        if (slot.address == address || slot.address == nullptr) return &slot;
    }
    return nullptr;
}

void DescribeRole(int role, char* out, std::size_t bytes) {
    if (role == kPermanentEntry)
        CopyText(out, bytes, "permanent pool, argument 1");
    else if (role == kThreadedRole)
        CopyText(out, bytes, "threaded pool, argument 32");
    else if (role == kFastEntry)
        CopyText(out, bytes, "fast pool, argument 4");
    else
        SafePrint(out, bytes, "fast pool for %d bytes, argument 4",
                  role == kEntry128 ? 128 : role * 8);
}

// QORSysTracerExitCode: a status from 1 to 255; anything else leaves the process's own.
int ExitStatusOnFindings() {
    const char* text = std::getenv("QORSysTracerExitCode");
    if (text == nullptr) return 0;
    char* end = nullptr;
    const long status = std::strtol(text, &end, 10);
    return end != text && *end == '\0' && status >= 1 && status <= 255 ? int(status) : 0;
}

// The arguments from /proc/self/cmdline, so that the reports of one run's processes say which
// program each is (the JSON escapes what else it holds). Read with open and read: Start may run
// inside the first malloc.
void ReadCommand(char* out, std::size_t bytes) {
    const int fd = ::open("/proc/self/cmdline", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    const ssize_t length = ::read(fd, out, bytes - 1);
    ::close(fd);
    for (ssize_t i = 0; i < length; ++i)
        if (out[i] == '\0') out[i] = ' ';
    out[length > 0 ? length - (out[length - 1] == ' ') : 0] = '\0';
}

} // namespace

void Start() {
    if (gState.pid != 0) return;
    gState.pid = ::getpid();
    gState.poolCount = 2;
    CopyText(gState.pools[kNoPool].role, sizeof gState.pools[0].role, "no pool");
    CopyText(gState.pools[kHeapPool].role, sizeof gState.pools[1].role, "heap, argument 0");
    gState.pools[kHeapPool].kind = BlockKind::Heap;
    const char* capacity = std::getenv("QORSysTracerCapacity");
    const unsigned long long asked = capacity != nullptr ? std::strtoull(capacity, nullptr, 10) : 0;
    gState.blocks.Reserve(asked != 0 ? asked : kDefaultCapacity);
    if (const char* prefix = std::getenv("QORSysTracerOutput"))
        SafePrint(gState.outputPrefix, sizeof gState.outputPrefix, "%s", prefix);
    gState.exitStatusOnFindings = ExitStatusOnFindings();
    ReadCommand(gState.command, sizeof gState.command);
    StartCallSites();
    StartSampler();
    char prefix[4096];
    OutputPrefix(prefix, sizeof prefix);
    StartRecording(prefix);
}

std::uint16_t PoolAt(void* address) {
    PoolIndexSlot* slot = IndexSlotOf(address);
    if (slot == nullptr) return kMaxPools - 1;
    if (slot->address == nullptr) {
        const bool paged = FieldsOf(address)->flags & kFlagPaged;
        *slot = {address,
                 NewRecord(address, nullptr, paged ? BlockKind::Paged : BlockKind::General)};
    }
    return slot->pool;
}

std::uint16_t NewPool(void* address, const char* name, int flags) {
    const bool paged = static_cast<std::uint32_t>(flags) & kFlagPaged;
    const std::uint16_t pool =
        NewRecord(address, name, paged ? BlockKind::Paged : BlockKind::General);
    if (PoolIndexSlot* slot = IndexSlotOf(address)) *slot = {address, pool};
    return pool;
}

std::uint16_t NewEngineRecord() { return NewRecord(nullptr, "heap engine", BlockKind::Engine); }

int FixedRoleOf(std::uintptr_t poolArgument, std::size_t key) {
    if (poolArgument == kPoolPermanent) return kPermanentEntry;
    if (poolArgument == kPoolThreaded) return kThreadedRole;
    return poolArgument == kPoolFast ? FastPoolEntry(key) : -1;
}

std::uint16_t FixedPoolRecord(int role, std::uint16_t resolved) {
    std::uint16_t& known = gState.fixedPools[role];
    if (resolved != kNoPool) {
        known = resolved;
    } else if (known == kNoPool) {
        // No block came from this pool yet (its creation failed): failures still need a home.
        known = NewRecord(nullptr, nullptr, BlockKind::General);
    }
    PoolRecord& pool = gState.pools[known];
    if (pool.role[0] == '\0') DescribeRole(role, pool.role, sizeof pool.role);
    return known;
}

void DropLiveBlocks(std::uint16_t pool) {
    PoolRecord& record = gState.pools[pool];
    if (record.liveBlocks == 0) return;
    gState.blocks.EraseIf([pool](const LiveBlock& block) {
        if (block.pool != pool) return false;
        CountLive(block.stack, -static_cast<std::int64_t>(block.size * block.weight),
                  -std::int64_t{block.weight});
        if (gRecording) RecordReleaseEvent(block.block);
        return true;
    });
    record.dropped += record.liveBlocks;
    record.liveBlocks = 0;
    record.liveBytes = 0;
}

void WriteAll(int fd, const char* text, std::size_t length) {
    while (fd >= 0 && length > 0) {
        const ssize_t written = ::write(fd, text, length);
        if (written <= 0) return;
        text += written;
        length -= static_cast<std::size_t>(written);
    }
}

void RecordDamage(const LiveBlock& block, std::uint8_t areas, bool atExit) {
    if (gState.damageCount == kMaxDamage) {
        ++gState.findingsDropped;
        return;
    }
    Damage& damage = gState.damage[gState.damageCount++];
    damage = {block.pointer, block.size, block.pool, areas, atExit, 0, 0, block.stack};
    // Paged slots of one size follow each other in a page: the slot below is the likely culprit.
    if (block.kind == BlockKind::Paged && (areas & kFrontGuard)) {
        const std::uintptr_t below = block.pointer - (kDelta + block.size + block.tailBytes);
        const LiveBlock* neighbour = gState.blocks.Find(below);
        if (((below - kDelta) >> 12) == ((block.pointer - kDelta) >> 12) && neighbour != nullptr)
            damage.below = below, damage.belowSize = neighbour->size;
    }
    if (atExit) return;
    char line[384] = "QORSysTracer: ";
    const std::size_t prefix = std::strlen(line);
    DescribeDamage(damage, line + prefix, sizeof line - prefix - 1);
    std::strcat(line, "\n");
    WriteAll(STDERR_FILENO, line, std::strlen(line));
}

void RecordInvalidPointer(std::uintptr_t pointer, const char* tag, std::uint16_t pool) {
    if (gState.invalidCount == kMaxInvalidPointers) {
        ++gState.findingsDropped;
        return;
    }
    InvalidPointer& invalid = gState.invalid[gState.invalidCount++];
    invalid.pointer = pointer;
    invalid.pool = pool;
    CopyText(invalid.tag, sizeof invalid.tag, tag);
}

void DisplayName(const PoolRecord& pool, char* out, std::size_t bytes) {
    if (pool.name[0] != '\0' && pool.role[0] != '\0')
        SafePrint(out, bytes, "%s (%s)", pool.name, pool.role);
    else if (pool.name[0] != '\0' || pool.role[0] != '\0')
        CopyText(out, bytes, pool.name[0] != '\0' ? pool.name : pool.role);
    else
        SafePrint(out, bytes, "pool 0x%" PRIxPTR, reinterpret_cast<std::uintptr_t>(pool.address));
}

void DescribeDamage(const Damage& damage, char* out, std::size_t bytes) {
    if (damage.areas & kReleasedTwice) {
        SafePrint(out, bytes, "0x%" PRIxPTR ": released twice", damage.pointer);
        return;
    }
    char pool[112];
    DisplayName(gState.pools[damage.pool], pool, sizeof pool);
    char areas[96] = "";
    for (int bit = 0; bit < kDamageAreaCount; ++bit)
        if (damage.areas & (1 << bit)) {
            if (areas[0] != '\0') std::strcat(areas, ", ");
            std::strcat(areas, kDamageAreaNames[bit]);
        }
    int used = SafePrint(
        out, bytes, "0x%" PRIxPTR " (%" PRIu64 " bytes, pool %s): %s overwritten; found at %s",
        damage.pointer, damage.size, pool, areas, damage.atExit ? "exit" : "release");
    if (damage.below != 0 && used > 0 && static_cast<std::size_t>(used) < bytes)
        SafePrint(out + used, bytes - used, "; block below: 0x%" PRIxPTR " (%" PRIu64 " bytes)",
                  damage.below, damage.belowSize);
}

const char* InvalidPointerReason(const char* tag) {
    if (std::strcmp(tag, "SpeDel") == 0) return "released, but not a block of the library";
    if (std::strcmp(tag, "Deall") == 0) return "released, but refused by its pool";
    if (std::strcmp(tag, "PoolFromAddr") == 0) return "looked up, but not a block of the library";
    return tag;
}

} // namespace qor::tracer
