// Chip-side flow control: the register patterns the chip receives.
#include "tests/driver/usb_test_port.h"

namespace {

using harness::chip::ChipConfig;

using ChipFlowControlTestHostBuildOnly = UsbPortTest;

// Power-on register 0 of every chip in these tests: all the bits the
// operations must keep or clear are set. The configuration memory holds a
// programmed block, so the start leaves these values alone.
ChipConfig WithRegisters(int generation, uint8_t r0, uint8_t r1) {
    ChipConfig config = ChipConfig::ForGeneration(generation);
    config.controlRegisters = {r0, r1, 0x44};
    config.WithEepromMarkers({0});
    return config;
}

TEST_F(ChipFlowControlTestHostBuildOnly, EachHandshakeWritesItsRegisterZeroPattern) {
    PlugChip(WithRegisters(2, 0xFF, 0x00), 2);
    EXPECT_EQ(SetRtsFlow(Fdo(), TRUE), STATUS_SUCCESS);  // sets 0x20, clears 0x10
    EXPECT_EQ(port_->rtsFlowEnabled, 1);
    EXPECT_EQ(SetRtsFlow(Fdo(), FALSE), STATUS_SUCCESS);  // clears 0x30
    EXPECT_EQ(SetCtsFlow(Fdo(), TRUE), STATUS_SUCCESS);   // sets 0x40, clears 0x80
    EXPECT_EQ(SetCtsFlow(Fdo(), FALSE), STATUS_SUCCESS);  // clears 0xC0
    EXPECT_EQ(SetXonXoffFlow(Fdo(), TRUE), STATUS_SUCCESS);
    EXPECT_EQ(SetXonXoffFlow(Fdo(), FALSE), STATUS_SUCCESS);
    // Each write starts from what the chip held after the one before; the
    // start turned CTS flow off already (0xFF became 0x3F).
    EXPECT_EQ(RegisterWrites(0), (std::vector<uint16_t>{0x2F, 0x0F, 0x4F, 0x0F, 0xCF, 0x0F}));
    // Generation 2 keeps the DSR handshake out of register 1, and has none.
    EXPECT_EQ(RegisterWrites(1), std::vector<uint16_t>{});
    EXPECT_EQ(SetDsrFlow(Fdo(), TRUE), STATUS_SUCCESS);
    EXPECT_EQ(RegisterWrites(0).size(), 6u);
}

TEST_F(ChipFlowControlTestHostBuildOnly, CtsAndDsrTogetherGive0x58OverTheLowTwoBits) {
    PlugChip(WithRegisters(3, 0xBF, 0x00), 3);
    EXPECT_EQ(SetDsrFlow(Fdo(), TRUE), STATUS_SUCCESS);  // alone: (0xBF & 0x33) | 0x48
    EXPECT_EQ(SetCtsFlow(Fdo(), TRUE), STATUS_SUCCESS);  // with DSR on: (old & 0x03) | 0x58
    EXPECT_EQ(RegisterWrites(0), (std::vector<uint16_t>{0x7B, 0x5B}));
    // Register 1: cleared, DSR alone (0x05), then both (0x07) from the CTS side.
    EXPECT_EQ(RegisterWrites(1), (std::vector<uint16_t>{0x00, 0x05, 0x07}));
    EXPECT_EQ(SetDsrFlow(Fdo(), FALSE), STATUS_SUCCESS);
    EXPECT_EQ(RegisterWrites(0).back(), 0x5B & 0xF3);
    EXPECT_EQ(port_->dsrFlowEnabled, 0);
    EXPECT_EQ(port_->ctsFlowEnabled, 1);
}

TEST_F(ChipFlowControlTestHostBuildOnly, HoldsTransmissionUntilTheAwaitedLineIsUp) {
    PlugChip(WithRegisters(4, 0x01, 0x00), 4);
    port_->uartState = UART_STATE_CTS;
    EXPECT_EQ(SetCtsFlow(Fdo(), TRUE), STATUS_SUCCESS);
    EXPECT_EQ(port_->txHolding, 0);
    EXPECT_EQ(SetDsrFlow(Fdo(), TRUE), STATUS_SUCCESS);  // DSR is down
    EXPECT_EQ(port_->txHolding, TX_HOLD_DSR);
    EXPECT_EQ(SetDsrFlow(Fdo(), FALSE), STATUS_SUCCESS);
    EXPECT_EQ(port_->txHolding, 0);
}

TEST_F(ChipFlowControlTestHostBuildOnly, FixedRegisterZeroAppliesToHardwareHandshakesOnly) {
    PlugChip(WithRegisters(4, 0x01, 0x08), 4);
    ASSERT_TRUE(ReadChipRegister(Fdo(), 1));
    ASSERT_EQ(port_->regZeroFixed, 1);
    EXPECT_EQ(SetRtsFlow(Fdo(), TRUE), STATUS_SUCCESS);
    EXPECT_EQ(SetCtsFlow(Fdo(), TRUE), STATUS_SUCCESS);
    EXPECT_EQ(SetDsrFlow(Fdo(), TRUE), STATUS_SUCCESS);
    EXPECT_EQ(SetXonXoffFlow(Fdo(), TRUE), STATUS_SUCCESS);
    EXPECT_EQ(RegisterWrites(0), (std::vector<uint16_t>{0x31, 0x31, 0x31, 0x31 | 0xC0}));
}

TEST_F(ChipFlowControlTestHostBuildOnly, XonXoffAbovePassiveLevelSendsNothing) {
    PlugGeneration(2);
    EXPECT_EQ(AtDispatch([&] { return SetXonXoffFlow(Fdo(), TRUE); }), STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(Log().empty());
}

TEST_F(ChipFlowControlTestHostBuildOnly, RefusedRegisterRequestsDoNotFailTheSetting) {
    PlugGeneration(2);
    chip_->Faults().stall.push_back(harness::chip::RequestMatch::Vendor(0x0000));
    EXPECT_EQ(SetCtsFlow(Fdo(), TRUE), STATUS_SUCCESS);
    EXPECT_EQ(port_->ctsFlowEnabled, 1);
    // XON/XOFF reports its register write's status.
    EXPECT_EQ(SetXonXoffFlow(Fdo(), TRUE), STATUS_UNSUCCESSFUL);
}

}  // namespace
