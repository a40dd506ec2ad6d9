// The chip's vendor registers: control registers 0-2, the doubled-code
// registers with their generation gating, the register-6 echo, and the
// configuration memory behind registers 3 and 4 (marker, select, read,
// timed write, busy faults).
#include "chip_test_helpers.h"

namespace {

using namespace chip_test;

class ChipRegistersTest : public ChipTest {};

TEST_F(ChipRegistersTest, ControlRegistersKeepWhatWasWritten) {
    Make();
    for (uint16_t n = 0; n <= 2; ++n) {
        EXPECT_TRUE(VendorWrite(n, static_cast<uint16_t>(0x1100 | (0x40 + n))));
        EXPECT_EQ((std::vector<uint8_t>{static_cast<uint8_t>(0x40 + n)}), *VendorRead(0x80 + n));
        EXPECT_EQ(0x40 + n, chip->ControlRegister(n));
    }
    EXPECT_EQ(TransferStatus::Stall, Ctl(0xC0, 0x01, 0x0000, 0, 1).status);  // write code read
    EXPECT_EQ(TransferStatus::Stall, Ctl(0x40, 0x01, 0x0080, 0, 0).status);  // read code written
    EXPECT_EQ(TransferStatus::Stall, Ctl(0x41, 0x01, 0x0000, 0, 0).status);  // to an interface
    EXPECT_EQ(TransferStatus::Stall, Ctl(0x40, 0x02, 0x0000, 0, 0).status);  // other bRequest
}

TEST_F(ChipRegistersTest, Generation4Register1UpperBitsAndStrap) {
    ChipConfig c = ChipConfig::ForGeneration(4);
    c.controlRegisters[1] = 0xA5;
    c.register1StrapBits = 0x08;
    Make(c);
    EXPECT_EQ(0xAD, (*VendorRead(0x81))[0]);
    // What a host that keeps only the upper four bits writes back reads as 0x08 more.
    VendorWrite(1, 0xA0);
    EXPECT_EQ(0xA8, (*VendorRead(0x81))[0]);
    VendorWrite(1, 0x00);
    EXPECT_EQ(0x08, (*VendorRead(0x81))[0]);
}

TEST_F(ChipRegistersTest, DoubledRegistersAreGatedByGeneration) {
    struct Code {
        uint16_t value;
        bool read;
        int fromGeneration;  // 99: never
        uint16_t length;
    };
    const Code codes[] = {
        {0x0303, false, 0, 0}, {0x0404, false, 0, 0}, {0x8383, true, 0, 1},   {0x8484, true, 0, 1},
        {0x0505, false, 2, 0}, {0x0606, false, 2, 0}, {0x8686, true, 2, 2},   {0x0707, false, 2, 0},
        {0x8787, true, 2, 2},  {0x0808, false, 2, 0}, {0x0909, false, 2, 0},  {0x0B0B, false, 2, 0},
        {0x0C0C, false, 3, 0}, {0x8C8C, true, 3, 2},  {0x0D0D, false, 3, 0},  {0x8D8D, true, 3, 2},
        {0x0E0E, false, 3, 0}, {0x8E8E, true, 3, 1},  {0x0F0F, false, 3, 0},  {0x8F8F, true, 3, 1},
        {0x0A0A, false, 99, 0}, {0x8A8A, true, 99, 2}, {0x8585, true, 99, 2}, {0x8888, true, 99, 2},
        {0x8B8B, true, 99, 2}, {0x1010, false, 99, 0}, {0x0304, false, 99, 0},
    };
    for (int gen = 0; gen <= 4; ++gen) {
        Make(ChipConfig::ForGeneration(gen));
        for (const Code& code : codes) {
            const ControlResult r = Ctl(code.read ? 0xC0 : 0x40, 0x01, code.value, 0, code.read ? 4 : 0);
            const bool exists = gen >= code.fromGeneration;
            EXPECT_EQ(exists ? TransferStatus::Success : TransferStatus::Stall, r.status)
                << "generation " << gen << " wValue " << std::hex << code.value;
            if (exists && code.read) {
                EXPECT_EQ(code.length, r.data.size()) << std::hex << code.value;
            }
        }
    }
}

TEST_F(ChipRegistersTest, EchoRegisterAndItsFault) {
    Make();
    VendorWrite(0x0606, 0xAA);
    EXPECT_EQ((std::vector<uint8_t>{0xAA, 0x00}), *VendorRead(0x8686, 2));
    chip->Faults().echoFails = true;
    EXPECT_NE(0xAA, (*VendorRead(0x8686, 2))[0]);

    EXPECT_EQ((std::vector<uint8_t>{0x03, 0x01}), *VendorRead(0x8787, 2));  // power-on value
    VendorWrite(0x0707, 0x0000);
    EXPECT_EQ((std::vector<uint8_t>{0x00, 0x00}), *VendorRead(0x8787, 2));
    VendorWrite(0x0505, 0x9391);
    EXPECT_EQ(0x9391, chip->DoubledRegister(5));
}

class ChipEepromTest : public ChipTest {
protected:
    uint8_t ReadByte(uint16_t address) {
        VendorWrite(0x0404, address);
        return (*VendorRead(0x8383))[0];
    }
    bool Busy() { return ((*VendorRead(0x8484))[0] & 1) != 0; }
};

TEST_F(ChipEepromTest, MarkersSelectAndRead) {
    ChipConfig c = ChipConfig::ForGeneration(3);
    c.eeprom = harness::chip::BlankEeprom(512);
    c.WithEepromMarkers({0, 96});
    c.eeprom[300] = 0x77;
    Make(c);
    EXPECT_EQ(0x3C, ReadByte(0));
    EXPECT_EQ(0x5A, ReadByte(1));
    EXPECT_EQ(0xFF, ReadByte(32));
    EXPECT_EQ(0x3C, ReadByte(96));
    EXPECT_EQ(0x5A, ReadByte(97));
    EXPECT_EQ(0x77, ReadByte(300));
    EXPECT_EQ(0xFF, ReadByte(600));  // beyond the memory
    EXPECT_EQ(600, chip->Eeprom().Selected());
    EXPECT_FALSE(Busy());
}

TEST_F(ChipEepromTest, WriteKeepsTheMemoryBusyForItsWriteTime) {
    ChipConfig c = ChipConfig::ForGeneration(2);
    c.eepromWriteTime = 2 * kMillisecond;
    Make(c);
    ASSERT_TRUE(VendorWrite(0x0303, 0x5A21));  // 0x5A at 0x21
    EXPECT_TRUE(Busy());
    EXPECT_EQ(0xFF, ReadByte(0x21));          // not readable while busy
    VendorWrite(0x0303, 0x1122);               // ignored: busy
    dispatcher::RunFor(2 * kMillisecond - 1);
    EXPECT_TRUE(Busy());
    dispatcher::RunFor(1);
    EXPECT_FALSE(Busy());
    EXPECT_EQ(0x5A, ReadByte(0x21));
    EXPECT_EQ(0xFF, ReadByte(0x22));
    EXPECT_EQ(1u, chip->Eeprom().WritesAccepted());

    chip->Faults().eepromStuckBusy = true;
    dispatcher::RunFor(dispatcher::kSecond);
    EXPECT_TRUE(Busy());
    VendorWrite(0x0303, 0x0101);
    EXPECT_EQ(0xFF, chip->Eeprom().Contents()[1]);
}

}  // namespace
