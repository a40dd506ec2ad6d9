// The machine's clock for the Win32 functions. In real time it follows the
// host's monotonic clock and runs by itself; in virtual time it moves only
// while a program waits or sleeps, through RunUntil.
#include "harness/kernel/dispatcher.h"
#include "harness/kernel/harness_lock.h"
#include "harness/win32/machine.h"

namespace tarnlink::win32::machine {

namespace dispatcher = harness::dispatcher;

uint64_t NowMilliseconds() { return uint64_t(dispatcher::Now() / dispatcher::kMillisecond); }

bool RunUntil(const std::function<bool()>& done, std::optional<uint64_t> timeoutMs) {
    CheckCallingThread();
    harness::HarnessScope harnessState;
    std::optional<int64_t> deadline;
    if (timeoutMs) deadline = dispatcher::Now() + int64_t(*timeoutMs) * dispatcher::kMillisecond;
    return dispatcher::RunUntil(done, deadline, "the Win32 library's wait", "an object the program waits for");
}

}  // namespace tarnlink::win32::machine
