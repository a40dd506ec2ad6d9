// The line-setting codes through the port's handle: the rate and frame the
// chip runs and the far end receives, what the get codes report, refused
// values, a chip that refuses the line coding or the flow characters, and
// the rules that tie handflow, the escape character and the flow
// characters together.
#include "tests/driver/control_codes_port.h"

namespace {

using harness::chip::LineCoding;
using harness::chip::RequestMatch;
using harness::dispatcher::kMillisecond;

class LineSettingsCodes : public ControlCodesPort {
protected:
    static bool SameFrame(const SERIAL_LINE_CONTROL& a, const SERIAL_LINE_CONTROL& b) {
        return a.StopBits == b.StopBits && a.Parity == b.Parity && a.WordLength == b.WordLength;
    }
    static Result SetFrame(TestPort& port, UCHAR dataBits, UCHAR parity, UCHAR stopBits) {
        return Set(port, IOCTL_SERIAL_SET_LINE_CONTROL, Frame(dataBits, parity, stopBits));
    }
    static Result SetRate(TestPort& port, ULONG rate) {
        SERIAL_BAUD_RATE r{};
        r.BaudRate = rate;
        return Set(port, IOCTL_SERIAL_SET_BAUD_RATE, r);
    }
    static SERIAL_CHARS FlowChars(UCHAR xon, UCHAR xoff) {
        SERIAL_CHARS c{};
        c.XonChar = xon;
        c.XoffChar = xoff;
        return c;
    }
    static void StallLineCoding(TestPort& port) {
        port.chip->Faults().stall.push_back(RequestMatch::Class(kSetLineCoding));
    }
};

// Each frame an application sets is what the chip runs, what the far end
// receives and what GET_LINE_CONTROL reports back. Mark and space parity
// swap places between the serial API (3, 4) and the line-coding record.
TEST_F(LineSettingsCodes, TheFrameSetIsTheFrameOnTheWireAndTheOneReported) {
    struct Case {
        ULONG baud;
        UCHAR dataBits, parity, stopBits;
        uint8_t wireParity, wireStop;
    };
    using namespace harness::chip;
    const Case cases[] = {
        {1200, 5, NO_PARITY, STOP_BITS_1_5, kParityNone, kStopOneAndHalf},
        {9600, 6, EVEN_PARITY, STOP_BIT_1, kParityEven, kStopOne},
        {19200, 7, MARK_PARITY, STOP_BITS_2, kParityMark, kStopTwo},
        {57600, 8, SPACE_PARITY, STOP_BIT_1, kParitySpace, kStopOne},
        {115200, 8, ODD_PARITY, STOP_BITS_2, kParityOdd, kStopTwo},
    };
    TestPort& port = OpenScripted();
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.baud << " " << int(c.dataBits) << "/" << int(c.parity) << "/"
                                        << int(c.stopBits));
        SetBaud(port, c.baud);
        SetLineControl(port, c.dataBits, c.parity, c.stopBits);
        EXPECT_TRUE(SameFrame(LineControl(port), Frame(c.dataBits, c.parity, c.stopBits)));
        EXPECT_EQ(Baud(port), c.baud);
        EXPECT_EQ(port.chip->CurrentLineCoding(), (LineCoding{c.baud, c.wireStop, c.wireParity, c.dataBits}));

        peer_->ClearReceived();
        ASSERT_EQ(harness::app::Write(port.handle, Bytes("\x15")).status, STATUS_SUCCESS);
        Run(50 * kMillisecond);
        ASSERT_EQ(peer_->Received().size(), 1u);
        const auto& format = peer_->Received()[0].format;
        EXPECT_NEAR(format.baud, c.baud, c.baud / 100.0);
        EXPECT_EQ(format.dataBits, c.dataBits);
        EXPECT_EQ(format.parity, c.wireParity);
        EXPECT_EQ(format.stopBits, c.wireStop);
        EXPECT_EQ(peer_->Received()[0].value, 0x15);
    }
}

// GET_BAUD_RATE reports the rate the chip was given: the requested one
// rounded to the chip's nearest, never the request itself. Before any rate
// the port says 0; a rate of 0 changes nothing.
TEST_F(LineSettingsCodes, TheReportedRateIsTheRoundedRateTheChipRuns) {
    TestPort& port = OpenPort();
    EXPECT_EQ(Baud(port), 0u);
    EXPECT_EQ(SetRate(port, 0).status, STATUS_SUCCESS);
    EXPECT_EQ(Baud(port), 0u);

    const struct {
        ULONG requested, reported;
    } cases[] = {{9600, 9600}, {100000, 115200}, {74, 75}, {250000, 268800}, {115200, 115200}};
    for (const auto& c : cases) {
        const Result r = SetRate(port, c.requested);
        EXPECT_EQ(r.status, STATUS_SUCCESS) << c.requested;
        EXPECT_EQ(r.information, 0u);
        EXPECT_EQ(Baud(port), c.reported) << c.requested;
        EXPECT_NEAR(port.chip->LineRate(), c.reported, c.reported / 100.0) << c.requested;
    }
    const size_t sent = ClassRequests(port, kSetLineCoding);
    EXPECT_EQ(SetRate(port, 0).status, STATUS_SUCCESS);
    EXPECT_EQ(Baud(port), 115200u);
    EXPECT_EQ(ClassRequests(port, kSetLineCoding), sent) << "a rate of 0 sends nothing";
}

// A rate the chip refuses is reported, and the port goes on reporting the
// rate the chip really runs; the same rate goes through once the chip
// takes it.
TEST_F(LineSettingsCodes, ARateTheChipRefusesIsReportedAndNotRecorded) {
    TestPort& port = OpenPort();
    SetBaud(port, 9600);
    StallLineCoding(port);
    const Result refused = SetRate(port, 57600);
    EXPECT_EQ(refused.status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(refused.information, 0u);
    EXPECT_EQ(Baud(port), 9600u);
    EXPECT_NEAR(port.chip->LineRate(), 9600, 96);

    port.chip->Faults().stall.clear();
    SetBaud(port, 57600);
    EXPECT_EQ(Baud(port), 57600u);
    EXPECT_NEAR(port.chip->LineRate(), 57600, 576);
}

// Values or combinations no UART frame has are refused, however often they
// are repeated, and leave the frame, the chip and the line as they were.
TEST_F(LineSettingsCodes, FramesNoUartHasAreRefusedEveryTime) {
    TestPort& port = OpenPort();
    SetBaud(port, 9600);
    SetLineControl(port, 8, NO_PARITY, STOP_BIT_1);
    const LineCoding coding = port.chip->CurrentLineCoding();
    const SERIAL_LINE_CONTROL refused[] = {
        Frame(6, NO_PARITY, STOP_BITS_1_5),  // one and a half stop bits only with 5 data bits
        Frame(5, NO_PARITY, STOP_BITS_2),    // two stop bits never with 5
        Frame(9, NO_PARITY, STOP_BIT_1),     Frame(4, NO_PARITY, STOP_BIT_1), Frame(0, 0, 0),
        Frame(8, 5, STOP_BIT_1),             Frame(8, NO_PARITY, 3),
    };
    const size_t sent = ClassRequests(port, kSetLineCoding);
    for (const SERIAL_LINE_CONTROL& lc : refused) {
        for (int attempt = 0; attempt < 2; ++attempt) {
            const Result r = Set(port, IOCTL_SERIAL_SET_LINE_CONTROL, lc);
            EXPECT_EQ(r.status, STATUS_INVALID_PARAMETER)
                << int(lc.WordLength) << "/" << int(lc.Parity) << "/" << int(lc.StopBits) << " attempt " << attempt;
        }
        EXPECT_TRUE(SameFrame(LineControl(port), Frame(8, NO_PARITY, STOP_BIT_1)));
        // WMI reports the frame in force, not the parts of a refused one.
        EXPECT_EQ(port.ext->wmiCommData.BitsPerByte, 8u);
        EXPECT_EQ(port.ext->wmiCommData.Parity, 0u);
        EXPECT_EQ(port.ext->wmiCommData.StopBits, 0u);
    }
    EXPECT_EQ(ClassRequests(port, kSetLineCoding), sent);
    EXPECT_EQ(port.chip->CurrentLineCoding(), coding);
    // The frame applied last is still the port's: repeating it asks the
    // chip nothing.
    EXPECT_EQ(SetFrame(port, 8, NO_PARITY, STOP_BIT_1).status, STATUS_SUCCESS);
    EXPECT_EQ(ClassRequests(port, kSetLineCoding), sent);
}

// A frame the chip refuses is reported and not recorded: the port keeps
// the frame the chip runs, and the same bytes are sent again (and refused
// again) until the chip takes them.
TEST_F(LineSettingsCodes, AFrameTheChipRefusesIsReportedAndTriedAgainNextTime) {
    TestPort& port = OpenPort();
    SetBaud(port, 9600);
    const SERIAL_LINE_CONTROL before = LineControl(port);  // 7E1 from the start
    EXPECT_TRUE(SameFrame(before, Frame(7, EVEN_PARITY, STOP_BIT_1)));
    StallLineCoding(port);
    for (int attempt = 0; attempt < 2; ++attempt) {
        const size_t sent = ClassRequests(port, kSetLineCoding);
        EXPECT_EQ(SetFrame(port, 8, NO_PARITY, STOP_BIT_1).status, STATUS_UNSUCCESSFUL) << attempt;
        EXPECT_EQ(ClassRequests(port, kSetLineCoding), sent + 1) << "refused bytes are asked for again";
        EXPECT_TRUE(SameFrame(LineControl(port), before));
        EXPECT_EQ(port.chip->CurrentLineCoding().dataBits, 7);
        EXPECT_EQ(port.ext->wmiCommData.BitsPerByte, 7u) << "WMI reports the frame the chip runs";
        EXPECT_EQ(port.ext->wmiCommData.Parity, 2u);
    }
    port.chip->Faults().stall.clear();
    SetLineControl(port, 8, NO_PARITY, STOP_BIT_1);
    EXPECT_EQ(port.chip->CurrentLineCoding(), (LineCoding{9600, 0, 0, 8}));
    // A later rate change carries the frame the chip took.
    SetBaud(port, 19200);
    EXPECT_EQ(port.chip->CurrentLineCoding(), (LineCoding{19200, 0, 0, 8}));
}

// The device is stopped and started again between two opens (a resource
// rebalance); the start puts the default frame back into the chip. The
// application's frame, set again after that, must reach the chip: the
// port may not take it for the frame already on the line.
TEST_F(LineSettingsCodes, AFrameSetAgainAfterARestartReachesTheChip) {
    TestPort& port = OpenPort();
    SetBaud(port, 9600);
    SetLineControl(port, 8, NO_PARITY, STOP_BIT_1);
    ASSERT_EQ(Close(port), STATUS_SUCCESS);
    ASSERT_EQ(harness::pnp::RebalanceDevice(port.device), STATUS_SUCCESS);
    ASSERT_EQ(Open(port), STATUS_SUCCESS);
    ASSERT_TRUE(SameFrame(LineControl(port), Frame(7, EVEN_PARITY, STOP_BIT_1))) << "the start's default";

    SetBaud(port, 9600);
    SetLineControl(port, 8, NO_PARITY, STOP_BIT_1);
    EXPECT_TRUE(SameFrame(LineControl(port), Frame(8, NO_PARITY, STOP_BIT_1)));
    EXPECT_EQ(port.chip->CurrentLineCoding(), (LineCoding{9600, 0, 0, 8}));
}

// Chips from generation 2 keep the XON/XOFF characters in a register of
// their own; older ones are told nothing. A refused register write is
// reported and the old characters stay.
TEST_F(LineSettingsCodes, FlowCharactersReachTheChipsThatUseThem) {
    TestPort& modern = OpenPort(2);
    SERIAL_CHARS chars = FlowChars(0x91, 0x93);
    chars.EofChar = 0x1A;
    chars.EventChar = 0x7E;
    SetChars(modern, chars);
    EXPECT_EQ(modern.chip->DoubledRegister(5), 0x9391);
    const SERIAL_CHARS back = Chars(modern);
    EXPECT_EQ(std::memcmp(&back, &chars, sizeof chars), 0);

    modern.chip->Faults().stall.push_back(RequestMatch::Vendor(kFlowCharsWrite));
    EXPECT_EQ(Set(modern, IOCTL_SERIAL_SET_CHARS, FlowChars(0x21, 0x23)).status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(modern.chip->DoubledRegister(5), 0x9391);
    const SERIAL_CHARS kept = Chars(modern);
    EXPECT_EQ(std::memcmp(&kept, &chars, sizeof chars), 0);

    TestPort& old = OpenPort(1);
    old.chip->ClearControlLog();
    SetChars(old, FlowChars(0x21, 0x23));
    EXPECT_EQ(VendorRequests(old, kFlowCharsWrite), 0u);
    EXPECT_EQ(Chars(old).XonChar, 0x21);
    EXPECT_EQ(Chars(old).XoffChar, 0x23);
}

// The escape character announces inserted line and modem status: it can
// be neither flow character, nor share the receive path with the error
// character, and each setting refuses the one that would clash with the
// other. Refusals leave both settings as they were.
TEST_F(LineSettingsCodes, EscapeFlowAndErrorCharactersExcludeEachOther) {
    TestPort& port = OpenPort();
    const auto escape = [&](UCHAR c) { return Set(port, IOCTL_SERIAL_LSRMST_INSERT, c).status; };
    EXPECT_EQ(escape(0x11), STATUS_INVALID_PARAMETER) << "the XON character";
    EXPECT_EQ(escape(0x13), STATUS_INVALID_PARAMETER) << "the XOFF character";
    SetEscapeChar(port, 0x20);
    EXPECT_EQ(Set(port, IOCTL_SERIAL_SET_CHARS, FlowChars(0x20, 0x13)).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Set(port, IOCTL_SERIAL_SET_CHARS, FlowChars(0x11, 0x20)).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Chars(port).XonChar, 0x11);
    EXPECT_EQ(port.chip->DoubledRegister(5) >> 8, 0x13);

    SERIAL_HANDFLOW handFlow = HandFlow(port);
    handFlow.FlowReplace |= SERIAL_ERROR_CHAR;
    EXPECT_EQ(Set(port, IOCTL_SERIAL_SET_HANDFLOW, handFlow).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(HandFlow(port).FlowReplace & SERIAL_ERROR_CHAR, 0u);

    SetEscapeChar(port, 0);  // insertion off: the error character is free
    SetHandFlow(port, handFlow);
    EXPECT_EQ(escape(0x20), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(escape(0), STATUS_INVALID_PARAMETER) << "any character while the error character is on";
}

// Handflow values no port can honour are refused one rule at a time; the
// limits are bounded by the receive buffer the port reports.
TEST_F(LineSettingsCodes, HandflowOutsideItsRulesIsRefusedAndChangesNothing) {
    TestPort& port = OpenPort();
    const SERIAL_HANDFLOW start = HandFlow(port);
    const LONG buffer = static_cast<LONG>(Properties(port).CurrentRxQueue);
    ASSERT_GT(buffer, 0);
    struct Case {
        const char* what;
        ULONG controlHandShake, flowReplace;
        LONG xonLimit, xoffLimit;
    };
    const Case refused[] = {
        {"a reserved handshake bit", SERIAL_DTR_CONTROL | 0x04, 0, 0, 0},
        {"a reserved handshake bit high up", 0x00100000, 0, 0, 0},
        {"DTR field 3", 0x03, 0, 0, 0},
        {"a reserved flow bit", 0, 0x20, 0, 0},
        {"XonLimit negative", 0, 0, -1, 0},
        {"XonLimit past the buffer", 0, 0, buffer + 1, 0},
        {"XoffLimit negative", 0, 0, 0, -1},
        {"XoffLimit past the buffer", 0, 0, 0, buffer + 1},
    };
    for (const Case& c : refused) {
        SERIAL_HANDFLOW h{c.controlHandShake, c.flowReplace, c.xonLimit, c.xoffLimit};
        EXPECT_EQ(Set(port, IOCTL_SERIAL_SET_HANDFLOW, h).status, STATUS_INVALID_PARAMETER) << c.what;
        const SERIAL_HANDFLOW now = HandFlow(port);
        EXPECT_EQ(std::memcmp(&now, &start, sizeof now), 0) << c.what;
    }
    SERIAL_HANDFLOW edge{SERIAL_ERROR_ABORT | SERIAL_DSR_SENSITIVITY | SERIAL_CTS_HANDSHAKE | SERIAL_DTR_HANDSHAKE,
                         SERIAL_XOFF_CONTINUE | SERIAL_RTS_HANDSHAKE | SERIAL_AUTO_TRANSMIT, buffer, buffer};
    SetHandFlow(port, edge);
    const SERIAL_HANDFLOW now = HandFlow(port);
    EXPECT_EQ(std::memcmp(&now, &edge, sizeof now), 0);
}

// Time-outs are taken as given unless all three read values are MAXULONG.
TEST_F(LineSettingsCodes, TimeoutsAreStoredAsGivenUnlessAllThreeReadValuesAreMaxulong) {
    TestPort& port = OpenPort();
    SERIAL_TIMEOUTS t{MAXULONG, MAXULONG, 250, 7, 9};
    SetTimeouts(port, t);
    SERIAL_TIMEOUTS back = Get<SERIAL_TIMEOUTS>(port, IOCTL_SERIAL_GET_TIMEOUTS);
    EXPECT_EQ(std::memcmp(&back, &t, sizeof t), 0);

    const SERIAL_TIMEOUTS never{MAXULONG, MAXULONG, MAXULONG, 1, 1};
    EXPECT_EQ(Set(port, IOCTL_SERIAL_SET_TIMEOUTS, never).status, STATUS_INVALID_PARAMETER);
    back = Get<SERIAL_TIMEOUTS>(port, IOCTL_SERIAL_GET_TIMEOUTS);
    EXPECT_EQ(std::memcmp(&back, &t, sizeof t), 0);
}

}  // namespace
