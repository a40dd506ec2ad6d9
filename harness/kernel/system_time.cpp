// Time as the driver reads it: the clock interrupt and its ticks, system
// time (a fixed boot date plus the time of the latest tick), interrupt time,
// the tick count, the performance counter, and stalls.
#include <limits>
#include <string>

#include "harness/kernel/dispatcher_internal.h"
#include "harness/kernel/verifier.h"

namespace harness::dispatcher {

namespace {
// 1601-01-01 to 1970-01-01, and 1970-01-01 to 2026-01-01 00:00 UTC, in seconds.
constexpr int64_t kSeconds1601To1970 = 11644473600;
constexpr int64_t kSeconds1970To2026 = 1767225600;
constexpr int64_t kBootSystemTime = (kSeconds1601To1970 + kSeconds1970To2026) * kSecond;

// The clock interrupt. It fires at `phase + k * increment`; `ticksAtPhase`
// ticks had been counted at `phase`. At boot the phase is 0, so ticks fall
// on multiples of the increment. A change of increment (a raised timer
// resolution) takes effect from the latest tick of the old rate: ticks
// counted so far are kept and the new rate counts on from there, so the
// tick count only ever grows by one per clock interrupt. (A harness choice:
// Windows reprograms the clock at some later interrupt, which a test
// cannot observe any differently.)
struct ClockInterrupt {
    int64_t increment = kDefaultTimeIncrement;
    int64_t phase = 0;
    int64_t ticksAtPhase = 0;
};

ClockInterrupt& Clock() {
    static ClockInterrupt clock;
    return clock;
}

// Whole ticks from the phase to `t`; times before the phase belong to the
// old rate and count as the phase itself (no caller asks for them).
int64_t TicksSincePhase(int64_t t) {
    const ClockInterrupt& c = Clock();
    return t <= c.phase ? 0 : (t - c.phase) / c.increment;
}
}  // namespace

int64_t TimeIncrement() {
    internal::DispatcherScope locked;
    return Clock().increment;
}
int64_t BootSystemTime() { return kBootSystemTime; }

bool SetTimeIncrement(int64_t increment) {
    if (increment < kMinimumTimeIncrement || increment > kMaximumTimeIncrement) {
        BugCheck("TIME_INCREMENT_OUT_OF_RANGE", "SetTimeIncrement",
                 "clock tick of " + std::to_string(increment) + " (100 ns units) requested; the clock interrupt runs at " +
                     std::to_string(kMinimumTimeIncrement) + " to " + std::to_string(kMaximumTimeIncrement) +
                     "; it stays at " + std::to_string(Clock().increment));
        return false;
    }
    internal::DispatcherScope locked;
    ClockInterrupt& c = Clock();
    const int64_t now = Now();
    c.ticksAtPhase += TicksSincePhase(now);
    c.phase = internal::LastTick(now);
    c.increment = increment;
    internal::RetimeTimers();
    return true;
}

int64_t TickAtOrAfter(int64_t t) {
    internal::DispatcherScope locked;
    const ClockInterrupt& c = Clock();
    if (t <= c.phase) return c.phase;
    const int64_t since = t - c.phase;
    const int64_t ticks = since / c.increment + (since % c.increment != 0 ? 1 : 0);
    if (ticks > (std::numeric_limits<int64_t>::max() - c.phase) / c.increment)
        return std::numeric_limits<int64_t>::max();  // "never": a due time saturated far in the future
    return c.phase + ticks * c.increment;
}

namespace internal {

int64_t LastTick(int64_t t) {
    DispatcherScope locked;
    return Clock().phase + TicksSincePhase(t) * Clock().increment;
}

int64_t TickCount(int64_t t) {
    DispatcherScope locked;
    return Clock().ticksAtPhase + TicksSincePhase(t);
}

void ResetClockInterrupt() {
    DispatcherScope locked;
    Clock() = ClockInterrupt{};
}

}  // namespace internal

}  // namespace harness::dispatcher

namespace dispatcher = harness::dispatcher;

// System time, interrupt time and the tick count are what the clock
// interrupt last stored, so between ticks they stand still (documented
// Windows behaviour: system time is only as precise as the latest tick).
// The performance counter reads the hardware and is exact.
VOID KeQuerySystemTime(PLARGE_INTEGER CurrentTime) {
    CurrentTime->QuadPart = dispatcher::BootSystemTime() + dispatcher::internal::LastTick(dispatcher::Now());
}

VOID KeQueryTickCount(PLARGE_INTEGER TickCount) {
    TickCount->QuadPart = dispatcher::internal::TickCount(dispatcher::Now());
}

ULONG KeQueryTimeIncrement() { return static_cast<ULONG>(dispatcher::TimeIncrement()); }

ULONGLONG KeQueryInterruptTime() {
    return static_cast<ULONGLONG>(dispatcher::internal::LastTick(dispatcher::Now()));
}

LARGE_INTEGER KeQueryPerformanceCounter(PLARGE_INTEGER PerformanceFrequency) {
    // A 10 MHz counter: one count per 100 ns of virtual time.
    if (PerformanceFrequency) PerformanceFrequency->QuadPart = dispatcher::kSecond;
    LARGE_INTEGER counter;
    counter.QuadPart = dispatcher::Now();
    return counter;
}

VOID KeStallExecutionProcessor(ULONG MicroSeconds) {
    // The processor busy-waits: time passes but nothing else runs on it.
    // Timers and device events that came due meanwhile fire at the next run.
    harness::dispatcher::internal::AdvanceClockWithoutRunning(int64_t{MicroSeconds} * dispatcher::kMicrosecond);
}
