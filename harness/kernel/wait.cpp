// Waits: KeWaitForSingleObject on events, timers and mutexes, and
// KeDelayExecutionThread. A wait that cannot be satisfied at once runs the
// machine until the object is signalled or the time-out passes.
#include <algorithm>

#include "harness/kernel/dispatcher_internal.h"
#include "harness/kernel/verifier.h"

namespace harness::dispatcher::internal {

bool CheckMayWait(const char* routine, bool blocking, const std::string& what) {
    const ThreadState& thread = Thread();
    std::string problem;
    if (!thread.spinLocks.empty())
        problem = "while holding spin lock " + Hex(thread.spinLocks.back());
    else if (blocking && thread.irql >= DISPATCH_LEVEL)
        problem = "with a non-zero time-out at " + IrqlName(thread.irql) + "; only a poll is allowed there";
    else if (thread.irql > DISPATCH_LEVEL)
        problem = "at " + IrqlName(thread.irql);
    if (problem.empty()) return true;
    BugCheck("IRQL_NOT_LESS_OR_EQUAL", routine, std::string(routine) + " on " + what + " " + problem);
    return false;
}

void BeginWaitNext() {
    ThreadState& thread = Thread();
    if (!thread.waitNextIrql) thread.waitNextIrql = thread.irql;
    if (thread.irql < DISPATCH_LEVEL) thread.irql = DISPATCH_LEVEL;
}

namespace {

// Threads blocked in KeWaitForSingleObject, oldest first. Nested waits
// (a work item that waits, run while another wait pumps the machine) each
// have their own block.
struct WaitBlock {
    DISPATCHER_HEADER* object;
    bool satisfied = false;
};
std::vector<WaitBlock*>& Waiters() {
    static std::vector<WaitBlock*> waiters;
    return waiters;
}

}  // namespace

bool SatisfyOneWaiter(DISPATCHER_HEADER* header) {
    DispatcherScope locked;
    for (WaitBlock* block : Waiters()) {
        if (block->object != header || block->satisfied) continue;
        block->satisfied = true;
        NotifyWaiters();
        return true;
    }
    return false;
}

void ConsumeWaitNext(const char* routine) {
    ThreadState& thread = Thread();
    if (!thread.waitNextIrql) return;
    const KIRQL irql = *thread.waitNextIrql;
    thread.waitNextIrql.reset();
    LowerIrql(irql, routine);
}

}  // namespace harness::dispatcher::internal

using namespace harness::dispatcher::internal;
namespace dispatcher = harness::dispatcher;

namespace {

bool IsWaitable(UCHAR type) {
    return type == kEventNotificationObject || type == kEventSynchronizationObject || type == kMutantObject ||
           type == kTimerNotificationObject || type == kTimerSynchronizationObject;
}

bool IsSignalled(const DISPATCHER_HEADER* header) {
    if (header->Type == kMutantObject) {
        const auto* mutex = reinterpret_cast<const KMUTEX*>(header);
        return mutex->Header.SignalState > 0 || mutex->OwnerThread == ThreadToken();
    }
    return __atomic_load_n(&header->SignalState, __ATOMIC_SEQ_CST) > 0;
}



// The side effect of a satisfied wait.
void Satisfy(DISPATCHER_HEADER* header) {
    DispatcherScope locked;
    switch (header->Type) {
        case kEventSynchronizationObject:
        case kTimerSynchronizationObject: __atomic_store_n(&header->SignalState, 0, __ATOMIC_SEQ_CST); break;
        case kMutantObject: TakeMutex(reinterpret_cast<PKMUTEX>(header)); break;
        default: break;
    }
}

// Checks the state and, if signalled, satisfies the wait, as one step under
// the dispatcher lock: two threads woken by one signal of a synchronization
// event must not both take it.
bool TryConsume(DISPATCHER_HEADER* header) {
    DispatcherScope locked;
    if (!IsSignalled(header)) return false;
    Satisfy(header);
    return true;
}

std::string Describe(const DISPATCHER_HEADER* header) {
    switch (header->Type) {
        case kEventNotificationObject: return "notification event " + Hex(header);
        case kEventSynchronizationObject: return "synchronization event " + Hex(header);
        case kMutantObject:
            return "mutex " + Hex(header) + " owned by " +
                   Hex(reinterpret_cast<const KMUTEX*>(header)->OwnerThread);
        case kTimerSynchronizationObject:
            return "synchronization " + DescribeTimer(reinterpret_cast<const KTIMER*>(header));
        default: return "notification " + DescribeTimer(reinterpret_cast<const KTIMER*>(header));
    }
}

}  // namespace

NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                               PLARGE_INTEGER Timeout) {
    // There are no APCs in the emulation: alertable waits are never alerted.
    (void)WaitReason, (void)WaitMode, (void)Alertable;
    ConsumeWaitNext("KeWaitForSingleObject");
    auto* header = static_cast<DISPATCHER_HEADER*>(Object);
    if (!header || !IsWaitable(header->Type)) {
        harness::BugCheck("OBJECT_NOT_INITIALIZED", "KeWaitForSingleObject",
                          "object " + Hex(Object) + " has dispatcher type " +
                              (header ? Hex(header->Type) : std::string("(null)")) +
                              ": not an initialised event, timer or mutex");
        return STATUS_INVALID_PARAMETER;
    }
    const bool poll = Timeout && Timeout->QuadPart == 0;
    const std::string what = Describe(header);
    const bool mayBlock = CheckMayWait("KeWaitForSingleObject", !poll, what);
    if (TryConsume(header)) return STATUS_SUCCESS;
    if (poll || !mayBlock) return STATUS_TIMEOUT;
    std::optional<int64_t> deadline;
    if (Timeout) deadline = ToVirtualTime(Timeout->QuadPart);
    WaitBlock block{header};
    {
        DispatcherScope locked;
        Waiters().push_back(&block);
    }
    // Whether the wait is satisfied and leaving the wait list are one step:
    // in real time the run loop lets go of the dispatcher lock before it
    // returns, and a block that took the object itself but still stood in
    // the list would be handed the next signal too, which nobody then sees
    // (a synchronization event set and left clear with no thread released).
    auto leave = [&block] {
        auto& waiters = Waiters();
        auto it = std::find(waiters.begin(), waiters.end(), &block);
        if (it != waiters.end()) waiters.erase(it);
    };
    bool consumed = false;
    dispatcher::RunUntil(
        [&block, &consumed, &leave] {
            DispatcherScope locked;
            if (!block.satisfied && !(consumed = TryConsume(block.object))) return false;
            leave();
            return true;
        },
        deadline, "KeWaitForSingleObject", what);
    DispatcherScope locked;
    leave();
    // Handed over by the signaller (the object stayed clear), or taken here;
    // a hand-over after the time-out still counts, as the signal was spent.
    return block.satisfied || consumed ? STATUS_SUCCESS : STATUS_TIMEOUT;
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval) {
    (void)WaitMode, (void)Alertable;
    ConsumeWaitNext("KeDelayExecutionThread");
    if (!Interval) {
        harness::BugCheck("NULL_POINTER", "KeDelayExecutionThread", "Interval is null");
        return STATUS_INVALID_PARAMETER;
    }
    const int64_t until = ToVirtualTime(Interval->QuadPart);
    const std::string what = "a delay until " + dispatcher::FormatTime(until);
    if (!CheckMayWait("KeDelayExecutionThread", true, what)) return STATUS_SUCCESS;
    dispatcher::RunUntil([] { return false; }, until, "KeDelayExecutionThread", what);
    return STATUS_SUCCESS;
}
