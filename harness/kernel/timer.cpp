// Kernel timers: the timer queue ordered by due time and by the order in
// which timers were set; expiry signals the timer, queues its DPC and
// re-arms a periodic timer.
#include <map>
#include <unordered_map>

#include "harness/kernel/dispatcher_internal.h"
#include "harness/kernel/verifier.h"

namespace harness::dispatcher::internal {

namespace {

struct TimerQueue {
    std::map<QueueKey, PKTIMER> byDue;
    std::unordered_map<const KTIMER*, QueueKey> keys;
};

TimerQueue& Timers() {
    static TimerQueue queue;
    return queue;
}

void Arm(PKTIMER timer, int64_t due) {
    const QueueKey key{due, NextSequence()};
    Timers().byDue.emplace(key, timer);
    Timers().keys[timer] = key;
    timer->DueTime.QuadPart = static_cast<ULONGLONG>(due);
}

bool Disarm(const KTIMER* timer) {
    auto it = Timers().keys.find(timer);
    if (it == Timers().keys.end()) return false;
    Timers().byDue.erase(it->second);
    Timers().keys.erase(it);
    return true;
}

// The timer's due time has come: it is signalled, its DPC queued with the
// system time of expiry, and a periodic timer is set again one period after
// the time it was due (so periods do not drift). Returns true if a DPC was
// queued.
bool Expire(PKTIMER timer, int64_t due) {
    timer->Header.SignalState = 1;
    if (timer->Period > 0) Arm(timer, SaturatingAdd(due, int64_t{timer->Period} * kMillisecond));
    if (!timer->Dpc) return false;
    const int64_t systemTime = BootSystemTime() + Now();
    return QueueDpc(timer->Dpc, reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(static_cast<ULONG>(systemTime))),
                    reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(static_cast<ULONG>(systemTime >> 32))));
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
    if (Timers().byDue.empty()) return std::nullopt;
    return Timers().byDue.begin()->first;
}

void ExpireEarliestTimer() {
    auto it = Timers().byDue.begin();
    const QueueKey key = it->first;
    PKTIMER timer = it->second;
    Timers().byDue.erase(it);
    Timers().keys.erase(timer);
    Expire(timer, key.due);
}

std::vector<PKTIMER> ArmedTimers() {
    std::vector<PKTIMER> timers;
    for (const auto& [key, timer] : Timers().byDue) timers.push_back(timer);
    return timers;
}

std::string DescribeTimer(const KTIMER* timer) {
    std::string out = "timer " + Hex(timer);
    auto it = Timers().keys.find(timer);
    if (it == Timers().keys.end()) return out;
    out += " (due at " + FormatTime(it->second.due);
    if (timer->Period > 0) out += ", period " + std::to_string(timer->Period) + " ms";
    if (timer->Dpc)
        out += ", DPC routine " + RoutineName(reinterpret_cast<const void*>(timer->Dpc->DeferredRoutine));
    return out + ")";
}

// Forgets the queue without touching the timers: their memory may be gone.
void ResetTimers() {
    Timers().byDue.clear();
    Timers().keys.clear();
}

}  // namespace harness::dispatcher::internal

namespace harness::dispatcher {

size_t ArmedTimerCount() { return internal::Timers().keys.size(); }

bool IsArmed(const KTIMER* timer) { return internal::Timers().keys.count(timer) != 0; }

}  // namespace harness::dispatcher

using namespace harness::dispatcher::internal;

VOID KeInitializeTimer(PKTIMER Timer) { KeInitializeTimerEx(Timer, NotificationTimer); }

VOID KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type) {
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
    Timer->Processor = 0;
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
    const bool wasArmed = Disarm(Timer);
    Timer->Header.SignalState = 0;
    Timer->Dpc = Dpc;
    Timer->Period = Period > 0 ? Period : 0;
    const int64_t due = ToVirtualTime(DueTime.QuadPart);
    const int64_t now = harness::dispatcher::Now();
    if (due > now) {
        Arm(Timer, due);
    } else if (Expire(Timer, now)) {
        // Already due: the kernel expires such a timer on the spot.
        harness::dispatcher::ActiveScheduler().OnDpcQueued();
    }
    return wasArmed ? TRUE : FALSE;
}

BOOLEAN KeCancelTimer(PKTIMER Timer) {
    CheckIrql(Timer, "KeCancelTimer");
    return Disarm(Timer) ? TRUE : FALSE;
}

BOOLEAN KeReadStateTimer(PKTIMER Timer) { return Timer->Header.SignalState != 0 ? TRUE : FALSE; }
