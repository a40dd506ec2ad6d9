// The harness lock: one lock over the shared state of the emulated machine
// outside the dispatcher (the pool, the I/O manager's books and the
// verifier's, the object namespace, the registry, the debug log, Plug and
// Play, the USB bus, host controller, frame schedule and chip models, the
// application's requests and their log).
//
// One lock rather than one per subsystem: these subsystems call one another
// in long chains (a device event of the chip model completes a URB through
// the host controller and the I/O manager), so per-subsystem locks would
// need an ordering that every chain respects, for no gain in a machine whose
// driver code runs outside the lock anyway. The rule that keeps it sound is
// the real kernel's: it is taken at the harness's entry points and never
// held while code of the driver under test runs (a dispatch, completion,
// cancel, deferred or work routine, DriverEntry, AddDevice, Unload), nor
// while a thread waits. A thread spinning on a busy spin lock has set it
// down too. The dispatcher lock guards the dispatcher database, and the
// memory manager and the verifier's record keep small locks of their own;
// the harness lock is taken before any of them, never after.
#pragma once

#include "harness/kernel/recursive_lock.h"

namespace harness {

RecursiveLock& HarnessLock();

// Held for a scope at an entry point of the harness.
struct HarnessScope : LockScope {
    HarnessScope() : LockScope(HarnessLock()) {}
};

// Set down for a scope around a call into the driver under test.
struct DriverCallScope : UnlockScope {
    DriverCallScope() : UnlockScope(HarnessLock()) {}
};

}  // namespace harness
