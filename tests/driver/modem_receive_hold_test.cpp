// Receive flow control: when the holds start as the buffer fills, what they
// do to the far end, and how they end as it drains.
#include "modem_test_port.h"

#include "harness/kernel/pool.h"

namespace {

using harness::dispatcher::DpcDelivery;
using harness::dispatcher::kMillisecond;
using harness::dispatcher::SetDpcDelivery;

constexpr UCHAR kXon = 0x11;
constexpr UCHAR kXoff = 0x13;
// 4096 - 512 - 400: the character that makes rxCount reach this starts the
// RTS and XON/XOFF holds.
constexpr ULONG kStreamHoldCount = 3184;
constexpr ULONG kDtrHoldCount = 4096 - 512;

class ReceiveHoldTestHostBuildOnly : public ModemPortTest {};

TEST_F(ReceiveHoldTestHostBuildOnly, AutoReceiveHoldsAt3184AndAGeneration1PortSendsXoffThenXonAtXonLimit) {
    OpenPort(1);
    HandFlow(SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL | SERIAL_AUTO_RECEIVE);
    Receive('x', kStreamHoldCount - 2);
    EXPECT_EQ(ext_->rxHolding, 0);
    Receive('x', kStreamHoldCount - 1);
    EXPECT_EQ(ext_->rxHolding, RX_HOLD_XOFF);
    Receive('x', kStreamHoldCount);  // already holding: no second XOFF
    Run(20 * kMillisecond);
    EXPECT_EQ(Transmitted(), std::vector<uint8_t>{kXoff});

    Drained(2049);
    EXPECT_EQ(ext_->rxHolding, RX_HOLD_XOFF) << "still above XonLimit";
    Drained(2048);
    EXPECT_EQ(ext_->rxHolding, 0);
    EXPECT_TRUE(StreamOutstanding(ext_, STREAM_BULK_IN)) << "the receive stream reads again";
    Run(20 * kMillisecond);
    EXPECT_EQ(Transmitted(), (std::vector<uint8_t>{kXoff, kXon}));
}

TEST_F(ReceiveHoldTestHostBuildOnly, AGeneration2PortLeavesTheXoffToTheChip) {
    OpenPort(2);
    HandFlow(SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL | SERIAL_AUTO_RECEIVE);
    Receive('x', kStreamHoldCount - 1);
    EXPECT_EQ(ext_->rxHolding, RX_HOLD_XOFF);
    Drained(0);
    Run(20 * kMillisecond);
    EXPECT_TRUE(Transmitted().empty());
}

TEST_F(ReceiveHoldTestHostBuildOnly, WhenBufferLessXoffLimitIsBelow400OnlyTheDtrHoldStarts) {
    OpenPort(1);
    // 4096 - 3800 = 296: the stream holds' threshold wraps below zero.
    HandFlow(SERIAL_DTR_HANDSHAKE, SERIAL_RTS_HANDSHAKE | SERIAL_AUTO_RECEIVE, 100, 3800);
    Receive('x', 4095);
    EXPECT_EQ(ext_->rxHolding, RX_HOLD_DTR);
}

TEST_F(ReceiveHoldTestHostBuildOnly, RtsHandshakeStopsTheStreamAndRestartsItAtXonLimit) {
    OpenPort(2);
    HandFlow(SERIAL_DTR_CONTROL, SERIAL_RTS_HANDSHAKE);
    EXPECT_TRUE(port_->chip->Flow().rts) << "the chip's RTS flow holds the far end off";
    Receive('x', kStreamHoldCount - 1);
    EXPECT_EQ(ext_->rxHolding, RX_HOLD_RTS);
    CancelStreamTransfer(ext_, STREAM_BULK_IN);  // as the transfer in hand ends without a successor
    Run(kMillisecond);
    ASSERT_FALSE(StreamOutstanding(ext_, STREAM_BULK_IN));
    Drained(2048);
    EXPECT_EQ(ext_->rxHolding, 0);
    EXPECT_TRUE(StreamOutstanding(ext_, STREAM_BULK_IN));
}

TEST_F(ReceiveHoldTestHostBuildOnly, DtrHandshakeDropsDtrFromTheReceivePathAndRaisesItOnceDrained) {
    OpenPort(2);
    HandFlow(SERIAL_DTR_HANDSHAKE, SERIAL_RTS_CONTROL);
    ASSERT_TRUE(port_->chip->Dtr());
    Receive('x', kDtrHoldCount - 2);
    EXPECT_EQ(ext_->rxHolding, 0);
    Receive('x', kDtrHoldCount - 1);
    EXPECT_EQ(ext_->rxHolding, RX_HOLD_DTR);
    EXPECT_TRUE(port_->chip->Dtr()) << "no chip request at DISPATCH_LEVEL";
    Run(kMillisecond);
    EXPECT_FALSE(port_->chip->Dtr()) << "the work item dropped it";
    EXPECT_EQ(ext_->modemControl & MODEM_CONTROL_DTR, 0);

    Drained(2048);
    EXPECT_EQ(ext_->rxHolding, 0);
    Run(kMillisecond);
    EXPECT_TRUE(port_->chip->Dtr());
    EXPECT_EQ(ext_->pendingDpcCount, 1) << "the line work item has ended";
}

// The DTR raise at the end of a hold is decided at DISPATCH_LEVEL and sent
// by a work item. Without pool for the item at that moment nothing else
// would ever raise DTR: the far end stays held off and the port goes deaf.
TEST_F(ReceiveHoldTestHostBuildOnly, TheDtrRaiseAtTheEndOfAHoldIsSentEvenWhenPoolIsShort) {
    OpenPort(2);
    HandFlow(SERIAL_DTR_HANDSHAKE, SERIAL_RTS_CONTROL);
    Receive('x', kDtrHoldCount - 1);
    Run(kMillisecond);
    ASSERT_FALSE(port_->chip->Dtr());

    harness::pool::FailAllocationsOfTag(harness::pool::Tag("IoWk"), true);
    Drained(2048);
    Run(kMillisecond);
    harness::pool::FailAllocationsOfTag(harness::pool::Tag("IoWk"), false);
    Run(10 * kMillisecond);
    EXPECT_TRUE(port_->chip->Dtr()) << "the far end is held off for good";
    EXPECT_EQ(ext_->lineChangesWanted, 0);

    // And the drop that starts a hold, likewise.
    harness::pool::FailAllocationsOfTag(harness::pool::Tag("IoWk"), true);
    Receive('x', kDtrHoldCount - 1);
    Run(kMillisecond);
    harness::pool::FailAllocationsOfTag(harness::pool::Tag("IoWk"), false);
    EXPECT_FALSE(port_->chip->Dtr()) << "the far end overruns the buffer";
}

TEST_F(ReceiveHoldTestHostBuildOnly, AHoldThatEndsBeforeItsDtrDropWasSentLeavesDtrUp) {
    OpenPort(2);
    HandFlow(SERIAL_DTR_HANDSHAKE, SERIAL_RTS_CONTROL);
    Receive('x', kDtrHoldCount - 1);  // drop DTR: deferred
    Drained(100);                     // raise DTR: deferred, replaces the drop
    EXPECT_EQ(ext_->lineWorkQueued, 1);
    const size_t changes = peer_->OutputHistory().size();
    Run(kMillisecond);
    EXPECT_TRUE(port_->chip->Dtr());
    EXPECT_EQ(peer_->OutputHistory().size(), changes) << "DTR never went down";
    EXPECT_EQ(ext_->lineWorkQueued, 0);
}

TEST_F(ReceiveHoldTestHostBuildOnly, ALineChangeDecidedAfterCloseIsNotSent) {
    OpenPort(2);
    HandFlow(SERIAL_DTR_HANDSHAKE, SERIAL_RTS_CONTROL);
    Receive('x', kDtrHoldCount - 1);
    ext_->portOpen = 0;
    Run(kMillisecond);
    EXPECT_TRUE(port_->chip->Dtr()) << "close sets the lines itself";
    EXPECT_EQ(ext_->lineWorkQueued, 0);
    EXPECT_EQ(ext_->lineChangesWanted, 0);
}

TEST_F(ReceiveHoldTestHostBuildOnly, DirectModeHasNoThresholds) {
    OpenPort(1);
    HandFlow(SERIAL_DTR_HANDSHAKE, SERIAL_RTS_HANDSHAKE | SERIAL_AUTO_RECEIVE);
    UCHAR readBuffer[8];
    // A read waits and takes the characters into its own buffer.
    ext_->rxTarget = ext_->rxPut = readBuffer;
    ext_->rxLast = readBuffer + sizeof readBuffer - 1;
    Receive('x', 4095);
    ext_->rxTarget = ext_->rxPut = ext_->rxGet = ext_->rxBuffer;
    ext_->rxLast = ext_->rxBuffer + kBufferSize - 1;
    EXPECT_EQ(ext_->rxHolding, 0);
}

TEST_F(ReceiveHoldTestHostBuildOnly, TheXoffCounterCompletesAfterItsCharacters) {
    OpenPort();
    SetDpcDelivery(DpcDelivery::Manual);
    ext_->xoffCountRemaining = 2;
    Receive('a', 0);
    EXPECT_FALSE(harness::dispatcher::IsQueued(&ext_->xoffCountCompleteDpc));
    Receive('b', 1);
    EXPECT_EQ(ext_->xoffCountRemaining, 0u);
    EXPECT_TRUE(harness::dispatcher::IsQueued(&ext_->xoffCountCompleteDpc));
    Receive('c', 2);
    EXPECT_EQ(ext_->xoffCountRemaining, 0u);
}

}  // namespace
