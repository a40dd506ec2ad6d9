// Requests held while a Plug and Play stop is pending.
#include "driver/pnp.h"
#include "support/queue_fixture.h"

namespace {

class StalledRequestsTestHostBuildOnly : public QueueFixture {
protected:
    void QueryStop() { SetOrClearFlags(port_, &port_->pnpAccept, PNP_ACCEPT_STOPPING, TRUE); }
    void Restart() {
        SetOrClearFlags(port_, &port_->pnpAccept, PNP_ACCEPT_STOPPING, FALSE);
        ResubmitStalledRequests(port_);
    }
};

TEST_F(StalledRequestsTestHostBuildOnly, RequestsWaitWhileAStopIsPendingAndReturnOldestFirst) {
    QueryStop();
    Sent* first = SendRead();
    Sent* second = SendWrite(8);
    Sent* third = SendRead();
    for (Sent* s : {first, second, third}) {
        EXPECT_EQ(s->dispatchStatus, STATUS_PENDING);
        EXPECT_TRUE(IoGetCurrentIrpStackLocation(s->irp)->Control & SL_PENDING_RETURNED);
    }
    EXPECT_EQ(port_->currentReadIrp, nullptr) << "nothing reached the queues";
    EXPECT_EQ(port_->pendingIrpCount, 1) << "parked requests do not hold up a stop's drain";

    Restart();
    EXPECT_EQ(port_->currentReadIrp, first->irp) << "the oldest read went first";
    EXPECT_EQ(port_->readQueue.Flink, &third->irp->Tail.Overlay.ListEntry);
    EXPECT_EQ(port_->currentWriteIrp, second->irp);
    EXPECT_EQ(port_->pendingIrpCount, 4) << "counted again by their dispatch routines, once each";

    Cancel(first);
    Cancel(third);
    Cancel(second);
    EXPECT_EQ(port_->pendingIrpCount, 1) << "back at the base count";
}

TEST_F(StalledRequestsTestHostBuildOnly, AStalledRequestCanBeCancelled) {
    QueryStop();
    Sent* kept = SendRead();
    Sent* dropped = SendRead();
    Cancel(dropped);
    EXPECT_EQ(dropped->status, STATUS_CANCELLED);
    EXPECT_EQ(dropped->information, 0u);
    EXPECT_EQ(port_->pendingIrpCount, 1);

    Restart();
    EXPECT_EQ(port_->currentReadIrp, kept->irp);
    Cancel(kept);
    EXPECT_EQ(port_->pendingIrpCount, 1);
}

TEST_F(StalledRequestsTestHostBuildOnly, ARequestAlreadyCancelledIsNotStalled) {
    QueryStop();
    Sent* read = SendRead(16, /*cancelled=*/true);
    EXPECT_EQ(read->status, STATUS_CANCELLED);
    EXPECT_TRUE(IsListEmpty(&port_->stalledQueue));
    EXPECT_EQ(port_->pendingIrpCount, 1);
}

TEST_F(StalledRequestsTestHostBuildOnly, CancellingAllStalledRequestsGoesNewestFirst) {
    QueryStop();
    Sent* older = SendRead();
    Sent* newer = SendWrite(3);
    CancelAllStalledRequests(port_->deviceObject);
    EXPECT_EQ(newer->order, 1);
    EXPECT_EQ(older->order, 2);
    EXPECT_EQ(port_->pendingIrpCount, 1);
}

TEST_F(StalledRequestsTestHostBuildOnly, APlugAndPlayRequestPassesWhileAStopIsPending) {
    QueryStop();
    PIRP irp = IoAllocateIrp(1, FALSE);
    IoSetNextIrpStackLocation(irp);
    IoGetCurrentIrpStackLocation(irp)->MajorFunction = IRP_MJ_PNP;
    EXPECT_EQ(AdmitRequest(irp, port_), STATUS_SUCCESS);
    EXPECT_TRUE(IsListEmpty(&port_->stalledQueue));
    EXPECT_EQ(port_->pendingIrpCount, 2);
    FinishRequest(port_);
    IoFreeIrp(irp);
}

// Admission looks at the stopping bit, then parks under the cancel spin
// lock. A start or cancelled stop that clears the bit and hands the parked
// requests back between the two must not leave the request parked with
// nobody left to hand it back.
TEST_F(StalledRequestsTestHostBuildOnly, AHandBackBetweenTheLookAndTheParkingLeavesTheRequestAdmitted) {
    QueryStop();
    PIRP irp = IoAllocateIrp(1, FALSE);
    IoSetNextIrpStackLocation(irp);
    IoGetCurrentIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
    InterlockedIncrement(&port_->pendingIrpCount);  // as AdmitRequest counted it before looking
    Restart();                                       // the window
    EXPECT_EQ(ParkRequest(irp, port_), STATUS_SUCCESS);
    EXPECT_TRUE(IsListEmpty(&port_->stalledQueue)) << "nobody would ever hand it back";
    EXPECT_EQ(port_->pendingIrpCount, 2) << "admitted, and counted";
    FinishRequest(port_);
    IoFreeIrp(irp);
}

}  // namespace
