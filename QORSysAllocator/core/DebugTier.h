// The debug tier (build option QOR_DEBUG_FULL): every checker runs after every operation on what
// it checks (a pool after each of its operations, fast paths included; a swap file after each of
// its public operations), and the first broken invariant stops the process with the operation's
// name and the checker's description. Built without it, AfterOperation compiles to nothing.
// Cost: a whole walk of the pool or swap file per operation; tests and fuzzers only.
#pragma once

#include "PoolCheck.h"

namespace qor::debug {

#ifdef QOR_DEBUG_FULL
inline constexpr bool kFull = true;
#else
inline constexpr bool kFull = false;
#endif

// Stops the process: "Invariant broken after <operation>: <what>".
[[noreturn]] void Broken(const char* operation, const CheckResult& result);

// Requires: no other thread changes `checked` (its lock is held, or it has none).
template <class Checked> inline void AfterOperation(Checked& checked, const char* operation) {
    if constexpr (kFull) {
        CheckResult result;
        if (!CheckInvariants(checked, result)) Broken(operation, result);
    }
}

// The same, for a one-line return of the operation's result.
template <class Checked, class Result>
inline Result AfterOperation(Checked& checked, const char* operation, Result result) {
    AfterOperation(checked, operation);
    return result;
}

} // namespace qor::debug
