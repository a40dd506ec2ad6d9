// Spin locks: real atomic lock words that hold their owner, so they work
// across host threads too; the calling thread also keeps the list of locks
// it holds, for the wait, DPC-return and end-of-test checks.
#include <algorithm>

#include "harness/kernel/dispatcher_internal.h"
#include "harness/kernel/verifier.h"

namespace harness::dispatcher::internal {

namespace {
ULONG_PTR Me() { return reinterpret_cast<ULONG_PTR>(ThreadToken()); }
}  // namespace

void AcquireLockWord(PKSPIN_LOCK lock, const char* routine) {
    for (;;) {
        ULONG_PTR owner = 0;
        if (__atomic_compare_exchange_n(lock, &owner, Me(), false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) break;
        if (owner == Me()) {
            BugCheck("SPIN_LOCK_ALREADY_OWNED", routine,
                     "spin lock " + Hex(lock) +
                         " is already held by this thread; a real processor would spin on it forever");
            return;
        }
        ActiveScheduler().OnSpinLockBusy(lock, owner, routine);
    }
    Thread().spinLocks.push_back(lock);
}

void ReleaseLockWord(PKSPIN_LOCK lock, const char* routine) {
    auto& held = Thread().spinLocks;
    auto it = std::find(held.begin(), held.end(), lock);
    ULONG_PTR owner = Me();
    const bool mine = __atomic_compare_exchange_n(lock, &owner, ULONG_PTR{0}, false, __ATOMIC_RELEASE,
                                                  __ATOMIC_RELAXED);
    if (it != held.end()) held.erase(it);
    if (!mine)
        BugCheck("SPIN_LOCK_NOT_OWNED", routine,
                 "spin lock " + Hex(lock) + " released but not held by this thread (lock word " + Hex(owner) + ")");
}

void ReleaseLocksLeftBy(size_t heldBefore, const char* check, const char* routine, const std::string& who) {
    auto& held = Thread().spinLocks;
    while (held.size() > heldBefore) {
        PKSPIN_LOCK lock = held.back();
        held.pop_back();
        BugCheck(check, routine, who + " returned still holding spin lock " + Hex(lock));
        ULONG_PTR owner = Me();
        __atomic_compare_exchange_n(lock, &owner, ULONG_PTR{0}, false, __ATOMIC_RELEASE, __ATOMIC_RELAXED);
    }
}

}  // namespace harness::dispatcher::internal

namespace harness::dispatcher {

size_t HeldSpinLockCount() { return internal::Thread().spinLocks.size(); }

bool IsSpinLockHeld(const KSPIN_LOCK* lock) {
    const auto& held = internal::Thread().spinLocks;
    return std::find(held.begin(), held.end(), lock) != held.end();
}

}  // namespace harness::dispatcher

using namespace harness::dispatcher::internal;

VOID KeInitializeSpinLock(PKSPIN_LOCK SpinLock) { __atomic_store_n(SpinLock, ULONG_PTR{0}, __ATOMIC_RELEASE); }

KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock) {
    ThreadState& thread = Thread();
    const KIRQL old = thread.irql;
    if (old > DISPATCH_LEVEL)
        harness::BugCheck("IRQL_NOT_GREATER_OR_EQUAL", "KeAcquireSpinLockRaiseToDpc",
                          "spin lock " + Hex(SpinLock) + " acquired at " + IrqlName(old) +
                              ", above DISPATCH_LEVEL");
    else
        thread.irql = DISPATCH_LEVEL;
    AcquireLockWord(SpinLock, "KeAcquireSpinLockRaiseToDpc");
    return old;
}

VOID KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
    ReleaseLockWord(SpinLock, "KeReleaseSpinLock");
    const KIRQL current = Thread().irql;
    if (NewIrql > current) {
        harness::BugCheck("IRQL_NOT_LESS_OR_EQUAL", "KeReleaseSpinLock",
                          "spin lock " + Hex(SpinLock) + " released to " + IrqlName(NewIrql) +
                              ", above the current " + IrqlName(current));
        return;
    }
    LowerIrql(NewIrql, "KeReleaseSpinLock");
}

VOID KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
    const KIRQL current = Thread().irql;
    if (current < DISPATCH_LEVEL)
        harness::BugCheck("IRQL_NOT_GREATER_OR_EQUAL", "KeAcquireSpinLockAtDpcLevel",
                          "spin lock " + Hex(SpinLock) + " acquired at " + IrqlName(current) +
                              "; the caller must already run at DISPATCH_LEVEL");
    AcquireLockWord(SpinLock, "KeAcquireSpinLockAtDpcLevel");
}

VOID KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) {
    const KIRQL current = Thread().irql;
    if (current < DISPATCH_LEVEL)
        harness::BugCheck("IRQL_NOT_GREATER_OR_EQUAL", "KeReleaseSpinLockFromDpcLevel",
                          "spin lock " + Hex(SpinLock) + " released at " + IrqlName(current) +
                              "; the caller must run at DISPATCH_LEVEL");
    ReleaseLockWord(SpinLock, "KeReleaseSpinLockFromDpcLevel");
}
