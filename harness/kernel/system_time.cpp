// Time as the driver reads it: system time (a fixed boot date plus virtual
// time), interrupt time, clock ticks, the performance counter, and stalls.
#include "harness/kernel/dispatcher_internal.h"

namespace harness::dispatcher {

namespace {
// 1601-01-01 to 1970-01-01, and 1970-01-01 to 2026-01-01 00:00 UTC, in seconds.
constexpr int64_t kSeconds1601To1970 = 11644473600;
constexpr int64_t kSeconds1970To2026 = 1767225600;
constexpr int64_t kBootSystemTime = (kSeconds1601To1970 + kSeconds1970To2026) * kSecond;
// The clock interrupt of a uniprocessor: 64 ticks per second.
constexpr int64_t kTimeIncrement = 156250;
}  // namespace

int64_t TimeIncrement() { return kTimeIncrement; }
int64_t BootSystemTime() { return kBootSystemTime; }

}  // namespace harness::dispatcher

namespace dispatcher = harness::dispatcher;

VOID KeQuerySystemTime(PLARGE_INTEGER CurrentTime) {
    CurrentTime->QuadPart = dispatcher::BootSystemTime() + dispatcher::Now();
}

VOID KeQueryTickCount(PLARGE_INTEGER TickCount) {
    TickCount->QuadPart = dispatcher::Now() / dispatcher::TimeIncrement();
}

ULONG KeQueryTimeIncrement() { return static_cast<ULONG>(dispatcher::TimeIncrement()); }

ULONGLONG KeQueryInterruptTime() { return static_cast<ULONGLONG>(dispatcher::Now()); }

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
