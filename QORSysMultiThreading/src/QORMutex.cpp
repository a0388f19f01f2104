// Contended path of QORMutex: a waiter spins on plain loads of the lock word, with pause
// instructions and a growing gap between loads, for a bounded time of a few of the pools' critical
// sections; only then does it count itself a sleeper and sleep on the word through a raw futex.
// The spin only reads, so the holder keeps its cache line until it releases it. A woken sleeper
// spins again before it sleeps again: the lock is not handed over, whoever finds it free takes it.
#include "QORMutex.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#if defined(__x86_64__) || defined(__i386__)
#include <x86intrin.h>
#else
#include <chrono>
#endif

namespace {

// A spin lasts about 2 us of time-stamp ticks (at 2 GHz): a few dozen critical sections of the
// pools, and below a futex sleep and wake. Two threads churning pool 32 on a quiet 2-core machine:
// 0.5 us took 1,739 ns per pair, 2 us 1,113 ns, 8 us 1,033 ns with 26,000 futex calls instead of
// 676,000; the longer spin is not taken because a spinner holds the core of a preempted holder
// when threads outnumber cores. Gaps between loads grow to 8 pauses (20 ns to 40 ns each).
constexpr std::uint64_t kSpinTicks = 4000;
constexpr int kMaxPauses = 8;

inline void CpuRelax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield" ::: "memory");
#endif
}

// Time-stamp ticks where the processor has a cheap counter; elsewhere the monotonic clock, in
// units of half a nanosecond so that kSpinTicks means the same time.
inline std::uint64_t Ticks() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    return __rdtsc();
#else
    using std::chrono::nanoseconds, std::chrono::steady_clock;
    const auto now =
        std::chrono::duration_cast<nanoseconds>(steady_clock::now().time_since_epoch());
    return static_cast<std::uint64_t>(now.count()) * 2;
#endif
}

// FUTEX_WAIT returns at once when the word no longer holds `expected`, so a wake between our last
// try and the sleep is never lost. It returns 0 only when a FUTEX_WAKE woke us, and every wake of
// this mutex's word is made by WakeSlow after it claimed a sleeper: so 0 means "our count was
// taken"; an error (EAGAIN, EINTR) means we were not woken and still count ourselves.
inline bool FutexWait(std::atomic<std::uint32_t>* word, std::uint32_t expected) noexcept {
    return syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(word), FUTEX_WAIT_PRIVATE, expected,
                   nullptr, nullptr, 0) == 0;
}

inline bool FutexWakeOne(std::atomic<std::uint32_t>* word) noexcept {
    return syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(word), FUTEX_WAKE_PRIVATE, 1,
                   nullptr, nullptr, 0) > 0;
}

// A waker that found nobody queued retries this many times before it leaves the count to the
// lock's next holder (see WakeSlow).
constexpr int kWakeRounds = 16;

} // namespace

static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t),
              "the futex is the atomic's own 32-bit word");

bool QORMutex::TrySpin() noexcept {
    const std::uint64_t start = Ticks();
    int pauses = 1;
    do {
        std::uint32_t seen = state_.load(std::memory_order_relaxed);
        if (seen == kUnlocked &&
            state_.compare_exchange_weak(seen, kLocked, std::memory_order_acquire,
                                         std::memory_order_relaxed))
            return true;
        for (int i = 0; i < pauses; ++i)
            CpuRelax();
        if (pauses < kMaxPauses) pauses *= 2;
    } while (Ticks() - start < kSpinTicks);
    return false;
}

void QORMutex::LockSlow() noexcept {
    bool successor = false; // we were woken, and the woken flag is ours to clear
    for (;;) {
        const bool taken = TrySpin();
        if (successor) sleepers_.fetch_and(~kWokenFlag, std::memory_order_seq_cst);
        if (taken) return;
        // Count ourselves before the last try: an Unlock after that try sees the count.
        sleepers_.fetch_add(kSleeperUnit, std::memory_order_seq_cst);
        std::uint32_t expected = kUnlocked;
        if (state_.compare_exchange_strong(expected, kLocked, std::memory_order_seq_cst,
                                           std::memory_order_seq_cst)) {
            sleepers_.fetch_sub(kSleeperUnit, std::memory_order_relaxed);
            return;
        }
        successor = FutexWait(&state_, kLocked);
        if (!successor) sleepers_.fetch_sub(kSleeperUnit, std::memory_order_relaxed);
    }
}

// Wakes one sleeper unless one that was woken has not yet had its try: while the woken flag is
// set, further wakes would only make runnable threads that queue for the same core. The wake is
// claimed before it is made (count minus one, flag set, in one step), so that the woken thread,
// which clears the flag, can never clear it before it was set.
void QORMutex::WakeSlow() noexcept {
    for (int round = 0; round < kWakeRounds; ++round) {
        std::uint32_t seen = sleepers_.load(std::memory_order_relaxed);
        do {
            // The count can be briefly negative: a sleeper that took the lock or was not woken
            // uncounts itself while a waker holds its claim.
            if ((seen & kWokenFlag) != 0 ||
                static_cast<std::int32_t>(seen) < std::int32_t{kSleeperUnit})
                return;
        } while (!sleepers_.compare_exchange_weak(seen, (seen - kSleeperUnit) | kWokenFlag,
                                                  std::memory_order_seq_cst,
                                                  std::memory_order_relaxed));
        if (FutexWakeOne(&state_)) return;
        // Nobody was queued: the counted thread is between counting itself and its sleep. Give
        // the claim back (count plus one, flag cleared: the flag was ours). While we held it an
        // Unlock may have missed that thread, which may since have gone to sleep behind a holder
        // that is gone: so if the lock is free, wake again. If it is held, its holder's Unlock
        // sees the count.
        sleepers_.fetch_add(kSleeperUnit - kWokenFlag, std::memory_order_seq_cst);
        if (state_.load(std::memory_order_seq_cst) != kUnlocked) return;
        CpuRelax();
    }
}
