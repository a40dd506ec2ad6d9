// Deferred procedure calls: the DPC queue of the emulated processor, drained
// FIFO at DISPATCH_LEVEL with the checks made when each routine returns.
#include <algorithm>
#include <deque>
#include <optional>

#include "harness/kernel/driver_time.h"
#include "harness/kernel/dispatcher_internal.h"
#include "harness/kernel/harness_lock.h"
#include "harness/kernel/verifier.h"

namespace harness::dispatcher::internal {

namespace {

// More DPCs than this in one drain means DPCs keep re-queuing each other.
constexpr size_t kMaxDpcsPerDrain = 100000;

// The DPC queue of the processor. While a DPC is queued its DpcData points
// here, as the real kernel points it at the processor's DPC data.
struct DpcQueue {
    std::deque<PKDPC> entries;
};

DpcQueue& Queue() {
    static DpcQueue queue;
    return queue;
}

bool InQueue(const KDPC* dpc) {
    const auto& entries = Queue().entries;
    return std::find(entries.begin(), entries.end(), dpc) != entries.end();
}

std::string Describe(const KDPC* dpc, PKDEFERRED_ROUTINE routine) {
    return "DPC " + Hex(dpc) + " (routine " + RoutineName(reinterpret_cast<const void*>(routine)) + ")";
}

bool CheckInitialized(const KDPC* dpc, const char* routine) {
    if (dpc && dpc->Type == kDpcObject && dpc->DeferredRoutine) return true;
    harness::BugCheck("OBJECT_NOT_INITIALIZED", routine,
                      dpc ? "KDPC " + Hex(dpc) + " has type " + Hex(dpc->Type) +
                                " and no routine: never initialised with KeInitializeDpc"
                          : std::string("null KDPC"));
    return false;
}

}  // namespace

bool QueueDpc(PKDPC dpc, PVOID argument1, PVOID argument2) {
    DispatcherScope locked;
    PVOID expected = nullptr;
    if (!__atomic_compare_exchange_n(&dpc->DpcData, &expected, static_cast<PVOID>(&Queue()), false,
                                     __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST))
        return false;
    dpc->SystemArgument1 = argument1;
    dpc->SystemArgument2 = argument2;
    Queue().entries.push_back(dpc);
    return true;
}

std::optional<DequeuedDpc> TakeDpc() {
    DispatcherScope locked;
    auto& entries = Queue().entries;
    if (entries.empty()) return std::nullopt;
    PKDPC dpc = entries.front();
    entries.pop_front();
    // Read everything first: once DpcData is clear the DPC may be queued
    // again (on another processor) or freed by its routine.
    DequeuedDpc entry{dpc, dpc->DeferredRoutine, dpc->DeferredContext, dpc->SystemArgument1, dpc->SystemArgument2};
    __atomic_store_n(&dpc->DpcData, nullptr, __ATOMIC_SEQ_CST);
    return entry;
}

void RunDpc(const DequeuedDpc& entry) {
    ThreadState& thread = Thread();
    const size_t held = thread.spinLocks.size();
    {
        profile::DriverTimeScope meter(true);
        DriverCallScope driverCode;
        entry.routine(entry.dpc, entry.context, entry.argument1, entry.argument2);
    }
    if (thread.irql != DISPATCH_LEVEL) {
        harness::BugCheck("DPC_RETURNED_AT_WRONG_IRQL", "KiRetireDpcList",
                          Describe(entry.dpc, entry.routine) + " returned at " + IrqlName(thread.irql) +
                              "; it was entered at DISPATCH_LEVEL");
        thread.irql = DISPATCH_LEVEL;
    }
    ReleaseLocksLeftBy(held, "SPIN_LOCK_HELD_AT_DPC_RETURN", "KiRetireDpcList", Describe(entry.dpc, entry.routine));
}

bool DrainDpcQueue() {
    ThreadState& thread = Thread();
    if (thread.drainingDpcs || thread.irql > DISPATCH_LEVEL || DpcQueueEmpty()) return true;
    thread.drainingDpcs = true;
    const KIRQL old = thread.irql;
    thread.irql = DISPATCH_LEVEL;
    bool ok = true;
    for (size_t ran = 0;; ++ran) {
        if (ran == kMaxDpcsPerDrain) {
            DispatcherScope locked;
            auto& entries = Queue().entries;
            PKDPC front = entries.front();
            harness::BugCheck("DPC_LIVELOCK", "KiRetireDpcList",
                              std::to_string(kMaxDpcsPerDrain) + " DPCs ran without the queue emptying; next is " +
                                  Describe(front, front->DeferredRoutine) + "; the queue is dropped");
            for (PKDPC dpc : entries) __atomic_store_n(&dpc->DpcData, nullptr, __ATOMIC_SEQ_CST);
            entries.clear();
            ok = false;
            break;
        }
        const std::optional<DequeuedDpc> entry = TakeDpc();
        if (!entry) break;
        RunDpc(*entry);
    }
    thread.irql = old;
    thread.drainingDpcs = false;
    return ok;
}

bool DpcQueueEmpty() {
    DispatcherScope locked;
    return Queue().entries.empty();
}

std::vector<PKDPC> QueuedDpcs() {
    DispatcherScope locked;
    return {Queue().entries.begin(), Queue().entries.end()};
}

// Forgets the queue without touching the DPCs: their memory may be gone.
void ResetDpcQueue() {
    DispatcherScope locked;
    Queue().entries.clear();
}

}  // namespace harness::dispatcher::internal

namespace harness::dispatcher {

size_t QueuedDpcCount() {
    internal::DispatcherScope locked;
    return internal::Queue().entries.size();
}

bool IsQueued(const KDPC* dpc) {
    internal::DispatcherScope locked;
    return __atomic_load_n(&dpc->DpcData, __ATOMIC_SEQ_CST) != nullptr && internal::InQueue(dpc);
}

}  // namespace harness::dispatcher

using namespace harness::dispatcher::internal;

VOID KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext) {
    DispatcherScope locked;
    if (InQueue(Dpc)) {
        harness::BugCheck("DPC_REINITIALIZED_WHILE_QUEUED", "KeInitializeDpc",
                          Describe(Dpc, Dpc->DeferredRoutine) + " is initialised again while it is queued");
        auto& entries = Queue().entries;
        entries.erase(std::find(entries.begin(), entries.end(), Dpc));
    }
    Dpc->Type = kDpcObject;
    Dpc->Importance = 1;  // MediumImportance
    Dpc->Number = 0;
    Dpc->DpcListEntry.Flink = Dpc->DpcListEntry.Blink = nullptr;
    Dpc->DeferredRoutine = DeferredRoutine;
    Dpc->DeferredContext = DeferredContext;
    Dpc->SystemArgument1 = Dpc->SystemArgument2 = nullptr;
    Dpc->DpcData = nullptr;
}

// Callable at any IRQL (documented): an interrupt service routine queues
// its DPC from device IRQL, and the DPC runs once the processor drops below
// DISPATCH_LEVEL.
BOOLEAN KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2) {
    if (!CheckInitialized(Dpc, "KeInsertQueueDpc")) return FALSE;
    if (!QueueDpc(Dpc, SystemArgument1, SystemArgument2)) return FALSE;
    harness::dispatcher::ActiveScheduler().OnDpcQueued();
    return TRUE;
}

BOOLEAN KeRemoveQueueDpc(PRKDPC Dpc) {
    DispatcherScope locked;
    if (__atomic_load_n(&Dpc->DpcData, __ATOMIC_SEQ_CST) == nullptr) return FALSE;
    auto& entries = Queue().entries;
    auto it = std::find(entries.begin(), entries.end(), Dpc);
    __atomic_store_n(&Dpc->DpcData, nullptr, __ATOMIC_SEQ_CST);
    if (it == entries.end()) return FALSE;  // stale marker from before a reset
    entries.erase(it);
    return TRUE;
}
