// Processor time spent in the driver under test, for benchmarks.
//
// The kernel switches the meter at every boundary where it calls code a
// driver handed it (dispatch, completion, cancel and deferred routines) and
// back at every boundary where a driver calls into the emulated USB stack
// (a request sent to the bus driver's device objects), so the time counted
// is the driver's own code plus the kernel services it calls (locks, pool,
// queueing), but not the host controller or the chip model. The time is the
// calling thread's processor time (CLOCK_THREAD_CPUTIME_ID), summed over
// threads. Off unless a benchmark turns it on; reset with the kernel.
#pragma once

#include <cstdint>

#include "harness/km/wdm.h"

namespace harness::profile {

void EnableDriverTime(bool on);
// Nanoseconds of processor time counted so far.
int64_t DriverTimeNs();
void ResetDriverTime();

// The bus driver's object: requests sent to its devices are not driver time.
void SetHarnessDriver(const DRIVER_OBJECT* driver);
bool IsDriverUnderTest(const DRIVER_OBJECT* driver);

// Brackets a call across a boundary; `driverCode` says whose code runs
// inside. Nests.
class DriverTimeScope {
public:
    explicit DriverTimeScope(bool driverCode);
    ~DriverTimeScope();
    DriverTimeScope(const DriverTimeScope&) = delete;
    DriverTimeScope& operator=(const DriverTimeScope&) = delete;

private:
    bool active_;
};

}  // namespace harness::profile
