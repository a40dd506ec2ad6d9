// Wait-on-mask: IOCTL_SERIAL_SET_WAIT_MASK and IOCTL_SERIAL_WAIT_ON_MASK
// through the I/O manager, events raised as the driver's DISPATCH_LEVEL
// sources raise them, and the orders in which a report, a new mask and a
// cancellation can meet a wait.
#include <cstring>

#include "modem_test_port.h"

namespace {

using harness::app::Request;
using harness::dispatcher::DpcDelivery;
using harness::dispatcher::RunDpcs;
using harness::dispatcher::SetDpcDelivery;

class WaitMaskTestHostBuildOnly : public ModemPortTest {
protected:
    void SetUp() override {
        ModemPortTest::SetUp();
        OpenPort();
    }
};

TEST_F(WaitMaskTestHostBuildOnly, APendingWaitCompletesWithTheWatchedEventThatArrives) {
    ASSERT_EQ(SetWaitMask(SERIAL_EV_RXCHAR | SERIAL_EV_CTS), STATUS_SUCCESS);
    auto wait = WaitOnMask();
    EXPECT_EQ(wait->DispatchStatus(), STATUS_PENDING);
    Raise(SERIAL_EV_DSR);  // not watched
    EXPECT_FALSE(wait->Done());

    Raise(SERIAL_EV_RXCHAR);
    ASSERT_TRUE(wait->Done());
    EXPECT_EQ(wait->Status(), STATUS_SUCCESS);
    EXPECT_EQ(wait->Information(), sizeof(ULONG));
    EXPECT_EQ(Events(*wait), ULONG{SERIAL_EV_RXCHAR});
}

TEST_F(WaitMaskTestHostBuildOnly, EventsWithoutAWaitAreKeptForTheNextOne) {
    ASSERT_EQ(SetWaitMask(SERIAL_EV_CTS | SERIAL_EV_RING), STATUS_SUCCESS);
    Raise(SERIAL_EV_CTS | SERIAL_EV_DSR);
    Raise(SERIAL_EV_RING);
    auto first = WaitOnMask();
    harness::app::Wait(*first);
    EXPECT_EQ(Events(*first), ULONG{SERIAL_EV_CTS | SERIAL_EV_RING});

    auto second = WaitOnMask();
    EXPECT_FALSE(second->Done()) << "the history went to the first wait";
    harness::app::Cancel(*second);
}

TEST_F(WaitMaskTestHostBuildOnly, ANewMaskEndsThePendingWaitWithNoEventsAndForgetsWhatItDoesNotWatch) {
    ASSERT_EQ(SetWaitMask(SERIAL_EV_CTS), STATUS_SUCCESS);
    auto wait = WaitOnMask();
    ASSERT_EQ(SetWaitMask(SERIAL_EV_CTS | SERIAL_EV_DSR), STATUS_SUCCESS);
    ASSERT_TRUE(wait->Done());
    EXPECT_EQ(wait->Status(), STATUS_SUCCESS);
    EXPECT_EQ(wait->Information(), sizeof(ULONG));
    EXPECT_EQ(Events(*wait), 0u);

    Raise(SERIAL_EV_CTS | SERIAL_EV_DSR);
    ASSERT_EQ(SetWaitMask(SERIAL_EV_DSR), STATUS_SUCCESS);
    auto next = WaitOnMask();
    harness::app::Wait(*next);
    EXPECT_EQ(Events(*next), ULONG{SERIAL_EV_DSR});
    ULONG mask = 0;
    auto got = harness::app::Ioctl(port_->handle, IOCTL_SERIAL_GET_WAIT_MASK, {}, sizeof(ULONG));
    std::memcpy(&mask, got.output.data(), sizeof mask);
    EXPECT_EQ(mask, ULONG{SERIAL_EV_DSR});
}

TEST_F(WaitMaskTestHostBuildOnly, AWaitWithoutAMaskOrBesideAnotherWaitIsRefused) {
    auto noMask = WaitOnMask();
    ASSERT_TRUE(noMask->Done());
    EXPECT_EQ(noMask->Status(), STATUS_INVALID_PARAMETER);

    ASSERT_EQ(SetWaitMask(SERIAL_EV_CTS), STATUS_SUCCESS);
    auto first = WaitOnMask();
    auto second = WaitOnMask();
    ASSERT_TRUE(second->Done());
    EXPECT_EQ(second->Status(), STATUS_INVALID_PARAMETER);
    EXPECT_FALSE(first->Done());

    // Cleanup takes the pending wait back.
    Close(*port_);
    ASSERT_TRUE(first->Done());
    EXPECT_EQ(first->Status(), STATUS_CANCELLED);
    EXPECT_EQ(first->Information(), 0u);
}

TEST_F(WaitMaskTestHostBuildOnly, AnEventAfterACancelledWaitGoesToTheNextWait) {
    ASSERT_EQ(SetWaitMask(SERIAL_EV_CTS), STATUS_SUCCESS);
    auto cancelled = WaitOnMask();
    EXPECT_TRUE(harness::app::Cancel(*cancelled));
    ASSERT_TRUE(cancelled->Done());
    EXPECT_EQ(cancelled->Status(), STATUS_CANCELLED);
    EXPECT_EQ(cancelled->Information(), 0u);

    Raise(SERIAL_EV_CTS);
    auto next = WaitOnMask();
    harness::app::Wait(*next);
    EXPECT_EQ(Events(*next), ULONG{SERIAL_EV_CTS});
}

TEST_F(WaitMaskTestHostBuildOnly, ACancelAfterTheReportLeavesTheWaitToTheReportDpc) {
    ASSERT_EQ(SetWaitMask(SERIAL_EV_CTS), STATUS_SUCCESS);
    auto wait = WaitOnMask();
    SetDpcDelivery(DpcDelivery::Manual);
    Raise(SERIAL_EV_CTS);
    ASSERT_TRUE(harness::dispatcher::IsQueued(&ext_->completeWaitDpc));

    EXPECT_TRUE(harness::app::Cancel(*wait));
    EXPECT_FALSE(wait->Done()) << "the events were already handed to the wait";
    RunDpcs();
    ASSERT_TRUE(wait->Done());
    EXPECT_EQ(wait->Status(), STATUS_SUCCESS);
    EXPECT_EQ(Events(*wait), ULONG{SERIAL_EV_CTS});
    EXPECT_EQ(ext_->pendingDpcCount, 1);
}

TEST_F(WaitMaskTestHostBuildOnly, EventsBetweenAReportAndTheNextWaitAreNeitherLostNorReportedTwice) {
    ASSERT_EQ(SetWaitMask(SERIAL_EV_CTS | SERIAL_EV_DSR), STATUS_SUCCESS);
    auto first = WaitOnMask();
    SetDpcDelivery(DpcDelivery::Manual);
    Raise(SERIAL_EV_CTS);  // reported; the wait's DPC is queued
    Raise(SERIAL_EV_DSR);  // the wait is taken: kept
    RunDpcs();
    ASSERT_TRUE(first->Done());
    EXPECT_EQ(Events(*first), ULONG{SERIAL_EV_CTS});

    SetDpcDelivery(DpcDelivery::Immediate);
    auto second = WaitOnMask();
    harness::app::Wait(*second);
    EXPECT_EQ(Events(*second), ULONG{SERIAL_EV_DSR});
    auto third = WaitOnMask();
    EXPECT_FALSE(third->Done());
    harness::app::Cancel(*third);
}

TEST_F(WaitMaskTestHostBuildOnly, AnEventWhileANewMaskEndsTheOldWaitReachesTheNextWait) {
    ASSERT_EQ(SetWaitMask(SERIAL_EV_CTS), STATUS_SUCCESS);
    auto old = WaitOnMask();
    SetDpcDelivery(DpcDelivery::Manual);
    ASSERT_EQ(SetWaitMask(SERIAL_EV_CTS | SERIAL_EV_RING), STATUS_SUCCESS);
    // The old wait has its mask of 0 and its DPC queued; a DISPATCH_LEVEL
    // source raises an event before that DPC and the next wait.
    Raise(SERIAL_EV_RING);
    RunDpcs();
    ASSERT_TRUE(old->Done());
    EXPECT_EQ(Events(*old), 0u) << "an event after the mask change is not the old wait's";

    SetDpcDelivery(DpcDelivery::Immediate);
    auto next = WaitOnMask();
    harness::app::Wait(*next);
    EXPECT_EQ(Events(*next), ULONG{SERIAL_EV_RING});
}

TEST_F(WaitMaskTestHostBuildOnly, AWaitSatisfiedFromTheHistoryCanBeCancelledBeforeItsDpc) {
    ASSERT_EQ(SetWaitMask(SERIAL_EV_CTS), STATUS_SUCCESS);
    Raise(SERIAL_EV_CTS);
    SetDpcDelivery(DpcDelivery::Manual);
    auto wait = WaitOnMask();
    EXPECT_EQ(wait->DispatchStatus(), STATUS_PENDING);
    harness::app::Cancel(*wait);
    RunDpcs();
    ASSERT_TRUE(wait->Done());
    EXPECT_EQ(wait->Status(), STATUS_SUCCESS);
    EXPECT_EQ(Events(*wait), ULONG{SERIAL_EV_CTS});
}

}  // namespace
