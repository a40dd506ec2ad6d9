// Private plumbing shared by the dispatcher's source files (irql.cpp,
// spin_lock.cpp, dpc.cpp, timer.cpp, event.cpp, wait.cpp, mutex.cpp,
// fast_mutex.cpp, system_time.cpp, dispatcher.cpp). Other subsystems use
// harness/kernel/dispatcher.h instead.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "harness/kernel/dispatcher.h"
#include "harness/kernel/recursive_lock.h"
#include "harness/km/ke.h"

namespace harness::dispatcher::internal {

// --- The dispatcher lock -------------------------------------------------------
// Guards the dispatcher database: the DPC queue, the timer queue, scheduled
// device events, passive work, the wait blocks and the signal states of
// objects that threads wait on. Taken inside the dispatcher's own routines
// only, for short steps, and never held while a DPC, a device event, a work
// item or any other routine of a driver runs, as in the real kernel. With
// one host thread it is never contended.
RecursiveLock& DispatcherLock();
struct DispatcherScope : LockScope {
    DispatcherScope() : LockScope(DispatcherLock()) {}
};

// Dispatcher object type numbers, as the kernel stores them in Header.Type.
constexpr UCHAR kEventNotificationObject = 0;
constexpr UCHAR kEventSynchronizationObject = 1;
constexpr UCHAR kMutantObject = 2;
constexpr UCHAR kTimerNotificationObject = 8;
constexpr UCHAR kTimerSynchronizationObject = 9;
constexpr UCHAR kDpcObject = 0x13;

// --- Per-thread state -----------------------------------------------------
struct ThreadState {
    KIRQL irql = PASSIVE_LEVEL;
    std::vector<PKSPIN_LOCK> spinLocks;  // held, in the order acquired
    std::vector<PKMUTEX> mutexes;        // owned kernel mutexes
    bool drainingDpcs = false;
    // Set by KeSetEvent/KeReleaseMutex with Wait = TRUE: the caller now runs
    // at DISPATCH_LEVEL and the next wait returns it to this IRQL.
    std::optional<KIRQL> waitNextIrql;
};
ThreadState& Thread();
// Identifies the calling thread as the owner of spin locks, fast mutexes and
// mutexes; never null, never a value KeInitializeSpinLock writes.
PVOID ThreadToken();
void ResetThread();

// Lowers the calling thread's IRQL and, once below DISPATCH_LEVEL, lets the
// scheduler deliver queued DPCs. Reports SPIN_LOCK_HELD_BELOW_DISPATCH if
// the thread drops below DISPATCH_LEVEL still holding a spin lock.
void LowerIrql(KIRQL irql, const char* routine);
// Raises to DISPATCH_LEVEL (no checks) and returns the previous IRQL.
KIRQL RaiseToDispatch();
std::string IrqlName(KIRQL irql);

// --- Spin locks -------------------------------------------------------------
void AcquireLockWord(PKSPIN_LOCK lock, const char* routine);
void ReleaseLockWord(PKSPIN_LOCK lock, const char* routine);
// Reports and releases the spin locks taken since `heldBefore` locks were
// held: used when a DPC or device event returns still holding some.
void ReleaseLocksLeftBy(size_t heldBefore, const char* check, const char* routine, const std::string& who);

// --- DPC queue ----------------------------------------------------------------
// KeInsertQueueDpc semantics without the object check or delivery.
bool QueueDpc(PKDPC dpc, PVOID argument1, PVOID argument2);
// A DPC taken off the queue, with what its routine is called with.
struct DequeuedDpc {
    PKDPC dpc;
    PKDEFERRED_ROUTINE routine;
    PVOID context, argument1, argument2;
};
// Takes the oldest queued DPC off the queue (dispatcher lock held or not).
std::optional<DequeuedDpc> TakeDpc();
// Runs a dequeued DPC on the calling thread, which must be at
// DISPATCH_LEVEL, and makes the checks of its return.
void RunDpc(const DequeuedDpc& entry);
// Runs the queued DPCs FIFO at DISPATCH_LEVEL on the calling thread, including
// those they queue; does nothing if already draining or above DISPATCH_LEVEL.
// Returns false after reporting a DPC live-lock (the queue is then dropped).
bool DrainDpcQueue();
bool DpcQueueEmpty();
std::vector<PKDPC> QueuedDpcs();
void ResetDpcQueue();

// --- Timer queue and device events share one ordering ----------------------------
struct QueueKey {
    int64_t due;
    uint64_t sequence;  // order in which timers were set and events scheduled
    bool operator<(const QueueKey& o) const {
        return due != o.due ? due < o.due : sequence < o.sequence;
    }
};
uint64_t NextSequence();

// Timers are keyed by the clock tick at which they expire.
std::optional<QueueKey> EarliestTimer();
// Expires the earliest timer if its tick is at or before `t` (signals it,
// queues its DPC, re-arms it if periodic); false if no timer is due by then.
bool ExpireEarliestTimer(int64_t t);
std::vector<PKTIMER> ArmedTimers();
std::string DescribeTimer(const KTIMER* timer);
void ResetTimers();
// The clock tick changed length: every armed timer moves to the first tick
// of the new rate at or after its due time, keeping its place among equals.
void RetimeTimers();

// --- Clock -------------------------------------------------------------------------
// The clock interrupt (system_time.cpp): the time of the latest tick at or
// before `t`, and the ticks counted since boot at `t`.
int64_t LastTick(int64_t t);
int64_t TickCount(int64_t t);
void ResetClockInterrupt();
// Moves the clock forward without running anything: a processor stalled at
// raised IRQL. Whatever came due meanwhile fires at the next run.
void AdvanceClockWithoutRunning(int64_t duration);
// A wait's time-out as the kernel takes it: negative is relative to the
// exact present (waits are not rounded to ticks), zero or positive is
// absolute system time. Returns virtual time.
int64_t ToVirtualTime(LONGLONG due);
int64_t SaturatingAdd(int64_t a, int64_t b);

// --- Waits ---------------------------------------------------------------------------
// Checks that the calling thread may wait; `blocking` is false for a wait
// with a zero time-out (a poll). Reports IRQL_NOT_LESS_OR_EQUAL naming
// `routine` and `what`, and returns false if it may not.
bool CheckMayWait(const char* routine, bool blocking, const std::string& what);
// KeSetEvent/KeReleaseMutex with Wait = TRUE return at DISPATCH_LEVEL and
// the wait that must follow returns the thread to its earlier IRQL.
void BeginWaitNext();
void ConsumeWaitNext(const char* routine);
// A synchronization event or timer signalled while a thread waits on it
// satisfies the longest waiting wait at once and stays non-signalled, as
// the kernel's KiSignalSynchronizationObject does: nobody else sees it set.
// Returns false if nobody waits on it (the caller sets the state then).
bool SatisfyOneWaiter(DISPATCHER_HEADER* header);

// --- Work for system worker threads (worker_threads.cpp) ------------------------------
// Runs the oldest queued work if the calling thread may run it (PASSIVE_LEVEL,
// no mutex owned); true if it ran one.
bool RunOnePassiveWork();
bool PassiveWorkQueueEmpty();

// --- Scheduled device events (dispatcher.cpp) ------------------------------------------
// The earliest timer expiry or device event, and firing it on the calling
// thread at DISPATCH_LEVEL if it is due at or before `t`. Returns false if
// nothing is due by then: in real time, what EarliestActivity saw due may
// have been cancelled by another processor before the call.
std::optional<QueueKey> EarliestActivity();
bool FireEarliestActivity(int64_t t);

// --- The real-time scheduler (real_time.cpp) ---------------------------------------------
// The current time while the real-time scheduler runs.
bool RealTimeActive();
// Work is going on beside the calling thread (a DPC on a processor, a device
// event on the clock thread, a work item on the worker): the machine is not
// idle while it lasts.
size_t RealTimeBusyCount();
// Busy-waits the calling thread for `duration` of wall time.
void RealTimeStall(int64_t duration);
// The virtual clock and the scheduler in charge (dispatcher.cpp), for the
// switch between the two.
int64_t VirtualNow();
void SetVirtualNow(int64_t now);  // never moves it back
void SetActiveScheduler(Scheduler* scheduler);
Scheduler* DeterministicSchedulerInstance();
int64_t HangHorizon();

// --- Kernel mutexes ----------------------------------------------------------------------
void TakeMutex(PKMUTEX mutex);  // a wait on it was satisfied

// --- Formatting ------------------------------------------------------------------------
std::string Hex(uint64_t value);
std::string Hex(const volatile void* p);
std::string RoutineName(const void* routine);  // symbol if known, else address

}  // namespace harness::dispatcher::internal
