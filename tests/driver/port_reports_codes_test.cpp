// The line-state codes and the port's reports through the handle: DTR,
// RTS and break as the other end of a null-modem cable sees them, the
// holds, amounts and errors of GET_COMMSTATUS, the properties record, the
// statistics, and a receive buffer grown by SET_QUEUE_SIZE.
#include "tests/driver/control_codes_port.h"

namespace {

using harness::chip::RequestMatch;
using harness::dispatcher::kMillisecond;
using harness::dispatcher::kSecond;

constexpr ULONG kLinesFromDtr = SERIAL_DSR_STATE | SERIAL_DCD_STATE;  // DTR is wired to DSR and DCD

class PortReportsCodes : public ControlCodesPort {
protected:
    std::pair<TestPort*, TestPort*> OpenPair(int generationA = 2, int generationB = 2) {
        auto [a, b] = PlugNullModemPair(generationA, generationB);
        EXPECT_EQ(Open(*a), STATUS_SUCCESS);
        EXPECT_EQ(Open(*b), STATUS_SUCCESS);
        for (TestPort* p : {a, b}) {
            SetBaud(*p, 115200);
            SetLineControl(*p, 8, NO_PARITY, STOP_BIT_1);
        }
        Run(20 * kMillisecond);
        return {a, b};
    }
    static Result Line(TestPort& port, ULONG code) { return Code(port, code); }
    // The other end's modem status once the chip's report has come in.
    ULONG Seen(TestPort& other) {
        Run(20 * kMillisecond);
        return ModemStatus(other);
    }
};

// DTR and RTS as the other end of the cable sees them, through every code
// that moves them; GET_DTRRTS and GET_MODEM_CONTROL report the same.
TEST_F(PortReportsCodes, DtrAndRtsReachTheOtherEnd) {
    auto [a, b] = OpenPair();
    // Open raises both (SERIAL_DTR_CONTROL and SERIAL_RTS_CONTROL).
    EXPECT_EQ(Seen(*b) & (kLinesFromDtr | SERIAL_CTS_STATE), kLinesFromDtr | SERIAL_CTS_STATE);

    EXPECT_EQ(Line(*a, IOCTL_SERIAL_CLR_DTR).status, STATUS_SUCCESS);
    EXPECT_EQ(Seen(*b) & (kLinesFromDtr | SERIAL_CTS_STATE), ULONG(SERIAL_CTS_STATE));
    EXPECT_EQ(Line(*a, IOCTL_SERIAL_CLR_RTS).status, STATUS_SUCCESS);
    EXPECT_EQ(Seen(*b) & (kLinesFromDtr | SERIAL_CTS_STATE), 0u);
    EXPECT_EQ(Get<ULONG>(*a, IOCTL_SERIAL_GET_DTRRTS), 0u);
    EXPECT_EQ(Get<ULONG>(*a, IOCTL_SERIAL_GET_MODEM_CONTROL) & 0x03, 0u);

    EXPECT_EQ(Line(*a, IOCTL_SERIAL_SET_RTS).status, STATUS_SUCCESS);
    EXPECT_EQ(Seen(*b) & (kLinesFromDtr | SERIAL_CTS_STATE), ULONG(SERIAL_CTS_STATE));
    EXPECT_EQ(Line(*a, IOCTL_SERIAL_SET_DTR).status, STATUS_SUCCESS);
    EXPECT_EQ(Seen(*b) & (kLinesFromDtr | SERIAL_CTS_STATE), kLinesFromDtr | SERIAL_CTS_STATE);
    EXPECT_EQ(Get<ULONG>(*a, IOCTL_SERIAL_GET_DTRRTS), ULONG(SERIAL_DTR_STATE | SERIAL_RTS_STATE));

    // The modem-control register image: bit 0 DTR, bit 1 RTS.
    EXPECT_EQ(SetUlong(*a, IOCTL_SERIAL_SET_MODEM_CONTROL, 0x02).status, STATUS_SUCCESS);
    EXPECT_EQ(Seen(*b) & (kLinesFromDtr | SERIAL_CTS_STATE), ULONG(SERIAL_CTS_STATE));
    EXPECT_EQ(Get<ULONG>(*a, IOCTL_SERIAL_GET_MODEM_CONTROL) & 0x03, 0x02u);
    EXPECT_EQ(Get<ULONG>(*a, IOCTL_SERIAL_GET_DTRRTS), ULONG(SERIAL_RTS_STATE));
}

// A line owned by a handshake or by transmit toggle cannot be moved by
// hand; the other line stays free.
TEST_F(PortReportsCodes, LinesOwnedByAHandshakeRefuseTheHandCodes) {
    TestPort& port = OpenPort();
    SERIAL_HANDFLOW handFlow = HandFlow(port);
    handFlow.ControlHandShake = (handFlow.ControlHandShake & ~SERIAL_DTR_MASK) | SERIAL_DTR_HANDSHAKE;
    SetHandFlow(port, handFlow);
    EXPECT_EQ(Line(port, IOCTL_SERIAL_SET_DTR).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Line(port, IOCTL_SERIAL_CLR_DTR).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Line(port, IOCTL_SERIAL_CLR_RTS).status, STATUS_SUCCESS);

    for (ULONG rtsMode : {ULONG(SERIAL_RTS_HANDSHAKE), ULONG(SERIAL_TRANSMIT_TOGGLE)}) {
        handFlow.ControlHandShake = SERIAL_DTR_CONTROL;
        handFlow.FlowReplace = (handFlow.FlowReplace & ~SERIAL_RTS_MASK) | rtsMode;
        SetHandFlow(port, handFlow);
        EXPECT_EQ(Line(port, IOCTL_SERIAL_SET_RTS).status, STATUS_INVALID_PARAMETER) << std::hex << rtsMode;
        EXPECT_EQ(Line(port, IOCTL_SERIAL_CLR_RTS).status, STATUS_INVALID_PARAMETER) << std::hex << rtsMode;
        EXPECT_EQ(Line(port, IOCTL_SERIAL_CLR_DTR).status, STATUS_SUCCESS);
        EXPECT_FALSE(port.chip->Dtr());
    }
}

// A line change the chip refuses still succeeds: the port keeps what the
// application asked for and sends the whole image with the next change.
TEST_F(PortReportsCodes, ALineChangeTheChipRefusesGoesOutWithTheNextOne) {
    TestPort& port = OpenPort();
    ASSERT_TRUE(port.chip->Dtr());
    port.chip->Faults().stall.push_back(RequestMatch::Class(kSetControlLineState));
    EXPECT_EQ(Line(port, IOCTL_SERIAL_CLR_DTR).status, STATUS_SUCCESS);
    Run(10 * kMillisecond);
    EXPECT_TRUE(port.chip->Dtr()) << "the chip refused";
    EXPECT_EQ(Get<ULONG>(port, IOCTL_SERIAL_GET_DTRRTS), ULONG(SERIAL_RTS_STATE));

    port.chip->Faults().stall.clear();
    EXPECT_EQ(Line(port, IOCTL_SERIAL_CLR_RTS).status, STATUS_SUCCESS);
    Run(10 * kMillisecond);
    EXPECT_FALSE(port.chip->Dtr());
    EXPECT_FALSE(port.chip->Rts());
}

// A break holds the line at space: the other end reports a break error
// (once), the sender reports its transmission held on the break until it
// ends.
TEST_F(PortReportsCodes, ABreakIsSeenAtTheOtherEndAndHoldsTheSender) {
    auto [a, b] = OpenPair();
    EXPECT_EQ(Line(*a, IOCTL_SERIAL_SET_BREAK_ON).status, STATUS_SUCCESS);
    Run(50 * kMillisecond);
    EXPECT_TRUE(a->chip->BreakOn());
    EXPECT_EQ(CommStatus(*a).HoldReasons, ULONG(SERIAL_TX_WAITING_ON_BREAK));
    EXPECT_EQ(CommStatus(*b).Errors & SERIAL_ERROR_BREAK, ULONG(SERIAL_ERROR_BREAK));
    EXPECT_EQ(CommStatus(*b).Errors, 0u) << "an error is returned once";

    EXPECT_EQ(Line(*a, IOCTL_SERIAL_SET_BREAK_OFF).status, STATUS_SUCCESS);
    EXPECT_FALSE(a->chip->BreakOn());
    EXPECT_EQ(CommStatus(*a).HoldReasons, 0u);
}

// GET_COMMSTATUS counts what waits on each side: received data no read
// has taken, and a write held by SET_XOFF (with the hold named) until
// SET_XON lets it go.
TEST_F(PortReportsCodes, CommStatusCountsWaitingDataAndAHeldWrite) {
    auto [a, b] = OpenPair();
    EXPECT_EQ(Line(*a, IOCTL_SERIAL_SET_XOFF).status, STATUS_SUCCESS);
    auto write = harness::app::WriteAsync(a->handle, Bytes("0123456789"));
    Run(50 * kMillisecond);
    EXPECT_FALSE(write->Done());
    SERIAL_STATUS status = CommStatus(*a);
    EXPECT_EQ(status.HoldReasons, ULONG(SERIAL_TX_WAITING_FOR_XON));
    EXPECT_EQ(status.AmountInOutQueue, 10u);
    EXPECT_EQ(status.Errors, 0u);
    EXPECT_FALSE(status.WaitForImmediate);
    EXPECT_EQ(CommStatus(*b).AmountInInQueue, 0u);

    EXPECT_EQ(Line(*a, IOCTL_SERIAL_SET_XON).status, STATUS_SUCCESS);
    ASSERT_TRUE(harness::app::Wait(*write, kSecond));
    EXPECT_EQ(write->Status(), STATUS_SUCCESS);
    Run(50 * kMillisecond);
    status = CommStatus(*a);
    EXPECT_EQ(status.HoldReasons, 0u);
    EXPECT_EQ(status.AmountInOutQueue, 0u);
    EXPECT_EQ(CommStatus(*b).AmountInInQueue, 10u);
}

// Line errors are returned once by GET_COMMSTATUS; GET_MODEMSTATUS looks
// at the lines without counting the same error again.
TEST_F(PortReportsCodes, LineErrorsAreReportedOnceAndCountedOnce) {
    TestPort& port = OpenScripted();
    SetBaud(port, 9600);
    SetLineControl(port, 8, EVEN_PARITY, STOP_BIT_1);
    peer_->SendWithParityError('p');
    Run(50 * kMillisecond);
    for (int i = 0; i < 3; ++i) ModemStatus(port);
    EXPECT_EQ(Stats(port).ParityErrorCount, 1u);
    EXPECT_EQ(CommStatus(port).Errors, ULONG(SERIAL_ERROR_PARITY));
    EXPECT_EQ(CommStatus(port).Errors, 0u);
    EXPECT_EQ(Stats(port).ParityErrorCount, 1u);
}

// A ring: chips before generation 2 keep the ring bit in every later
// status report, so the port reports it once; later chips report the line
// as it is.
TEST_F(PortReportsCodes, RingIsReportedOnceOnlyOnChipsThatKeepTheBit) {
    for (int generation : {1, 2}) {
        SCOPED_TRACE(generation);
        TestPort& port = OpenScripted(generation);
        peer_->SetRing(true);
        Run(20 * kMillisecond);
        EXPECT_EQ(ModemStatus(port) & SERIAL_RI_STATE, ULONG(SERIAL_RI_STATE));
        EXPECT_EQ(ModemStatus(port) & SERIAL_RI_STATE, generation < 2 ? 0u : ULONG(SERIAL_RI_STATE));
        ASSERT_EQ(Close(port), STATUS_SUCCESS);
    }
}

// The properties record, byte for byte.
TEST_F(PortReportsCodes, PropertiesAreTheFixedRecordWithTheReceiveBuffer) {
    TestPort& port = OpenPort();
    const Result r = Code(port, IOCTL_SERIAL_GET_PROPERTIES, {}, 100);
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    ASSERT_EQ(r.output.size(), 64u);
    const ULONG rxBuffer = port.ext->rxBufferSize;
    ASSERT_GT(rxBuffer, 0u);

    std::vector<uint8_t> expected(64, 0);
    auto put = [&](size_t offset, uint32_t value, size_t size) {
        for (size_t i = 0; i < size; ++i) expected[offset + i] = static_cast<uint8_t>(value >> (8 * i));
    };
    put(0, 64, 2);            // PacketLength
    put(2, 2, 2);             // PacketVersion
    put(4, 1, 4);             // ServiceMask: SERIAL_SP_SERIALCOMM
    put(20, 0x10000000, 4);   // MaxBaud: SERIAL_BAUD_USER
    put(24, 1, 4);            // ProvSubType: SERIAL_SP_RS232
    put(28, 0xFF, 4);         // ProvCapabilities
    put(32, 0x7F, 4);         // SettableParams
    put(36, 0x10067FF9, 4);   // SettableBaud
    put(40, 0x000F, 2);       // SettableData: 5 to 8 data bits
    put(42, 0x1F07, 2);       // SettableStopParity
    put(48, rxBuffer, 4);     // CurrentRxQueue
    EXPECT_EQ(r.output, expected);
}

// SET_QUEUE_SIZE grows the receive buffer (as the properties and the
// handflow limits show) and never shrinks it.
TEST_F(PortReportsCodes, QueueSizeGrowsTheReceiveBufferOnly) {
    TestPort& port = OpenPort();
    const ULONG start = Properties(port).CurrentRxQueue;
    SERIAL_QUEUE_SIZE size{start / 2, 0};
    EXPECT_EQ(Set(port, IOCTL_SERIAL_SET_QUEUE_SIZE, size).status, STATUS_SUCCESS);
    size.InSize = start;
    EXPECT_EQ(Set(port, IOCTL_SERIAL_SET_QUEUE_SIZE, size).status, STATUS_SUCCESS);
    EXPECT_EQ(Properties(port).CurrentRxQueue, start);

    SERIAL_HANDFLOW handFlow = HandFlow(port);
    handFlow.XonLimit = static_cast<LONG>(start * 2);
    EXPECT_EQ(Set(port, IOCTL_SERIAL_SET_HANDFLOW, handFlow).status, STATUS_INVALID_PARAMETER);

    size.InSize = start * 4;
    const Result grown = Set(port, IOCTL_SERIAL_SET_QUEUE_SIZE, size);
    EXPECT_EQ(grown.status, STATUS_SUCCESS);
    EXPECT_EQ(grown.information, 0u);
    EXPECT_EQ(Properties(port).CurrentRxQueue, start * 4);
    SetHandFlow(port, handFlow);

    // The larger buffer carries data as the old one did.
    SetBaud(port, 115200);
    SetLineControl(port, 8, NO_PARITY, STOP_BIT_1);
    SetTimeouts(port, StreamingTimeouts(200));
    const auto data = Pattern(600);
    ASSERT_EQ(harness::app::Write(port.handle, data).status, STATUS_SUCCESS);
    Run(100 * kMillisecond);
    EXPECT_EQ(CommStatus(port).AmountInInQueue, 600u);
    const Result read = harness::app::Read(port.handle, 600);
    EXPECT_EQ(read.output, data);
}

// Statistics count the traffic both ways, and CLEAR_STATS starts them
// again from zero.
TEST_F(PortReportsCodes, StatisticsCountTrafficUntilCleared) {
    TestPort& port = OpenPort();
    SetBaud(port, 115200);
    SetLineControl(port, 8, NO_PARITY, STOP_BIT_1);
    SetTimeouts(port, StreamingTimeouts(200));
    const auto data = Pattern(100);
    ASSERT_EQ(harness::app::Write(port.handle, data).status, STATUS_SUCCESS);
    Run(50 * kMillisecond);
    EXPECT_EQ(harness::app::Read(port.handle, 100).output, data);

    SERIALPERF_STATS stats = Stats(port);
    EXPECT_EQ(stats.TransmittedCount, 100u);
    EXPECT_EQ(stats.ReceivedCount, 100u);
    EXPECT_EQ(stats.FrameErrorCount + stats.SerialOverrunErrorCount + stats.BufferOverrunErrorCount +
                  stats.ParityErrorCount,
              0u);

    const Result cleared = Code(port, IOCTL_SERIAL_CLEAR_STATS);
    EXPECT_EQ(cleared.status, STATUS_SUCCESS);
    EXPECT_EQ(cleared.information, 0u);
    stats = Stats(port);
    EXPECT_EQ(stats.TransmittedCount, 0u);
    EXPECT_EQ(stats.ReceivedCount, 0u);

    ASSERT_EQ(harness::app::Write(port.handle, Bytes("abc")).status, STATUS_SUCCESS);
    Run(20 * kMillisecond);
    EXPECT_EQ(harness::app::Read(port.handle, 3).output, Bytes("abc"));
    stats = Stats(port);
    EXPECT_EQ(stats.TransmittedCount, 3u);
    EXPECT_EQ(stats.ReceivedCount, 3u);
}

}  // namespace
