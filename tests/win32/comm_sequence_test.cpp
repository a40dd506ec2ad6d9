// The control codes each comm function sends, in order and with their
// records, compared with the sequences Windows' own comm functions send
// (as a port monitor shows them on Windows): the driver must see from the
// library what it would see from a Windows program.
#include <array>
#include <cstring>

#include "comm_request_trace.h"
#include "comm_test_port.h"

namespace {

using comm_test::CommPortTest;
using comm_test::kCeilingMs;
using comm_test::Pending;
using Bytes = std::vector<uint8_t>;

struct Expected {
    std::string code;
    Bytes input;
    uint32_t outputLength = 0;
};

template <typename T>
Bytes Record(const T& value) {
    Bytes bytes(sizeof value);
    std::memcpy(bytes.data(), &value, sizeof value);
    return bytes;
}

Bytes Ulong(DWORD value) { return Record(value); }

std::string Describe(const std::vector<comm_trace::Control>& got) {
    std::string text;
    for (const auto& c : got) text += "\n  " + c.text;
    return text;
}

void ExpectSequence(const std::vector<comm_trace::Control>& got, const std::vector<Expected>& expected) {
    ASSERT_EQ(got.size(), expected.size()) << Describe(got);
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(got[i].code, "IOCTL_SERIAL_" + expected[i].code) << "request " << i << Describe(got);
        EXPECT_EQ(got[i].input, expected[i].input) << "request " << i << Describe(got);
        EXPECT_EQ(got[i].outputLength, expected[i].outputLength) << "request " << i << Describe(got);
    }
}

const std::vector<Expected> kGetState = {
    {"GET_BAUD_RATE", {}, 4}, {"GET_LINE_CONTROL", {}, 3}, {"GET_CHARS", {}, 6}, {"GET_HANDFLOW", {}, 16}};

class CommSequence : public CommPortTest {
protected:
    template <typename Call>
    std::vector<comm_trace::Control> Trace(Call call) {
        comm_trace::Start();
        call();
        return comm_trace::Stop();
    }
};

TEST_F(CommSequence, GetCommStateAndGetCommConfigReadTheFourSettings) {
    DCB dcb;
    ExpectSequence(Trace([&] { EXPECT_TRUE(GetCommState(port_, &dcb)); }), kGetState);
    COMMCONFIG config;
    DWORD size = sizeof config;
    ExpectSequence(Trace([&] { EXPECT_TRUE(GetCommConfig(port_, &config, &size)); }), kGetState);
}

// Reads the four settings, then sets the rate, the fixed lines, the frame,
// the characters (keeping the port's break character) and the handflow.
TEST_F(CommSequence, SetCommStateReadsThenSetsInWindowsOrder) {
    DCB dcb;
    ASSERT_TRUE(GetCommState(port_, &dcb));
    dcb.BaudRate = CBR_57600;
    dcb.ByteSize = 7;
    dcb.Parity = EVENPARITY;
    dcb.StopBits = TWOSTOPBITS;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_DISABLE;
    dcb.fOutX = dcb.fInX = TRUE;
    dcb.fOutxCtsFlow = TRUE;
    dcb.fTXContinueOnXoff = TRUE;
    dcb.XonLim = 10;
    dcb.XoffLim = 20;
    dcb.EofChar = 0x1a;
    dcb.ErrorChar = 0x3f;
    dcb.EvtChar = 0x0d;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    const auto got = Trace([&] { EXPECT_TRUE(SetCommState(port_, &dcb)) << GetLastError(); });
    ASSERT_EQ(got.size(), 10u) << Describe(got);
    const BYTE breakChar = got[2].output.size() == 6 ? got[2].output[2] : 0;
    const Bytes handflow = Record(std::array<DWORD, 4>{0x01 | 0x08, 0x01 | 0x02 | 0x80000000u, 10, 20});
    std::vector<Expected> expected = kGetState;
    expected.insert(expected.end(), {{"SET_BAUD_RATE", Ulong(57600)},
                                     {"CLR_RTS", {}},
                                     {"SET_DTR", {}},
                                     {"SET_LINE_CONTROL", {TWOSTOPBITS, EVENPARITY, 7}},
                                     {"SET_CHARS", {0x1a, 0x3f, breakChar, 0x0d, 0x11, 0x13}},
                                     {"SET_HANDFLOW", handflow}});
    ExpectSequence(got, expected);

    // A toggling RTS is raised first, as Windows does; a line under
    // handshake gets no code (the handflow drives it).
    dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
    dcb.fRtsControl = RTS_CONTROL_TOGGLE;
    dcb.fOutxCtsFlow = FALSE;
    const auto toggle = Trace([&] { EXPECT_TRUE(SetCommState(port_, &dcb)) << GetLastError(); });
    ASSERT_EQ(toggle.size(), 9u) << Describe(toggle);
    EXPECT_EQ(toggle[4].code, "IOCTL_SERIAL_SET_BAUD_RATE");
    EXPECT_EQ(toggle[5].code, "IOCTL_SERIAL_SET_RTS");
    EXPECT_EQ(toggle[6].code, "IOCTL_SERIAL_SET_LINE_CONTROL");

    dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    const auto quiet = Trace([&] { EXPECT_TRUE(SetCommState(port_, &dcb)) << GetLastError(); });
    ASSERT_EQ(quiet.size(), 8u) << Describe(quiet);
    EXPECT_EQ(quiet[4].code, "IOCTL_SERIAL_SET_BAUD_RATE");
    EXPECT_EQ(quiet[5].code, "IOCTL_SERIAL_SET_LINE_CONTROL");
}

// A refused record: the settings read first are put back as they were.
TEST_F(CommSequence, RefusedSetCommStatePutsTheReadSettingsBack) {
    DCB dcb;
    ASSERT_TRUE(GetCommState(port_, &dcb));
    dcb.BaudRate = CBR_2400;
    dcb.ByteSize = 8;
    dcb.StopBits = ONE5STOPBITS;
    const auto got = Trace([&] { EXPECT_FALSE(SetCommState(port_, &dcb)); });
    ASSERT_EQ(got.size(), 12u) << Describe(got);
    std::vector<Expected> expected = kGetState;
    expected.insert(expected.end(), {{"SET_BAUD_RATE", Ulong(2400)},
                                     {"SET_RTS", {}},
                                     {"SET_DTR", {}},
                                     {"SET_LINE_CONTROL", {ONE5STOPBITS, NOPARITY, 8}},
                                     {"SET_BAUD_RATE", got[0].output},
                                     {"SET_LINE_CONTROL", got[1].output},
                                     {"SET_CHARS", got[2].output},
                                     {"SET_HANDFLOW", got[3].output}});
    ExpectSequence(got, expected);
}

TEST_F(CommSequence, OneCodeFunctionsSendTheirCodeAndRecord) {
    COMMTIMEOUTS timeouts = {1, 2, 3, 4, 5};
    ExpectSequence(Trace([&] { SetCommTimeouts(port_, &timeouts); }), {{"SET_TIMEOUTS", Record(timeouts)}});
    ExpectSequence(Trace([&] { GetCommTimeouts(port_, &timeouts); }), {{"GET_TIMEOUTS", {}, 20}});
    ExpectSequence(Trace([&] { SetCommMask(port_, EV_RXCHAR | EV_CTS); }),
                   {{"SET_WAIT_MASK", Ulong(EV_RXCHAR | EV_CTS)}});
    DWORD value = 0;
    ExpectSequence(Trace([&] { GetCommMask(port_, &value); }), {{"GET_WAIT_MASK", {}, 4}});
    COMSTAT stat;
    ExpectSequence(Trace([&] { ClearCommError(port_, &value, &stat); }), {{"GET_COMMSTATUS", {}, 20}});
    ExpectSequence(Trace([&] { PurgeComm(port_, PURGE_RXCLEAR | PURGE_TXCLEAR); }),
                   {{"PURGE", Ulong(PURGE_RXCLEAR | PURGE_TXCLEAR)}});
    ExpectSequence(Trace([&] { SetupComm(port_, 4096, 2048); }),
                   {{"SET_QUEUE_SIZE", Record(std::array<DWORD, 2>{4096, 2048})}});
    ExpectSequence(Trace([&] { GetCommModemStatus(port_, &value); }), {{"GET_MODEMSTATUS", {}, 4}});
    ExpectSequence(Trace([&] { TransmitCommChar(port_, 'T'); }), {{"IMMEDIATE_CHAR", {'T'}}});
    COMMPROP prop = {};
    ExpectSequence(Trace([&] { GetCommProperties(port_, &prop); }), {{"GET_PROPERTIES", {}, 64}});
    ExpectSequence(Trace([&] { SetCommBreak(port_); }), {{"SET_BREAK_ON", {}}});
    ExpectSequence(Trace([&] { ClearCommBreak(port_); }), {{"SET_BREAK_OFF", {}}});
}

TEST_F(CommSequence, EscapeFunctionsSendOneCodeEach) {
    const struct { DWORD function; const char* code; } cases[] = {
        {SETXOFF, "SET_XOFF"}, {SETXON, "SET_XON"},     {CLRRTS, "CLR_RTS"},         {SETRTS, "SET_RTS"},
        {CLRDTR, "CLR_DTR"},   {SETDTR, "SET_DTR"},     {RESETDEV, "RESET_DEVICE"},  {SETBREAK, "SET_BREAK_ON"},
        {CLRBREAK, "SET_BREAK_OFF"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.code);
        ExpectSequence(Trace([&] { EXPECT_TRUE(EscapeCommFunction(port_, c.function)) << GetLastError(); }),
                       {{c.code, {}}});
    }
    ExpectSequence(Trace([&] { EscapeCommFunction(port_, 77); }), {});
}

// WaitCommEvent's one code stays pending until SetCommMask's ends it.
TEST_F(CommSequence, WaitCommEventSendsWaitOnMask) {
    ASSERT_TRUE(SetCommMask(port_, EV_RING));
    const auto got = Trace([&] {
        Pending io;
        DWORD events = 0;
        WaitCommEvent(port_, &events, &io.overlapped);
        SetCommMask(port_, EV_RXCHAR);
        EXPECT_TRUE(io.Done(kCeilingMs));
    });
    ExpectSequence(got, {{"WAIT_ON_MASK", {}, 4}, {"SET_WAIT_MASK", Ulong(EV_RXCHAR)}});
}

// The functions that need no port send nothing.
TEST_F(CommSequence, StringAndDefaultFunctionsSendNothing) {
    const auto got = Trace([&] {
        DCB dcb = {};
        COMMTIMEOUTS timeouts = {};
        BuildCommDCBAndTimeoutsA("baud=9600 parity=n data=8 stop=1 to=on", &dcb, &timeouts);
        COMMCONFIG config;
        DWORD size = sizeof config;
        GetDefaultCommConfigA("COM5", &config, &size);
    });
    EXPECT_TRUE(got.empty()) << Describe(got);
}

}  // namespace
