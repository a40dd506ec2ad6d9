// Line coding: the record the chip receives for each rate and format.
#include "tests/driver/usb_test_port.h"

namespace {

using harness::chip::LineCoding;

class LineCodingTestHostBuildOnly : public UsbPortTest {
protected:
    // A port as the start leaves it: the format (7E1) recorded, no rate yet.
    void PlugLine(int generation) {
        PlugGeneration(generation);
        ASSERT_EQ(SetLineCodingFormat(port_), STATUS_SUCCESS);
        chip_->ClearControlLog();
    }
    // The line-coding records the chip received, in order.
    std::vector<LineCoding> Records() const {
        std::vector<LineCoding> out;
        for (const auto& r : Log()) {
            if (r.setup.request != CDC_SET_LINE_CODING) continue;
            EXPECT_EQ(r.setup.requestType, 0x21);
            auto coding = LineCoding::Decode(r.dataOut);
            EXPECT_TRUE(coding.has_value());
            if (coding) out.push_back(*coding);
        }
        return out;
    }
    uint32_t SentRateWord(ULONG rate) {
        const size_t before = Records().size();
        EXPECT_EQ(SetLineCodingRate(Fdo(), rate), STATUS_SUCCESS) << rate;
        const auto records = Records();
        EXPECT_EQ(records.size(), before + 1) << rate;
        return records.empty() ? 0 : records.back().rateWord;
    }
};

// The start records the default format (7E1) without sending a record
// that has no rate; the first rate then sends the whole coding, never one
// with 0 data bits.
TEST_F(LineCodingTestHostBuildOnly, TheFirstRateAfterTheStartSendsTheWholeCoding) {
    PlugGeneration(2);
    EXPECT_TRUE(Records().empty()) << "nothing to send before a rate";
    ASSERT_EQ(SetLineCodingRate(Fdo(), 9600), STATUS_SUCCESS);
    ASSERT_EQ(Records().size(), 1u);
    EXPECT_EQ(Records().back(), (LineCoding{9600, 0, 2, 7}));
}

TEST_F(LineCodingTestHostBuildOnly, EveryGenerationRoundsToTheTableAndOnlyTwoAndLaterUseDivisorWords) {
    struct Case {
        ULONG requested;
        ULONG applied;
        ULONG divisorWord;  // what generation 2 and later receive above 115200
    };
    const Case cases[] = {
        {250000, 268800, 0x80000459},   {249600, 230400, 0x80000468},  {500000, 460800, 0x800002D0},
        {1000000, 921600, 0x80000268},  {2000000, 2457600, 0x8000009C}, {4500000, 3000000, 0x80000080},
        {4500001, 6000000, 0x80000040}, {9000000, 6000000, 0x80000040}, {74, 75, 0},
        {38, 75, 0},                    {9600, 9600, 0},                {115200, 115200, 0},
        {230400, 230400, 0x80000468},
    };
    for (int generation = 0; generation <= 4; ++generation) {
        PlugLine(generation);
        for (const Case& c : cases) {
            const bool divisor = generation >= 2 && c.divisorWord != 0;
            EXPECT_EQ(SentRateWord(c.requested), divisor ? c.divisorWord : c.applied) << c.requested;
            EXPECT_EQ(port_->currentBaud, c.applied) << c.requested;
            EXPECT_EQ(port_->wmiCommData.BaudRate, c.applied);
            EXPECT_EQ(port_->txChunkLimit, generation >= 2 && c.applied >= 115200 ? 4096u : 256u) << c.requested;
        }
        harness::pnp::SurpriseRemoveDevice(device_);
        port_ = nullptr;
    }
}

TEST_F(LineCodingTestHostBuildOnly, RatesBelow38LandOnTheZeroRow) {
    PlugLine(2);
    for (ULONG rate : {36u, 37u, 1u}) {
        SetLineCodingRate(Fdo(), 9600);
        EXPECT_EQ(SentRateWord(rate), 0u) << rate;
        EXPECT_EQ(port_->currentBaud, 0u) << rate;
    }
}

TEST_F(LineCodingTestHostBuildOnly, AnUnchangedRateOrZeroSendsNothingAndTheChangeTakesFiftyMilliseconds) {
    PlugLine(2);
    const int64_t start = harness::dispatcher::Now();
    SentRateWord(19200);
    EXPECT_GE(harness::dispatcher::Now() - start, 50 * harness::dispatcher::kMillisecond);
    EXPECT_EQ(SetLineCodingRate(Fdo(), 19200), STATUS_SUCCESS);
    EXPECT_EQ(SetLineCodingRate(Fdo(), 0), STATUS_SUCCESS);
    EXPECT_EQ(Records().size(), 1u);
    EXPECT_EQ(AtDispatch([&] { return SetLineCodingRate(Fdo(), 38400); }), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Records().size(), 1u);
}

TEST_F(LineCodingTestHostBuildOnly, ExtBaudrateEntriesApplyFromGenerationTwo) {
    driverGlobals.extBaudCount = 1;
    driverGlobals.extBaudTable[0] = {250000, 250000};
    PlugLine(2);
    EXPECT_EQ(SentRateWord(250000), 250000u);
    EXPECT_EQ(port_->currentBaud, 250000u);
    EXPECT_EQ(port_->extRateMatched, 1);
    EXPECT_EQ(chip_->LineRate(), 250000);
    harness::pnp::SurpriseRemoveDevice(device_);

    PlugLine(1);
    EXPECT_EQ(SentRateWord(250000), 268800u);
    EXPECT_EQ(port_->extRateMatched, 0);
}

TEST_F(LineCodingTestHostBuildOnly, FormatComesFromTheLineControlImage) {
    PlugLine(2);
    SentRateWord(38400);
    struct Case {
        UCHAR lineControl;
        LineCoding expected;
    };
    const Case cases[] = {
        {0x1A, {38400, 0, 2, 7}},  // 7 data bits, even parity, one stop bit
        {0x04, {38400, 1, 0, 5}},  // 5 data bits, extra stop bit: one and a half
        {0x07, {38400, 2, 0, 8}},  // 8 data bits, extra stop bit: two
        {0x0B, {38400, 0, 1, 8}},  // odd
        {0x2B, {38400, 0, 3, 8}},  // mark
        {0x3B, {38400, 0, 4, 8}},  // space
    };
    for (const Case& c : cases) {
        port_->lineControl = c.lineControl;
        EXPECT_EQ(SetLineCodingFormat(port_), STATUS_SUCCESS);
        ASSERT_FALSE(Records().empty());
        EXPECT_EQ(Records().back(), c.expected) << std::hex << int(c.lineControl);
    }
    const size_t before = Records().size();
    EXPECT_EQ(AtDispatch([&] { return SetLineCodingFormat(port_); }), STATUS_SUCCESS);
    EXPECT_EQ(Records().size(), before);
}

// A refused line coding is not recorded as applied: the rate and the
// format stay what the chip holds, and the caller learns of the refusal.
TEST_F(LineCodingTestHostBuildOnly, ARefusedRequestIsNotRecordedAsApplied) {
    PlugLine(2);
    ASSERT_EQ(SetLineCodingRate(Fdo(), 9600), STATUS_SUCCESS);
    chip_->Faults().stall.push_back(harness::chip::RequestMatch::Class(CDC_SET_LINE_CODING));
    EXPECT_EQ(SetLineCodingRate(Fdo(), 57600), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(port_->currentBaud, 9600u);
    EXPECT_EQ(port_->lineCodingRate, 9600u);

    const UCHAR dataBits = port_->lineCodingDataBits;  // 7E1 from the start
    port_->lineControl = 0x03;  // 8 data bits, no parity
    chip_->Faults().stall.push_back(harness::chip::RequestMatch::Class(CDC_SET_LINE_CODING));
    EXPECT_EQ(SetLineCodingFormat(port_), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(port_->lineCodingDataBits, dataBits);
    chip_->Faults().stall.clear();
    // The next rate change sends the format the chip last took.
    ASSERT_EQ(SetLineCodingRate(Fdo(), 19200), STATUS_SUCCESS);
    EXPECT_EQ(Records().back(), (LineCoding{19200, 0, 2, dataBits}));
}

}  // namespace
