// IoCancelIrp and the cancel spin lock, as a driver that queues requests
// in Tail.Overlay.ListEntry sees them.
#include "harness/kernel/dispatcher.h"
#include "io_test_driver.h"

using iotest::Complete;
using iotest::RouteCompletion;

namespace {

// A driver queue guarded by the cancel spin lock, the classic way.
LIST_ENTRY g_queue;
int g_cancelCalls;
KIRQL g_irqlInCancel;
KIRQL g_cancelIrql;
bool g_lockHeldInCancel;
PDEVICE_OBJECT g_deviceInCancel;
bool g_keepLock;

VOID NTAPI CancelQueued(PDEVICE_OBJECT device, PIRP irp) {
    g_cancelCalls++;
    g_irqlInCancel = KeGetCurrentIrql();
    g_cancelIrql = irp->CancelIrql;
    g_lockHeldInCancel = harness::io::CancelSpinLockHeld();
    g_deviceInCancel = device;
    EXPECT_EQ(irp->CancelRoutine, nullptr);
    RemoveEntryList(&irp->Tail.Overlay.ListEntry);
    if (g_keepLock) return;  // the bug under test
    IoReleaseCancelSpinLock(irp->CancelIrql);
    Complete(irp, STATUS_CANCELLED);
}

NTSTATUS Queue(PDEVICE_OBJECT, PIRP irp) {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    IoMarkIrpPending(irp);
    InsertTailList(&g_queue, &irp->Tail.Overlay.ListEntry);
    IoSetCancelRoutine(irp, CancelQueued);
    IoReleaseCancelSpinLock(irql);
    return STATUS_PENDING;
}

}  // namespace

class IoCancelTest : public IoTest {
protected:
    void SetUp() override {
        IoTest::SetUp();
        InitializeListHead(&g_queue);
        g_cancelCalls = 0;
        g_keepLock = false;
    }

    PIRP Send(PDEVICE_OBJECT device) {
        PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
        IoSetCompletionRoutine(irp, RouteCompletion, Routine([this](PDEVICE_OBJECT, PIRP irp) {
                                   finished_.push_back({irp, irp->IoStatus.Status, bool(irp->Cancel)});
                                   IoFreeIrp(irp);
                                   return STATUS_MORE_PROCESSING_REQUIRED;
                               }),
                               TRUE, TRUE, TRUE);
        EXPECT_EQ(IoCallDriver(device, irp), STATUS_PENDING);
        return irp;
    }

    struct Finished {
        PIRP irp;
        NTSTATUS status;
        bool cancel;
    };
    std::vector<Finished> finished_;
};

TEST_F(IoCancelTest, CancelRoutineRunsUnderTheCancelLockAndOthersStayQueued) {
    PDEVICE_OBJECT device = AddDevice(Queue);
    PIRP first = Send(device);
    PIRP second = Send(device);

    EXPECT_TRUE(IoCancelIrp(first));
    EXPECT_EQ(g_cancelCalls, 1);
    EXPECT_EQ(g_irqlInCancel, DISPATCH_LEVEL);
    EXPECT_EQ(g_cancelIrql, PASSIVE_LEVEL);
    EXPECT_TRUE(g_lockHeldInCancel);
    EXPECT_EQ(g_deviceInCancel, device);
    EXPECT_FALSE(harness::io::CancelSpinLockHeld());
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    ASSERT_EQ(finished_.size(), 1u);
    EXPECT_EQ(finished_[0].status, STATUS_CANCELLED);
    EXPECT_TRUE(finished_[0].cancel);

    // The other request is untouched in the queue.
    ASSERT_FALSE(IsListEmpty(&g_queue));
    EXPECT_EQ(CONTAINING_RECORD(g_queue.Flink, IRP, Tail.Overlay.ListEntry), second);
    EXPECT_EQ(g_queue.Flink->Flink, &g_queue);
    EXPECT_TRUE(IoCancelIrp(second));
    EXPECT_TRUE(IsListEmpty(&g_queue));
}

TEST_F(IoCancelTest, WithoutCancelRoutineOnlyTheFlagIsSet) {
    PIRP held = nullptr;
    PDEVICE_OBJECT device = AddDevice([&](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        held = irp;
        return STATUS_PENDING;
    });
    Send(device);
    EXPECT_FALSE(IoCancelIrp(held));
    EXPECT_TRUE(held->Cancel);
    EXPECT_FALSE(harness::io::CancelSpinLockHeld());
    EXPECT_TRUE(finished_.empty());
    Complete(held, STATUS_CANCELLED);
    ASSERT_EQ(finished_.size(), 1u);
    EXPECT_TRUE(finished_[0].cancel);
}

TEST_F(IoCancelTest, CancelRoutineThatKeepsTheLockIsReported) {
    PDEVICE_OBJECT device = AddDevice(Queue);
    PIRP irp = Send(device);
    g_keepLock = true;
    EXPECT_TRUE(IoCancelIrp(irp));
    EXPECT_EQ(TakeViolations("CANCEL_SPIN_LOCK_NOT_RELEASED"), 1);
    EXPECT_FALSE(harness::io::CancelSpinLockHeld());
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    Complete(irp, STATUS_CANCELLED);
}
