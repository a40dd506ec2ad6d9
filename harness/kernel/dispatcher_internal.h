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
#include "harness/km/ke.h"

namespace harness::dispatcher::internal {

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
void ExpireEarliestTimer();  // signals it, queues its DPC, re-arms it if periodic
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

// --- Kernel mutexes ----------------------------------------------------------------------
void TakeMutex(PKMUTEX mutex);  // a wait on it was satisfied

// --- Formatting ------------------------------------------------------------------------
std::string Hex(uint64_t value);
std::string Hex(const volatile void* p);
std::string RoutineName(const void* routine);  // symbol if known, else address

}  // namespace harness::dispatcher::internal
