// The I/O manager's verifier checks: each fires on the fault it names. The
// correct uses in the other I/O tests are what keep them silent (any
// unexpected violation fails a test).
#include "io_test_driver.h"

using iotest::Complete;
using iotest::RouteCompletion;

class IoVerifierTest : public IoTest {
protected:
    // A device that keeps every request it gets, marked pending.
    PDEVICE_OBJECT QueueingDevice() {
        return AddDevice([this](PDEVICE_OBJECT, PIRP irp) {
            IoMarkIrpPending(irp);
            held_ = irp;
            return STATUS_PENDING;
        });
    }
    // A driver-allocated IRP for `device` whose final routine frees it.
    PIRP OwnIrp(PDEVICE_OBJECT device) {
        PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_WRITE;
        IoSetCompletionRoutine(irp, RouteCompletion, Routine([](PDEVICE_OBJECT, PIRP irp) {
                                   IoFreeIrp(irp);
                                   return STATUS_MORE_PROCESSING_REQUIRED;
                               }),
                               TRUE, TRUE, TRUE);
        return irp;
    }

    PIRP held_ = nullptr;
};

TEST_F(IoVerifierTest, FreeingTwiceOrWhileInUse) {
    PIRP irp = IoAllocateIrp(1, FALSE);
    IoFreeIrp(irp);
    IoFreeIrp(irp);
    EXPECT_EQ(TakeViolations("IRP_FREED_TWICE"), 1);

    PDEVICE_OBJECT device = QueueingDevice();
    EXPECT_EQ(IoCallDriver(device, OwnIrp(device)), STATUS_PENDING);
    IoFreeIrp(held_);  // the driver below still has it
    EXPECT_EQ(TakeViolations("IRP_FREED_WHILE_IN_USE"), 1);
    Complete(held_, STATUS_SUCCESS);

    PIRP withCancel = IoAllocateIrp(1, FALSE);
    IoSetCancelRoutine(withCancel, [](PDEVICE_OBJECT, PIRP) {});
    IoFreeIrp(withCancel);
    EXPECT_EQ(TakeViolations("IRP_FREED_WHILE_IN_USE"), 1);
    IoSetCancelRoutine(withCancel, nullptr);
    IoFreeIrp(withCancel);
}

TEST_F(IoVerifierTest, CompletionFaults) {
    PDEVICE_OBJECT device = QueueingDevice();

    IoCallDriver(device, OwnIrp(device));
    IoSetCancelRoutine(held_, [](PDEVICE_OBJECT, PIRP) {});
    Complete(held_, STATUS_SUCCESS);
    EXPECT_EQ(TakeViolations("IRP_COMPLETED_WITH_CANCEL_ROUTINE"), 1);

    IoCallDriver(device, OwnIrp(device));
    Complete(held_, STATUS_PENDING);
    EXPECT_EQ(TakeViolations("IRP_COMPLETED_WITH_STATUS_PENDING"), 1);

    // Completed past the top of an IRP the driver allocated, then once more.
    PIRP kept = IoAllocateIrp(device->StackSize, FALSE);
    IoGetNextIrpStackLocation(kept)->MajorFunction = IRP_MJ_READ;
    IoCallDriver(device, kept);
    Complete(held_, STATUS_SUCCESS);
    EXPECT_EQ(TakeViolations("DRIVER_IRP_COMPLETED_TO_IO_MANAGER"), 1);
    Complete(held_, STATUS_SUCCESS);
    EXPECT_EQ(TakeViolations("IRP_COMPLETED_TWICE"), 1);
    IoFreeIrp(kept);

    // An I/O manager request is freed once completed: the second completion
    // finds nothing.
    PIRP request = harness::io::AllocateIoManagerIrp(device->StackSize, "test request");
    IoGetNextIrpStackLocation(request)->MajorFunction = IRP_MJ_READ;
    IoCallDriver(device, request);
    Complete(held_, STATUS_SUCCESS);
    EXPECT_FALSE(harness::io::IsLiveIrp(request));
    IoCompleteRequest(request, IO_NO_INCREMENT);
    EXPECT_EQ(TakeViolations("IRP_COMPLETED_TWICE"), 1);
}

TEST_F(IoVerifierTest, DispatchRoutineThatMarksPendingButReturnsSuccess) {
    PDEVICE_OBJECT device = AddDevice([](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        return Complete(irp, STATUS_SUCCESS);
    });
    IoCallDriver(device, OwnIrp(device));
    EXPECT_EQ(TakeViolations("PENDING_MARK_WITHOUT_STATUS_PENDING"), 1);
}

TEST_F(IoVerifierTest, CallsAboveDispatchLevel) {
    PDEVICE_OBJECT device = QueueingDevice();
    PIRP irp = OwnIrp(device);
    KIRQL old;
    KeRaiseIrql(HIGH_LEVEL, &old);
    IoCallDriver(device, irp);
    Complete(held_, STATUS_SUCCESS);
    KeLowerIrql(old);
    // IofCallDriver, IofCompleteRequest and the routine's IoFreeIrp.
    EXPECT_EQ(TakeViolations("IRQL_NOT_LESS_OR_EQUAL"), 3);
}

TEST_F(IoVerifierTest, EndOfTestReportsLeakedAndUncompletedIrps) {
    PDEVICE_OBJECT device = QueueingDevice();
    PIRP leaked = IoAllocateIrp(1, FALSE);
    IoCallDriver(device, OwnIrp(device));
    harness::VerifyQuiescent();
    EXPECT_EQ(TakeViolations("IRP_LEAKED"), 1);
    EXPECT_EQ(TakeViolations("IRP_NEVER_COMPLETED"), 1);
    // Each is reported once only.
    harness::VerifyQuiescent();
    EXPECT_TRUE(harness::RecordedViolations().empty());
    IoFreeIrp(leaked);
    Complete(held_, STATUS_SUCCESS);
}
