// The emulated kernel's dispatcher: virtual clock, deferred procedure calls,
// timers, scheduled device activity and the run loop that moves the machine
// forward while a thread waits.
//
// Time
//   Virtual time counts 100 ns units since boot and starts at 0 after
//   harness::ResetKernel(). It moves only while the machine runs: a wait or
//   delay of the driver, or a Run* call of a test. A test that waits three
//   seconds for a time-out costs no real time and leaves the clock at exactly
//   3 s.
//
//   The clock interrupt ticks every TimeIncrement(), at multiples of it
//   since boot: 15.625 ms, as KeQueryTimeIncrement reports, unless a test
//   chooses another with SetTimeIncrement. As on Windows:
//     - kernel timers expire only at ticks: a timer expires at the first
//       tick at or after its due time, so a due time exactly on a tick
//       expires at that tick and a relative -1 at the next one. A relative
//       due time counts from the latest tick, not the exact present, so it
//       may expire up to one tick early; a due time at or before the latest
//       tick expires at once. Each expiry of a periodic timer is due one
//       period after the previous due time and expires at a tick.
//     - KeQuerySystemTime (a fixed boot date plus the time of the tick),
//       KeQueryInterruptTime and KeQueryTickCount read what the latest tick
//       stored and stand still between ticks. KeQueryPerformanceCounter and
//       Now() are exact.
//   Not rounded, by choice of the harness: wait and delay time-outs
//   (KeWaitForSingleObject, KeDelayExecutionThread) end at exactly their
//   deadline, so a driver's 3-second time-out ends at 3 s on the virtual
//   clock, where Windows ends it at a clock tick near 3 s.
//   Scheduled device events are hardware, not timers, and are not rounded
//   either.

// The run loop
//   RunUntil(done, deadline) repeats: run all queued DPCs; stop if done();
//   otherwise take the earliest timer expiry or scheduled device event not
//   later than the deadline, move the clock to it and fire everything due at
//   that instant (timers in the order they were set, device events FIFO,
//   interleaved by the order in which they were set or scheduled); with
//   nothing left before the deadline, move the clock to the deadline and
//   stop. An infinite wait with nothing left that could ever end it is a hang
//   and is reported as WAIT_HANG.
//
// DPC delivery
//   Immediate (default) behaves like one real processor: queued DPCs run as
//   soon as the IRQL of the thread drops below DISPATCH_LEVEL, including
//   straight away when KeInsertQueueDpc is called below DISPATCH_LEVEL.
//   Manual leaves them queued until the machine runs (a wait, a Run* call,
//   RunDpcs()), so a test can arrange interleavings such as cancelling a
//   request while its time-out DPC is queued but has not yet run.
//
// Threads
//   By default everything is single-threaded and deterministic: tests call
//   the driver from one host thread, and DPCs, timers and device events run
//   on that thread inside the run loop. Per-thread state (IRQL, spin locks
//   held, fast mutexes and mutexes owned) is thread_local; spin locks are
//   real atomic lock words holding their owner, and DpcData is claimed with
//   an atomic compare-exchange.
//
//   The policy of who runs what, and when, sits behind `Scheduler`. The
//   real-time scheduler (UseRealTime) is the second implementation, with no
//   change to the driver or to the Ke* routines:
//     - Now() follows the host's monotonic clock, carrying on from the
//       virtual time at which the machine switched;
//     - queued DPCs are run by `processors` emulated processor threads that
//       drain the DPC queue in parallel, each DPC at DISPATCH_LEVEL on the
//       processor that took it, never on the thread that queued it;
//     - a clock thread fires timers (at clock ticks) and device events as
//       wall-clock time reaches them, at DISPATCH_LEVEL;
//     - a worker thread runs queued passive work at PASSIVE_LEVEL;
//     - WaitUntil blocks the calling thread on a condition variable that
//       every signal (KeSetEvent, timer expiry, mutex release, a DPC, device
//       event or work item ending, a request completing) notifies;
//     - OnSpinLockBusy spins (with a pause) until the owner releases the
//       lock word.
//   The dispatcher database (DPC queue, timer queue, device events, passive
//   work, wait blocks and the signal states of waited objects) is guarded by
//   one dispatcher lock taken inside the dispatcher's routines and never
//   held while driver code runs, as in the real kernel. Real time is for
//   stress runs: it is not reproducible, and DPC delivery (Manual), clock
//   stepping and the live-lock checks of the run loop do not apply to it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "harness/km/ke.h"

namespace harness::dispatcher {

// --- Units ------------------------------------------------------------------
constexpr int64_t kMicrosecond = 10;
constexpr int64_t kMillisecond = 10 * 1000;
constexpr int64_t kSecond = 10 * 1000 * 1000;

// --- Clock ------------------------------------------------------------------
// Length of a clock tick: 15.625 ms (64 ticks a second) by default; Windows
// runs the clock interrupt at 0.5 ms to 15.625 ms.
constexpr int64_t kDefaultTimeIncrement = 156250;
constexpr int64_t kMinimumTimeIncrement = 5000;
constexpr int64_t kMaximumTimeIncrement = 156250;

int64_t Now();                   // virtual time, 100 ns units since boot
int64_t TimeIncrement();         // length of a clock tick (KeQueryTimeIncrement)
int64_t BootSystemTime();        // system time at boot: 2026-01-01 00:00 UTC, 100 ns since 1601
std::string FormatTime(int64_t t);  // "3.000000 s"

// Sets the length of the clock tick, as on a machine with a raised timer
// resolution (a test of the exact arithmetic of a driver time-out); the
// kernel reset returns it to the default. Callable at any time: ticks
// counted so far are kept, the new rate ticks on from the latest tick, and
// armed timers move to the first tick of the new rate at or after their due
// time. Windows keeps KeQueryTimeIncrement constant while it runs, so set
// it before the driver loads if the driver reads it. A length outside
// [kMinimumTimeIncrement, kMaximumTimeIncrement] is reported as
// TIME_INCREMENT_OUT_OF_RANGE and changes nothing (returns false).
bool SetTimeIncrement(int64_t increment);
// The time of the first clock tick at or after `t`: when a timer due at `t`
// expires.
int64_t TickAtOrAfter(int64_t t);
// How long from now until a timer set now with `dueTime` (as KeSetTimer
// takes it: negative is relative, else absolute system time) expires; 0 if
// it would expire on the spot.
int64_t TimeUntilExpiry(LONGLONG dueTime);

// --- Scheduled device events -------------------------------------------------
// Emulated hardware (the USB bus, the chip model) schedules its activity on
// the clock. Actions run at DISPATCH_LEVEL, in time order, FIFO among equal
// times and interleaved with timer expiries. A due time in the past means
// "at the next run of the machine". Scheduled events are not reported at the
// end of a test (hardware may be periodically busy) and are dropped by reset.
using EventId = uint64_t;  // never 0
EventId ScheduleAt(int64_t due, std::function<void()> action, std::string description);
EventId ScheduleAfter(int64_t delay, std::function<void()> action, std::string description);
// True if the event had not started: it will not run. In real time an
// event the clock has taken off the queue counts as pending until its action
// starts under the harness lock, so a caller holding that lock always stops it.
bool CancelScheduled(EventId id);
bool IsScheduled(EventId id);  // pending as CancelScheduled sees it
size_t ScheduledEventCount();  // events still in the queue

// --- Running the machine ------------------------------------------------------
// Runs the machine until done() returns true (returns true) or virtual time
// reaches `deadline` (returns false, the clock then stands exactly at the
// deadline); no deadline waits forever. Callable below DISPATCH_LEVEL with
// no spin lock held only; `waiter` names the routine that waits and `what`
// what it waits for, both for the WAIT_HANG report.
bool RunUntil(const std::function<bool()>& done, std::optional<int64_t> deadline, const char* waiter,
              const std::string& what = "");
void RunFor(int64_t duration);  // advances by duration, running everything due
// Runs until nothing is queued, armed or scheduled, or until `horizon` of
// virtual time has passed (periodic timers and periodic hardware never go
// idle). Returns true if the machine went idle.
bool RunUntilIdle(int64_t horizon = 60 * kSecond);
void RunDpcs();  // runs queued DPCs now, without advancing time
// Moves the clock forward by `duration`, expiring timers and firing device
// events as their times come, but runs DPCs only as the delivery policy
// says: under Manual delivery the DPCs they queue stay queued, so a test can
// act between a time-out's expiry and its DPC. Callable at or below
// DISPATCH_LEVEL.
void AdvanceClock(int64_t duration);

// An infinite wait is reported as a hang once the machine's next activity
// lies more than this much virtual time after the wait began (default: one
// hour): periodic timers and periodic hardware would otherwise keep a wait
// that nothing satisfies running forever.
void SetHangHorizon(int64_t horizon);

// --- Work for system worker threads ---------------------------------------------
// Work that a system worker thread runs at PASSIVE_LEVEL (IoQueueWorkItem).
// Windows runs it on a worker thread of its own, soon after it was queued.
// Here, by choice of the harness, the run loop runs it, at the virtual
// instant it reaches it, between draining the DPC queue and looking at the
// wait's condition, whenever the waiting thread is at PASSIVE_LEVEL owning
// no mutex: the routine runs nested in that wait, as another thread would
// run beside it. A thread that waits at APC_LEVEL (holding a fast mutex)
// for something only queued work would do is reported as a hang, where on
// Windows the worker thread would have run.
void QueuePassiveWork(std::function<void()> work, std::string description);
size_t QueuedPassiveWorkCount();
// Runs queued work now, in queue order, including work queued meanwhile.
// PASSIVE_LEVEL.
void RunPassiveWork();

// --- DPC delivery policy -------------------------------------------------------
enum class DpcDelivery { Immediate, Manual };
void SetDpcDelivery(DpcDelivery delivery);
DpcDelivery GetDpcDelivery();

// --- Inspection --------------------------------------------------------------
size_t QueuedDpcCount();
size_t ArmedTimerCount();
bool IsQueued(const KDPC* dpc);
bool IsArmed(const KTIMER* timer);
size_t HeldSpinLockCount();  // by the calling thread
bool IsSpinLockHeld(const KSPIN_LOCK* lock);  // by the calling thread

// Describes queued DPCs, armed timers and held spin locks that lie inside
// [base, base + size), or returns "" if there are none. The pool uses it to
// catch memory freed while the dispatcher still uses objects inside it.
std::string DescribeActiveObjectsIn(const void* base, size_t size);

// --- Real time ------------------------------------------------------------------
// Switches the machine to the real-time scheduler with `processors` (at
// least 1) emulated processor threads, or back to the virtual clock, which
// then carries on from the present wall-clock reading. Called from a test's
// thread at PASSIVE_LEVEL; the kernel reset returns to virtual time first
// of all. While real time runs, an infinite wait still unsatisfied after
// kRealTimeHangLimit of wall time is reported as WAIT_HANG.
constexpr int64_t kRealTimeHangLimit = 20 * kSecond;
void UseRealTime(int processors = 2);
void UseVirtualTime();
bool IsRealTime();
// The emulated processor (0 .. processors-1) whose thread calls, or -1 on
// any other thread.
int CurrentProcessor();
// Something a waiting thread's condition reads has changed outside the
// dispatcher's own objects (a request completed): wakes real-time waiters.
void NotifyWaiters();

class RealTimeScope {
public:
    explicit RealTimeScope(int processors = 2) { UseRealTime(processors); }
    ~RealTimeScope() { UseVirtualTime(); }
    RealTimeScope(const RealTimeScope&) = delete;
    RealTimeScope& operator=(const RealTimeScope&) = delete;
};

// --- Scheduling policy ----------------------------------------------------------
// See "Threads" above.
class Scheduler {
public:
    virtual ~Scheduler() = default;
    // Current time of the machine, 100 ns units since boot.
    virtual int64_t Now() const = 0;
    // A DPC was just queued by the calling thread.
    virtual void OnDpcQueued() = 0;
    // The calling thread's IRQL just dropped below DISPATCH_LEVEL.
    virtual void OnIrqlBelowDispatch() = 0;
    // Blocks the calling thread until done() or the deadline (see RunUntil).
    virtual bool WaitUntil(const std::function<bool()>& done, std::optional<int64_t> deadline,
                           const char* waiter, const std::string& what) = 0;
    // The lock word of `lock` holds `owner`, which is not the calling thread.
    // Returns when the caller should try to take the lock again.
    virtual void OnSpinLockBusy(PKSPIN_LOCK lock, ULONG_PTR owner, const char* routine) = 0;
    // A signal state or other waited-on condition changed (dispatcher lock
    // held by the caller or not).
    virtual void OnSignal() {}
    // A timer was armed or a device event scheduled.
    virtual void OnTimeQueueChanged() {}
    // Work for the system worker threads was queued.
    virtual void OnPassiveWorkQueued() {}
};

Scheduler& ActiveScheduler();

}  // namespace harness::dispatcher
