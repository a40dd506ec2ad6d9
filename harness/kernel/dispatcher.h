// The emulated kernel's dispatcher: virtual clock, deferred procedure calls,
// timers, scheduled device activity and the run loop that moves the machine
// forward while a thread waits.
//
// Time
//   Virtual time counts 100 ns units since boot and starts at 0 after
//   harness::ResetKernel(). It moves only while the machine runs: a wait or
//   delay of the driver, or a Run* call of a test. A test that waits three
//   seconds for a time-out costs no real time and leaves the clock at exactly
//   3 s. System time (KeQuerySystemTime) is a fixed boot date plus virtual
//   time.
//
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
//   Today everything is single-threaded and deterministic: tests call the
//   driver from one host thread, and DPCs, timers and device events run on
//   that thread inside the run loop. Per-thread state (IRQL, spin locks held,
//   fast mutexes and mutexes owned) is thread_local; spin locks are real
//   atomic lock words holding their owner, and DpcData is claimed with an
//   atomic compare-exchange, so both already work across host threads.
//
//   The policy of who runs what, and when, sits behind `Scheduler`. A
//   threaded, real-time mode plugs in as a second implementation without any
//   change to the driver or to the Ke* routines:
//     - Now() follows the host's monotonic clock instead of the virtual one;
//     - OnDpcQueued/OnIrqlBelowDispatch wake one of several emulated
//       processor threads that drain the DPC queue in parallel, instead of
//       draining it on the calling thread;
//     - WaitUntil blocks the calling thread on a condition variable that
//       every signal (KeSetEvent, timer expiry, mutex release) notifies,
//       while a clock thread fires timers and device events as wall-clock
//       time reaches them;
//     - OnSpinLockBusy spins (with a pause) until the owner releases the lock
//       word, instead of reporting a deadlock.
//   The dispatcher database (DPC queue, timer queue, device events, the
//   signal states of objects with waiters) would then be guarded by one
//   dispatcher lock taken inside these functions and never held while driver
//   code runs, as in the real kernel.
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
int64_t Now();                   // virtual time, 100 ns units since boot
int64_t TimeIncrement();         // length of a clock tick: 156250 (15.625 ms)
int64_t BootSystemTime();        // system time at boot: 2026-01-01 00:00 UTC, 100 ns since 1601
std::string FormatTime(int64_t t);  // "3.000000 s"

// --- Scheduled device events -------------------------------------------------
// Emulated hardware (the USB bus, the chip model) schedules its activity on
// the clock. Actions run at DISPATCH_LEVEL, in time order, FIFO among equal
// times and interleaved with timer expiries. A due time in the past means
// "at the next run of the machine". Scheduled events are not reported at the
// end of a test (hardware may be periodically busy) and are dropped by reset.
using EventId = uint64_t;  // never 0
EventId ScheduleAt(int64_t due, std::function<void()> action, std::string description);
EventId ScheduleAfter(int64_t delay, std::function<void()> action, std::string description);
bool CancelScheduled(EventId id);  // true if it was still pending
bool IsScheduled(EventId id);
size_t ScheduledEventCount();

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

// --- Scheduling policy ----------------------------------------------------------
// See "Threads" above. The deterministic implementation is the only one
// today and is always active.
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
};

Scheduler& ActiveScheduler();

}  // namespace harness::dispatcher
