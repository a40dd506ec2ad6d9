// Queueing, cancelling and starting requests, and the admission check.
#include "driver/pnp.h"
#include "support/queue_fixture.h"

namespace {

class RequestQueueTestHostBuildOnly : public QueueFixture {};

TEST_F(RequestQueueTestHostBuildOnly, QueuedRequestsAreCancelledNewestFirstThenTheCurrentOne) {
    Sent* current = SendWrite(10);
    Sent* second = SendWrite(20);
    Sent* third = SendIoctl(IOCTL_SERIAL_XOFF_COUNTER);
    EXPECT_EQ(port_->currentWriteIrp, current->irp);
    EXPECT_EQ(port_->charsQueued, 31u) << "bytes of both writes plus one for the xoff counter";

    CancelQueueAndCurrent(port_->deviceObject, &port_->writeQueue, &port_->currentWriteIrp);
    EXPECT_EQ(third->order, 1);
    EXPECT_EQ(second->order, 2);
    EXPECT_EQ(current->order, 3);
    for (Sent* s : {current, second, third}) EXPECT_EQ(s->status, STATUS_CANCELLED);
    EXPECT_TRUE(IsListEmpty(&port_->writeQueue));
    EXPECT_EQ(port_->currentWriteIrp, nullptr);
    // The queued ones gave their share back; the current write's bytes are
    // the write path's to give back when it completes.
    EXPECT_EQ(port_->charsQueued, 10u);
    EXPECT_EQ(port_->pendingIrpCount, 1);
}

TEST_F(RequestQueueTestHostBuildOnly, CancellingOneQueuedWriteGivesBackItsBytesOnly) {
    Sent* current = SendWrite(4);
    Sent* queued = SendWrite(100);
    Sent* last = SendWrite(7);
    Cancel(queued);
    EXPECT_EQ(queued->status, STATUS_CANCELLED);
    EXPECT_EQ(port_->charsQueued, 11u);
    EXPECT_FALSE(current->Done());
    EXPECT_FALSE(last->Done());
    CancelQueueAndCurrent(port_->deviceObject, &port_->writeQueue, &port_->currentWriteIrp);
}

TEST_F(RequestQueueTestHostBuildOnly, ARequestCancelledOnItsWayIntoABusyQueueCompletesAtOnce) {
    Sent* current = SendWrite(4);
    Sent* cancelled = SendWrite(50, /*cancelled=*/true);
    EXPECT_EQ(cancelled->dispatchStatus, STATUS_CANCELLED);
    EXPECT_EQ(cancelled->status, STATUS_CANCELLED);
    EXPECT_EQ(port_->charsQueued, 4u) << "its bytes were taken back";
    EXPECT_TRUE(IsListEmpty(&port_->writeQueue));
    Cancel(current);
}

TEST_F(RequestQueueTestHostBuildOnly, ARequestCancelledOnItsWayIntoAnIdleQueueIsFoundByItsStartRoutine) {
    Sent* cancelled = SendRead(16, /*cancelled=*/true);
    EXPECT_EQ(readStarts, 1) << "handed to the start routine";
    EXPECT_EQ(cancelled->dispatchStatus, STATUS_CANCELLED);
    EXPECT_EQ(cancelled->status, STATUS_CANCELLED);
    EXPECT_EQ(port_->currentReadIrp, nullptr);
    EXPECT_EQ(port_->pendingIrpCount, 1);
}

TEST_F(RequestQueueTestHostBuildOnly, TheStartLoopSkipsQueuedRequestsThatWereCancelledMeanwhile) {
    Sent* first = SendRead();
    Sent* second = SendRead();
    Sent* third = SendRead();
    // The second is flagged cancelled while queued but its cancel routine
    // has not run (as when IoCancelIrp races with the take-next).
    second->irp->Cancel = TRUE;
    Cancel(first);
    EXPECT_EQ(first->status, STATUS_CANCELLED);
    // Cancelling the first took the second as the next current request; the
    // start routine found it cancelled and went on to the third.
    EXPECT_EQ(second->status, STATUS_CANCELLED);
    EXPECT_FALSE(third->Done());
    EXPECT_EQ(port_->currentReadIrp, third->irp);
    Cancel(third);
}

TEST_F(RequestQueueTestHostBuildOnly, RemovalRefusesEverythingButPlugAndPlay) {
    SetOrClearFlags(port_, &port_->pnpAccept, PNP_ACCEPT_REMOVING, TRUE);
    Sent* read = SendRead();
    EXPECT_EQ(read->dispatchStatus, STATUS_DELETE_PENDING);
    EXPECT_EQ(read->status, STATUS_DELETE_PENDING);
    EXPECT_EQ(port_->pendingIrpCount, 1);
    SetOrClearFlags(port_, &port_->pnpAccept, PNP_ACCEPT_REMOVING, FALSE);

    SetOrClearFlags(port_, &port_->pnpAccept, PNP_ACCEPT_SURPRISE_REMOVED, TRUE);
    EXPECT_EQ(SendWrite(3)->status, STATUS_DELETE_PENDING);
    SetOrClearFlags(port_, &port_->pnpAccept, PNP_ACCEPT_SURPRISE_REMOVED, FALSE);
}

TEST_F(RequestQueueTestHostBuildOnly, AStoppedDeviceStillAdmitsRequests) {
    SetOrClearFlags(port_, &port_->pnpAccept, PNP_ACCEPT_STOPPED, TRUE);
    Sent* read = SendRead();
    EXPECT_EQ(read->dispatchStatus, STATUS_PENDING);
    EXPECT_EQ(port_->currentReadIrp, read->irp);
    Cancel(read);
}

TEST_F(RequestQueueTestHostBuildOnly, ErrorAbortFailsRequestsUntilTheErrorIsRead) {
    port_->handFlow.ControlHandShake |= SERIAL_ERROR_ABORT;
    port_->errorWord = SERIAL_ERROR_FRAMING;
    Sent* read = SendRead();
    EXPECT_EQ(read->status, STATUS_CANCELLED);
    EXPECT_EQ(read->information, 0u);
    EXPECT_EQ(port_->pendingIrpCount, 1);

    // The error status request itself is let through (the test dispatch
    // queues it like a write; the control dispatch clears the error word).
    Sent* status = SendIoctl(IOCTL_SERIAL_GET_COMMSTATUS);
    EXPECT_EQ(status->dispatchStatus, STATUS_PENDING);
    Cancel(status);

    port_->errorWord = 0;
    Sent* next = SendRead();
    EXPECT_EQ(next->dispatchStatus, STATUS_PENDING);
    Cancel(next);
}

}  // namespace
