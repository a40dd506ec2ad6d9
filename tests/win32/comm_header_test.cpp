// The comm records as a program written for Windows sees them: Windows'
// sizes and member offsets on both host builds, and the bit fields in
// Windows' bit order (a program that reads the DCB's flags word whole, or
// a record copied from a Windows machine, must find each flag where
// Windows puts it).
#include <windows.h>

#include <cstddef>
#include <cstring>

#include <gtest/gtest.h>

static_assert(sizeof(DCB) == 28);
static_assert(sizeof(COMMTIMEOUTS) == 20);
static_assert(sizeof(COMSTAT) == 12);
static_assert(sizeof(COMMPROP) == 64);
static_assert(sizeof(COMMCONFIG) == 52);

static_assert(offsetof(DCB, wReserved) == 12);
static_assert(offsetof(DCB, XonLim) == 14);
static_assert(offsetof(DCB, ByteSize) == 18);
static_assert(offsetof(DCB, XonChar) == 21);
static_assert(offsetof(DCB, EvtChar) == 25);
static_assert(offsetof(DCB, wReserved1) == 26);
static_assert(offsetof(COMMPROP, wSettableData) == 40);
static_assert(offsetof(COMMPROP, dwCurrentTxQueue) == 44);
static_assert(offsetof(COMMPROP, dwProvSpec1) == 52);
static_assert(offsetof(COMMPROP, wcProvChar) == 60);
static_assert(offsetof(COMMCONFIG, dcb) == 8);
static_assert(offsetof(COMMCONFIG, dwProviderSubType) == 36);
static_assert(offsetof(COMMCONFIG, wcProviderData) == 48);
static_assert(offsetof(COMSTAT, cbInQue) == 4);

namespace {

DWORD FlagsWord(const DCB& dcb) {
    DWORD word;
    std::memcpy(&word, reinterpret_cast<const char*>(&dcb) + 8, sizeof word);
    return word;
}

TEST(CommHeader, DcbFlagsSitAtWindowsBitPositions) {
    DCB dcb = {};
    dcb.fBinary = TRUE;
    EXPECT_EQ(FlagsWord(dcb), 0x1u);
    dcb = DCB{};
    dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
    EXPECT_EQ(FlagsWord(dcb), 0x20u);
    dcb = DCB{};
    dcb.fTXContinueOnXoff = TRUE;
    dcb.fInX = TRUE;
    EXPECT_EQ(FlagsWord(dcb), 0x80u | 0x200u);
    dcb = DCB{};
    dcb.fRtsControl = RTS_CONTROL_TOGGLE;
    dcb.fAbortOnError = TRUE;
    EXPECT_EQ(FlagsWord(dcb), 0x3000u | 0x4000u);
}

TEST(CommHeader, ComstatFlagsSitAtWindowsBitPositions) {
    COMSTAT stat = {};
    stat.fCtsHold = TRUE;
    stat.fXoffSent = TRUE;
    stat.fTxim = TRUE;
    DWORD word;
    std::memcpy(&word, &stat, sizeof word);
    EXPECT_EQ(word, 0x1u | 0x10u | 0x40u);
}

}  // namespace
