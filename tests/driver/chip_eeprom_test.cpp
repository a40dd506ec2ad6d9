// The chip's configuration memory through registers 3 and 4.
#include "tests/driver/usb_test_port.h"

namespace {

using harness::dispatcher::kMillisecond;

using ChipEepromTestHostBuildOnly = UsbPortTest;

TEST_F(ChipEepromTestHostBuildOnly, WritesThenReadsBackWithBusyPollsInBetween) {
    PlugGeneration(1);
    const UCHAR data[] = {0x20, 0x3C, 0x5A, 0x77};  // address 0x20, then three bytes
    EXPECT_EQ(EepromWrite(Fdo(), data, sizeof(data)), STATUS_SUCCESS);
    EXPECT_EQ(chip_->Eeprom().WritesAccepted(), 3u);  // none was ignored while busy

    // Writes carry data << 8 | address in wIndex.
    std::vector<uint16_t> writes;
    for (const auto& v : VendorLog())
        if (v.value == 0x0303) writes.push_back(v.index);
    EXPECT_EQ(writes, (std::vector<uint16_t>{0x3C20, 0x5A21, 0x7722}));

    chip_->ClearControlLog();
    UCHAR buffer[4] = {0x21, 0x00, 0xEE, 0xEE};  // start address 0x0021
    ULONG count = 0;
    EXPECT_EQ(EepromRead(Fdo(), buffer, 2, &count), STATUS_SUCCESS);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(buffer[0], 0x5A);
    EXPECT_EQ(buffer[1], 0x77);
    // Per byte: poll, select, poll, read.
    const std::vector<uint16_t> perByte = {0x8484, 0x0404, 0x8484, 0x8383};
    std::vector<uint16_t> values;
    for (const auto& v : VendorLog()) values.push_back(v.value);
    std::vector<uint16_t> expected = perByte;
    expected.insert(expected.end(), perByte.begin(), perByte.end());
    EXPECT_EQ(values, expected);
}

TEST_F(ChipEepromTestHostBuildOnly, RefusesRangesPastTheAddressSpaceAndEmptyBuffers) {
    PlugGeneration(2);
    UCHAR buffer[4] = {0xFE, 0xFF, 0, 0};  // 0xFFFE
    ULONG count = 7;
    EXPECT_EQ(EepromRead(Fdo(), buffer, 3, &count), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(EepromRead(Fdo(), nullptr, 2, &count), STATUS_NO_MEMORY);
    EXPECT_EQ(EepromRead(Fdo(), buffer, 0, &count), STATUS_SUCCESS);

    std::vector<UCHAR> data(257, 0x00);  // address 0 and 256 bytes
    EXPECT_EQ(EepromWrite(Fdo(), data.data(), ULONG(data.size())), STATUS_INVALID_PARAMETER);
    const UCHAR pastTop[] = {0xFF, 1, 2};  // 0xFF and 0x100
    EXPECT_EQ(EepromWrite(Fdo(), pastTop, sizeof(pastTop)), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(EepromWrite(Fdo(), nullptr, 4), STATUS_INVALID_PARAMETER);
    const UCHAR addressOnly[] = {0x10};
    EXPECT_EQ(EepromWrite(Fdo(), addressOnly, 1), STATUS_SUCCESS);
    EXPECT_TRUE(Log().empty());

    buffer[0] = 0xFF;  // 0xFFFF, one byte: the last address is fine
    EXPECT_EQ(EepromRead(Fdo(), buffer, 1, &count), STATUS_SUCCESS);
}

TEST_F(ChipEepromTestHostBuildOnly, AMemoryStuckBusyTimesOutAfterTwoHundredPolls) {
    PlugGeneration(2);
    chip_->Faults().eepromStuckBusy = true;
    const int64_t start = harness::dispatcher::Now();
    const UCHAR data[] = {0x00, 0x42};
    EXPECT_EQ(EepromWrite(Fdo(), data, sizeof(data)), STATUS_IO_TIMEOUT);
    EXPECT_EQ(Log().size(), EEPROM_MAX_POLLS);
    EXPECT_GE(harness::dispatcher::Now() - start, int64_t(EEPROM_MAX_POLLS) * 5 * kMillisecond);
}

TEST_F(ChipEepromTestHostBuildOnly, AFailedSelectEndsTheReadWithItsStatus) {
    PlugGeneration(2);
    chip_->Faults().stall.push_back(harness::chip::RequestMatch::Vendor(0x0404));
    UCHAR buffer[2] = {0, 0};
    ULONG count = 5;
    EXPECT_EQ(EepromRead(Fdo(), buffer, 2, &count), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(count, 0u);
    for (const auto& v : VendorLog()) EXPECT_NE(v.value, 0x8383);  // no data read after it
}

}  // namespace
