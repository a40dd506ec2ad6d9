// BuildCommDCB and BuildCommDCBAndTimeouts, as documented for the mode
// command's syntax: what each form sets, what it leaves, and the strings
// it refuses without touching the caller's records.
#include <windows.h>

#include <cstring>

#include <gtest/gtest.h>

namespace {

// A DCB with every member set to something no definition string produces,
// so that a member the string does not name is seen to be left alone.
DCB Sentinel() {
    DCB dcb = {};
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = 4321;
    dcb.ByteSize = 6;
    dcb.Parity = MARKPARITY;
    dcb.StopBits = ONE5STOPBITS;
    dcb.XonChar = 0x21;
    dcb.XoffChar = 0x22;
    dcb.EvtChar = 0x7e;
    dcb.XonLim = 77;
    dcb.fOutX = dcb.fInX = TRUE;
    dcb.fOutxCtsFlow = dcb.fOutxDsrFlow = TRUE;
    dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
    dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    return dcb;
}

TEST(BuildCommDcb, KeywordFormSetsTheNamedMembersAndTurnsFlowControlOff) {
    DCB dcb = Sentinel();
    ASSERT_TRUE(BuildCommDCBA("baud=1200 parity=N data=8 stop=1", &dcb));
    EXPECT_EQ(dcb.BaudRate, 1200u);
    EXPECT_EQ(dcb.Parity, NOPARITY);
    EXPECT_EQ(dcb.ByteSize, 8);
    EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
    EXPECT_FALSE(dcb.fOutX || dcb.fInX || dcb.fOutxCtsFlow || dcb.fOutxDsrFlow);
    EXPECT_NE(dcb.fDtrControl, DTR_CONTROL_HANDSHAKE);
    EXPECT_NE(dcb.fRtsControl, RTS_CONTROL_HANDSHAKE);
    EXPECT_TRUE(dcb.fBinary);
    // Members the string does not touch.
    EXPECT_EQ(dcb.XonChar, 0x21);
    EXPECT_EQ(dcb.XoffChar, 0x22);
    EXPECT_EQ(dcb.EvtChar, 0x7e);
    EXPECT_EQ(dcb.XonLim, 77);
}

TEST(BuildCommDcb, KeywordFormTakesEachFlowAndLineSwitch) {
    DCB dcb = Sentinel();
    ASSERT_TRUE(BuildCommDCBA("COM1: baud=9600 parity=e data=7 stop=2 xon=on octs=on odsr=on idsr=on dtr=hs rts=tg",
                              &dcb));
    EXPECT_EQ(dcb.Parity, EVENPARITY);
    EXPECT_EQ(dcb.ByteSize, 7);
    EXPECT_EQ(dcb.StopBits, TWOSTOPBITS);
    EXPECT_TRUE(dcb.fOutX && dcb.fInX && dcb.fOutxCtsFlow && dcb.fOutxDsrFlow && dcb.fDsrSensitivity);
    EXPECT_EQ(dcb.fDtrControl, DTR_CONTROL_HANDSHAKE);
    EXPECT_EQ(dcb.fRtsControl, RTS_CONTROL_TOGGLE);

    ASSERT_TRUE(BuildCommDCBA("baud=19200 parity=o dtr=off rts=off stop=1.5 data=5", &dcb));
    EXPECT_EQ(dcb.Parity, ODDPARITY);
    EXPECT_EQ(dcb.StopBits, ONE5STOPBITS);
    EXPECT_EQ(dcb.fDtrControl, DTR_CONTROL_DISABLE);
    EXPECT_EQ(dcb.fRtsControl, RTS_CONTROL_DISABLE);
    EXPECT_FALSE(dcb.fOutX || dcb.fOutxCtsFlow);
}

TEST(BuildCommDcb, TwoDigitBaudRatesStandForTheirFullRates) {
    const struct { const char* text; DWORD rate; } cases[] = {
        {"baud=11", 110}, {"baud=15", 150}, {"baud=30", 300}, {"baud=60", 600}, {"baud=12", 1200},
        {"baud=24", 2400}, {"baud=48", 4800}, {"baud=96", 9600}, {"baud=19", 19200}, {"baud=115200", 115200}};
    for (const auto& c : cases) {
        DCB dcb = Sentinel();
        ASSERT_TRUE(BuildCommDCBA(c.text, &dcb)) << c.text;
        EXPECT_EQ(dcb.BaudRate, c.rate) << c.text;
    }
}

TEST(BuildCommDcb, OneHundredTenBaudGetsTwoStopBitsUnlessStopIsGiven) {
    DCB dcb = Sentinel();
    ASSERT_TRUE(BuildCommDCBA("baud=110 parity=n data=8", &dcb));
    EXPECT_EQ(dcb.StopBits, TWOSTOPBITS);
    ASSERT_TRUE(BuildCommDCBA("baud=110 parity=n data=8 stop=1", &dcb));
    EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
}

TEST(BuildCommDcb, PositionalFormWithDeviceNameAndFlowSuffix) {
    DCB dcb = Sentinel();
    ASSERT_TRUE(BuildCommDCBA("COM1: 9600,n,8,1", &dcb));
    EXPECT_EQ(dcb.BaudRate, 9600u);
    EXPECT_EQ(dcb.Parity, NOPARITY);
    EXPECT_EQ(dcb.ByteSize, 8);
    EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
    EXPECT_FALSE(dcb.fOutX || dcb.fOutxCtsFlow);

    ASSERT_TRUE(BuildCommDCBA("96,e,7,2,x", &dcb));
    EXPECT_EQ(dcb.BaudRate, 9600u);
    EXPECT_EQ(dcb.Parity, EVENPARITY);
    EXPECT_TRUE(dcb.fOutX && dcb.fInX);

    ASSERT_TRUE(BuildCommDCBA("com12:19200,s,8,1,p", &dcb));
    EXPECT_EQ(dcb.Parity, SPACEPARITY);
    EXPECT_TRUE(dcb.fOutxCtsFlow && dcb.fOutxDsrFlow);
    EXPECT_EQ(dcb.fRtsControl, RTS_CONTROL_HANDSHAKE);
    EXPECT_FALSE(dcb.fOutX);
}

TEST(BuildCommDcb, MalformedDefinitionsFailAndLeaveTheRecordsAlone) {
    const char* bad[] = {"",          "COM1:",          "baud=",        "baud=fast",   "parity=x",
                         "data=9",    "data=4",         "stop=3",       "xon=maybe",   "dtr=tg",
                         "speed=9600", "baud=9600 bogus", "9600,q,8,1",  "9600,n,8,1,z", "9600,n,8,1,x,1",
                         "baud=0"};
    for (const char* text : bad) {
        DCB dcb = Sentinel();
        COMMTIMEOUTS timeouts = {1, 2, 3, 4, 5};
        SetLastError(0);
        EXPECT_FALSE(BuildCommDCBAndTimeoutsA(text, &dcb, &timeouts)) << text;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER)) << text;
        const DCB untouched = Sentinel();
        EXPECT_EQ(std::memcmp(&dcb, &untouched, sizeof dcb), 0) << text;
        EXPECT_EQ(timeouts.WriteTotalTimeoutConstant, 5u) << text;
    }
}

TEST(BuildCommDcb, TimeoutSwitchSetsTheDocumentedValuesOrLeavesThem) {
    DCB dcb = Sentinel();
    COMMTIMEOUTS timeouts = {1, 2, 3, 4, 5};
    ASSERT_TRUE(BuildCommDCBAndTimeoutsA("baud=9600 to=on", &dcb, &timeouts));
    EXPECT_EQ(timeouts.ReadIntervalTimeout, 0u);
    EXPECT_EQ(timeouts.ReadTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(timeouts.ReadTotalTimeoutConstant, 0u);
    EXPECT_EQ(timeouts.WriteTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(timeouts.WriteTotalTimeoutConstant, 60000u);

    timeouts = {1, 2, 3, 4, 5};
    ASSERT_TRUE(BuildCommDCBAndTimeoutsA("baud=9600 to=off", &dcb, &timeouts));
    EXPECT_EQ(timeouts.WriteTotalTimeoutConstant, 0u);
    EXPECT_EQ(timeouts.ReadIntervalTimeout, 0u);

    timeouts = {1, 2, 3, 4, 5};
    ASSERT_TRUE(BuildCommDCBAndTimeoutsA("baud=9600", &dcb, &timeouts));
    EXPECT_EQ(timeouts.ReadIntervalTimeout, 1u);
    EXPECT_EQ(timeouts.WriteTotalTimeoutConstant, 5u);
}

TEST(BuildCommDcb, WideFormsParseAsTheNarrowOnes) {
    DCB narrow = Sentinel(), wide = Sentinel();
    ASSERT_TRUE(BuildCommDCBA("COM3: baud=2400 parity=m data=7 stop=1 rts=hs", &narrow));
    ASSERT_TRUE(BuildCommDCBW(u"COM3: baud=2400 parity=m data=7 stop=1 rts=hs", &wide));
    EXPECT_EQ(std::memcmp(&narrow, &wide, sizeof narrow), 0);

    COMMTIMEOUTS timeouts = {};
    ASSERT_TRUE(BuildCommDCBAndTimeoutsW(u"baud=96 to=on", &wide, &timeouts));
    EXPECT_EQ(timeouts.WriteTotalTimeoutConstant, 60000u);
    EXPECT_FALSE(BuildCommDCBW(u"baud=96 parity=\u00e9", &wide));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

}  // namespace
