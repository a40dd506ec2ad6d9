// Kernel events: notification events stay signalled until reset, a wait
// satisfied on a synchronization event resets it, and setting one that a
// thread waits on releases that thread without the event ever being set.
#include "harness/kernel/dispatcher_internal.h"
#include "harness/kernel/verifier.h"

using namespace harness::dispatcher::internal;

namespace {

bool CheckEvent(const KEVENT* event, const char* routine) {
    const KIRQL irql = Thread().irql;
    if (irql > DISPATCH_LEVEL)
        harness::BugCheck("IRQL_NOT_LESS_OR_EQUAL", routine,
                          "event " + Hex(event) + " used at " + IrqlName(irql) + ", above DISPATCH_LEVEL");
    if (event->Header.Type == kEventNotificationObject || event->Header.Type == kEventSynchronizationObject)
        return true;
    harness::BugCheck("OBJECT_NOT_INITIALIZED", routine,
                      "KEVENT " + Hex(event) + " has type " + Hex(event->Header.Type) +
                          ": never initialised with KeInitializeEvent");
    return false;
}

LONG Exchange(PKEVENT event, LONG state) {
    return __atomic_exchange_n(&event->Header.SignalState, state, __ATOMIC_SEQ_CST);
}

}  // namespace

VOID KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
    Event->Header.Type = Type == SynchronizationEvent ? kEventSynchronizationObject : kEventNotificationObject;
    Event->Header.Signalling = 0;
    Event->Header.Size = sizeof(KEVENT) / sizeof(LONG);
    Event->Header.Reserved1 = 0;
    Event->Header.SignalState = State ? 1 : 0;
    InitializeListHead(&Event->Header.WaitListHead);
}

LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait) {
    (void)Increment;  // one thread: no priority boost to give
    if (!CheckEvent(Event, "KeSetEvent")) return 0;
    LONG previous;
    {
        DispatcherScope locked;
        // A synchronization event with a waiter releases the waiter and
        // stays clear; the state before was clear too, or nobody would be
        // waiting.
        const bool handedOver = Event->Header.Type == kEventSynchronizationObject &&
                                KeReadStateEvent(Event) == 0 && SatisfyOneWaiter(&Event->Header);
        previous = handedOver ? 0 : Exchange(Event, 1);
        harness::dispatcher::NotifyWaiters();
    }
    if (Wait) BeginWaitNext();
    return previous;
}

VOID KeClearEvent(PRKEVENT Event) {
    if (!CheckEvent(Event, "KeClearEvent")) return;
    DispatcherScope locked;
    Exchange(Event, 0);
}

LONG KeResetEvent(PRKEVENT Event) {
    if (!CheckEvent(Event, "KeResetEvent")) return 0;
    DispatcherScope locked;
    return Exchange(Event, 0);
}

LONG KeReadStateEvent(PRKEVENT Event) { return __atomic_load_n(&Event->Header.SignalState, __ATOMIC_SEQ_CST); }
