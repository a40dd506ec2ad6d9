// Fast mutexes: exclusive, not recursive, held at APC_LEVEL; the IRQL of the
// acquirer is kept in the mutex and restored on release.
#include "harness/kernel/dispatcher_internal.h"
#include "harness/kernel/verifier.h"

using namespace harness::dispatcher::internal;

namespace {

bool TryTake(PFAST_MUTEX mutex) {
    return InterlockedCompareExchange(&mutex->Count, 0, 1) == 1;
}

// The owner field is read by other threads (the recursion check, reports):
// written and read atomically.
void Own(PFAST_MUTEX mutex, KIRQL oldIrql) {
    __atomic_store_n(&mutex->Owner, ThreadToken(), __ATOMIC_RELAXED);
    mutex->OldIrql = oldIrql;
}

PVOID OwnerOf(PFAST_MUTEX mutex) { return __atomic_load_n(&mutex->Owner, __ATOMIC_RELAXED); }

// Checks common to both ways of acquiring; false if the caller must not.
bool MayAcquire(PFAST_MUTEX mutex, const char* routine) {
    const KIRQL irql = Thread().irql;
    if (irql > APC_LEVEL) {
        harness::BugCheck("FAST_MUTEX_WRONG_IRQL", routine,
                          "fast mutex " + Hex(mutex) + " acquired at " + IrqlName(irql) + ", above APC_LEVEL");
        return false;
    }
    const LONG count = __atomic_load_n(&mutex->Count, __ATOMIC_SEQ_CST);
    if (count != 0 && count != 1) {
        harness::BugCheck("OBJECT_NOT_INITIALIZED", routine,
                          "fast mutex " + Hex(mutex) + " has count " + std::to_string(count) +
                              ": never initialised with ExInitializeFastMutex");
        return false;
    }
    return true;
}

}  // namespace

VOID ExInitializeFastMutex(PFAST_MUTEX FastMutex) {
    FastMutex->Count = 1;
    FastMutex->Owner = nullptr;
    FastMutex->Contention = 0;
    KeInitializeEvent(&FastMutex->Event, SynchronizationEvent, FALSE);
    FastMutex->OldIrql = PASSIVE_LEVEL;
}

VOID ExAcquireFastMutex(PFAST_MUTEX FastMutex) {
    if (!MayAcquire(FastMutex, "ExAcquireFastMutex")) return;
    if (OwnerOf(FastMutex) == ThreadToken()) {
        harness::BugCheck("FAST_MUTEX_RECURSIVE_ACQUIRE", "ExAcquireFastMutex",
                          "fast mutex " + Hex(FastMutex) + " is already owned by this thread: it deadlocks");
        return;
    }
    ThreadState& thread = Thread();
    const KIRQL old = thread.irql;
    thread.irql = APC_LEVEL;
    while (!TryTake(FastMutex)) {
        // Owned by another thread: wait for it to be released, and try
        // again (another waiter may take it first). With one thread nothing
        // ever releases it, which the run loop reports; the mutex is then
        // taken over so that the test can end.
        __atomic_add_fetch(&FastMutex->Contention, 1, __ATOMIC_RELAXED);
        const bool released = harness::dispatcher::RunUntil(
            [FastMutex] { return __atomic_load_n(&FastMutex->Count, __ATOMIC_SEQ_CST) == 1; }, std::nullopt,
            "ExAcquireFastMutex", "fast mutex " + Hex(FastMutex) + " owned by " + Hex(OwnerOf(FastMutex)));
        if (!released) {
            __atomic_store_n(&FastMutex->Count, 0, __ATOMIC_SEQ_CST);
            break;
        }
    }
    Own(FastMutex, old);
}

BOOLEAN ExTryToAcquireFastMutex(PFAST_MUTEX FastMutex) {
    if (!MayAcquire(FastMutex, "ExTryToAcquireFastMutex")) return FALSE;
    if (!TryTake(FastMutex)) return FALSE;
    ThreadState& thread = Thread();
    const KIRQL old = thread.irql;
    thread.irql = APC_LEVEL;
    Own(FastMutex, old);
    return TRUE;
}

VOID ExReleaseFastMutex(PFAST_MUTEX FastMutex) {
    if (OwnerOf(FastMutex) != ThreadToken() || __atomic_load_n(&FastMutex->Count, __ATOMIC_SEQ_CST) != 0) {
        harness::BugCheck("FAST_MUTEX_NOT_OWNED", "ExReleaseFastMutex",
                          "fast mutex " + Hex(FastMutex) + " released by a thread that does not own it (owner " +
                              Hex(OwnerOf(FastMutex)) + ")");
        return;
    }
    ThreadState& thread = Thread();
    if (thread.irql != APC_LEVEL)
        harness::BugCheck("FAST_MUTEX_WRONG_IRQL", "ExReleaseFastMutex",
                          "fast mutex " + Hex(FastMutex) + " released at " + IrqlName(thread.irql) +
                              "; it is held at APC_LEVEL");
    const KIRQL old = static_cast<KIRQL>(FastMutex->OldIrql);
    __atomic_store_n(&FastMutex->Owner, nullptr, __ATOMIC_RELAXED);
    __atomic_store_n(&FastMutex->Count, 1, __ATOMIC_SEQ_CST);
    harness::dispatcher::NotifyWaiters();
    if (old <= thread.irql) LowerIrql(old, "ExReleaseFastMutex");
}
