// Applying SERIAL_HANDFLOW: DTR and RTS by their modes, the chip's flow
// features, XON/XOFF holds switched on and off, and groups left alone when
// they did not change.
#include "modem_test_port.h"

namespace {

using harness::dispatcher::kMillisecond;

constexpr UCHAR kXon = 0x11;
constexpr UCHAR kXoff = 0x13;

class HandFlowTestHostBuildOnly : public ModemPortTest {};

TEST_F(HandFlowTestHostBuildOnly, SwitchingAutoTransmitOffWhileWaitingForXonEndsTheWaitAndSendsXon) {
    OpenPort();
    HandFlow(SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL | SERIAL_AUTO_TRANSMIT);
    InterlockedOr(&ext_->txHolding, TX_HOLD_XON);  // an XOFF was received
    ext_->xoffReceived = 1;
    HandFlow(SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL);
    EXPECT_EQ(ext_->txHolding, 0);
    EXPECT_EQ(ext_->xoffReceived, 0);
    Run(20 * kMillisecond);
    EXPECT_EQ(Transmitted(), std::vector<uint8_t>{kXon});
}

TEST_F(HandFlowTestHostBuildOnly, AutoReceiveOnAFullBufferHoldsAtOnceAndOffReleasesAndReadsAgain) {
    OpenPort(2);
    ext_->rxCount = 4096 - 512;
    HandFlow(SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL | SERIAL_AUTO_RECEIVE);
    EXPECT_EQ(ext_->rxHolding, RX_HOLD_XOFF);
    CancelStreamTransfer(ext_, STREAM_BULK_IN);  // the stream stopped under the hold
    Run(kMillisecond);
    HandFlow(SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL);
    EXPECT_EQ(ext_->rxHolding, 0);
    EXPECT_TRUE(StreamOutstanding(ext_, STREAM_BULK_IN));
    Run(20 * kMillisecond);
    EXPECT_EQ(Transmitted(), (std::vector<uint8_t>{kXoff, kXon})) << "sent by the driver on every generation";
}

TEST_F(HandFlowTestHostBuildOnly, TheChipsXonXoffStaysOnWhileEitherDirectionWantsIt) {
    OpenPort(2);
    HandFlow(SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL | SERIAL_AUTO_RECEIVE);
    EXPECT_TRUE(port_->chip->Flow().xonXoff);
    HandFlow(SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL | SERIAL_AUTO_TRANSMIT);
    EXPECT_TRUE(port_->chip->Flow().xonXoff) << "receive off, transmit on";
    HandFlow(SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL);
    EXPECT_FALSE(port_->chip->Flow().xonXoff);
}

TEST_F(HandFlowTestHostBuildOnly, DtrFollowsItsMode) {
    OpenPort();
    EXPECT_TRUE(port_->chip->Dtr()) << "SERIAL_DTR_CONTROL at open";
    HandFlow(0, SERIAL_RTS_CONTROL);
    EXPECT_FALSE(port_->chip->Dtr());
    ext_->rxCount = 4096 - 512;
    HandFlow(SERIAL_DTR_HANDSHAKE, SERIAL_RTS_CONTROL);
    EXPECT_EQ(ext_->rxHolding, RX_HOLD_DTR) << "the buffer is already past the XOFF point";
    EXPECT_FALSE(port_->chip->Dtr());
    HandFlow(SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL);
    EXPECT_EQ(ext_->rxHolding, 0);
    EXPECT_TRUE(port_->chip->Dtr());
    ext_->rxCount = 0;
    HandFlow(SERIAL_DTR_HANDSHAKE, SERIAL_RTS_CONTROL);
    EXPECT_TRUE(port_->chip->Dtr());
}

TEST_F(HandFlowTestHostBuildOnly, RtsFollowsItsModeAndTheChipsRtsFlowOnlyUnderHandshake) {
    OpenPort(2);
    EXPECT_TRUE(port_->chip->Rts()) << "SERIAL_RTS_CONTROL at open";
    HandFlow(SERIAL_DTR_CONTROL, SERIAL_RTS_HANDSHAKE);
    EXPECT_TRUE(port_->chip->Flow().rts);
    EXPECT_TRUE(port_->chip->Rts());
    HandFlow(SERIAL_DTR_CONTROL, 0);
    EXPECT_FALSE(port_->chip->Flow().rts);
    EXPECT_FALSE(port_->chip->Rts());
    HandFlow(SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL);
    EXPECT_TRUE(port_->chip->Rts());
}

TEST_F(HandFlowTestHostBuildOnly, AGroupThatDidNotChangeIsNotAppliedAgainWhileOpen) {
    OpenPort();
    SetModemControl(ext_, 0);  // both lines down by IOCTL_SERIAL_SET_MODEM_CONTROL
    HandFlow(SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL | SERIAL_AUTO_TRANSMIT);
    EXPECT_FALSE(port_->chip->Dtr());
    EXPECT_FALSE(port_->chip->Rts());
    EXPECT_EQ(ext_->handFlow.FlowReplace, ULONG{SERIAL_RTS_CONTROL | SERIAL_AUTO_TRANSMIT});

    ext_->portOpen = 0;  // as at open: every group
    HandFlow(SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL | SERIAL_AUTO_TRANSMIT);
    ext_->portOpen = 1;
    EXPECT_TRUE(port_->chip->Dtr());
    EXPECT_TRUE(port_->chip->Rts());
}

}  // namespace
