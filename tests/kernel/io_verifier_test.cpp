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
    IoSetCancelRoutine(withCancel, [](PDEVICE_OBJECT, PIRP) NTAPI {});
    IoFreeIrp(withCancel);
    EXPECT_EQ(TakeViolations("IRP_FREED_WHILE_IN_USE"), 1);
    IoSetCancelRoutine(withCancel, nullptr);
    IoFreeIrp(withCancel);
}

TEST_F(IoVerifierTest, CompletionFaults) {
    PDEVICE_OBJECT device = QueueingDevice();

    IoCallDriver(device, OwnIrp(device));
    IoSetCancelRoutine(held_, [](PDEVICE_OBJECT, PIRP) NTAPI {});
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

TEST_F(IoVerifierTest, DispatchRoutineThatReturnsAtAnotherIrql) {
    KIRQL entered = PASSIVE_LEVEL;
    PDEVICE_OBJECT device = AddDevice([&](PDEVICE_OBJECT, PIRP irp) {
        KeRaiseIrql(DISPATCH_LEVEL, &entered);  // and never lowered
        return Complete(irp, STATUS_SUCCESS);
    });
    IoCallDriver(device, OwnIrp(device));
    KeLowerIrql(entered);
    ASSERT_EQ(harness::RecordedViolations().size(), 1u);
    EXPECT_NE(harness::RecordedViolations()[0].message.find("entered at IRQL 0 and returned at IRQL 2"),
              std::string::npos)
        << harness::RecordedViolations()[0].message;
    EXPECT_EQ(TakeViolations("IRQL_CHANGED_BY_DISPATCH"), 1);
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

namespace {

constexpr ULONG kBufferedCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kNeitherCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x802, METHOD_NEITHER, FILE_ANY_ACCESS);
constexpr ULONG kDirectCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x803, METHOD_OUT_DIRECT, FILE_ANY_ACCESS);

}  // namespace

TEST_F(IoVerifierTest, InformationBeyondTheOutputSectionOfTheSystemBufferIsCaughtAtCompletion) {
    ULONG_PTR information = 0;
    NTSTATUS status = STATUS_SUCCESS;
    PDEVICE_OBJECT device = AddDevice([&](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, status, information); });

    // A request another driver built and waits for: one report, at the
    // completion, not again when the I/O manager finishes it.
    uint8_t output[8];
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    information = 9;
    PIRP built = IoBuildDeviceIoControlRequest(kBufferedCode, device, nullptr, 0, output, sizeof output, FALSE,
                                               &event, &iosb);
    IoCallDriver(device, built);
    ASSERT_EQ(harness::RecordedViolations().size(), 1u);
    const harness::Violation v = harness::RecordedViolations()[0];
    EXPECT_EQ(v.routine, "IofCompleteRequest");
    EXPECT_NE(v.message.find("Information 9"), std::string::npos) << v.message;
    EXPECT_NE(v.message.find("output buffer of 8 bytes"), std::string::npos) << v.message;
    EXPECT_EQ(TakeViolations("INFORMATION_EXCEEDS_BUFFER"), 1);

    // A driver's own IRP, and a failed request, are held to it as well.
    auto ownRequest = [&](ULONG code, ULONG outputLength) {
        PIRP irp = OwnIrp(device);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = IRP_MJ_DEVICE_CONTROL;
        next->Parameters.DeviceIoControl.IoControlCode = code;
        next->Parameters.DeviceIoControl.OutputBufferLength = outputLength;
        IoCallDriver(device, irp);
    };
    information = 5;
    ownRequest(kBufferedCode, 4);
    status = STATUS_INVALID_PARAMETER;
    ownRequest(kBufferedCode, 4);
    EXPECT_EQ(TakeViolations("INFORMATION_EXCEEDS_BUFFER"), 2);

    // Exactly the buffer, and the methods without a system buffer for the
    // output, are fine.
    status = STATUS_SUCCESS;
    ownRequest(kBufferedCode, 5);
    ownRequest(kNeitherCode, 4);
    ownRequest(kDirectCode, 4);
    EXPECT_TRUE(harness::RecordedViolations().empty());
}

TEST_F(IoVerifierTest, ReturningAnotherStatusThanTheOneCompletedWithIsCaught) {
    // The request is freed by the time its dispatch routine returns: the
    // status is the one it was completed with.
    PDEVICE_OBJECT device = AddDevice([](PDEVICE_OBJECT, PIRP irp) {
        Complete(irp, STATUS_SUCCESS);
        return STATUS_UNSUCCESSFUL;
    });
    PIRP request = harness::io::AllocateIoManagerIrp(device->StackSize, "test request");
    IoGetNextIrpStackLocation(request)->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    IoGetNextIrpStackLocation(request)->Parameters.DeviceIoControl.IoControlCode = kNeitherCode;
    EXPECT_EQ(IoCallDriver(device, request), STATUS_UNSUCCESSFUL);
    EXPECT_FALSE(harness::io::IsLiveIrp(request));
    ASSERT_EQ(harness::RecordedViolations().size(), 1u);
    const std::string message = harness::RecordedViolations()[0].message;
    EXPECT_NE(message.find("with status 0x0 and returned 0xc0000001"), std::string::npos) << message;
    EXPECT_NE(message.find("IRP_MJ_DEVICE_CONTROL code"), std::string::npos) << message;
    EXPECT_EQ(TakeViolations("STATUS_RETURNED_DIFFERS_FROM_COMPLETION"), 1);
}

TEST_F(IoVerifierTest, OnlyTheRoutineThatCompletedTheRequestIsHeldToItsStatus) {
    // The upper driver's completion routine turns the lower driver's success
    // into a failure, and its dispatch routine returns what IoCallDriver
    // returned: the upper routine completed nothing, and the lower routine
    // returned what it completed with.
    PDEVICE_OBJECT lower = AddDevice([](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS); });
    PDEVICE_OBJECT upper = AddFilter(lower, nullptr);
    iotest::Handler* failIt = Routine([](PDEVICE_OBJECT, PIRP irp) {
        irp->IoStatus.Status = STATUS_UNSUCCESSFUL;
        return STATUS_SUCCESS;  // continue completion
    });
    SetHandler(upper, [lower, failIt](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, RouteCompletion, failIt, TRUE, TRUE, TRUE);
        return IoCallDriver(lower, irp);
    });
    EXPECT_EQ(IoCallDriver(upper, OwnIrp(upper)), STATUS_SUCCESS);

    // Pending returns are the pending rule's business, not this one's.
    SetHandler(lower, [](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        Complete(irp, STATUS_SUCCESS);
        return STATUS_PENDING;
    });
    SetHandler(upper, PassDown(lower));
    EXPECT_EQ(IoCallDriver(upper, OwnIrp(upper)), STATUS_PENDING);
    EXPECT_TRUE(harness::RecordedViolations().empty());
}
