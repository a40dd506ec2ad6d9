// Control codes that change the chip's settings, sent from two application
// threads at once or while pool runs out: whatever interleaving, the
// settings the port reports are the ones the chip runs, and the escape
// character and the error character are never both in force.
//
// The second thread is emulated with passive work: the run loop runs it
// while the first request waits for the chip, as a second thread would run
// beside it (and, as on Windows, not while the first one owns a mutex).
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "harness/kernel/dispatcher.h"
#include "harness/kernel/pool.h"
#include "harness/usb/usb_bus.h"
#include "support/port_fixture.h"
#include "usb/chip_protocol.h"

namespace {

using harness::app::AsBytes;
using harness::usb::SetupPacket;

class ControlCodesReviewTest : public PortFixture {
protected:
    TestPort& OpenPort() {
        TestPort& port = PlugPort();
        EXPECT_EQ(Open(port), STATUS_SUCCESS);
        return port;
    }

    static harness::app::Result Ioctl(TestPort& port, ULONG code, std::span<const uint8_t> input,
                                      ULONG outputLength = 0) {
        return harness::app::Ioctl(port.handle, code, input, outputLength);
    }

    // Runs `second` as another application thread would, while `first`
    // waits in the driver; returns first's status.
    static NTSTATUS Concurrently(const std::function<NTSTATUS()>& first, const std::function<void()>& second) {
        harness::dispatcher::QueuePassiveWork(second, "second application thread");
        const NTSTATUS status = first();
        harness::dispatcher::RunPassiveWork();
        return status;
    }

    template <typename Record>
    static Record Get(TestPort& port, ULONG code) {
        const auto result = harness::app::Ioctl(port.handle, code, {}, sizeof(Record));
        EXPECT_EQ(result.status, STATUS_SUCCESS);
        EXPECT_EQ(result.information, sizeof(Record));
        Record record{};
        if (result.output.size() >= sizeof(Record)) std::memcpy(&record, result.output.data(), sizeof(Record));
        return record;
    }

    static ULONG ReportedBaud(TestPort& port) { return Get<SERIAL_BAUD_RATE>(port, IOCTL_SERIAL_GET_BAUD_RATE).BaudRate; }

    // The port's reported rate and frame against the chip's line coding.
    static void ExpectReportsMatchChip(TestPort& port, const char* when) {
        const auto& coding = port.chip->CurrentLineCoding();
        EXPECT_EQ(ReportedBaud(port), coding.rateWord) << when;
        const auto line = Get<SERIAL_LINE_CONTROL>(port, IOCTL_SERIAL_GET_LINE_CONTROL);
        EXPECT_EQ(line.WordLength, coding.dataBits) << when;
        EXPECT_EQ(line.Parity, coding.parity) << when;
        EXPECT_EQ(line.StopBits, coding.stopBits) << when;
    }

    static bool IsLineCoding(const SetupPacket& setup) { return setup.request == CDC_SET_LINE_CODING; }
    static bool IsFlowChars(const SetupPacket& setup) {
        return setup.request == CHIP_VENDOR_REQUEST && !setup.DeviceToHost() &&
               setup.value == (CHIP_REG_FLOW_CHARS | (CHIP_REG_FLOW_CHARS << 8));
    }
};

// SET_HANDFLOW with SERIAL_ERROR_CHAR checks the escape character, and
// LSRMST_INSERT checks the error character. A handflow change waits for
// the chip between its check and its store: an escape character accepted
// meanwhile must not end up in force together with the error character.
TEST_F(ControlCodesReviewTest, ErrorCharacterAndEscapeCharacterAreNeverBothAccepted) {
    TestPort& port = OpenPort();
    SERIAL_HANDFLOW handFlow = port.ext->handFlow;
    handFlow.ControlHandShake |= SERIAL_CTS_HANDSHAKE;  // a change the chip must be told of
    handFlow.FlowReplace |= SERIAL_ERROR_CHAR;
    harness::usb::HangControlRequests(1);

    NTSTATUS escapeStatus = STATUS_PENDING;
    const NTSTATUS handFlowStatus = Concurrently(
        [&] { return Ioctl(port, IOCTL_SERIAL_SET_HANDFLOW, AsBytes(handFlow)).status; },
        [&] {
            const UCHAR escape = 0xFE;
            escapeStatus = Ioctl(port, IOCTL_SERIAL_LSRMST_INSERT, AsBytes(escape)).status;
        });

    EXPECT_FALSE(handFlowStatus == STATUS_SUCCESS && escapeStatus == STATUS_SUCCESS);
    const auto stored = Get<SERIAL_HANDFLOW>(port, IOCTL_SERIAL_GET_HANDFLOW);
    EXPECT_FALSE(port.ext->escapeChar != 0 && (stored.FlowReplace & SERIAL_ERROR_CHAR) != 0)
        << "escape 0x" << std::hex << int(port.ext->escapeChar) << " with FlowReplace 0x" << stored.FlowReplace;
}

// A SET_CHARS the chip refuses puts the old characters back; an escape
// character checked against the refused ones meanwhile would then equal a
// flow character in force.
TEST_F(ControlCodesReviewTest, AnEscapeCharacterNeverEqualsAFlowCharacterAfterARefusedSetChars) {
    TestPort& port = OpenPort();
    const SERIAL_CHARS old = Get<SERIAL_CHARS>(port, IOCTL_SERIAL_GET_CHARS);
    SERIAL_CHARS chars = old;
    chars.XonChar = 0x21;
    chars.XoffChar = 0x23;
    harness::usb::HangControlRequests(1, IsFlowChars);

    NTSTATUS escapeStatus = STATUS_PENDING;
    const NTSTATUS charsStatus = Concurrently(
        [&] { return Ioctl(port, IOCTL_SERIAL_SET_CHARS, AsBytes(chars)).status; },
        [&] { escapeStatus = Ioctl(port, IOCTL_SERIAL_LSRMST_INSERT, AsBytes(old.XonChar)).status; });

    EXPECT_NE(charsStatus, STATUS_SUCCESS) << "the chip never answered";
    const SERIAL_CHARS now = Get<SERIAL_CHARS>(port, IOCTL_SERIAL_GET_CHARS);
    EXPECT_EQ(now.XonChar, old.XonChar);
    EXPECT_EQ(now.XoffChar, old.XoffChar);
    const UCHAR escape = port.ext->escapeChar;
    EXPECT_FALSE(escape != 0 && (escape == now.XonChar || escape == now.XoffChar))
        << "escape 0x" << std::hex << int(escape) << " (LSRMST_INSERT status 0x" << ULONG(escapeStatus) << ")";
}

// The rate and the frame travel in one line-coding record. A frame change
// sent while a rate change waits for the chip must not carry a rate that
// is then reported as not applied, nor the reverse.
TEST_F(ControlCodesReviewTest, ARateAndAFrameChangedAtOnceLeaveTheReportsMatchingTheChip) {
    TestPort& port = OpenPort();
    const SERIAL_BAUD_RATE start{9600};
    ASSERT_EQ(Ioctl(port, IOCTL_SERIAL_SET_BAUD_RATE, AsBytes(start)).status, STATUS_SUCCESS);

    // The rate's record never answered; the frame goes through.
    SERIAL_LINE_CONTROL frame{STOP_BIT_1, NO_PARITY, 8};
    const SERIAL_BAUD_RATE faster{19200};
    harness::usb::HangControlRequests(1, IsLineCoding);
    NTSTATUS frameStatus = STATUS_PENDING;
    const NTSTATUS rateStatus = Concurrently(
        [&] { return Ioctl(port, IOCTL_SERIAL_SET_BAUD_RATE, AsBytes(faster)).status; },
        [&] { frameStatus = Ioctl(port, IOCTL_SERIAL_SET_LINE_CONTROL, AsBytes(frame)).status; });
    EXPECT_NE(rateStatus, STATUS_SUCCESS);
    EXPECT_EQ(frameStatus, STATUS_SUCCESS);
    ExpectReportsMatchChip(port, "rate refused, frame applied");

    // The frame's record never answered; the rate goes through.
    frame = {STOP_BITS_2, EVEN_PARITY, 7};
    const SERIAL_BAUD_RATE slower{4800};
    harness::usb::HangControlRequests(1, IsLineCoding);
    NTSTATUS rateStatus2 = STATUS_PENDING;
    const NTSTATUS frameStatus2 = Concurrently(
        [&] { return Ioctl(port, IOCTL_SERIAL_SET_LINE_CONTROL, AsBytes(frame)).status; },
        [&] { rateStatus2 = Ioctl(port, IOCTL_SERIAL_SET_BAUD_RATE, AsBytes(slower)).status; });
    EXPECT_NE(frameStatus2, STATUS_SUCCESS);
    EXPECT_EQ(rateStatus2, STATUS_SUCCESS);
    ExpectReportsMatchChip(port, "frame refused, rate applied");
}

// Each pool allocation of a setting's control code failed in turn: the
// status tells whether the setting was applied, the reports follow the
// chip, and nothing is left allocated.
TEST_F(ControlCodesReviewTest, EveryAllocationFailureOfASettingLeavesTheReportsMatchingTheChip) {
    TestPort& port = OpenPort();
    const SERIAL_BAUD_RATE first{9600};
    ASSERT_EQ(Ioctl(port, IOCTL_SERIAL_SET_BAUD_RATE, AsBytes(first)).status, STATUS_SUCCESS);
    const ULONG tag = PORT_POOL_TAG;
    const size_t blocks = harness::pool::BlocksInUse(tag);

    const ULONG rates[] = {19200, 38400};
    const SERIAL_LINE_CONTROL frames[] = {{STOP_BIT_1, NO_PARITY, 8}, {STOP_BITS_2, ODD_PARITY, 6}};
    const SERIAL_CHARS charSets[] = {{0, 0, 0, 0, 0x11, 0x13}, {0, 0, 0, 0, 0x31, 0x33}};

    struct Setting {
        const char* name;
        std::function<NTSTATUS(int)> send;  // sends variant i (0 or 1)
        std::function<bool(int)> reportsVariant;
    };
    const Setting settings[] = {
        {"SET_BAUD_RATE",
         [&](int i) { return Ioctl(port, IOCTL_SERIAL_SET_BAUD_RATE, AsBytes(SERIAL_BAUD_RATE{rates[i]})).status; },
         [&](int i) { return ReportedBaud(port) == rates[i]; }},
        {"SET_LINE_CONTROL",
         [&](int i) { return Ioctl(port, IOCTL_SERIAL_SET_LINE_CONTROL, AsBytes(frames[i])).status; },
         [&](int i) {
             return Get<SERIAL_LINE_CONTROL>(port, IOCTL_SERIAL_GET_LINE_CONTROL).WordLength == frames[i].WordLength;
         }},
        {"SET_CHARS", [&](int i) { return Ioctl(port, IOCTL_SERIAL_SET_CHARS, AsBytes(charSets[i])).status; },
         [&](int i) { return Get<SERIAL_CHARS>(port, IOCTL_SERIAL_GET_CHARS).XonChar == charSets[i].XonChar; }},
    };
    for (const Setting& setting : settings) {
        int variant = 0;
        ASSERT_EQ(setting.send(variant), STATUS_SUCCESS) << setting.name;
        const uint64_t before = harness::pool::AllocationCount();
        variant = 1;
        ASSERT_EQ(setting.send(variant), STATUS_SUCCESS) << setting.name;
        const uint64_t count = harness::pool::AllocationCount() - before;
        ASSERT_GT(count, 0u) << setting.name << " sends nothing?";
        for (uint64_t n = 1; n <= count; ++n) {
            const int wanted = 1 - variant;
            harness::pool::FailNthAllocation(n);
            const NTSTATUS status = setting.send(wanted);
            harness::pool::ClearFaults();
            const bool applied = setting.reportsVariant(wanted);
            EXPECT_EQ(NT_SUCCESS(status), applied) << setting.name << " allocation " << n << " status 0x" << std::hex
                                                   << ULONG(status);
            ExpectReportsMatchChip(port, setting.name);
            if (applied) variant = wanted;
        }
        EXPECT_EQ(harness::pool::BlocksInUse(tag), blocks) << setting.name;
    }
}

}  // namespace
