// The chip's line settings: rate-word decoding (plain and divisor words,
// per generation), the line-coding record, control lines, break and comm
// features, and how the flow-control register patterns a host writes are
// understood.
#include <cmath>

#include "chip_test_helpers.h"

namespace {

using namespace chip_test;
using harness::chip::DecodeFlowRegisters;
using harness::chip::DecodeRateWord;
using harness::chip::FlowSettings;

class ChipLineTest : public ChipTest {};

TEST_F(ChipLineTest, RateWordsDecodePerGeneration) {
    // Divisor words of a host's rate table land within half a percent.
    const struct {
        uint32_t word;
        double rate;
    } rows[] = {{0x80000040, 6000000}, {0x8000009C, 2457600}, {0x80000268, 921600}, {0x80000277, 806400},
                {0x80000468, 230400},  {0x800004B2, 134400},  {0x8000089C, 9600},    {0x80000F38, 75}};
    for (const auto& row : rows) {
        const double r = DecodeRateWord(row.word, 2, 12e6);
        EXPECT_NEAR(row.rate, r, row.rate * 0.005) << std::hex << row.word;
        EXPECT_EQ(0, DecodeRateWord(row.word, 1, 12e6)) << "older generations do not know divisor words";
    }
    EXPECT_EQ(9600, DecodeRateWord(9600, 0, 12e6));
    EXPECT_EQ(230400, DecodeRateWord(230400, 4, 12e6));
    EXPECT_EQ(0, DecodeRateWord(0, 2, 12e6));               // no rate: line stopped
    EXPECT_EQ(0, DecodeRateWord(0x80000E00, 2, 12e6));      // m = 0
    EXPECT_EQ(0, DecodeRateWord(13000000, 2, 12e6));        // above the chip's maximum
    EXPECT_EQ(384000000.0 / (0x1FF * 16384.0), DecodeRateWord(0xFFFFFFFF, 3, 12e6));
}

TEST_F(ChipLineTest, LineCodingIsKeptAndReadBack) {
    Make(ChipConfig::ForGeneration(2));
    EXPECT_FALSE(chip->LineCodingSet());
    EXPECT_EQ(9600, chip->LineRate());  // power-on coding
    ASSERT_TRUE(SetLineCoding(0x80000468, 2, 2, 7));
    EXPECT_TRUE(chip->LineCodingSet());
    EXPECT_NEAR(230400, chip->LineRate(), 230400 * 0.005);
    EXPECT_EQ("230769 7E2", chip->CurrentFormat().ToString());
    EXPECT_EQ((std::vector<uint8_t>{0x68, 0x04, 0x00, 0x80, 2, 2, 7}), Ctl(0xA1, 0x21, 0, 0, 7).data);
    ASSERT_TRUE(SetLineCoding(0));
    EXPECT_EQ(0, chip->LineRate());
    EXPECT_EQ(0u, chip->CurrentLineCoding().rateWord);

    // Records a chip cannot take are stalled and change nothing.
    EXPECT_FALSE(SetLineCoding(9600, 0, 0, 9));
    EXPECT_FALSE(SetLineCoding(9600, 3, 0, 8));
    EXPECT_FALSE(SetLineCoding(9600, 0, 5, 8));
    EXPECT_EQ(TransferStatus::Stall, Ctl(0x21, 0x20, 0, 0, 4, {0x80, 0x25, 0, 0}).status);
    EXPECT_EQ(TransferStatus::Stall, Ctl(0x21, 0x20, 0, 1, 7, {0x80, 0x25, 0, 0, 0, 0, 8}).status);  // interface 1
    EXPECT_EQ(0u, chip->CurrentLineCoding().rateWord);

    Make(ChipConfig::ForGeneration(1));
    ASSERT_TRUE(SetLineCoding(0x80000468));
    EXPECT_EQ(0, chip->LineRate());
    ASSERT_TRUE(SetLineCoding(230400));
    EXPECT_EQ(230400, chip->LineRate());
}

TEST_F(ChipLineTest, ControlLinesBreakAndCommFeature) {
    Make();
    auto peer = std::make_shared<harness::chip::ScriptedPeer>();
    chip->Connect(peer);
    SetLines(true, false);
    EXPECT_TRUE(chip->Dtr());
    EXPECT_FALSE(chip->Rts());
    SetLines(false, true);
    EXPECT_FALSE(peer->ChipOutputs().dtr);
    EXPECT_TRUE(peer->ChipOutputs().rts);

    EXPECT_EQ(TransferStatus::Success, Ctl(0x21, 0x23, 0xFFFF, 0, 0).status);
    EXPECT_TRUE(chip->BreakOn());
    EXPECT_TRUE(peer->ChipOutputs().brk);
    Ctl(0x21, 0x23, 0, 0, 0);
    EXPECT_FALSE(peer->ChipOutputs().brk);
    // A break with a duration ends by itself.
    Ctl(0x21, 0x23, 25, 0, 0);
    EXPECT_TRUE(peer->ChipOutputs().brk);
    dispatcher::RunFor(25 * kMillisecond);
    EXPECT_FALSE(peer->ChipOutputs().brk);
    EXPECT_EQ(25 * kMillisecond, peer->OutputHistory().back().time);

    EXPECT_EQ(TransferStatus::Success, Ctl(0x21, 0x02, 1, 0, 2, {0x34, 0x12}).status);
    EXPECT_EQ(0x1234, chip->CommFeature(1));
    EXPECT_EQ((std::vector<uint8_t>{0x34, 0x12}), Ctl(0xA1, 0x03, 1, 0, 2).data);
    EXPECT_EQ(TransferStatus::Stall, Ctl(0x21, 0x02, 1, 0, 0).status);  // no data
    EXPECT_EQ(TransferStatus::Stall, Ctl(0x21, 0x30, 0, 0, 0).status);  // unknown class request
}

TEST_F(ChipLineTest, FlowRegisterPatternsAHostWrites) {
    auto flow = [](bool cts, bool dsr, bool rts, bool xon) { return FlowSettings{cts, dsr, rts, xon}; };
    // Power-on defaults and the fixed generation-4 value.
    EXPECT_EQ(flow(false, false, false, false), DecodeFlowRegisters(0x01, 0x00, 2));
    EXPECT_EQ(flow(false, false, true, false), DecodeFlowRegisters(0x31, 0x08, 4));
    // CTS flow on every generation; RTS flow from generation 2.
    EXPECT_EQ(flow(true, false, false, false), DecodeFlowRegisters(0x41, 0x00, 0));
    EXPECT_EQ(flow(true, false, false, false), DecodeFlowRegisters(0x61, 0x00, 1));
    EXPECT_EQ(flow(true, false, true, false), DecodeFlowRegisters(0x61, 0x00, 2));
    // DSR flow (generations 3 and 4): register 1 selects the inputs.
    EXPECT_EQ(flow(false, true, false, false), DecodeFlowRegisters(0x49, 0x05, 3));
    EXPECT_EQ(flow(true, true, false, false), DecodeFlowRegisters(0x59, 0x07, 4));
    EXPECT_EQ(flow(true, false, false, false), DecodeFlowRegisters(0x41, 0x00, 3));
    // XON/XOFF replaces hardware handshake, and only from generation 2.
    EXPECT_EQ(flow(false, false, false, true), DecodeFlowRegisters(0xC1, 0x00, 2));
    EXPECT_EQ(flow(false, false, false, false), DecodeFlowRegisters(0xC1, 0x00, 1));

    Make(ChipConfig::ForGeneration(3));
    VendorWrite(1, 0x07);
    VendorWrite(0, 0x59);
    EXPECT_EQ(flow(true, true, false, false), chip->Flow());
}

}  // namespace
