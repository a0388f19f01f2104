// Contended path of QORMutex: a waiter first spins on plain loads of the state word, with a pause
// instruction and a growing gap between loads, for about a microsecond (a few of the pools'
// critical sections); only then does it sleep on the word through a raw futex. The spin only
// reads, so the holder keeps its cache line until it releases it; once a waiter sleeps (state
// kContended) newcomers sleep too, so that with more threads than cores a spinner does not take
// the core of a holder that was preempted. Measured against a longer spin (24 loads, gaps up to
// 64 pauses: slower at 16 threads and across threads) and against std::atomic::wait: see the
// history of this file for the figures.
#include "QORMutex.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// Gap between two loads of the spin, in pause instructions: 1, 2, 4, then 4 until kSpinLoads
// loads were made, 27 pauses in all. A pause costs up to about 140 cycles on recent x86 cores, so
// the spin stays near a microsecond, short of the few microseconds of a futex sleep and wake.
constexpr int kSpinLoads = 8;
constexpr int kMaxPauses = 4;

inline void CpuRelax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield" ::: "memory");
#endif
}

// The state word is the futex: FUTEX_WAIT returns at once when the word no longer holds
// `expected`, so a wake between our exchange and the sleep is never lost. Errors (EAGAIN, EINTR)
// only mean "look again", which the callers' loops do.
inline void FutexWait(std::atomic<std::uint32_t>* word, std::uint32_t expected) noexcept {
    syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(word), FUTEX_WAIT_PRIVATE, expected,
            nullptr, nullptr, 0);
}

inline void FutexWake(std::atomic<std::uint32_t>* word, int count) noexcept {
    syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(word), FUTEX_WAKE_PRIVATE, count, nullptr,
            nullptr, 0);
}

} // namespace

static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t),
              "the futex is the atomic's own 32-bit word");

void QORMutex::LockSlow() noexcept {
    int pauses = 1;
    for (int load = 0; load < kSpinLoads; ++load) {
        std::uint32_t seen = state_.load(std::memory_order_relaxed);
        if (seen == kUnlocked) {
            if (state_.compare_exchange_weak(seen, kLocked, std::memory_order_acquire,
                                             std::memory_order_relaxed))
                return;
        } else if (seen == kContended) {
            break; // others sleep already: queue behind them rather than spin past them
        }
        for (int i = 0; i < pauses; ++i)
            CpuRelax();
        if (pauses < kMaxPauses) pauses *= 2;
    }
    // The lock is taken as kContended: we cannot know whether other sleepers remain, so the
    // eventual Unlock must wake one.
    while (state_.exchange(kContended, std::memory_order_acquire) != kUnlocked)
        FutexWait(&state_, kContended);
}

void QORMutex::WakeOne() noexcept { FutexWake(&state_, 1); }
