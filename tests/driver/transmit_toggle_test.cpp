// Transmit toggle: RTS up while the port sends, down one character time
// after it has gone idle, and the check cycle ending with the port.
#include "modem_test_port.h"

namespace {

using harness::dispatcher::DpcDelivery;
using harness::dispatcher::kMillisecond;
using harness::dispatcher::SetDpcDelivery;

class TransmitToggleTestHostBuildOnly : public ModemPortTest {};

TEST_F(TransmitToggleTestHostBuildOnly, RtsGoesUpWithTheModeAndDownOnceTheTransmitterIsIdle) {
    OpenPort();
    SetModemControl(ext_, 0x0001);  // RTS down
    HandFlow(SERIAL_DTR_CONTROL, SERIAL_TRANSMIT_TOGGLE);
    EXPECT_TRUE(port_->chip->Rts());
    EXPECT_EQ(ext_->lowerRtsPending, 1);
    Run(50 * kMillisecond);
    EXPECT_FALSE(port_->chip->Rts());
    EXPECT_EQ(ext_->lowerRtsPending, 0);
    EXPECT_EQ(ext_->pendingDpcCount, 1);
}

TEST_F(TransmitToggleTestHostBuildOnly, TheCheckLooksAgainWhileAWriteIsCurrentAndStopsWhenThePortCloses) {
    OpenPort();
    PIRP write = IoAllocateIrp(1, FALSE);  // stands for the current write
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    ext_->currentWriteIrp = write;
    IoReleaseCancelSpinLock(irql);

    HandFlow(SERIAL_DTR_CONTROL, SERIAL_TRANSMIT_TOGGLE);
    Run(200 * kMillisecond);
    EXPECT_TRUE(port_->chip->Rts()) << "the write is still being sent";
    EXPECT_EQ(ext_->lowerRtsPending, 1) << "one check at a time, still going";

    ext_->portOpen = 0;
    Run(50 * kMillisecond);
    EXPECT_EQ(ext_->lowerRtsPending, 0) << "close's wait for the check ends";
    EXPECT_FALSE(harness::dispatcher::IsArmed(&ext_->lowerRtsTimer));
    EXPECT_EQ(ext_->pendingDpcCount, 1);
    ext_->portOpen = 1;

    IoAcquireCancelSpinLock(&irql);
    ext_->currentWriteIrp = nullptr;
    IoReleaseCancelSpinLock(irql);
    IoFreeIrp(write);
}

TEST_F(TransmitToggleTestHostBuildOnly, SetXoffInToggleModeDropsRtsWhileWritesWait) {
    OpenPort();
    HandFlow(SERIAL_DTR_CONTROL, SERIAL_TRANSMIT_TOGGLE);
    Run(50 * kMillisecond);
    BreakOn(ext_);
    BreakOff(ext_);  // idle: RTS down again
    SetModemControl(ext_, 0x0003);
    SetXoffHold(ext_);
    EXPECT_EQ(ext_->lowerRtsPending, 1);
    Run(50 * kMillisecond);
    EXPECT_FALSE(port_->chip->Rts());
    EXPECT_EQ(ext_->lowerRtsPending, 0);
}

TEST_F(TransmitToggleTestHostBuildOnly, ChecksAskedForWhileOneIsPendingMergeIntoIt) {
    OpenPort();
    HandFlow(SERIAL_DTR_CONTROL, SERIAL_TRANSMIT_TOGGLE);
    ASSERT_TRUE(harness::dispatcher::IsArmed(&ext_->lowerRtsTimer)) << "ApplyHandFlow's check waits";
    SetDpcDelivery(DpcDelivery::Manual);
    QueueLowerRtsCheck(ext_);
    QueueLowerRtsCheck(ext_);
    EXPECT_EQ(ext_->lowerRtsPending, 2) << "the second merged into the queued one";
    harness::dispatcher::RunDpcs();
    EXPECT_EQ(ext_->lowerRtsPending, 1) << "and that one into the armed timer";
    SetDpcDelivery(DpcDelivery::Immediate);
    Run(50 * kMillisecond);
    EXPECT_EQ(ext_->lowerRtsPending, 0);
    EXPECT_EQ(ext_->pendingDpcCount, 1);
}

// The check's DPC may run while BreakOn waits for the chip (here: it fell due
// just before): it must see the break, or it drops the RTS that frames it.
TEST_F(TransmitToggleTestHostBuildOnly, ACheckRunningWhileTheBreakStartsLeavesRtsUpForTheBreak) {
    OpenPort();
    HandFlow(SERIAL_DTR_CONTROL, SERIAL_TRANSMIT_TOGGLE);
    Run(50 * kMillisecond);
    ASSERT_FALSE(port_->chip->Rts());

    SetDpcDelivery(DpcDelivery::Manual);
    QueueLowerRtsCheck(ext_);
    harness::dispatcher::RunDpcs();  // the timer is armed
    harness::dispatcher::AdvanceClock(50 * kMillisecond);
    ASSERT_TRUE(harness::dispatcher::IsQueued(&ext_->lowerRtsDpc));
    BreakOn(ext_);
    SetDpcDelivery(DpcDelivery::Immediate);
    Run(50 * kMillisecond);
    EXPECT_TRUE(port_->chip->BreakOn());
    EXPECT_TRUE(port_->chip->Rts()) << "RTS frames the break in transmit-toggle mode";

    BreakOff(ext_);
    Run(50 * kMillisecond);
    EXPECT_FALSE(port_->chip->Rts());
    EXPECT_EQ(ext_->lowerRtsPending, 0);
}

}  // namespace
