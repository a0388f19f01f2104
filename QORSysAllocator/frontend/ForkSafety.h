// The module's locks held across fork(): the child gets the module's state consistent and its
// locks free, with every thread's cached blocks back in their pools (the child's other threads are
// gone, and their caches with them).
#pragma once

namespace qor {

// Before fork(): takes the configuration lock, collects and closes the thread caches, takes the
// registry lock, every locking pool's lock and the region lock, in the module's lock order.
void LockForFork();
// After fork(), in the parent and in the child: gives them back in the reverse order.
void UnlockAfterFork();
// Registers the two around every fork() of the process, once: the first allocation and the first
// pool creation call it.
void RegisterForkSafetyOnce();

} // namespace qor
