// DPCs: the return values of insertion and removal in every state, FIFO
// delivery at DISPATCH_LEVEL, the two delivery policies, and the checks made
// when a DPC routine returns.
#include <cstring>
#include <string>
#include <vector>

#include "harness/kernel/dispatcher.h"
#include "support/kernel_test.h"

namespace dispatcher = harness::dispatcher;

namespace {

struct Probe {
    KDPC dpc;
    std::vector<std::string>* log;
    std::string name;
    int runs = 0;
    int requeues = 0;  // times the routine queues itself again
    std::vector<PVOID> arguments;
    std::vector<KIRQL> irqls;
};

VOID NTAPI RecordDpc(PKDPC dpc, PVOID context, PVOID argument1, PVOID argument2) {
    auto* probe = static_cast<Probe*>(context);
    ++probe->runs;
    probe->irqls.push_back(KeGetCurrentIrql());
    probe->arguments = {argument1, argument2};
    if (probe->log) probe->log->push_back(probe->name);
    if (probe->requeues > 0) {
        --probe->requeues;
        // While it runs, the DPC is no longer queued: removal fails, insertion succeeds.
        EXPECT_EQ(FALSE, KeRemoveQueueDpc(dpc));
        EXPECT_EQ(TRUE, KeInsertQueueDpc(dpc, argument1, argument2));
        EXPECT_EQ(FALSE, KeInsertQueueDpc(dpc, nullptr, nullptr));
    }
}

void Init(Probe& probe, std::vector<std::string>* log = nullptr, std::string name = "") {
    probe.log = log;
    probe.name = std::move(name);
    KeInitializeDpc(&probe.dpc, RecordDpc, &probe);
}

PVOID Arg(uintptr_t v) { return reinterpret_cast<PVOID>(v); }

class DispatcherDpcTest : public KernelTest {};

TEST_F(DispatcherDpcTest, InsertAndRemoveReturnValuesInEveryState) {
    dispatcher::SetDpcDelivery(dispatcher::DpcDelivery::Manual);
    Probe probe;
    Init(probe);

    EXPECT_EQ(FALSE, KeRemoveQueueDpc(&probe.dpc));  // idle
    EXPECT_EQ(TRUE, KeInsertQueueDpc(&probe.dpc, Arg(1), Arg(2)));
    EXPECT_TRUE(dispatcher::IsQueued(&probe.dpc));
    EXPECT_EQ(FALSE, KeInsertQueueDpc(&probe.dpc, Arg(3), Arg(4)));  // queued: arguments kept
    EXPECT_EQ(TRUE, KeRemoveQueueDpc(&probe.dpc));
    EXPECT_EQ(FALSE, KeRemoveQueueDpc(&probe.dpc));
    EXPECT_EQ(0, probe.runs);

    EXPECT_EQ(TRUE, KeInsertQueueDpc(&probe.dpc, Arg(5), Arg(6)));
    EXPECT_EQ(FALSE, KeInsertQueueDpc(&probe.dpc, Arg(7), Arg(8)));
    dispatcher::RunDpcs();
    EXPECT_EQ(1, probe.runs);
    EXPECT_EQ((std::vector<PVOID>{Arg(5), Arg(6)}), probe.arguments);
    EXPECT_EQ((std::vector<KIRQL>{DISPATCH_LEVEL}), probe.irqls);
    EXPECT_EQ(PASSIVE_LEVEL, KeGetCurrentIrql());

    EXPECT_EQ(FALSE, KeRemoveQueueDpc(&probe.dpc));  // ran
    EXPECT_EQ(TRUE, KeInsertQueueDpc(&probe.dpc, nullptr, nullptr));
    dispatcher::RunDpcs();
    EXPECT_EQ(0u, dispatcher::QueuedDpcCount());
}

TEST_F(DispatcherDpcTest, DpcsQueuedWhileDrainingRunInTheSameDrainInFifoOrder) {
    dispatcher::SetDpcDelivery(dispatcher::DpcDelivery::Manual);
    std::vector<std::string> log;
    Probe self, other;
    Init(self, &log, "self");
    Init(other, &log, "other");
    self.requeues = 2;  // re-inserts itself from its own routine, twice

    KeInsertQueueDpc(&self.dpc, Arg(9), nullptr);
    KeInsertQueueDpc(&other.dpc, nullptr, nullptr);
    dispatcher::RunDpcs();
    EXPECT_EQ((std::vector<std::string>{"self", "other", "self", "self"}), log);
    EXPECT_EQ(Arg(9), self.arguments[0]);
    EXPECT_EQ(0u, dispatcher::QueuedDpcCount());
}

TEST_F(DispatcherDpcTest, ImmediateDeliveryRunsDpcsAsSoonAsIrqlDropsBelowDispatch) {
    Probe probe;
    Init(probe);

    KeInsertQueueDpc(&probe.dpc, nullptr, nullptr);  // at PASSIVE_LEVEL: runs before returning
    EXPECT_EQ(1, probe.runs);

    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    KeInsertQueueDpc(&probe.dpc, nullptr, nullptr);
    EXPECT_EQ(1, probe.runs);
    KeLowerIrql(old);
    EXPECT_EQ(2, probe.runs);

    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KeAcquireSpinLock(&lock, &old);
    KeInsertQueueDpc(&probe.dpc, nullptr, nullptr);
    EXPECT_EQ(2, probe.runs);
    KeReleaseSpinLock(&lock, old);
    EXPECT_EQ(3, probe.runs);

    // Queued from device IRQL, as an interrupt service routine does: allowed
    // at any IRQL, it runs once the IRQL drops.
    KeRaiseIrql(HIGH_LEVEL, &old);
    EXPECT_EQ(TRUE, KeInsertQueueDpc(&probe.dpc, nullptr, nullptr));
    EXPECT_EQ(3, probe.runs);
    KeLowerIrql(old);
    EXPECT_EQ(4, probe.runs);
}

TEST_F(DispatcherDpcTest, ManualDeliveryLeavesDpcsQueuedUntilTheMachineRuns) {
    dispatcher::SetDpcDelivery(dispatcher::DpcDelivery::Manual);
    Probe probe;
    Init(probe);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    KeInsertQueueDpc(&probe.dpc, nullptr, nullptr);
    KeLowerIrql(old);
    EXPECT_EQ(0, probe.runs);

    LARGE_INTEGER zero{};
    KeDelayExecutionThread(KernelMode, FALSE, &zero);  // a wait runs the machine
    EXPECT_EQ(1, probe.runs);

    // A timer's DPC stays queued after the expiry until the test lets it run.
    KTIMER timer;
    KeInitializeTimer(&timer);
    LARGE_INTEGER due{};
    due.QuadPart = -10 * dispatcher::kMillisecond;
    KeSetTimer(&timer, due, &probe.dpc);
    dispatcher::AdvanceClock(dispatcher::TimeUntilExpiry(due.QuadPart));
    EXPECT_TRUE(KeReadStateTimer(&timer));
    EXPECT_TRUE(dispatcher::IsQueued(&probe.dpc));
    EXPECT_EQ(TRUE, KeRemoveQueueDpc(&probe.dpc));  // e.g. the request completed first
    EXPECT_EQ(1, probe.runs);
}

VOID NTAPI ReturnAtWrongIrql(PKDPC, PVOID, PVOID, PVOID) {
    KIRQL old;
    KeRaiseIrql(HIGH_LEVEL, &old);
}

VOID NTAPI ReturnHoldingLock(PKDPC, PVOID context, PVOID, PVOID) {
    KeAcquireSpinLockAtDpcLevel(static_cast<PKSPIN_LOCK>(context));
}

VOID NTAPI LockCorrectly(PKDPC, PVOID context, PVOID, PVOID) {
    KeAcquireSpinLockAtDpcLevel(static_cast<PKSPIN_LOCK>(context));
    KeReleaseSpinLockFromDpcLevel(static_cast<PKSPIN_LOCK>(context));
}

VOID NTAPI RequeueForever(PKDPC dpc, PVOID, PVOID, PVOID) { KeInsertQueueDpc(dpc, nullptr, nullptr); }

TEST_F(DispatcherDpcTest, ChecksMadeWhenADpcRoutineReturns) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KDPC dpc;

    KeInitializeDpc(&dpc, LockCorrectly, &lock);
    KeInsertQueueDpc(&dpc, nullptr, nullptr);
    EXPECT_TRUE(harness::RecordedViolations().empty());

    KeInitializeDpc(&dpc, ReturnAtWrongIrql, nullptr);
    KeInsertQueueDpc(&dpc, nullptr, nullptr);
    EXPECT_EQ(1, TakeViolations("DPC_RETURNED_AT_WRONG_IRQL"));
    EXPECT_EQ(PASSIVE_LEVEL, KeGetCurrentIrql());

    KeInitializeDpc(&dpc, ReturnHoldingLock, &lock);
    KeInsertQueueDpc(&dpc, nullptr, nullptr);
    EXPECT_EQ(1, TakeViolations("SPIN_LOCK_HELD_AT_DPC_RETURN"));
    EXPECT_EQ(0u, dispatcher::HeldSpinLockCount());
    EXPECT_EQ(0u, lock);  // released so that the test can go on

    KeInitializeDpc(&dpc, RequeueForever, nullptr);
    KeInsertQueueDpc(&dpc, nullptr, nullptr);
    EXPECT_EQ(1, TakeViolations("DPC_LIVELOCK"));
    EXPECT_FALSE(dispatcher::IsQueued(&dpc));
}

TEST_F(DispatcherDpcTest, MisuseOfDpcObjectsIsReported) {
    dispatcher::SetDpcDelivery(dispatcher::DpcDelivery::Manual);
    KDPC garbage;
    std::memset(&garbage, 0xA5, sizeof garbage);  // pool memory never initialised
    EXPECT_EQ(FALSE, KeInsertQueueDpc(&garbage, nullptr, nullptr));
    EXPECT_EQ(1, TakeViolations("OBJECT_NOT_INITIALIZED"));

    Probe probe;
    Init(probe);
    KeInsertQueueDpc(&probe.dpc, nullptr, nullptr);
    KeInitializeDpc(&probe.dpc, RecordDpc, &probe);
    EXPECT_EQ(1, TakeViolations("DPC_REINITIALIZED_WHILE_QUEUED"));
    EXPECT_EQ(0u, dispatcher::QueuedDpcCount());

    KeInsertQueueDpc(&probe.dpc, nullptr, nullptr);
    harness::VerifyQuiescent();
    ASSERT_EQ(1u, harness::RecordedViolations().size());
    EXPECT_NE(std::string::npos, harness::RecordedViolations()[0].message.find("is still queued"));
    EXPECT_EQ(1, TakeViolations("DPC_PENDING_AT_END"));
    KeRemoveQueueDpc(&probe.dpc);
}

}  // namespace
