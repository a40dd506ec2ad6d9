#include "harness/kernel/driver_time.h"

#include <time.h>

#include <atomic>
#include <vector>

#include "harness/kernel/kernel.h"

namespace harness::profile {
namespace {

std::atomic<bool> g_enabled{false};
std::atomic<int64_t> g_driverNs{0};
std::atomic<const DRIVER_OBJECT*> g_harnessDriver{nullptr};

struct ThreadMeter {
    std::vector<bool> stack;  // whose code runs at each nesting level
    int64_t since = 0;        // thread time of the last switch
};
thread_local ThreadMeter t_meter;

int64_t ThreadNs() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// Charges the time since the last switch to whoever was running.
void Settle(ThreadMeter& meter) {
    const int64_t now = ThreadNs();
    if (!meter.stack.empty() && meter.stack.back()) g_driverNs.fetch_add(now - meter.since);
    meter.since = now;
}

void Reset() {
    g_driverNs = 0;
    g_harnessDriver = nullptr;
}
ResetRegistration g_reset(kResetIo, &Reset);

}  // namespace

void EnableDriverTime(bool on) { g_enabled = on; }
int64_t DriverTimeNs() { return g_driverNs.load(); }
void ResetDriverTime() { g_driverNs = 0; }

void SetHarnessDriver(const DRIVER_OBJECT* driver) { g_harnessDriver = driver; }
bool IsDriverUnderTest(const DRIVER_OBJECT* driver) { return driver != nullptr && driver != g_harnessDriver.load(); }

DriverTimeScope::DriverTimeScope(bool driverCode) : active_(g_enabled.load(std::memory_order_relaxed)) {
    if (!active_) return;
    Settle(t_meter);
    t_meter.stack.push_back(driverCode);
}

DriverTimeScope::~DriverTimeScope() {
    if (!active_) return;
    Settle(t_meter);
    t_meter.stack.pop_back();
}

}  // namespace harness::profile
