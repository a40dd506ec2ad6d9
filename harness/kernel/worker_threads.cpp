// Work for the system worker threads: routines that run at PASSIVE_LEVEL on
// a thread of the system's (IoQueueWorkItem). See dispatcher.h for when the
// run loop runs them.
#include <deque>
#include <functional>
#include <string>
#include <utility>

#include "harness/kernel/dispatcher.h"
#include "harness/kernel/dispatcher_internal.h"
#include "harness/kernel/kernel.h"
#include "harness/kernel/verifier.h"

namespace harness::dispatcher {

using namespace internal;

namespace {

struct PassiveWork {
    std::function<void()> work;
    std::string description;
};

std::deque<PassiveWork>& Queue() {
    static std::deque<PassiveWork> queue;
    return queue;
}

void ResetPassiveWork() {
    std::deque<PassiveWork> dropped;
    DispatcherScope locked;
    dropped = std::move(Queue());
    Queue().clear();
}

void CheckPassiveWorkQuiescent() {
    // A queued work item holds a reference on its device object, so the
    // device and its driver cannot go away under it; one still queued at the
    // end would run after the test, in whatever is left of the driver.
    DispatcherScope locked;
    for (const PassiveWork& item : Queue())
        BugCheck("WORK_ITEM_PENDING_AT_END", "VerifyQuiescent", item.description + " is still queued");
}

harness::ResetRegistration g_reset(harness::kResetDispatcher, &ResetPassiveWork);
harness::QuiesceCheckRegistration g_quiesce(&CheckPassiveWorkQuiescent);

}  // namespace

void QueuePassiveWork(std::function<void()> work, std::string description) {
    DispatcherScope locked;
    Queue().push_back(PassiveWork{std::move(work), std::move(description)});
    ActiveScheduler().OnPassiveWorkQueued();
}

size_t QueuedPassiveWorkCount() {
    DispatcherScope locked;
    return Queue().size();
}

void RunPassiveWork() {
    while (RunOnePassiveWork()) {
    }
}

namespace internal {

bool PassiveWorkQueueEmpty() {
    DispatcherScope locked;
    return Queue().empty();
}

bool RunOnePassiveWork() {
    ThreadState& thread = Thread();
    if (thread.irql != PASSIVE_LEVEL || !thread.mutexes.empty()) return false;
    PassiveWork item;
    {
        DispatcherScope locked;
        if (Queue().empty()) return false;
        item = std::move(Queue().front());
        Queue().pop_front();
    }
    item.work();
    NotifyWaiters();
    // Windows checks the worker thread's state when the routine returns.
    if (thread.irql != PASSIVE_LEVEL) {
        BugCheck("WORKER_THREAD_RETURNED_AT_BAD_IRQL", "ExpWorkerThread",
                 item.description + " returned at " + IrqlName(thread.irql) + "; it was entered at PASSIVE_LEVEL");
        thread.irql = PASSIVE_LEVEL;
    }
    if (!thread.mutexes.empty())
        BugCheck("WORKER_RETURNED_OWNING_MUTEX", "ExpWorkerThread",
                 item.description + " returned still owning a mutex");
    return true;
}

}  // namespace internal
}  // namespace harness::dispatcher
