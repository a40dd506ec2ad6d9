// The modem-control outputs set by control codes: the modem-control image,
// break on and off, and the XOFF hold of IOCTL_SERIAL_SET_XOFF.
#include "modem_test_port.h"

namespace {

using harness::chip::ModemOutputs;

class ModemControlTestHostBuildOnly : public ModemPortTest {};

TEST_F(ModemControlTestHostBuildOnly, TheModemControlImageSetsBothLinesAndKeepsItsOtherBits) {
    OpenPort();
    SetModemControl(ext_, 0);
    SetModemControl(ext_, 0x0003);
    EXPECT_TRUE(port_->chip->Dtr());
    EXPECT_TRUE(port_->chip->Rts());
    EXPECT_EQ(ext_->modemControl & 3, 3) << "IOCTL_SERIAL_GET_DTRRTS";

    SetModemControl(ext_, 0x0102);
    EXPECT_FALSE(port_->chip->Dtr());
    EXPECT_TRUE(port_->chip->Rts());
    EXPECT_EQ(ext_->modemControl, 0x0102) << "IOCTL_SERIAL_GET_MODEM_CONTROL";
}

TEST_F(ModemControlTestHostBuildOnly, BreakInTransmitToggleModeRaisesRtsFirstAndDropsItAfter) {
    OpenPort();
    HandFlow(SERIAL_DTR_CONTROL, SERIAL_TRANSMIT_TOGGLE);
    Run(50 * harness::dispatcher::kMillisecond);
    ASSERT_FALSE(port_->chip->Rts()) << "idle in toggle mode";
    const size_t before = peer_->OutputHistory().size();

    BreakOn(ext_);
    EXPECT_EQ(ext_->txHolding, TX_HOLD_BREAK);
    const auto& history = peer_->OutputHistory();
    ASSERT_EQ(history.size(), before + 2);
    EXPECT_EQ(history[before].lines, (ModemOutputs{true, true, false})) << "RTS up";
    EXPECT_EQ(history[before + 1].lines, (ModemOutputs{true, true, true})) << "then the break";

    BreakOff(ext_);
    EXPECT_EQ(ext_->txHolding, 0);
    EXPECT_FALSE(port_->chip->BreakOn());
    EXPECT_FALSE(port_->chip->Rts()) << "nothing to send: the check at the break's end dropped RTS";
    EXPECT_EQ(ext_->lowerRtsPending, 0);
}

TEST_F(ModemControlTestHostBuildOnly, BreakOffWithoutABreakDoesNothing) {
    OpenPort();
    HandFlow(SERIAL_DTR_CONTROL, SERIAL_TRANSMIT_TOGGLE);
    SetModemControl(ext_, 0x0003);
    Run(50 * harness::dispatcher::kMillisecond);  // the check ApplyHandFlow queued
    const size_t before = peer_->OutputHistory().size();
    BreakOff(ext_);
    EXPECT_EQ(peer_->OutputHistory().size(), before);
    EXPECT_EQ(ext_->lowerRtsPending, 0) << "no check queued";
}

TEST_F(ModemControlTestHostBuildOnly, SetXoffHoldsTransmissionAndSetXonReleasesItLikeAReceivedXon) {
    OpenPort();
    SetXoffHold(ext_);
    EXPECT_EQ(ext_->txHolding, TX_HOLD_XON);
    EXPECT_EQ(ext_->lowerRtsPending, 0) << "no transmit-toggle check outside toggle mode";
    ext_->xoffReceived = 1;
    ClearXoffHold(ext_);
    EXPECT_EQ(ext_->txHolding, 0);
    EXPECT_EQ(ext_->xoffReceived, 0);
}

}  // namespace
