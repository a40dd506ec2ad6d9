// Queried, cancelled and completed stops, and the restart that follows.
#include "driver/pnp.h"
#include "io/deferred_work.h"
#include "usb/chip_protocol.h"
#include "pnp_test_port.h"

namespace {

using harness::pnp::SendPnp;

class PnpStopTest : public PnpFixture {};

TEST_F(PnpStopTest, AStopQueryIsRefusedWhileTheHandleIsOpen) {
    TestPort& port = PlugPort();
    ASSERT_EQ(Open(port), STATUS_SUCCESS);
    EXPECT_EQ(SendPnp(port.device, IRP_MN_QUERY_STOP_DEVICE), STATUS_DEVICE_BUSY);
    EXPECT_EQ(port.ext->pnpState, PNP_STATE_STARTED);
    EXPECT_EQ(port.ext->pnpAccept, 0);
    EXPECT_EQ(SendPnp(port.device, IRP_MN_QUERY_REMOVE_DEVICE), STATUS_DEVICE_BUSY);
    EXPECT_EQ(port.ext->pendingIrpCount, 1);
}

// A request arriving between the stop query and the stop is parked; the
// stop's drain must not wait for it, and the restart hands it back.
TEST_F(PnpStopTest, ARequestParkedBeforeTheStopDoesNotHoldItUpAndRunsAfterTheRestart) {
    TestPort& port = PlugPort();
    ASSERT_EQ(SendPnp(port.device, IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(port.ext->pnpState, PNP_STATE_STOP_QUERIED);
    auto parked = SendLooseRequest(port.Fdo());
    EXPECT_EQ(parked->dispatched, STATUS_PENDING);
    EXPECT_FALSE(parked->Finished());

    const int64_t before = harness::dispatcher::Now();
    EXPECT_EQ(SendPnp(port.device, IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_LT(harness::dispatcher::Now() - before, 100 * kMs) << "the stop waited for the parked request";
    EXPECT_EQ(port.ext->pnpState, PNP_STATE_STOPPED);
    EXPECT_EQ(port.ext->pnpAccept, PNP_ACCEPT_STOPPED);
    EXPECT_FALSE(parked->Finished()) << "parked until the restart";

    ASSERT_EQ(harness::pnp::StartDevice(port.device), STATUS_SUCCESS);
    Run(10 * kMs);
    EXPECT_TRUE(parked->Served());
    EXPECT_EQ(port.ext->pnpState, PNP_STATE_STARTED);
    EXPECT_EQ(port.ext->pnpAccept, 0);
    EXPECT_EQ(port.ext->lifecycleFlags, LIFECYCLE_STARTED);
    EXPECT_EQ(port.ext->pendingIrpCount, 1);
    EXPECT_EQ(Open(port), STATUS_SUCCESS) << "the restarted port opens";
}

TEST_F(PnpStopTest, ACancelledStopHandsTheParkedRequestsBack) {
    TestPort& port = PlugPort();
    ASSERT_EQ(SendPnp(port.device, IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
    auto first = SendLooseRequest(port.Fdo());
    auto second = SendLooseRequest(port.Fdo());
    EXPECT_FALSE(first->Finished());

    EXPECT_EQ(SendPnp(port.device, IRP_MN_CANCEL_STOP_DEVICE), STATUS_SUCCESS);
    Run(10 * kMs);
    EXPECT_TRUE(first->Served());
    EXPECT_TRUE(second->Served());
    EXPECT_EQ(port.ext->pnpState, PNP_STATE_STARTED);
    EXPECT_EQ(port.ext->pnpAccept, 0);
    EXPECT_TRUE(IsListEmpty(&port.ext->stalledQueue));
    EXPECT_EQ(port.ext->pendingIrpCount, 1);
}

// The restart initialises every timer anew: one left armed by the stop
// would be re-initialised while the kernel still holds it.
// Reaches into the host build (see support/driver_build.h).
using PnpStopTestHostBuildOnly = PnpStopTest;

TEST_F(PnpStopTestHostBuildOnly, TheStopCancelsArmedTimersAndQueuedDpcs) {
    TestPort& port = PlugPort();
    LARGE_INTEGER due;
    due.QuadPart = -1000 * kMs;
    SetTimerCounted(&port.ext->readTotalTimer, due, &port.ext->readTotalTimeoutDpc, port.ext);
    ASSERT_EQ(SendPnp(port.device, IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
    ASSERT_EQ(SendPnp(port.device, IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(port.ext->pendingDpcCount, 1);
    EXPECT_FALSE(KeCancelTimer(&port.ext->readTotalTimer));
    ASSERT_EQ(harness::pnp::StartDevice(port.device), STATUS_SUCCESS);
}

TEST_F(PnpStopTest, ARestartReturnsTheSettingsToTheirDefaults) {
    TestPort& port = PlugPort();
    ASSERT_EQ(Open(port), STATUS_SUCCESS);
    SetBaud(port, 57600);
    ASSERT_EQ(Close(port), STATUS_SUCCESS);
    ASSERT_EQ(SendPnp(port.device, IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
    ASSERT_EQ(SendPnp(port.device, IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(port.ext->lifecycleFlags, LIFECYCLE_STARTED | LIFECYCLE_STOPPED);
    ASSERT_EQ(harness::pnp::StartDevice(port.device), STATUS_SUCCESS);
    EXPECT_EQ(port.ext->currentBaud, 0u);
    EXPECT_EQ(port.ext->lineControl, 0x1A);
}

// The Plug and Play manager queries on a thread of its own, so a query can
// arrive while an open waits for the device to reach full power: the
// handle is counted then but not yet marked open. A query granted there
// lets the open finish on a port about to be stopped or removed, and the
// handle's cleanup is then parked behind a stop that never comes.
class OpenRaceTest : public PnpFixture {
protected:
    void QueryDuringOpen(UCHAR query, UCHAR cancel) {
        TestPort& port = PlugPort();
        NTSTATUS queried = STATUS_PENDING;
        LONG openCountSeen = -1;
        // Runs at the open's first wait, the power request's.
        harness::dispatcher::QueuePassiveWork(
            [&] {
                openCountSeen = port.ext->openCount;
                queried = SendPnp(port.device, query);
            },
            "a Plug and Play query during the open");
        const NTSTATUS opened = Open(port);
        ASSERT_EQ(openCountSeen, 1) << "the query did not run inside the open";
        ASSERT_EQ(opened, STATUS_SUCCESS);
        EXPECT_EQ(queried, STATUS_DEVICE_BUSY) << "granted with a handle being opened";
        if (NT_SUCCESS(queried)) SendPnp(port.device, cancel);  // so that the handle can go
        EXPECT_EQ(port.ext->pnpState, PNP_STATE_STARTED);
        EXPECT_EQ(port.ext->pnpAccept, 0);
        EXPECT_EQ(Close(port), STATUS_SUCCESS);
        EXPECT_EQ(port.ext->pendingIrpCount, 1);
        EXPECT_EQ(port.ext->openCount, 0);
    }
};

TEST_F(OpenRaceTest, AStopQueriedWhileAnOpenIsUnderwayIsRefused) {
    QueryDuringOpen(IRP_MN_QUERY_STOP_DEVICE, IRP_MN_CANCEL_STOP_DEVICE);
}

TEST_F(OpenRaceTest, ARemovalQueriedWhileAnOpenIsUnderwayIsRefused) {
    QueryDuringOpen(IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE);
}

TEST_F(PnpStopTest, AStopQueryBeforeTheFirstStartIsPassedDownUnchanged) {
    auto device = Plug(/*start=*/false);
    EXPECT_EQ(SendPnp(device, IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(Port(device)->pnpState, PNP_STATE_ADDED);
    EXPECT_EQ(Port(device)->pnpAccept, 0);
}

}  // namespace

namespace {

// An open refused because the port is stopped still starts the status and
// receive transfers (it does that before it looks at anything). The chip
// reporting a line error through them while the port is stopped queues
// the error DPC; the restart then initialises that DPC again while the
// kernel still holds it queued.
TEST_F(PnpStopTest, AnOpenRefusedWhileStoppedLeavesNothingThatReachesIntoTheRestart) {
    TestPort& port = PlugScriptedPort();
    ASSERT_EQ(Open(port), STATUS_SUCCESS);
    SERIAL_HANDFLOW handFlow = port.ext->handFlow;
    handFlow.ControlHandShake |= SERIAL_ERROR_ABORT;
    SetHandFlow(port, handFlow);
    ASSERT_EQ(Close(port), STATUS_SUCCESS);
    Run(10 * kMs);
    ASSERT_EQ(SendPnp(port.device, IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
    ASSERT_EQ(SendPnp(port.device, IRP_MN_STOP_DEVICE), STATUS_SUCCESS);

    EXPECT_EQ(Open(port), STATUS_INSUFFICIENT_RESOURCES);
    port.handle = {};
    ASSERT_TRUE(StreamOutstanding(port.ext, STREAM_STATUS)) << "the refused open started no transfer";
    harness::dispatcher::SetDpcDelivery(harness::dispatcher::DpcDelivery::Manual);
    peer_->InjectOverrun();
    harness::dispatcher::AdvanceClock(20 * kMs);
    EXPECT_EQ(harness::dispatcher::QueuedDpcCount(), 0u) << "a DPC of the stopped port is queued";
    harness::dispatcher::SetDpcDelivery(harness::dispatcher::DpcDelivery::Immediate);
    ASSERT_EQ(harness::pnp::StartDevice(port.device), STATUS_SUCCESS);
    Run(10 * kMs);
    EXPECT_EQ(port.ext->pendingDpcCount, 1);
}

}  // namespace
