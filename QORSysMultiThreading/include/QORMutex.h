// QORMutex: the lock embedded in every pool object.
// Invariants: sizeof(QORMutex) == sizeof(void*); construction, locking and destruction never
// allocate and never fail; the lock is not re-entrant (a pool never locks its own mutex twice).
#pragma once

#include <atomic>
#include <cstdint>

class QORMutex {
public:
    // The three arguments select nothing in this implementation; pools always pass (0, 0, 0).
    // Constant: a mutex at namespace scope is usable before any constructor has run.
    constexpr QORMutex(int, int, int) noexcept {}
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

    // Uncontended cost: one exchange and a load of the same cache line; the slow path only
    // while a thread sleeps on the lock. Both are sequentially consistent: a sleeper counts
    // itself before its last try, so either that try sees the lock free or this load sees it.
    void Unlock() noexcept {
        state_.exchange(kUnlocked, std::memory_order_seq_cst);
        if (sleepers_.load(std::memory_order_seq_cst) != 0) WakeSlow();
    }

private:
    // The lock word holds only locked/unlocked: sleepers are counted apart, so that a lock that
    // once had a sleeper does not stay marked contended (every later Unlock then paying a wake-up
    // system call and every newcomer going to sleep behind it).
    static constexpr std::uint32_t kUnlocked = 0;
    static constexpr std::uint32_t kLocked = 1;
    // sleepers_: bit 0 is set while a woken sleeper has not yet had its try; the bits above
    // count the sleepers that were not woken (a waker takes one off when it wakes one).
    static constexpr std::uint32_t kWokenFlag = 1;
    static constexpr std::uint32_t kSleeperUnit = 2;

    bool TrySpin() noexcept;
    void LockSlow() noexcept;
    void WakeSlow() noexcept;

    std::atomic<std::uint32_t> state_{kUnlocked};
    std::atomic<std::uint32_t> sleepers_{0};
};

static_assert(sizeof(QORMutex) == sizeof(void*), "QORMutex is embedded at a fixed pool offset");
static_assert(alignof(QORMutex) <= alignof(void*));
