// A QORMutex held for a scope: every lock of the library is taken through it, so that each is
// released on every path.
#pragma once

#include "QORMutex.h"

namespace qor {

// A QORMutex held for a scope; with `take` false, only from Take() on (a path that needs the lock
// on one branch only).
class ScopedLock {
public:
    explicit ScopedLock(QORMutex& mutex, bool take = true) : mutex_(mutex) {
        if (take) Take();
    }
    ~ScopedLock() {
        if (held_) mutex_.Unlock();
    }
    ScopedLock(const ScopedLock&) = delete;
    ScopedLock& operator=(const ScopedLock&) = delete;

    void Take() {
        if (held_) return;
        mutex_.Lock();
        held_ = true;
    }

private:
    QORMutex& mutex_;
    bool held_ = false;
};

} // namespace qor
