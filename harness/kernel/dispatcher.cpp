// The virtual clock, scheduled device events, the deterministic scheduler and
// its run loop, and the dispatcher's reset and end-of-test checks.
#include "harness/kernel/dispatcher.h"

#include <algorithm>
#include <atomic>
#include <limits>
#include <map>
#include <unordered_map>
#include <utility>
#include <vector>

#include "harness/kernel/dispatcher_internal.h"
#include "harness/kernel/harness_lock.h"
#include "harness/kernel/kernel.h"
#include "harness/kernel/verifier.h"

namespace harness::dispatcher {

using namespace internal;

namespace {

constexpr int64_t kDefaultHangHorizon = 3600 * kSecond;
// Firings (DPC drains plus timer expiries and device events) allowed at one
// virtual instant before the machine is declared live-locked.
constexpr int kMaxRoundsAtOneInstant = 100000;

struct ScheduledEvent {
    EventId id;
    std::function<void()> action;
    std::string description;
};

struct Machine {
    int64_t now = 0;
    uint64_t sequence = 0;
    std::map<QueueKey, ScheduledEvent> events;
    std::unordered_map<EventId, QueueKey> eventKeys;
    // Events the clock has taken off the queue and whose action has yet to
    // start, with whether they were cancelled meanwhile (real time only:
    // the clock waits for the harness lock between the two).
    std::unordered_map<EventId, bool> firing;
    DpcDelivery delivery = DpcDelivery::Immediate;
    int64_t hangHorizon = kDefaultHangHorizon;
};

Machine& M() {
    static Machine machine;
    return machine;
}

// Never reset, so that an id kept from an earlier test never cancels a
// later event.
EventId g_nextEventId = 1;

// What keeps the machine busy, for hang and live-lock reports.
std::string DescribePending() {
    DispatcherScope locked;
    std::vector<std::string> items;
    for (PKTIMER timer : ArmedTimers()) items.push_back(DescribeTimer(timer));
    for (const auto& [key, event] : M().events)
        items.push_back("device event '" + event.description + "' at " + FormatTime(key.due));
    constexpr size_t kShown = 6;
    std::string out;
    for (size_t i = 0; i < items.size() && i < kShown; ++i) out += (i ? "; " : "") + items[i];
    if (items.size() > kShown) out += "; and " + std::to_string(items.size() - kShown) + " more";
    return items.empty() ? "nothing" : out;
}

// Runs a device event taken off the queue, at DISPATCH_LEVEL, without the
// dispatcher lock, and makes the checks of its return.
//
// The emulated hardware schedules and cancels its events under the harness
// lock, and takes a cancelled event as gone for good (a transfer withdrawn
// from the bus, a chip timer set again). In real time the clock takes an
// event off the queue and only then waits for the harness lock, while a
// thread holding it may cancel that event: so whether it was cancelled is
// looked at once the harness lock is held, and a cancelled one never runs.
void RunEvent(ScheduledEvent& event) {
    ThreadState& thread = Thread();
    const size_t held = thread.spinLocks.size();
    {
        // Emulated hardware: harness code through and through.
        HarnessScope harnessState;
        bool cancelled = false;
        {
            DispatcherScope locked;
            auto it = M().firing.find(event.id);
            if (it != M().firing.end()) {
                cancelled = it->second;
                M().firing.erase(it);
            }
        }
        if (event.action && !cancelled) event.action();
    }
    const std::string who = "device event '" + event.description + "'";
    if (thread.irql != DISPATCH_LEVEL) {
        BugCheck("DPC_RETURNED_AT_WRONG_IRQL", "device event",
                 who + " returned at " + IrqlName(thread.irql) + "; it was entered at DISPATCH_LEVEL");
        thread.irql = DISPATCH_LEVEL;
    }
    ReleaseLocksLeftBy(held, "SPIN_LOCK_HELD_AT_DPC_RETURN", "device event", who);
    NotifyWaiters();
}

// Fires every timer and device event due at or before `t`, in (due time,
// order set) order, at DISPATCH_LEVEL. Returns false after reporting a
// live-lock of events that keep scheduling more work at this instant.
bool FireEverythingDueAt(int64_t t, const char* waiter) {
    const KIRQL old = RaiseToDispatch();
    bool ok = true;
    for (int fired = 0;; ++fired) {
        const std::optional<QueueKey> next = EarliestActivity();
        if (!next || next->due > t) break;
        if (fired == kMaxRoundsAtOneInstant) {
            BugCheck("DPC_LIVELOCK", waiter,
                     "more than " + std::to_string(kMaxRoundsAtOneInstant) + " timer expiries and device events at " +
                         FormatTime(t) + "; still due: " + DescribePending());
            ok = false;
            break;
        }
        if (!FireEarliestActivity(t)) break;
    }
    LowerIrql(old, waiter);
    return ok;
}

class DeterministicScheduler final : public Scheduler {
public:
    int64_t Now() const override { return M().now; }

    void OnDpcQueued() override { DeliverIfImmediate(); }
    void OnIrqlBelowDispatch() override { DeliverIfImmediate(); }

    bool WaitUntil(const std::function<bool()>& done, std::optional<int64_t> deadline, const char* waiter,
                   const std::string& what) override {
        Machine& m = M();
        const int64_t start = m.now;
        int64_t lastInstant = m.now;
        int roundsAtInstant = 0;
        for (;;) {
            if (!DrainDpcQueue()) return false;
            if (RunOnePassiveWork()) continue;
            if (done()) return true;
            const std::optional<QueueKey> next = EarliestActivity();
            if (next && (!deadline || next->due <= *deadline)) {
                const int64_t t = std::max(next->due, m.now);
                if (!deadline && t - start > m.hangHorizon) {
                    BugCheck("WAIT_HANG", waiter,
                             Subject(what, waiter) + " still not satisfied at " + FormatTime(m.now) +
                                 ", more than " + FormatTime(m.hangHorizon) +
                                 " of virtual time into the wait; what remains: " +
                                 DescribePending());
                    return false;
                }
                roundsAtInstant = (t == lastInstant) ? roundsAtInstant + 1 : 0;
                lastInstant = t;
                if (roundsAtInstant > kMaxRoundsAtOneInstant) {
                    BugCheck("DPC_LIVELOCK", waiter,
                             "DPCs and device events keep re-queuing work at " + FormatTime(t) +
                                 " without time moving on; still due: " + DescribePending());
                    return false;
                }
                m.now = t;
                if (!FireEverythingDueAt(t, waiter)) return false;
                continue;
            }
            if (deadline) {
                m.now = std::max(m.now, *deadline);
                return false;
            }
            BugCheck("WAIT_HANG", waiter,
                     Subject(what, waiter) + " at virtual time " + FormatTime(m.now) +
                         " can never be satisfied: no DPC queued, no timer armed, no device event scheduled");
            return false;
        }
    }

    void OnSpinLockBusy(PKSPIN_LOCK lock, ULONG_PTR owner, const char* routine) override {
        // One processor, one thread: whoever the lock word names will never
        // run again to release it. Report and break the lock so the test ends.
        BugCheck("SPIN_LOCK_DEADLOCK", routine,
                 "spin lock " + Hex(lock) + " holds " + Hex(owner) +
                     ", not the calling thread; nothing can ever release it (never initialised with "
                     "KeInitializeSpinLock, overwritten, or taken on another host thread)");
        __atomic_store_n(lock, ULONG_PTR{0}, __ATOMIC_RELEASE);
    }

private:
    static void DeliverIfImmediate() {
        if (M().delivery == DpcDelivery::Immediate && Thread().irql < DISPATCH_LEVEL && !DpcQueueEmpty())
            DrainDpcQueue();
    }

    static std::string Subject(const std::string& what, const char* waiter) {
        return what.empty() ? std::string("the wait of ") + waiter : what;
    }
};

void ResetDispatcher() {
    Machine& m = M();
    // Actions are destroyed last, once the machine is consistent again: a
    // destructor may well call CancelScheduled.
    std::map<QueueKey, ScheduledEvent> dropped;
    DispatcherScope locked;
    dropped = std::move(m.events);
    m.events.clear();
    m.eventKeys.clear();
    m.firing.clear();
    m.now = 0;
    m.sequence = 0;
    m.delivery = DpcDelivery::Immediate;
    m.hangHorizon = kDefaultHangHorizon;
    ResetDpcQueue();
    ResetTimers();
    ResetClockInterrupt();
    ResetThread();
}

void CheckDispatcherQuiescent() {
    for (PKDPC dpc : QueuedDpcs())
        BugCheck("DPC_PENDING_AT_END", "VerifyQuiescent",
                 "DPC " + Hex(dpc) + " (routine " + RoutineName(reinterpret_cast<const void*>(dpc->DeferredRoutine)) +
                     ", context " + Hex(dpc->DeferredContext) + ") is still queued");
    for (PKTIMER timer : ArmedTimers())
        BugCheck("TIMER_ARMED_AT_END", "VerifyQuiescent", DescribeTimer(timer) + " is still armed");
    ThreadState& thread = Thread();
    for (PKSPIN_LOCK lock : thread.spinLocks)
        BugCheck("SPIN_LOCK_HELD_AT_END", "VerifyQuiescent", "spin lock " + Hex(lock) + " is still held");
    for (PKMUTEX mutex : thread.mutexes)
        BugCheck("MUTEX_HELD_AT_END", "VerifyQuiescent", "mutex " + Hex(mutex) + " is still owned");
    if (thread.irql != PASSIVE_LEVEL)
        BugCheck("IRQL_NOT_PASSIVE_AT_END", "VerifyQuiescent",
                 "the thread is still at " + IrqlName(thread.irql) +
                     " (a spin lock, fast mutex or raised IRQL never released)");
}

harness::ResetRegistration g_reset(harness::kResetDispatcher, &ResetDispatcher);
harness::QuiesceCheckRegistration g_quiesce(&CheckDispatcherQuiescent);

}  // namespace

DeterministicScheduler g_deterministic;
std::atomic<Scheduler*> g_active{&g_deterministic};

Scheduler& ActiveScheduler() { return *g_active.load(std::memory_order_acquire); }

int64_t Now() { return ActiveScheduler().Now(); }

// --- Scheduled device events -------------------------------------------------
EventId ScheduleAt(int64_t due, std::function<void()> action, std::string description) {
    const int64_t now = Now();
    DispatcherScope locked;
    Machine& m = M();
    const EventId id = g_nextEventId++;
    const QueueKey key{std::max(due, now), NextSequence()};
    m.events.emplace(key, ScheduledEvent{id, std::move(action), std::move(description)});
    m.eventKeys.emplace(id, key);
    ActiveScheduler().OnTimeQueueChanged();
    return id;
}

EventId ScheduleAfter(int64_t delay, std::function<void()> action, std::string description) {
    return ScheduleAt(SaturatingAdd(Now(), std::max<int64_t>(delay, 0)), std::move(action), std::move(description));
}

bool CancelScheduled(EventId id) {
    decltype(M().events)::node_type node;  // destroyed after the maps are consistent and unlocked
    DispatcherScope locked;
    Machine& m = M();
    auto it = m.eventKeys.find(id);
    if (it == m.eventKeys.end()) {
        // Taken off the queue by the clock, which has yet to start it.
        auto firing = m.firing.find(id);
        if (firing == m.firing.end() || firing->second) return false;
        firing->second = true;
        return true;
    }
    node = m.events.extract(it->second);
    m.eventKeys.erase(it);
    return true;
}

bool IsScheduled(EventId id) {
    DispatcherScope locked;
    if (M().eventKeys.count(id) != 0) return true;
    auto firing = M().firing.find(id);
    return firing != M().firing.end() && !firing->second;
}

size_t ScheduledEventCount() {
    DispatcherScope locked;
    return M().events.size();
}

// --- Running the machine ------------------------------------------------------
bool RunUntil(const std::function<bool()>& done, std::optional<int64_t> deadline, const char* waiter,
              const std::string& what) {
    ThreadState& thread = Thread();
    if (thread.irql >= DISPATCH_LEVEL || !thread.spinLocks.empty()) {
        BugCheck("IRQL_NOT_LESS_OR_EQUAL", waiter,
                 std::string(waiter) + " runs the machine at " + IrqlName(thread.irql) +
                     (thread.spinLocks.empty() ? "" : " holding spin lock " + Hex(thread.spinLocks.back())) +
                     "; waiting is only possible below DISPATCH_LEVEL with no spin lock held");
        return false;
    }
    return ActiveScheduler().WaitUntil(done, deadline, waiter, what);
}

void RunFor(int64_t duration) {
    RunUntil([] { return false; }, SaturatingAdd(Now(), std::max<int64_t>(duration, 0)), "RunFor");
}

bool RunUntilIdle(int64_t horizon) {
    auto idle = [] {
        DispatcherScope locked;
        return DpcQueueEmpty() && PassiveWorkQueueEmpty() && !EarliestTimer() && M().events.empty() &&
               RealTimeBusyCount() == 0;
    };
    return RunUntil(idle, SaturatingAdd(Now(), std::max<int64_t>(horizon, 0)), "RunUntilIdle");
}

void RunDpcs() {
    if (!RealTimeActive()) {
        DrainDpcQueue();
        return;
    }
    // The processors run them: wait until they have.
    RunUntil(
        [] {
            DispatcherScope locked;
            return DpcQueueEmpty() && RealTimeBusyCount() == 0;
        },
        std::nullopt, "RunDpcs", "the DPC queue to drain");
}

void AdvanceClock(int64_t duration) {
    // In real time the clock cannot be stepped: time passes as it does.
    if (RealTimeActive()) {
        RunFor(duration);
        return;
    }
    Machine& m = M();
    const int64_t target = SaturatingAdd(m.now, std::max<int64_t>(duration, 0));
    for (std::optional<QueueKey> next; (next = EarliestActivity()) && next->due <= target;) {
        m.now = std::max(next->due, m.now);
        if (!FireEverythingDueAt(m.now, "AdvanceClock")) break;
    }
    m.now = std::max(m.now, target);
}

void SetHangHorizon(int64_t horizon) {
    DispatcherScope locked;
    M().hangHorizon = horizon;
}

void SetDpcDelivery(DpcDelivery delivery) { M().delivery = delivery; }
DpcDelivery GetDpcDelivery() { return M().delivery; }

std::string DescribeActiveObjectsIn(const void* base, size_t size) {
    const auto begin = reinterpret_cast<uintptr_t>(base);
    auto inside = [&](const volatile void* p) {
        const auto a = reinterpret_cast<uintptr_t>(p);
        return a >= begin && a - begin < size;
    };
    DispatcherScope locked;
    std::string out;
    auto add = [&](const std::string& s) { out += (out.empty() ? "" : "; ") + s; };
    for (PKDPC dpc : QueuedDpcs())
        if (inside(dpc))
            add("queued DPC " + Hex(dpc) + " (routine " +
                RoutineName(reinterpret_cast<const void*>(dpc->DeferredRoutine)) + ")");
    // An armed timer outside the block whose DPC lies inside would queue
    // freed memory at its expiry: Windows checks the timer, its DPC and the
    // DPC routine of every armed timer against the range (TIMER_OR_DPC_INVALID
    // parameter 1 is 0, 1 or 2 for the three).
    for (PKTIMER timer : ArmedTimers())
        if (inside(timer))
            add("armed " + DescribeTimer(timer));
        else if (timer->Dpc != nullptr && inside(timer->Dpc))
            add("DPC " + Hex(timer->Dpc) + " of armed " + DescribeTimer(timer));
    for (PKSPIN_LOCK lock : Thread().spinLocks)
        if (inside(lock)) add("held spin lock " + Hex(lock));
    return out;
}

namespace internal {

uint64_t NextSequence() {
    DispatcherScope locked;
    return ++M().sequence;
}

void AdvanceClockWithoutRunning(int64_t duration) {
    if (RealTimeActive()) {
        RealTimeStall(duration);
        return;
    }
    M().now = SaturatingAdd(M().now, std::max<int64_t>(duration, 0));
}

std::optional<QueueKey> EarliestActivity() {
    DispatcherScope locked;
    std::optional<QueueKey> next = EarliestTimer();
    if (!M().events.empty() && (!next || M().events.begin()->first < *next)) next = M().events.begin()->first;
    return next;
}

bool FireEarliestActivity(int64_t t) {
    ScheduledEvent event;
    {
        // What is earliest, whether it is still due, and taking it off its
        // queue are one step: in real time another processor may cancel a
        // timer or an event between the caller's look and this call.
        DispatcherScope locked;
        const std::optional<QueueKey> timer = EarliestTimer();
        const bool eventFirst = !M().events.empty() && (!timer || M().events.begin()->first < *timer);
        if (!eventFirst) return ExpireEarliestTimer(t);
        auto it = M().events.begin();
        if (it->first.due > t) return false;
        event = std::move(it->second);
        M().eventKeys.erase(event.id);
        M().events.erase(it);
        M().firing.emplace(event.id, false);
    }
    RunEvent(event);
    return true;
}

int64_t VirtualNow() { return M().now; }
void SetVirtualNow(int64_t now) { M().now = std::max(M().now, now); }
void SetActiveScheduler(Scheduler* scheduler) { g_active.store(scheduler, std::memory_order_release); }
Scheduler* DeterministicSchedulerInstance() { return &g_deterministic; }
int64_t HangHorizon() {
    DispatcherScope locked;
    return M().hangHorizon;
}

int64_t SaturatingAdd(int64_t a, int64_t b) {
    int64_t r;
    if (__builtin_add_overflow(a, b, &r)) return b > 0 ? std::numeric_limits<int64_t>::max()
                                                       : std::numeric_limits<int64_t>::min();
    return r;
}

int64_t ToVirtualTime(LONGLONG due) {
    if (due < 0) {
        const int64_t delta = due == std::numeric_limits<int64_t>::min() ? std::numeric_limits<int64_t>::max() : -due;
        return SaturatingAdd(Now(), delta);
    }
    return due - BootSystemTime();
}

}  // namespace internal

}  // namespace harness::dispatcher
