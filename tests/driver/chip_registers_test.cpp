// The chip's vendor registers, modem-control lines and break, as the chip
// receives them; the generation gates for every generation.
#include "tests/driver/usb_test_port.h"

namespace {

// chipType -1 is a chip detection could not classify: its silicon answers
// like a generation-1 part.
harness::chip::ChipConfig SiliconFor(LONG chipType) {
    using harness::chip::ChipConfig;
    return chipType < 0 ? ChipConfig::UnknownMiscClass() : ChipConfig::ForGeneration(chipType);
}

class ChipGenerationGateTestHostBuildOnly : public UsbPortTest, public ::testing::WithParamInterface<LONG> {};

TEST_P(ChipGenerationGateTestHostBuildOnly, RefusesWhatTheGenerationLacksWithNothingOnTheWire) {
    const LONG type = GetParam();
    PlugChip(SiliconFor(type), type);
    struct Register {
        UCHAR reg;
        LONG generation;
        bool readable;
    };
    const Register registers[] = {{3, -1, true},  {4, -1, true},  {5, 2, false},  {6, 2, true},
                                  {7, 2, true},   {8, 2, false},  {9, 2, false},  {11, 2, false},
                                  {12, 3, true},  {13, 3, true},  {14, 3, true},  {15, 3, true}};
    std::vector<VendorRequest> expected;
    for (const Register& r : registers) {
        const bool present = type >= r.generation;
        EXPECT_EQ(WriteDoubledRegister(Fdo(), r.reg, 0x0102), present ? STATUS_SUCCESS : STATUS_NOT_SUPPORTED)
            << "register " << int(r.reg);
        if (present) expected.push_back({kVendorOut, DoubledRegisterWrite(r.reg), 0x0102});
        if (!r.readable) continue;
        UCHAR buffer[2] = {0, 0};
        ULONG count = 99;
        EXPECT_EQ(ReadDoubledRegister(Fdo(), r.reg, buffer, sizeof(buffer), &count),
                  present ? STATUS_SUCCESS : STATUS_NOT_SUPPORTED)
            << "register " << int(r.reg);
        if (present) expected.push_back({kVendorIn, DoubledRegisterRead(r.reg), 0});
        EXPECT_EQ(count, present ? ((r.reg >= 6 && r.reg <= 13) ? 2u : 1u) : 0u) << "register " << int(r.reg);
    }
    EXPECT_EQ(VendorLog(), expected);

    // Flow control: RTS refused below 2, DSR silently skipped below 3,
    // XON/XOFF silently skipped below 2.
    const size_t before = Log().size();
    EXPECT_EQ(SetRtsFlow(Fdo(), TRUE), type >= 2 ? STATUS_SUCCESS : STATUS_NOT_SUPPORTED);
    EXPECT_EQ(SetDsrFlow(Fdo(), TRUE), STATUS_SUCCESS);
    EXPECT_EQ(SetXonXoffFlow(Fdo(), TRUE), STATUS_SUCCESS);
    if (type < 2) EXPECT_EQ(Log().size(), before);
}

INSTANTIATE_TEST_SUITE_P(EveryGeneration, ChipGenerationGateTestHostBuildOnly, ::testing::Values(-1, 0, 1, 2, 3, 4));

using ChipRegistersTestHostBuildOnly = UsbPortTest;

TEST_F(ChipRegistersTestHostBuildOnly, ControlRegistersTravelAsWValueNAndReadBackAt0x80PlusN) {
    PlugGeneration(2);
    port_->chipRegisterImage[2] = 0x44;
    EXPECT_TRUE(WriteChipRegister(Fdo(), 2));
    EXPECT_EQ(chip_->ControlRegister(2), 0x44);
    port_->chipRegisterImage[2] = 0;
    EXPECT_TRUE(ReadChipRegister(Fdo(), 2));
    EXPECT_EQ(port_->chipRegisterImage[2], 0x44);
    EXPECT_EQ(VendorLog(), (std::vector<VendorRequest>{{kVendorOut, 2, 0x44}, {kVendorIn, 0x82, 0}}));
    // A refused read leaves the image alone but still counts as sent.
    chip_->Faults().stall.push_back(harness::chip::RequestMatch::Vendor(0x81));
    port_->chipRegisterImage[1] = 0x5A;
    EXPECT_TRUE(ReadChipRegister(Fdo(), 1));
    EXPECT_EQ(port_->chipRegisterImage[1], 0x5A);
}

TEST_F(ChipRegistersTestHostBuildOnly, GenerationFourWithRegisterOneAt0x08FixesRegisterZero) {
    ChipConfig config = ChipConfig::ForGeneration(4);
    config.controlRegisters[1] = 0x08;
    PlugChip(config, 4);
    EXPECT_TRUE(ReadChipRegister(Fdo(), 1));
    EXPECT_EQ(port_->regZeroFixed, 1);
}

TEST_F(ChipRegistersTestHostBuildOnly, RegisterSevenReadingZeroAndAFailedEchoAreRefused) {
    ChipConfig config = ChipConfig::ForGeneration(3);
    config.register7 = 0x1200;  // first byte (little-endian) 0
    config.registers12To15[3] = 0x00AB;
    PlugChip(config, 3);
    UCHAR buffer[2];
    ULONG count = 0;
    EXPECT_EQ(ReadDoubledRegister(Fdo(), 7, buffer, 2, &count), STATUS_NO_MEMORY);
    EXPECT_EQ(count, 0u);
    // A buffer smaller than the register, or a register without a read, is refused unsent.
    EXPECT_EQ(ReadDoubledRegister(Fdo(), 6, buffer, 1, &count), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(ReadDoubledRegister(Fdo(), 5, buffer, 2, &count), STATUS_INVALID_PARAMETER);
    ASSERT_EQ(ReadDoubledRegister(Fdo(), 15, buffer, 2, &count), STATUS_SUCCESS);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(buffer[0], 0xAB);

    ASSERT_EQ(WriteDoubledRegister(Fdo(), CHIP_REG_ECHO, 0xAA), STATUS_SUCCESS);
    EXPECT_EQ(CheckRegisterEcho(Fdo(), 0xAA), STATUS_SUCCESS);
    chip_->Faults().echoFails = true;
    EXPECT_EQ(CheckRegisterEcho(Fdo(), 0xAA), STATUS_NO_MEMORY);
}

TEST_F(ChipRegistersTestHostBuildOnly, FlowCharactersPackXonLowAndXoffHigh) {
    PlugGeneration(2);
    EXPECT_EQ(WriteFlowCharacters(Fdo(), 0x11, 0x13), STATUS_SUCCESS);
    EXPECT_EQ(WriteFlowCharacters(Fdo(), 0x91, 0x93), STATUS_SUCCESS);
    EXPECT_EQ(VendorLog(), (std::vector<VendorRequest>{{kVendorOut, 0x0505, 0x1311}, {kVendorOut, 0x0505, 0x9391}}));
}

TEST_F(ChipRegistersTestHostBuildOnly, ControlLinesSendTheWholeImageAndNothingAbovePassiveLevel) {
    PlugGeneration(1);
    EXPECT_TRUE(SetControlLines(Fdo(), SET_DTR));
    EXPECT_TRUE(SetControlLines(Fdo(), SET_RTS));
    EXPECT_TRUE(SetControlLines(Fdo(), CLEAR_DTR));
    EXPECT_TRUE(chip_->Rts());
    EXPECT_FALSE(chip_->Dtr());
    std::vector<uint16_t> values;
    for (const auto& r : Log()) {
        EXPECT_EQ(r.setup.requestType, 0x21);
        EXPECT_EQ(r.setup.request, CDC_SET_CONTROL_LINE_STATE);
        values.push_back(r.setup.value);
    }
    EXPECT_EQ(values, (std::vector<uint16_t>{1, 3, 2}));

    const size_t before = Log().size();
    EXPECT_FALSE(AtDispatch([&] { return SetControlLines(Fdo(), SET_DTR); }));
    EXPECT_EQ(port_->modemControl, MODEM_CONTROL_RTS);
    EXPECT_EQ(Log().size(), before);

    // A refused request reports FALSE; the image keeps the change.
    chip_->Faults().stall.push_back(harness::chip::RequestMatch::Class(CDC_SET_CONTROL_LINE_STATE));
    EXPECT_FALSE(SetControlLines(Fdo(), CLEAR_RTS));
    EXPECT_EQ(port_->modemControl, 0);
}

TEST_F(ChipRegistersTestHostBuildOnly, BreakTurnsOnWithAllOnesAndOffWithZero) {
    PlugGeneration(0);
    EXPECT_EQ(SendBreak(Fdo(), TRUE), STATUS_SUCCESS);
    EXPECT_TRUE(chip_->BreakOn());
    EXPECT_EQ(SendBreak(Fdo(), FALSE), STATUS_SUCCESS);
    EXPECT_FALSE(chip_->BreakOn());
    ASSERT_EQ(Log().size(), 2u);
    EXPECT_EQ(Log()[0].setup.value, 0xFFFF);
    EXPECT_EQ(Log()[1].setup.value, 0x0000);
}

}  // namespace
