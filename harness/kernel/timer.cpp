// Kernel timers: the timer queue ordered by the clock tick at which each
// timer expires and by the order in which timers were set; expiry signals
// the timer, queues its DPC and re-arms a periodic timer.
//
// Timers expire only at clock interrupts, as on Windows: a timer is due at
// its due time and expires at the first tick at or after it (the interrupt
// at time T expires every timer due at or before T). A relative due time
// counts from the time of the latest tick, the system time the kernel keeps,
// not from the exact present, so it may expire up to one tick early and a
// relative time of a tick or less expires at the next tick (documented
// Windows behaviour for timer accuracy). KTIMER.DueTime holds the due time
// itself, in interrupt time, not the tick.
#include <limits>
#include <map>
#include <unordered_map>

#include "harness/kernel/dispatcher_internal.h"
#include "harness/kernel/verifier.h"

namespace harness::dispatcher::internal {

namespace {

struct ArmedTimer {
    PKTIMER timer;
    int64_t due;  // before rounding to a tick
};

struct TimerQueue {
    std::map<QueueKey, ArmedTimer> byTick;
    std::unordered_map<const KTIMER*, QueueKey> keys;
};

TimerQueue& Timers() {
    static TimerQueue queue;
    return queue;
}

void Insert(PKTIMER timer, int64_t due, uint64_t sequence) {
    const QueueKey key{TickAtOrAfter(due), sequence};
    Timers().byTick.emplace(key, ArmedTimer{timer, due});
    Timers().keys[timer] = key;
}

void Arm(PKTIMER timer, int64_t due) {
    Insert(timer, due, NextSequence());
    timer->DueTime.QuadPart = static_cast<ULONGLONG>(due);
    ActiveScheduler().OnTimeQueueChanged();
}

bool Disarm(const KTIMER* timer) {
    auto it = Timers().keys.find(timer);
    if (it == Timers().keys.end()) return false;
    Timers().byTick.erase(it->second);
    Timers().keys.erase(it);
    return true;
}

// The next due time of a periodic timer: one period after `due`, so the
// periods do not drift. A period shorter than the clock tick cannot be
// kept: the timer expires once per tick and the periods that fell between
// two ticks are skipped (a harness choice, rather than expiring the timer
// again and again at one tick).
int64_t NextPeriod(int64_t due, LONG periodMs) {
    const int64_t period = int64_t{periodMs} * kMillisecond;
    const int64_t tick = LastTick(Now());
    int64_t next = SaturatingAdd(due, period);
    if (next <= tick) next = SaturatingAdd(next, ((tick - next) / period + 1) * period);
    return next;
}

// The timer's due time has come: it is signalled (a synchronization timer
// with a waiter releases it and stays clear), its DPC queued with the
// system time of expiry, and a periodic timer is set again one period after
// the time it was due. Returns true if a DPC was queued.
bool Expire(PKTIMER timer, int64_t due) {
    const bool handedOver = timer->Header.Type == kTimerSynchronizationObject && timer->Header.SignalState == 0 &&
                            SatisfyOneWaiter(&timer->Header);
    if (!handedOver) __atomic_store_n(&timer->Header.SignalState, 1, __ATOMIC_SEQ_CST);
    NotifyWaiters();
    if (timer->Period > 0) Arm(timer, NextPeriod(due, timer->Period));
    if (!timer->Dpc) return false;
    const int64_t systemTime = BootSystemTime() + LastTick(Now());
    return QueueDpc(timer->Dpc, reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(static_cast<ULONG>(systemTime))),
                    reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(static_cast<ULONG>(systemTime >> 32))));
}

// A due time as KeSetTimer takes it: negative is relative to the latest
// tick, zero or positive is absolute system time. Returns interrupt time.
int64_t DueTimeOf(LONGLONG due) {
    if (due >= 0) return due - BootSystemTime();
    const int64_t delta = due == std::numeric_limits<int64_t>::min() ? std::numeric_limits<int64_t>::max() : -due;
    return SaturatingAdd(LastTick(Now()), delta);
}

bool IsTimer(const KTIMER* timer) {
    return timer->Header.Type == kTimerNotificationObject || timer->Header.Type == kTimerSynchronizationObject;
}

void CheckIrql(const KTIMER* timer, const char* routine) {
    const KIRQL irql = Thread().irql;
    if (irql > DISPATCH_LEVEL)
        harness::BugCheck("IRQL_NOT_LESS_OR_EQUAL", routine,
                          "timer " + Hex(timer) + " used at " + IrqlName(irql) + ", above DISPATCH_LEVEL");
}

}  // namespace

std::optional<QueueKey> EarliestTimer() {
    DispatcherScope locked;
    if (Timers().byTick.empty()) return std::nullopt;
    return Timers().byTick.begin()->first;
}

bool ExpireEarliestTimer(int64_t t) {
    DispatcherScope locked;
    auto it = Timers().byTick.begin();
    if (it == Timers().byTick.end() || it->first.due > t) return false;
    const ArmedTimer armed = it->second;
    Timers().byTick.erase(it);
    Timers().keys.erase(armed.timer);
    Expire(armed.timer, armed.due);
    return true;
}

std::vector<PKTIMER> ArmedTimers() {
    DispatcherScope locked;
    std::vector<PKTIMER> timers;
    for (const auto& [key, armed] : Timers().byTick) timers.push_back(armed.timer);
    return timers;
}

std::string DescribeTimer(const KTIMER* timer) {
    DispatcherScope locked;
    std::string out = "timer " + Hex(timer);
    auto it = Timers().keys.find(timer);
    if (it == Timers().keys.end()) return out;
    const int64_t due = Timers().byTick.at(it->second).due;
    out += " (due at " + FormatTime(due);
    if (it->second.due != due) out += ", expires at the tick at " + FormatTime(it->second.due);
    if (timer->Period > 0) out += ", period " + std::to_string(timer->Period) + " ms";
    if (timer->Dpc)
        out += ", DPC routine " + RoutineName(reinterpret_cast<const void*>(timer->Dpc->DeferredRoutine));
    return out + ")";
}

// Forgets the queue without touching the timers: their memory may be gone.
void ResetTimers() {
    DispatcherScope locked;
    Timers().byTick.clear();
    Timers().keys.clear();
}

void RetimeTimers() {
    DispatcherScope locked;
    std::map<QueueKey, ArmedTimer> armed = std::move(Timers().byTick);
    Timers().byTick.clear();
    Timers().keys.clear();
    for (const auto& [key, entry] : armed) Insert(entry.timer, entry.due, key.sequence);
}

}  // namespace harness::dispatcher::internal

namespace harness::dispatcher {

int64_t TimeUntilExpiry(LONGLONG dueTime) {
    internal::DispatcherScope locked;
    const int64_t due = internal::DueTimeOf(dueTime);
    if (due <= internal::LastTick(Now())) return 0;
    return TickAtOrAfter(due) - Now();
}

size_t ArmedTimerCount() {
    internal::DispatcherScope locked;
    return internal::Timers().keys.size();
}

bool IsArmed(const KTIMER* timer) {
    internal::DispatcherScope locked;
    return internal::Timers().keys.count(timer) != 0;
}

}  // namespace harness::dispatcher

using namespace harness::dispatcher::internal;

VOID KeInitializeTimer(PKTIMER Timer) { KeInitializeTimerEx(Timer, NotificationTimer); }

VOID KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type) {
    DispatcherScope locked;
    if (Disarm(Timer))
        harness::BugCheck("TIMER_REINITIALIZED_WHILE_ARMED", "KeInitializeTimerEx",
                          "timer " + Hex(Timer) + " is initialised again while it is armed");
    Timer->Header.Type = Type == SynchronizationTimer ? kTimerSynchronizationObject : kTimerNotificationObject;
    Timer->Header.Signalling = 0;
    Timer->Header.Size = sizeof(KTIMER) / sizeof(LONG);
    Timer->Header.Reserved1 = 0;
    Timer->Header.SignalState = 0;
    InitializeListHead(&Timer->Header.WaitListHead);
    Timer->DueTime.QuadPart = 0;
    Timer->TimerListEntry.Flink = Timer->TimerListEntry.Blink = nullptr;
    Timer->Dpc = nullptr;
#if defined(KM_X64)
    Timer->Processor = 0;
#endif
    Timer->Period = 0;
}

BOOLEAN KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc) {
    return KeSetTimerEx(Timer, DueTime, 0, Dpc);
}

BOOLEAN KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc) {
    CheckIrql(Timer, "KeSetTimerEx");
    if (!IsTimer(Timer)) {
        harness::BugCheck("OBJECT_NOT_INITIALIZED", "KeSetTimerEx",
                          "KTIMER " + Hex(Timer) + " has type " + Hex(Timer->Header.Type) +
                              ": never initialised with KeInitializeTimer(Ex)");
        return FALSE;
    }
    if (Dpc && Dpc->Type != kDpcObject) {
        harness::BugCheck("OBJECT_NOT_INITIALIZED", "KeSetTimerEx",
                          "timer " + Hex(Timer) + " is set with KDPC " + Hex(Dpc) +
                              ", never initialised with KeInitializeDpc");
        Dpc = nullptr;
    }
    bool wasArmed, queued = false;
    {
        DispatcherScope locked;
        wasArmed = Disarm(Timer);
        __atomic_store_n(&Timer->Header.SignalState, 0, __ATOMIC_SEQ_CST);
        Timer->Dpc = Dpc;
        Timer->Period = Period > 0 ? Period : 0;
        // Already due by the kernel's time (the latest tick): the kernel
        // expires such a timer on the spot instead of queueing it.
        const int64_t due = DueTimeOf(DueTime.QuadPart);
        if (due > LastTick(harness::dispatcher::Now()))
            Arm(Timer, due);
        else
            queued = Expire(Timer, due);
    }
    if (queued) harness::dispatcher::ActiveScheduler().OnDpcQueued();
    return wasArmed ? TRUE : FALSE;
}

BOOLEAN KeCancelTimer(PKTIMER Timer) {
    CheckIrql(Timer, "KeCancelTimer");
    DispatcherScope locked;
    return Disarm(Timer) ? TRUE : FALSE;
}

BOOLEAN KeReadStateTimer(PKTIMER Timer) {
    return __atomic_load_n(&Timer->Header.SignalState, __ATOMIC_SEQ_CST) != 0 ? TRUE : FALSE;
}
