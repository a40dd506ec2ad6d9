// Surprise removal and removal: requests in flight end, the USB transfers
// come back before the device object goes, nothing is left armed, queued
// or allocated.
#include "driver/pnp.h"
#include "harness/usb/usb_bus.h"
#include "io/deferred_work.h"
#include "pnp_test_port.h"

namespace {

using harness::app::AsBytes;

class PnpRemovalTest : public PnpFixture {
protected:
    static void SetCancelLatency(int64_t latency) {
        auto settings = harness::usb::GetBusSettings();
        settings.cancelLatency = latency;
        harness::usb::SetBusSettings(settings);
    }

    // A read nothing satisfies, a write that takes seconds at 300 baud and
    // a wait for a ring that never comes, all pending.
    struct Pending {
        std::shared_ptr<harness::app::Request> read, write, wait;
    };
    Pending StartReadWriteAndWait(TestPort& port) {
        SetBaud(port, 300);
        const ULONG mask = SERIAL_EV_RING;
        EXPECT_EQ(harness::app::Ioctl(port.handle, IOCTL_SERIAL_SET_WAIT_MASK, AsBytes(mask), 0).status,
                  STATUS_SUCCESS);
        Pending p;
        p.wait = harness::app::IoctlAsync(port.handle, IOCTL_SERIAL_WAIT_ON_MASK, {}, sizeof(ULONG));
        p.write = harness::app::WriteAsync(port.handle, Pattern(8192));
        p.read = harness::app::ReadAsync(port.handle, 1000);
        Run(5 * kMs);
        EXPECT_FALSE(p.read->Done());
        EXPECT_FALSE(p.write->Done());
        EXPECT_FALSE(p.wait->Done());
        return p;
    }
};

TEST_F(PnpRemovalTest, ASurpriseRemovalEndsAPendingReadWriteAndWait) {
    TestPort& port = PlugPort();
    ASSERT_EQ(Open(port), STATUS_SUCCESS);
    Pending p = StartReadWriteAndWait(port);

    harness::pnp::SurpriseRemoveDevice(port.device);
    Run(5 * kMs);
    EXPECT_TRUE(p.read->Done());
    EXPECT_TRUE(p.write->Done());
    EXPECT_TRUE(p.wait->Done());
    EXPECT_EQ(p.read->Status(), STATUS_CANCELLED);
    EXPECT_EQ(p.write->Status(), STATUS_CANCELLED);
    EXPECT_EQ(p.wait->Status(), STATUS_CANCELLED);

    // The handle outlives the device: requests fail, the close succeeds.
    EXPECT_EQ(harness::app::Read(port.handle, 1).status, STATUS_DELETE_PENDING);
    EXPECT_EQ(harness::app::Close(port.handle), STATUS_SUCCESS);
    port.handle = {};
}

TEST_F(PnpRemovalTest, AnUnpluggedPortEndsAPendingReadWriteAndWait) {
    TestPort& port = PlugPort();
    ASSERT_EQ(Open(port), STATUS_SUCCESS);
    Pending p = StartReadWriteAndWait(port);

    harness::pnp::UnplugDevice(port.device);
    Run(5 * kMs);
    for (auto* r : {&p.read, &p.write, &p.wait}) EXPECT_TRUE((*r)->Done());
    EXPECT_EQ(harness::app::Close(port.handle), STATUS_SUCCESS);
    port.handle = {};
}

// The USB stack gives a cancelled transfer back 20 ms later; its completion
// reads the extension. Under AddressSanitizer a removal that does not wait
// for it is a use-after-free; here, it returns too early.
TEST_F(PnpRemovalTest, RemovalWaitsForCancelledTransfersToComeBack) {
    TestPort& port = PlugPort();
    ASSERT_EQ(Open(port), STATUS_SUCCESS);
    SetCancelLatency(20 * kMs);
    const int64_t before = harness::dispatcher::Now();
    harness::pnp::SurpriseRemoveDevice(port.device);
    EXPECT_GE(harness::dispatcher::Now() - before, 20 * kMs);
    EXPECT_EQ(harness::app::Close(port.handle), STATUS_SUCCESS);
    port.handle = {};
}

TEST_F(PnpRemovalTest, RemovalAfterACloseWaitsForTheStreamsTheCloseCancelled) {
    TestPort& port = PlugPort();
    ASSERT_EQ(Open(port), STATUS_SUCCESS);
    SetCancelLatency(20 * kMs);
    ASSERT_EQ(Close(port), STATUS_SUCCESS);
    const int64_t closed = harness::dispatcher::Now();
    PortExtension* ext = port.ext;
    EXPECT_NE(ext->streamTransfersOut, 0) << "the close does not wait for them";
    ASSERT_EQ(harness::pnp::RemoveDevice(port.device), STATUS_SUCCESS);
    EXPECT_GE(harness::dispatcher::Now() - closed, 20 * kMs);
}

// A device object deleted with a timer armed inside its extension is
// TIMER_OR_DPC_INVALID (0xC7): the kernel would expire it in freed memory.
// Reaches into the host build (see support/driver_build.h).
using PnpRemovalTestHostBuildOnly = PnpRemovalTest;

TEST_F(PnpRemovalTestHostBuildOnly, RemovalCancelsArmedTimersAndQueuedDpcs) {
    TestPort& port = PlugPort();
    LARGE_INTEGER due;
    due.QuadPart = -1000 * kMs;
    SetTimerCounted(&port.ext->writeTotalTimer, due, &port.ext->writeTotalTimeoutDpc, port.ext);
    SetTimerCounted(&port.ext->lowerRtsTimer, due, &port.ext->lowerRtsDpc, port.ext);
    ASSERT_EQ(harness::pnp::RemoveDevice(port.device), STATUS_SUCCESS);
    EXPECT_EQ(TakeViolations("TIMER_OR_DPC_INVALID"), 0);
}

TEST_F(PnpRemovalTest, AStoppedPortIsRemovedCleanly) {
    TestPort& port = PlugPort();
    ASSERT_EQ(harness::pnp::SendPnp(port.device, IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
    ASSERT_EQ(harness::pnp::SendPnp(port.device, IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(harness::pnp::RemoveDevice(port.device), STATUS_SUCCESS);
}

TEST_F(PnpRemovalTest, APortNeverStartedIsRemovedCleanly) {
    auto device = Plug(/*start=*/false);
    EXPECT_EQ(harness::pnp::RemoveDevice(device), STATUS_SUCCESS);
}

TEST_F(PnpRemovalTest, AQueriedRemovalRefusesRequestsUntilItIsCancelled) {
    TestPort& port = PlugPort();
    ASSERT_EQ(harness::pnp::SendPnp(port.device, IRP_MN_QUERY_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(port.ext->pnpState, PNP_STATE_REMOVE_QUERIED);
    auto refused = SendLooseRequest(port.Fdo());
    EXPECT_EQ(refused->ioStatus.Status, STATUS_DELETE_PENDING);
    ASSERT_EQ(harness::pnp::SendPnp(port.device, IRP_MN_CANCEL_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(port.ext->pnpState, PNP_STATE_STARTED);
    auto served = SendLooseRequest(port.Fdo());
    Run(5 * kMs);
    EXPECT_TRUE(served->Served());
    EXPECT_EQ(port.ext->pendingIrpCount, 1);
}

// A request parked by a stop that is never followed by a restart ends when
// the port goes, whether the removal is orderly or a surprise, and while
// the stop is still only queried or already done.
TEST_F(PnpRemovalTest, RequestsParkedByAStopEndWhenThePortGoesInstead) {
    for (const bool stopped : {false, true}) {
        for (const bool surprise : {false, true}) {
            SCOPED_TRACE(std::string(stopped ? "stopped" : "stop queried") + (surprise ? ", surprise" : ", orderly"));
            TestPort& port = PlugPort();
            ASSERT_EQ(harness::pnp::SendPnp(port.device, IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
            auto parked = SendLooseRequest(port.Fdo());
            ASSERT_EQ(parked->dispatched, STATUS_PENDING);
            if (stopped) ASSERT_EQ(harness::pnp::SendPnp(port.device, IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
            if (surprise) {
                harness::pnp::SurpriseRemoveDevice(port.device);
                Run(5 * kMs);
                EXPECT_TRUE(parked->Finished());
                EXPECT_EQ(parked->ioStatus.Status, STATUS_CANCELLED);
            } else {
                if (!stopped) ASSERT_EQ(harness::pnp::SendPnp(port.device, IRP_MN_CANCEL_STOP_DEVICE), STATUS_SUCCESS);
                if (!stopped) {
                    Run(5 * kMs);
                    EXPECT_TRUE(parked->Served()) << "handed back by the cancelled stop";
                }
                ASSERT_EQ(harness::pnp::RemoveDevice(port.device), STATUS_SUCCESS);
                Run(5 * kMs);
                EXPECT_TRUE(parked->Finished());
                if (stopped) EXPECT_EQ(parked->ioStatus.Status, STATUS_CANCELLED);
            }
        }
    }
}

// An open sent before the first start (by a component that found the
// device object) is refused, though it tries to start the status and
// receive transfers first: with no configuration selected there is no
// pipe to send them on, and nothing may be left outstanding for the
// removal to wait for.
TEST_F(PnpRemovalTest, AnOpenBeforeTheFirstStartIsRefusedAndLeavesNothingOutstanding) {
    auto device = Plug(/*start=*/false);
    PortExtension* ext = Port(device);
    PIRP irp = IoAllocateIrp(ext->deviceObject->StackSize, FALSE);
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = IRP_MJ_CREATE;
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(
        irp, [](PDEVICE_OBJECT, PIRP, PVOID context) NTAPI -> NTSTATUS {
            KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
            return STATUS_MORE_PROCESSING_REQUIRED;
        },
        &done, TRUE, TRUE, TRUE);
    if (IoCallDriver(ext->deviceObject, irp) == STATUS_PENDING)
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(irp->IoStatus.Status, STATUS_INSUFFICIENT_RESOURCES);
    IoFreeIrp(irp);
    EXPECT_EQ(ext->streamTransfersOut, 0);
    EXPECT_EQ(ext->pendingIrpCount, 1);
    EXPECT_EQ(harness::pnp::RemoveDevice(device), STATUS_SUCCESS);
}

}  // namespace
