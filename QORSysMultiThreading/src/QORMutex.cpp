// Contended paths of QORMutex: a short spin for critical sections that end quickly (pool
// operations are a few hundred instructions), then sleeping on the state word, so a waiter never
// burns a core while the holder is descheduled.
#include "QORMutex.h"

#include <thread>

namespace {
constexpr int kSpinRounds = 64;

inline void CpuRelax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}
} // namespace

void QORMutex::LockSlow() noexcept {
    for (int round = 0; round < kSpinRounds; ++round) {
        std::uint32_t expected = kUnlocked;
        if (state_.load(std::memory_order_relaxed) == kUnlocked &&
            state_.compare_exchange_weak(expected, kLocked, std::memory_order_acquire,
                                         std::memory_order_relaxed))
            return;
        CpuRelax();
    }
    // From here on the lock is taken as kContended: we cannot know whether other sleepers remain,
    // so the eventual Unlock must wake one.
    while (state_.exchange(kContended, std::memory_order_acquire) != kUnlocked)
        state_.wait(kContended, std::memory_order_relaxed);
}

void QORMutex::WakeOne() noexcept { state_.notify_one(); }
