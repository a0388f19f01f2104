// The live-object registry: an open-addressing table of (address | kind) words with linear
// probing, grown at three quarters full, and the pools' names beside it. One spin lock guards
// both: pools of different threads note their chunks here, and a release may look up while
// another thread adds a chunk.
#include "LiveObjects.h"

#include "../platform/Platform.h"
#include "PoolInterface.h"

#include <atomic>

namespace qor::checks {
namespace {

constexpr std::uintptr_t kKindBits = 7;
constexpr std::uintptr_t kEmpty = 0;
constexpr std::uintptr_t kTombstone = 8; // address 8, kind 0: no object has it

constexpr const char* kNoMemory = "Checked mode: no memory left for its live-pool registry";

LiveTable& Live() { return State().live; }

class SpinGuard {
public:
    SpinGuard() {
        while (Live().lock.test_and_set(std::memory_order_acquire))
            __builtin_ia32_pause();
    }
    ~SpinGuard() { Live().lock.clear(std::memory_order_release); }
    SpinGuard(const SpinGuard&) = delete;
    SpinGuard& operator=(const SpinGuard&) = delete;
};

inline std::uintptr_t AddressOf(const void* p) { return reinterpret_cast<std::uintptr_t>(p); }

inline std::size_t HomeOf(std::uintptr_t address) {
    return static_cast<std::size_t>((address >> 3) * 0x9E3779B97F4A7C15ull >> 20) &
           (Live().capacity - 1);
}

// The slot holding `address`, or null, with `insertAt` (when given) set to the first reusable slot
// of its probe sequence. Requires: the lock is held.
std::uintptr_t* Find(std::uintptr_t address, std::uintptr_t** insertAt) {
    std::uintptr_t* reusable = nullptr;
    for (std::size_t i = HomeOf(address);; i = (i + 1) & (Live().capacity - 1)) {
        std::uintptr_t& slot = Live().slots[i];
        if (slot == kEmpty) {
            if (insertAt != nullptr) *insertAt = reusable != nullptr ? reusable : &slot;
            return nullptr;
        }
        if (slot == kTombstone) {
            if (reusable == nullptr) reusable = &slot;
        } else if ((slot & ~kKindBits) == address) {
            return &slot;
        }
    }
}

// Rehashes into a table twice as large, dropping the tombstones.
void Grow() {
    LiveTable& table = Live();
    const std::size_t oldCapacity = table.capacity;
    std::uintptr_t* oldSlots = table.slots;
    const std::size_t capacity = oldCapacity * 2;
    auto* slots = static_cast<std::uintptr_t*>(platform::Malloc(capacity * sizeof(std::uintptr_t)));
    if (slots == nullptr) AbortWithMessage(kNoMemory);
    for (std::size_t i = 0; i < capacity; ++i)
        slots[i] = kEmpty;
    table.slots = slots;
    table.capacity = capacity;
    table.used = 0;
    for (std::size_t i = 0; i < oldCapacity; ++i) {
        const std::uintptr_t entry = oldSlots[i];
        if (entry == kEmpty || entry == kTombstone) continue;
        std::uintptr_t* at;
        Find(entry & ~kKindBits, &at);
        *at = entry;
        ++table.used;
    }
    if (oldSlots != table.firstSlots) platform::Free(oldSlots);
}

inline bool IsPool(LiveKind kind) {
    return kind == LiveKind::GeneralPool || kind == LiveKind::PagedPool;
}

// Control characters would break a message's line: they become '?'.
void CopyName(char (&out)[kPoolNameBytes], const char* name) {
    std::size_t i = 0;
    for (; name[i] != '\0' && i + 1 < kPoolNameBytes; ++i) {
        const auto c = static_cast<unsigned char>(name[i]);
        out[i] = c < 0x20 || c == 0x7F ? '?' : name[i];
    }
    out[i] = '\0';
}

// Cost: a scan of the live pools' names; pools come and go far less often than blocks.
PoolName* NameEntry(const void* pool) {
    for (std::size_t i = 0; i < Live().nameCount; ++i)
        if (Live().names[i].pool == pool) return &Live().names[i];
    return nullptr;
}

void GrowNames() {
    LiveTable& table = Live();
    const std::size_t capacity = table.nameCapacity * 2;
    auto* names = static_cast<PoolName*>(platform::Malloc(capacity * sizeof(PoolName)));
    if (names == nullptr) AbortWithMessage(kNoMemory);
    for (std::size_t i = 0; i < table.nameCount; ++i)
        names[i] = table.names[i];
    if (table.names != table.firstNames) platform::Free(table.names);
    table.names = names;
    table.nameCapacity = capacity;
}

void NameLocked(const void* pool, const char* name) {
    PoolName* entry = NameEntry(pool);
    if (entry == nullptr) {
        if (Live().nameCount == Live().nameCapacity) GrowNames();
        entry = &Live().names[Live().nameCount++];
        entry->pool = pool;
        entry->text[0] = '\0';
    }
    entry->flags = FieldsOf(const_cast<void*>(pool))->flags;
    if (name != nullptr) CopyName(entry->text, name);
}

// The entry moves to the ring of destroyed pools; the last entry takes its place.
void ForgetNameLocked(const void* pool) {
    PoolName* entry = NameEntry(pool);
    if (entry == nullptr) return;
    Live().goneNames[Live().goneCount++ % kGonePoolNames] = *entry;
    *entry = Live().names[--Live().nameCount];
}

void NoteLocked(const void* address, LiveKind kind, const char* name) {
    if ((Live().used + 1) * 4 > Live().capacity * 3) Grow();
    if (IsPool(kind)) NameLocked(address, name);
    std::uintptr_t* at;
    const std::uintptr_t key = AddressOf(address);
    if (std::uintptr_t* slot = Find(key, &at)) {
        *slot = key | static_cast<std::uintptr_t>(kind);
        return;
    }
    if (*at == kEmpty) ++Live().used;
    *at = key | static_cast<std::uintptr_t>(kind);
}

} // namespace

void NoteLive(const void* address, LiveKind kind, const char* name) {
    SpinGuard guard;
    NoteLocked(address, kind, name);
}

void NoteGone(const void* address) {
    SpinGuard guard;
    std::uintptr_t* slot = Find(AddressOf(address), nullptr);
    if (slot == nullptr) return;
    if (IsPool(static_cast<LiveKind>(*slot & kKindBits))) ForgetNameLocked(address);
    *slot = kTombstone;
}

// Cost: the whole table; a chunk is reset or released far less often than blocks come and go.
void NoteArenasGone(const void* begin, std::uint64_t bytes) {
    SpinGuard guard;
    const std::uintptr_t first = AddressOf(begin);
    for (std::size_t i = 0; i < Live().capacity; ++i) {
        const std::uintptr_t entry = Live().slots[i];
        if ((entry & kKindBits) != static_cast<std::uintptr_t>(LiveKind::Arena)) continue;
        if ((entry & ~kKindBits) - first < bytes) Live().slots[i] = kTombstone;
    }
}

LiveKind KindAt(const void* address) {
    SpinGuard guard;
    const std::uintptr_t* slot = Find(AddressOf(address) & ~kKindBits, nullptr);
    if (slot == nullptr || (AddressOf(address) & kKindBits) != 0) return LiveKind::None;
    return static_cast<LiveKind>(*slot & kKindBits);
}

bool FindPoolName(const void* pool, PoolName& out) {
    SpinGuard guard;
    if (const PoolName* entry = NameEntry(pool)) {
        out = *entry;
        return true;
    }
    const LiveTable& table = Live();
    const std::size_t kept = table.goneCount < kGonePoolNames ? table.goneCount : kGonePoolNames;
    for (std::size_t age = 1; age <= kept; ++age) {
        const PoolName& gone = table.goneNames[(table.goneCount - age) % kGonePoolNames];
        if (gone.pool != pool) continue;
        out = gone;
        return true;
    }
    return false;
}

void NoteRegisteredPools() {
    ScopedLock registry(State().registryLock);
    SpinGuard guard;
    for (PoolBase* pool = State().poolRegistry; pool != nullptr; pool = pool->nextPool) {
        if (pool->chunk.flags & kFlagPaged) {
            NoteLocked(pool, LiveKind::PagedPool, nullptr);
            continue;
        }
        NoteLocked(pool, LiveKind::GeneralPool, nullptr);
        for (void* k = pool->chunk.next; k != nullptr; k = FieldsOf(k)->next)
            NoteLocked(k, LiveKind::Chunk, nullptr);
    }
}

} // namespace qor::checks
