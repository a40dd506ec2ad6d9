// Kernel mutexes: owned by a thread, acquired by a wait on them (recursively
// by their owner), released with KeReleaseMutex.
#include <algorithm>

#include "harness/kernel/dispatcher_internal.h"
#include "harness/kernel/verifier.h"

namespace harness::dispatcher::internal {

void TakeMutex(PKMUTEX mutex) {
    DispatcherScope locked;
    if (mutex->OwnerThread != ThreadToken()) {
        mutex->OwnerThread = ThreadToken();
        Thread().mutexes.push_back(mutex);
    }
    --mutex->Header.SignalState;
}

}  // namespace harness::dispatcher::internal

using namespace harness::dispatcher::internal;

VOID KeInitializeMutex(PKMUTEX Mutex, ULONG Level) {
    (void)Level;  // ordering levels are not checked
    Mutex->Header.Type = kMutantObject;
    Mutex->Header.Signalling = 0;
    Mutex->Header.Size = sizeof(KMUTEX) / sizeof(LONG);
    Mutex->Header.Reserved1 = 0;
    Mutex->Header.SignalState = 1;
    InitializeListHead(&Mutex->Header.WaitListHead);
    InitializeListHead(&Mutex->MutantListEntry);
    Mutex->OwnerThread = nullptr;
    Mutex->Abandoned = FALSE;
    Mutex->ApcDisable = 1;
}

LONG KeReleaseMutex(PKMUTEX Mutex, BOOLEAN Wait) {
    const KIRQL irql = Thread().irql;
    if (irql > DISPATCH_LEVEL)
        harness::BugCheck("IRQL_NOT_LESS_OR_EQUAL", "KeReleaseMutex",
                          "mutex " + Hex(Mutex) + " released at " + IrqlName(irql) + ", above DISPATCH_LEVEL");
    if (Mutex->Header.Type != kMutantObject) {
        harness::BugCheck("OBJECT_NOT_INITIALIZED", "KeReleaseMutex",
                          "KMUTEX " + Hex(Mutex) + " has type " + Hex(Mutex->Header.Type) +
                              ": never initialised with KeInitializeMutex");
        return 0;
    }
    LONG previous;
    {
        DispatcherScope locked;
        previous = Mutex->Header.SignalState;
        if (Mutex->OwnerThread != ThreadToken() || previous > 0) {
            harness::BugCheck("MUTEX_NOT_OWNED", "KeReleaseMutex",
                              "mutex " + Hex(Mutex) + " released by a thread that does not own it (owner " +
                                  Hex(Mutex->OwnerThread) + ")");
            return previous;
        }
        if (++Mutex->Header.SignalState == 1) {
            Mutex->OwnerThread = nullptr;
            auto& owned = Thread().mutexes;
            owned.erase(std::find(owned.begin(), owned.end(), Mutex));
            harness::dispatcher::NotifyWaiters();
        }
    }
    if (Wait) BeginWaitNext();
    return previous;
}

LONG KeReadStateMutex(PKMUTEX Mutex) {
    DispatcherScope locked;
    return Mutex->Header.SignalState;
}
