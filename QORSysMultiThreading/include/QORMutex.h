// QORMutex: the lock embedded in every pool object.
// Invariants: sizeof(QORMutex) == sizeof(void*); construction, locking and destruction never
// allocate and never fail; the lock is not re-entrant (a pool never locks its own mutex twice).
#pragma once

#include <atomic>
#include <cstdint>

class QORMutex {
public:
    // The three arguments select nothing in this implementation; pools always pass (0, 0, 0).
    QORMutex(int, int, int) noexcept {}
    ~QORMutex() = default;
    QORMutex(const QORMutex&) = delete;
    QORMutex& operator=(const QORMutex&) = delete;

    // Uncontended cost: one compare-exchange.
    void Lock() noexcept {
        std::uint32_t expected = kUnlocked;
        if (!state_.compare_exchange_strong(expected, kLocked, std::memory_order_acquire,
                                            std::memory_order_relaxed))
            LockSlow();
    }

    // Uncontended cost: one exchange; a futex wake only when a thread sleeps on the lock.
    void Unlock() noexcept {
        if (state_.exchange(kUnlocked, std::memory_order_release) == kContended) WakeOne();
    }

private:
    // State values: a locked mutex is kLocked while nobody sleeps on it, kContended once a
    // waiter may be asleep, so that Unlock knows when a wake-up is owed.
    static constexpr std::uint32_t kUnlocked = 0;
    static constexpr std::uint32_t kLocked = 1;
    static constexpr std::uint32_t kContended = 2;

    void LockSlow() noexcept;
    void WakeOne() noexcept;

    std::atomic<std::uint32_t> state_{kUnlocked};
    [[maybe_unused]] std::uint32_t reserved_ = 0; // pads the object to the size of a pointer
};

static_assert(sizeof(QORMutex) == sizeof(void*), "QORMutex is embedded at a fixed pool offset");
static_assert(alignof(QORMutex) <= alignof(void*));
