// Bytes and line states through the whole machine: the application's
// requests, the driver, the USB stack at full-speed limits, the chip's
// UART and whatever is plugged into its connector.
#include <gtest/gtest.h>

#include "support/port_fixture.h"

namespace {

using harness::dispatcher::kMillisecond;
using harness::dispatcher::kSecond;

struct LineCase {
    int generation;
    ULONG baud;
    UCHAR dataBits;
    UCHAR parity;
    UCHAR stopBits;
};

std::string Name(const LineCase& c) {
    static const char kParity[] = "NOEMS";
    return "Gen" + std::to_string(c.generation) + "_" + std::to_string(c.baud) + "_" + std::to_string(c.dataBits) +
           kParity[c.parity] + (c.stopBits == STOP_BIT_1 ? "1" : "2");
}

class EndToEnd : public PortFixture {
protected:
    // Reads `length` bytes with one read that waits for all of them (total
    // time-out only), as a simple application does.
    std::vector<uint8_t> ReadAll(TestPort& port, size_t length, int64_t within) {
        SERIAL_TIMEOUTS t{};
        t.ReadTotalTimeoutConstant = static_cast<ULONG>(within / kMillisecond);
        SetTimeouts(port, t);
        auto read = harness::app::ReadAsync(port.handle, static_cast<ULONG>(length));
        harness::app::Wait(*read);
        EXPECT_EQ(read->Status(), STATUS_SUCCESS);
        return read->Output();
    }

    void Configure(TestPort& port, const LineCase& c) {
        SetBaud(port, c.baud);
        SetLineControl(port, c.dataBits, c.parity, c.stopBits);
    }

    // Time the line needs for `n` characters of format `c`, with margin for
    // the USB side.
    static int64_t LineTime(const LineCase& c, size_t n) {
        const int bits = 1 + c.dataBits + (c.parity != NO_PARITY ? 1 : 0) + (c.stopBits == STOP_BIT_1 ? 1 : 2);
        return static_cast<int64_t>(double(n) * bits * kSecond / c.baud) + 200 * kMillisecond;
    }
};

class LoopbackAtRate : public EndToEnd, public ::testing::WithParamInterface<LineCase> {};

TEST_P(LoopbackAtRate, EveryByteWrittenComesBackInOrderAndIsCounted) {
    const LineCase c = GetParam();
    TestPort& port = PlugPort(c.generation);
    ASSERT_EQ(Open(port), STATUS_SUCCESS);
    Configure(port, c);

    // Several write chunks and many receive transfers; the mask keeps the
    // data within the word length.
    std::vector<uint8_t> data = Pattern(c.baud >= 115200 ? 5000 : 600);
    const uint8_t mask = static_cast<uint8_t>((1u << c.dataBits) - 1);
    for (auto& b : data) b &= mask;

    auto read = harness::app::ReadAsync(port.handle, static_cast<ULONG>(data.size()));
    SERIAL_TIMEOUTS t{};
    t.ReadTotalTimeoutConstant = static_cast<ULONG>(LineTime(c, data.size()) / kMillisecond);
    SetTimeouts(port, t);
    auto write = harness::app::WriteAsync(port.handle, data);
    harness::app::Wait(*write);
    harness::app::Wait(*read);
    EXPECT_EQ(write->Status(), STATUS_SUCCESS);
    EXPECT_EQ(write->Information(), data.size());
    EXPECT_EQ(read->Status(), STATUS_SUCCESS);
    EXPECT_EQ(read->Output(), data);
    EXPECT_EQ(port.ext->perfStats.TransmittedCount, data.size());
    EXPECT_EQ(port.ext->perfStats.ReceivedCount, data.size());
    EXPECT_EQ(port.ext->perfStats.BufferOverrunErrorCount, 0u);
    EXPECT_EQ(port.chip->Overruns(), 0u);
    EXPECT_EQ(port.ext->errorWord, 0u);
}

INSTANTIATE_TEST_SUITE_P(Lines, LoopbackAtRate,
                         ::testing::Values(LineCase{0, 9600, 8, NO_PARITY, STOP_BIT_1},
                                           LineCase{1, 9600, 7, EVEN_PARITY, STOP_BIT_1},
                                           LineCase{1, 115200, 8, NO_PARITY, STOP_BIT_1},
                                           LineCase{2, 115200, 8, ODD_PARITY, STOP_BITS_2},
                                           LineCase{2, 921600, 8, NO_PARITY, STOP_BIT_1},
                                           LineCase{3, 614400, 8, NO_PARITY, STOP_BIT_1},
                                           LineCase{4, 230400, 5, SPACE_PARITY, STOP_BIT_1},
                                           LineCase{4, 460800, 6, MARK_PARITY, STOP_BITS_2}),
                         [](const auto& info) { return Name(info.param); });

TEST_F(EndToEnd, NullModemPairCarriesBothWaysAtOnce) {
    auto [a, b] = PlugNullModemPair(2, 3);
    ASSERT_EQ(Open(*a), STATUS_SUCCESS);
    ASSERT_EQ(Open(*b), STATUS_SUCCESS);
    const LineCase c{2, 57600, 8, ODD_PARITY, STOP_BIT_1};
    Configure(*a, c);
    Configure(*b, c);

    const auto toB = Pattern(3000, 7);
    const auto toA = Pattern(2000, 9);
    SERIAL_TIMEOUTS t{};
    t.ReadTotalTimeoutConstant = static_cast<ULONG>(LineTime(c, 3000) / kMillisecond);
    SetTimeouts(*a, t);
    SetTimeouts(*b, t);
    auto readA = harness::app::ReadAsync(a->handle, static_cast<ULONG>(toA.size()));
    auto readB = harness::app::ReadAsync(b->handle, static_cast<ULONG>(toB.size()));
    auto writeA = harness::app::WriteAsync(a->handle, toB);
    auto writeB = harness::app::WriteAsync(b->handle, toA);
    for (auto* r : {writeA.get(), writeB.get(), readA.get(), readB.get()}) harness::app::Wait(*r);
    EXPECT_EQ(readB->Output(), toB);
    EXPECT_EQ(readA->Output(), toA);
    EXPECT_EQ(a->ext->perfStats.TransmittedCount, toB.size());
    EXPECT_EQ(b->ext->perfStats.ReceivedCount, toB.size());
}

TEST_F(EndToEnd, ASecondOpenIsRefusedAndTheFirstHandleKeepsWorking) {
    TestPort& port = PlugPort();
    ASSERT_EQ(Open(port), STATUS_SUCCESS);
    harness::app::Handle second;
    const UNICODE_STRING& name = port.ext->deviceName;
    std::u16string path(reinterpret_cast<const char16_t*>(name.Buffer), name.Length / sizeof(WCHAR));
    EXPECT_NE(harness::app::Open(path, &second), STATUS_SUCCESS);
    SetBaud(port, 115200);
    SetLineControl(port, 8, NO_PARITY, STOP_BIT_1);
    auto read = harness::app::ReadAsync(port.handle, 3);
    SERIAL_TIMEOUTS t{};
    t.ReadTotalTimeoutConstant = 500;
    SetTimeouts(port, t);
    harness::app::Write(port.handle, Bytes("abc"));
    harness::app::Wait(*read);
    EXPECT_EQ(read->Output(), Bytes("abc"));
}

TEST_F(EndToEnd, CloseAndReopenLeavesNothingBehind) {
    TestPort& port = PlugPort();
    for (int i = 0; i < 20; ++i) {
        ASSERT_EQ(Open(port), STATUS_SUCCESS) << "open " << i;
        SetBaud(port, 115200);
        harness::app::Write(port.handle, Bytes("xyz"));
        ASSERT_EQ(Close(port), STATUS_SUCCESS);
        EXPECT_EQ(port.ext->rxBufferSize, 0u);
        EXPECT_EQ(port.ext->openCount, 0);
        EXPECT_EQ(port.ext->pendingDpcCount, 1);
    }
}

}  // namespace
