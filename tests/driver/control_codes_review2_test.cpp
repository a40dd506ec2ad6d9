// Control codes against a port that is busy or going away: the private
// stream and pipe codes while reads, writes and waits are pending and data
// streams through the cable; settings and private codes whose chip request
// meets an unplug or a stall at every URB; the receive-buffer size racing
// the reads; what the application gets back from every private read.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "harness/kernel/io_manager.h"
#include "harness/kernel/pool.h"
#include "harness/usb/usb_bus.h"
#include "support/port_fixture.h"
#include "usb/chip_protocol.h"

namespace {

using harness::app::AsBytes;
using harness::dispatcher::kMillisecond;
using harness::dispatcher::kSecond;
using Data = std::vector<uint8_t>;

constexpr ULONG kDeviceDescriptor = 0x222000;
constexpr ULONG kConfigurationDescriptor = 0x222004;
constexpr ULONG kStringDescriptor = 0x222008;
constexpr ULONG kVendorRead = 0x222010;
constexpr ULONG kStatusPipeRead = 0x222014;
constexpr ULONG kBulkPipeWrite = 0x222018;
constexpr ULONG kBulkPipeRead = 0x22201C;
constexpr ULONG kMemoryWrite = 0x222028;
constexpr ULONG kMemoryRead = 0x22202C;
constexpr ULONG kRegisterOneBit40 = 0x222058;
constexpr ULONG kRegisterOneTest40 = 0x222060;
constexpr ULONG kChipType = 0x222068;
constexpr ULONG kRead6 = 0x222080;
constexpr ULONG kWrite6 = 0x22207C;
constexpr ULONG kStreamSwitch = 0x2220A4;
constexpr ULONG kAlwaysOne = 0x2220B0;

class ControlCodesReview2 : public PortFixture {
protected:
    TestPort& OpenPort(int generation = 2) {
        TestPort& port = PlugPort(generation);
        EXPECT_EQ(Open(port), STATUS_SUCCESS);
        return port;
    }

    // A port whose chip presents `layout`, with a loopback plug.
    TestPort& OpenPort(int generation, harness::chip::Layout layout) {
        TestPort& port = PlugPort(harness::chip::ChipConfig::ForGeneration(generation, layout));
        EXPECT_EQ(Open(port), STATUS_SUCCESS);
        return port;
    }

    static harness::app::Result Send(TestPort& port, ULONG code, const Data& input, ULONG outputLength = 0) {
        return harness::app::Ioctl(port.handle, code, input, outputLength);
    }

    // What the application got: never more than Information, never a byte
    // of the system buffer the driver did not write (the I/O manager's
    // buffer starts out as 0xA5 past the input).
    static void ExpectOnlyWrittenBytes(const harness::app::Result& r, ULONG outputLength, const char* what) {
        EXPECT_LE(r.information, outputLength) << what;
        EXPECT_EQ(r.output.size(), r.information) << what;
        if (!NT_SUCCESS(r.status)) EXPECT_EQ(r.information, 0u) << what;
    }
};

// --- The stream switch and the pipes against a busy port -------------------------------

// A write streaming through the loopback, a read collecting it and a wait
// for its characters are all pending when the tool stops the streams and
// starts them again. Each request ends once; the data that did arrive is
// the data sent, in order; once restarted the port exchanges data as
// before; the close leaves no transfer out.
TEST_F(ControlCodesReview2, StreamStopAndStartOnABusyPortLoseNothingAndEndEveryRequestOnce) {
    TestPort& port = OpenPort();
    SetBaud(port, 115200);
    SetLineControl(port, 8, NO_PARITY, STOP_BIT_1);
    SERIAL_TIMEOUTS timeouts{};
    timeouts.ReadTotalTimeoutConstant = 2000;
    SetTimeouts(port, timeouts);
    const ULONG mask = SERIAL_EV_RXCHAR;
    ASSERT_EQ(Send(port, IOCTL_SERIAL_SET_WAIT_MASK, Data(AsBytes(mask).begin(), AsBytes(mask).end())).status,
              STATUS_SUCCESS);

    const Data sent = Pattern(3000, 7);
    auto wait = harness::app::IoctlAsync(port.handle, IOCTL_SERIAL_WAIT_ON_MASK, {}, sizeof(ULONG));
    auto read = harness::app::ReadAsync(port.handle, 3000);
    auto write = harness::app::WriteAsync(port.handle, sent);
    // The chip has taken some of the looped-back bytes into the receive
    // transfer, which it returns only when full or after a pause.
    Run(20 * kMillisecond);
    ASSERT_FALSE(write->Done()) << "the write must still be streaming";
    ASSERT_GT(port.chip->TransmittedBytes().size(), 64u);

    EXPECT_EQ(Send(port, kStreamSwitch, {1, 0}).status, STATUS_SUCCESS);
    // Started again at once: the stopped transfers are still on their way
    // back from the USB stack.
    EXPECT_EQ(Send(port, kStreamSwitch, {0, 0}).status, STATUS_SUCCESS);
    harness::app::Wait(*write, 5 * kSecond);
    harness::app::Wait(*read, 5 * kSecond);
    ASSERT_TRUE(write->Done());
    ASSERT_TRUE(read->Done());
    EXPECT_TRUE(wait->Done());
    EXPECT_EQ(wait->Status(), STATUS_SUCCESS);

    // What the read got is a prefix of what went out, never a byte twice.
    const Data& got = read->Output();
    ASSERT_LE(got.size(), sent.size());
    const auto mismatch = std::mismatch(got.begin(), got.end(), sent.begin());
    EXPECT_TRUE(mismatch.first == got.end())
        << "read " << got.size() << " bytes, first wrong at " << (mismatch.first - got.begin());
    // Every byte that went out came back: the looped-back ones the stopped
    // receive transfer held included.
    EXPECT_EQ(got.size() + port.ext->rxCount, port.chip->TransmittedBytes().size());

    // The port works as before.
    harness::app::Read(port.handle, 4096);  // whatever is still buffered
    const Data tail = Bytes("after the restart");
    auto again = harness::app::ReadAsync(port.handle, static_cast<ULONG>(tail.size()));
    EXPECT_EQ(harness::app::Write(port.handle, tail).status, STATUS_SUCCESS);
    harness::app::Wait(*again, 2 * kSecond);
    EXPECT_EQ(again->Output(), tail);

    EXPECT_EQ(Close(port), STATUS_SUCCESS);
    port.handle = {};
    Run(50 * kMillisecond);
    EXPECT_EQ(port.ext->streamTransfersOut, 0);
    EXPECT_EQ(port.ext->pendingIrpCount, 1);
    EXPECT_EQ(port.ext->openCount, 0);
}

// While the receive buffer holds the far end off, the bulk-in stream is
// left stopped so that the chip's RTS flow control takes over. A stream
// start from the tool must respect that hold: a receive transfer sent
// then would take bytes the buffer has no room for.
TEST_F(ControlCodesReview2, AStreamStartLeavesTheReceiveStreamStoppedWhileTheBufferHoldsTheFarEndOff) {
    TestPort& port = OpenPort();
    SetBaud(port, 115200);
    SERIAL_HANDFLOW handFlow{};
    handFlow.FlowReplace = SERIAL_RTS_HANDSHAKE;
    handFlow.XonLimit = 0;
    // Held once 1000 - 400 characters wait in the buffer.
    handFlow.XoffLimit = static_cast<LONG>(port.ext->rxBufferSize) - 1000;
    SetHandFlow(port, handFlow);
    ASSERT_EQ(harness::app::Write(port.handle, Pattern(1000, 5)).status, STATUS_SUCCESS);
    Run(200 * kMillisecond);
    ASSERT_NE(port.ext->rxHolding & RX_HOLD_RTS, 0) << "the buffer past its XOFF point holds the far end";
    ASSERT_EQ(port.chip->PendingTransfers(0x83), 0u);
    const ULONG buffered = port.ext->rxCount;
    const size_t inChip = port.chip->RxFifoLevel();
    ASSERT_GT(inChip, 0u) << "the chip keeps what the port has no room for";

    EXPECT_EQ(Send(port, kStreamSwitch, {1, 0}).status, STATUS_SUCCESS);
    EXPECT_EQ(Send(port, kStreamSwitch, {0, 0}).status, STATUS_SUCCESS);
    Run(10 * kMillisecond);
    EXPECT_EQ(port.chip->PendingTransfers(0x81), 1u) << "the status stream runs again";
    EXPECT_EQ(port.chip->PendingTransfers(0x83), 0u) << "the receive stream stays held";
    EXPECT_EQ(port.ext->rxCount, buffered) << "nothing taken past the hold";
    EXPECT_EQ(port.chip->RxFifoLevel(), inChip);

    // Reading the buffer empty ends the hold and the stream goes on.
    SetTimeouts(port, StreamingTimeouts(50));
    EXPECT_FALSE(harness::app::Read(port.handle, 4096).output.empty());
    Run(10 * kMillisecond);
    EXPECT_EQ(port.ext->rxHolding & RX_HOLD_RTS, 0);
    EXPECT_EQ(port.chip->PendingTransfers(0x83), 1u);
}

// Private pipe transfers beside the port's own streams while the data path
// is busy, at their extremes: 64 KiB out, nothing out, nothing in.
TEST_F(ControlCodesReview2, PipeTransfersAtTheirExtremesBesideTheStreams) {
    TestPort& port = OpenPort();
    SetBaud(port, 115200);
    SetTimeouts(port, StreamingTimeouts(200));
    auto read = harness::app::ReadAsync(port.handle, 100);

    // 64 KiB take longer on the line than a request may wait (3 s): the
    // transfer is withdrawn, and the port goes on.
    const Data big = Pattern(64 * 1024, 3);
    auto r = Send(port, kBulkPipeWrite, big);
    EXPECT_TRUE(r.status == STATUS_SUCCESS || r.status == STATUS_CANCELLED) << std::hex << r.status;
    EXPECT_EQ(r.information, 0u);

    // A zero-length write still has a system buffer when it asks for output.
    r = Send(port, kBulkPipeWrite, {}, 4);
    EXPECT_TRUE(r.status == STATUS_SUCCESS || r.status == STATUS_INVALID_PARAMETER) << std::hex << r.status;
    ExpectOnlyWrittenBytes(r, 4, "zero-length pipe write");

    // A zero-length read of the bulk-in pipe: an input word gives it a
    // buffer.
    r = Send(port, kBulkPipeRead, {0, 0}, 0);
    ExpectOnlyWrittenBytes(r, 0, "zero-length pipe read");

    harness::app::Wait(*read, 2 * kSecond);
    ASSERT_TRUE(read->Done());
    Run(7 * kSecond);  // what did go of the 64 KiB leaves the line
    SetTimeouts(port, StreamingTimeouts(100));
    while (!harness::app::Read(port.handle, 4096).output.empty()) {
    }
    SetLineControl(port, 8, NO_PARITY, STOP_BIT_1);
    SERIAL_TIMEOUTS whole{};
    whole.ReadTotalTimeoutConstant = 500;
    SetTimeouts(port, whole);
    auto echo = harness::app::ReadAsync(port.handle, 4);
    EXPECT_EQ(harness::app::Write(port.handle, Bytes("next")).status, STATUS_SUCCESS);
    harness::app::Wait(*echo, kSecond);
    EXPECT_EQ(echo->Output(), Bytes("next"));
    EXPECT_EQ(Close(port), STATUS_SUCCESS);
    port.handle = {};
    Run(50 * kMillisecond);
    EXPECT_EQ(port.ext->streamTransfersOut, 0);
}

// --- What every private read hands back ------------------------------------------------

TEST_F(ControlCodesReview2, DescriptorReadsAtTheirLimitsReturnOnlyWhatTheChipSent) {
    TestPort& port = OpenPort();
    auto r = Send(port, kConfigurationDescriptor, {}, 1);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    ASSERT_EQ(r.output.size(), 1u);
    EXPECT_EQ(r.output[0], 9) << "bLength of a configuration descriptor";

    r = Send(port, kConfigurationDescriptor, {}, 4096);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    ASSERT_GE(r.output.size(), 9u);
    const size_t total = r.output[2] | (r.output[3] << 8);
    EXPECT_EQ(r.information, total) << "wTotalLength, not the buffer";

    // String 0 is the table of languages.
    r = Send(port, kStringDescriptor, {0}, 255);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    ASSERT_GE(r.output.size(), 4u);
    EXPECT_EQ(r.output[0], r.output.size());
    EXPECT_EQ(r.output[1], USB_STRING_DESCRIPTOR_TYPE);

    r = Send(port, kStringDescriptor, {255}, 255);
    ExpectOnlyWrittenBytes(r, 255, "string 255");
    if (NT_SUCCESS(r.status)) EXPECT_GE(r.output.size(), 2u);

    r = Send(port, kDeviceDescriptor, {}, 64);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, 18u);
}

// Configuration memory at its limits: a write longer than the memory's
// 8-bit addresses reach is refused before anything is sent; a read of
// 4096 bytes returns them all, and only them.
TEST_F(ControlCodesReview2, ConfigurationMemoryAtItsLimits) {
    TestPort& port = OpenPort();
    port.chip->ClearControlLog();
    Data write(4096, 0x5A);
    write[0] = 0;
    auto r = Send(port, kMemoryWrite, write, 0);
    EXPECT_EQ(r.status, STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(port.chip->ControlLog().empty());

    const int64_t start = harness::dispatcher::Now();
    r = Send(port, kMemoryRead, {0, 0}, 4096);
    const int64_t took = harness::dispatcher::Now() - start;
    ExpectOnlyWrittenBytes(r, 4096, "4096-byte memory read");
    if (NT_SUCCESS(r.status)) EXPECT_EQ(r.information, 4096u);
    std::printf("a 4096-byte configuration-memory read: status %08X after %lld ms\n", unsigned(r.status),
                static_cast<long long>(took / kMillisecond));

    // A range running past the top address is refused whole.
    r = Send(port, kMemoryRead, {0xF0, 0xFF}, 32);
    EXPECT_EQ(r.status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(r.information, 0u);
}

// Each byte of configuration memory takes two polls of its busy bit, so a
// 4096-byte read keeps the tool's thread for about a minute. The tool
// gives up after a second (CancelIoEx from another thread): the read ends
// soon after, failed, and the memory can be read again.
TEST_F(ControlCodesReview2, ALongConfigurationMemoryReadEndsSoonAfterItIsCancelled) {
    TestPort& port = OpenPort();
    harness::dispatcher::QueuePassiveWork(
        [] {
            Run(kSecond);
            for (const auto& state : harness::io::LiveIrps())
                if (state.origin == harness::io::IrpOrigin::IoManager &&
                    state.majorFunction == IRP_MJ_DEVICE_CONTROL)
                    IoCancelIrp(state.irp);
        },
        "the tool giving up");
    const int64_t start = harness::dispatcher::Now();
    const auto r = Send(port, kMemoryRead, {0, 0}, 4096);
    const int64_t took = harness::dispatcher::Now() - start;
    harness::dispatcher::RunPassiveWork();
    EXPECT_EQ(r.status, STATUS_CANCELLED);
    EXPECT_EQ(r.information, 0u);
    EXPECT_LT(took, 2 * kSecond);

    const auto again = Send(port, kMemoryRead, {0, 0}, 2);
    EXPECT_EQ(again.status, STATUS_SUCCESS);
    EXPECT_EQ(again.information, 2u);
}

// Every private code with an answer, on every generation and both layouts:
// no byte comes back that the driver did not write.
TEST_F(ControlCodesReview2, PrivateReadsOnEveryGenerationAndLayoutReturnOnlyWhatWasWritten) {
    for (auto layout : {harness::chip::Layout::OneInterface, harness::chip::Layout::TwoInterfaces}) {
        for (int generation = 0; generation <= 4; ++generation) {
            TestPort& port = OpenPort(generation, layout);
            const std::string where = "generation " + std::to_string(generation) +
                                      (layout == harness::chip::Layout::OneInterface ? " one" : " two") +
                                      " interface(s)";
            struct Probe {
                ULONG code;
                Data input;
                ULONG output;
            };
            const Probe probes[] = {
                {kChipType, {}, 16},           {kAlwaysOne, {}, 16},        {kVendorRead, {0x81, 0x00}, 16},
                {kRegisterOneTest40, {}, 16},  {kRead6, {}, 16},            {kMemoryRead, {0, 0}, 4},
                {kDeviceDescriptor, {}, 32},   {kStatusPipeRead, {}, 10},   {kWrite6, {0x12, 0x34}, 16},
                {kRegisterOneBit40, {1}, 16},  {kMemoryWrite, {0x10}, 16},
            };
            for (const Probe& p : probes) {
                const auto r = Send(port, p.code, p.input, p.output);
                const std::string what = where + ", code " + std::to_string(p.code - 0x222000);
                ExpectOnlyWrittenBytes(r, p.output, what.c_str());
                for (size_t i = 0; i < r.output.size(); ++i)
                    if (r.output.size() > 2 && i >= 2) EXPECT_NE(r.output[i], 0xA5) << what << " byte " << i;
            }
            if (ChipAtLeast(port.ext, CHIP_GEN_CLASS))
                EXPECT_EQ(Send(port, kChipType, {}, 1).output, Data{static_cast<uint8_t>(generation)}) << where;
            EXPECT_EQ(Close(port), STATUS_SUCCESS);
            port.handle = {};
        }
    }
}

// --- The receive-buffer size racing the reads -------------------------------------------

// A read waiting for data, a larger buffer queued behind it, data arriving,
// the read cancelled, a purge: nothing received is lost or handed out
// twice, and the buffer no longer in use is freed once (the pool checks at
// unload find any left over or freed twice).
TEST_F(ControlCodesReview2, QueueSizeQueuedBehindAReadKeepsEveryByte) {
    TestPort& port = OpenPort();
    SetBaud(port, 115200);
    SERIAL_TIMEOUTS timeouts{};
    timeouts.ReadTotalTimeoutConstant = 5000;
    SetTimeouts(port, timeouts);
    const ULONG oldSize = port.ext->rxBufferSize;

    auto read = harness::app::ReadAsync(port.handle, 20);
    SERIAL_QUEUE_SIZE size{};
    size.InSize = oldSize + 1;
    auto grow = harness::app::IoctlAsync(port.handle, IOCTL_SERIAL_SET_QUEUE_SIZE, AsBytes(size), 0);
    EXPECT_FALSE(grow->Done()) << "queued behind the read";
    size.InSize = oldSize + 2;
    auto growMore = harness::app::IoctlAsync(port.handle, IOCTL_SERIAL_SET_QUEUE_SIZE, AsBytes(size), 0);

    ASSERT_EQ(harness::app::Write(port.handle, Bytes("0123456789")).status, STATUS_SUCCESS);
    Run(5 * kMillisecond);
    harness::app::Cancel(*read);
    harness::app::Wait(*read, kSecond);
    harness::app::Wait(*grow, kSecond);
    harness::app::Wait(*growMore, kSecond);
    ASSERT_TRUE(read->Done());
    EXPECT_EQ(grow->Status(), STATUS_SUCCESS);
    EXPECT_EQ(growMore->Status(), STATUS_SUCCESS);
    EXPECT_EQ(port.ext->rxBufferSize, oldSize + 2);

    ASSERT_EQ(harness::app::Write(port.handle, Bytes("abc")).status, STATUS_SUCCESS);
    Run(5 * kMillisecond);
    SetTimeouts(port, StreamingTimeouts(50));
    const auto rest = harness::app::Read(port.handle, 64);
    std::string all(read->Output().begin(), read->Output().end());
    all.append(rest.output.begin(), rest.output.end());
    EXPECT_EQ(all, "0123456789abc");

    // A purge of a queued resize ends it and frees its buffer.
    auto blocker = harness::app::ReadAsync(port.handle, 20);
    SetTimeouts(port, timeouts);
    size.InSize = oldSize + 100;
    auto purged = harness::app::IoctlAsync(port.handle, IOCTL_SERIAL_SET_QUEUE_SIZE, AsBytes(size), 0);
    const ULONG purge = SERIAL_PURGE_RXABORT | SERIAL_PURGE_RXCLEAR;
    EXPECT_EQ(harness::app::Ioctl(port.handle, IOCTL_SERIAL_PURGE, AsBytes(purge), 0).status, STATUS_SUCCESS);
    harness::app::Wait(*blocker, kSecond);
    harness::app::Wait(*purged, kSecond);
    EXPECT_TRUE(purged->Done());
    EXPECT_EQ(port.ext->rxBufferSize, oldSize + 2);
}

// A size no pool can give is refused, nothing changes, nothing is kept.
TEST_F(ControlCodesReview2, AQueueSizeThePoolCannotGiveIsRefusedAndChangesNothing) {
    TestPort& port = OpenPort();
    const ULONG oldSize = port.ext->rxBufferSize;
    const size_t blocks = harness::pool::BlocksInUse();
    for (ULONG huge : {0x7FFFFFFFu, 0xFFFFFFFFu}) {
        SERIAL_QUEUE_SIZE size{};
        size.InSize = huge;
        const auto r = harness::app::Ioctl(port.handle, IOCTL_SERIAL_SET_QUEUE_SIZE, AsBytes(size), 0);
        EXPECT_EQ(r.status, STATUS_INSUFFICIENT_RESOURCES) << huge;
        EXPECT_EQ(port.ext->rxBufferSize, oldSize);
        EXPECT_EQ(harness::pool::BlocksInUse(), blocks);
    }
    ASSERT_EQ(harness::app::Write(port.handle, Bytes("ok")).status, STATUS_SUCCESS);
    Run(10 * kMillisecond);
    SetTimeouts(port, StreamingTimeouts(50));
    EXPECT_EQ(harness::app::Read(port.handle, 2).output, Bytes("ok"));
}


// --- Settings and private codes meeting an unplug or a stall at every URB -----------------

enum class UrbFault { Unplug, Stall };

class ControlCodesFaultSweep : public ControlCodesReview2 {
protected:
    // Settings and private codes through the handle, with a read, a write
    // and a wait pending around them. Every request must end by itself:
    // the synchronous ones return, the pending ones end by their time-outs
    // or with the port. Returns the requests that never ended.
    int Scenario(TestPort& port) {
        int stuck = 0;
        SERIAL_TIMEOUTS timeouts{};
        timeouts.ReadTotalTimeoutConstant = 50;
        timeouts.WriteTotalTimeoutConstant = 200;
        harness::app::Ioctl(port.handle, IOCTL_SERIAL_SET_TIMEOUTS, AsBytes(timeouts), 0);
        const ULONG mask = SERIAL_EV_RXCHAR | SERIAL_EV_CTS;
        harness::app::Ioctl(port.handle, IOCTL_SERIAL_SET_WAIT_MASK, AsBytes(mask), 0);
        auto wait = harness::app::IoctlAsync(port.handle, IOCTL_SERIAL_WAIT_ON_MASK, {}, sizeof(ULONG));
        auto read = harness::app::ReadAsync(port.handle, 8);

        SERIAL_BAUD_RATE rate{115200};
        harness::app::Ioctl(port.handle, IOCTL_SERIAL_SET_BAUD_RATE, AsBytes(rate), 0);
        SERIAL_HANDFLOW handFlow{};
        handFlow.ControlHandShake = SERIAL_DTR_CONTROL | SERIAL_CTS_HANDSHAKE;
        handFlow.FlowReplace = SERIAL_RTS_HANDSHAKE | SERIAL_AUTO_TRANSMIT | SERIAL_AUTO_RECEIVE;
        handFlow.XonLimit = 100;
        handFlow.XoffLimit = 100;
        harness::app::Ioctl(port.handle, IOCTL_SERIAL_SET_HANDFLOW, AsBytes(handFlow), 0);
        auto write = harness::app::WriteAsync(port.handle, Bytes("sweep"));
        Send(port, kRegisterOneBit40, {1}, 0);
        Send(port, kRead6, {}, 2);
        Send(port, kMemoryRead, {0, 0}, 2);
        Send(port, kStreamSwitch, {1, 0});
        Send(port, kBulkPipeWrite, {'x'});
        Send(port, kStreamSwitch, {0, 0});
        SERIAL_LINE_CONTROL frame{};
        frame.WordLength = 7;
        frame.Parity = EVEN_PARITY;
        harness::app::Ioctl(port.handle, IOCTL_SERIAL_SET_LINE_CONTROL, AsBytes(frame), 0);
        harness::app::Ioctl(port.handle, IOCTL_SERIAL_SET_DTR, {}, 0);

        for (auto* request : {read.get(), write.get()}) {
            if (harness::app::Wait(*request, 5 * kSecond)) continue;
            ++stuck;
            harness::app::Cancel(*request);
            harness::app::Wait(*request);
        }
        // The wait may rightly wait on; the close ends it.
        if (!wait->Done()) harness::app::Cancel(*wait);
        harness::app::Wait(*wait);
        return stuck;
    }

    // One life with `fault` at the `n`th URB from the open on (0: none);
    // returns the URBs the scenario sent.
    uint64_t Life(UrbFault fault, uint64_t n) {
        TestPort& port = PlugPort();
        EXPECT_EQ(Open(port), STATUS_SUCCESS);
        const uint64_t before = harness::usb::SubmittedUrbCount();
        if (n != 0) {
            if (fault == UrbFault::Unplug) harness::usb::UnplugAtUrb(n);
            else harness::usb::StallAtUrb(n);
        }
        EXPECT_EQ(Scenario(port), 0) << "a read or write never ended";
        const uint64_t urbs = harness::usb::SubmittedUrbCount() - before;
        harness::usb::ClearFaults();
        if (harness::usb::IsUnplugged(port.device->pdo)) harness::pnp::UnplugDevice(port.device);
        EXPECT_EQ(harness::app::Close(port.handle), STATUS_SUCCESS);
        port.handle = {};
        harness::app::RunDeferredWork();
        if (!port.device->removed && port.device->state != harness::pnp::PnpState::SurpriseRemoved) {
            Run(100 * kMillisecond);
            EXPECT_EQ(port.ext->streamTransfersOut, 0);
            EXPECT_EQ(port.ext->pendingIrpCount, 1);
            EXPECT_EQ(harness::pnp::RemoveDevice(port.device), STATUS_SUCCESS);
        }
        EXPECT_EQ(harness::io::LiveIrpCount(), 0u);
        return urbs;
    }

    void Sweep(UrbFault fault) {
        const uint64_t urbs = Life(fault, 0);
        ASSERT_GT(urbs, 10u);
        // The unload at the end of each life finds any pool left behind;
        // the verifier's reports are collected by the fixture.
        const std::string kind = fault == UrbFault::Unplug ? "unplugged at URB " : "stalled at URB ";
        for (uint64_t n = 1; n <= urbs + 1; ++n) {
            {
                // What the previous life left is found as it is torn down.
                SCOPED_TRACE(n == 1 ? std::string("the clean life") : kind + std::to_string(n - 1));
                TearDown();
            }
            SetUp();
            if (n > urbs) break;
            SCOPED_TRACE(kind + std::to_string(n));
            Life(fault, n);
        }
    }
};

TEST_F(ControlCodesFaultSweep, AnUnplugAtEveryUrbEndsEveryRequestOnceAndLeaksNothing) { Sweep(UrbFault::Unplug); }

TEST_F(ControlCodesFaultSweep, AStallAtEveryUrbEndsEveryRequestOnceAndLeaksNothing) { Sweep(UrbFault::Stall); }


// --- A control code in its chip request when the handle closes or the chip goes --------

bool IsLineCoding(const harness::usb::SetupPacket& setup) { return setup.request == CDC_SET_LINE_CODING; }
bool IsVendorRead(const harness::usb::SetupPacket& setup) {
    return setup.request == CHIP_VENDOR_REQUEST && setup.DeviceToHost();
}

// The application closes the handle from another thread while a rate
// change waits for a chip that does not answer: the request ends with the
// request time-out, the close follows it, and the port opens again with
// the rate the chip runs.
TEST_F(ControlCodesReview2, AHandleClosedWhileARateChangeWaitsForTheChipEndsBothOnce) {
    TestPort& port = OpenPort();
    SetBaud(port, 19200);
    harness::usb::HangControlRequests(1, IsLineCoding);
    harness::app::Handle handle = port.handle;
    harness::dispatcher::QueuePassiveWork([handle] { harness::app::Close(handle); }, "closing thread");
    const int64_t start = harness::dispatcher::Now();
    SERIAL_BAUD_RATE rate{9600};
    const auto r = harness::app::Ioctl(port.handle, IOCTL_SERIAL_SET_BAUD_RATE, AsBytes(rate), 0);
    const int64_t took = harness::dispatcher::Now() - start;
    harness::dispatcher::RunPassiveWork();
    harness::app::RunDeferredWork();
    port.handle = {};
    EXPECT_FALSE(NT_SUCCESS(r.status)) << std::hex << r.status;
    EXPECT_LE(took, 3 * kSecond + 100 * kMillisecond);
    EXPECT_EQ(harness::app::OpenHandleCount(), 0u);
    EXPECT_EQ(port.ext->openCount, 0);
    EXPECT_EQ(port.ext->pendingIrpCount, 1);
    Run(50 * kMillisecond);
    EXPECT_EQ(port.ext->streamTransfersOut, 0);

    ASSERT_EQ(Open(port), STATUS_SUCCESS);
    const auto reported = harness::app::Ioctl(port.handle, IOCTL_SERIAL_GET_BAUD_RATE, {}, sizeof(ULONG));
    ASSERT_EQ(reported.output.size(), sizeof(ULONG));
    ULONG baud = 0;
    std::memcpy(&baud, reported.output.data(), sizeof baud);
    EXPECT_EQ(baud, port.chip->CurrentLineCoding().rateWord);
}

// The chip is pulled out while a private register code waits for its
// answer: the request fails at once (not after the request time-out), the
// removal that follows finds nothing outstanding, and nothing is left.
TEST_F(ControlCodesReview2, AnUnplugWhileAPrivateCodeWaitsForTheChipEndsItAtOnce) {
    TestPort& port = OpenPort();
    auto read = harness::app::ReadAsync(port.handle, 10);
    harness::usb::HangControlRequests(1, IsVendorRead);
    PDEVICE_OBJECT pdo = port.device->pdo;
    harness::dispatcher::QueuePassiveWork([pdo] { harness::usb::Unplug(pdo); }, "the chip pulled out");
    const int64_t start = harness::dispatcher::Now();
    const auto r = Send(port, kRegisterOneTest40, {}, 1);
    EXPECT_LT(harness::dispatcher::Now() - start, 100 * kMillisecond);
    EXPECT_FALSE(NT_SUCCESS(r.status)) << std::hex << r.status;
    EXPECT_EQ(r.information, 0u);
    harness::dispatcher::RunPassiveWork();

    harness::pnp::UnplugDevice(port.device);
    harness::app::Wait(*read, kSecond);
    EXPECT_TRUE(read->Done());
    EXPECT_EQ(Send(port, kChipType, {}, 1).status, STATUS_DELETE_PENDING);
    EXPECT_EQ(harness::app::Close(port.handle), STATUS_SUCCESS);
    port.handle = {};
    harness::app::RunDeferredWork();
    EXPECT_TRUE(port.device->removed);
    EXPECT_EQ(harness::io::LiveIrpCount(), 0u);
}

// --- The error abort ----------------------------------------------------------------------

// A line error under SERIAL_ERROR_ABORT ends the pending read; the wait for
// a character, not a read or write, is answered by the errored character; every code but the status read is refused
// until the status is read, which returns the error once, even when a
// second error arrives while a setting waits for the chip.
TEST_F(ControlCodesReview2, AnErrorAbortEndsReadsAnswersTheWaitAndLiftsOnceTheStatusIsRead) {
    TestPort& port = PlugScriptedPort();
    ASSERT_EQ(Open(port), STATUS_SUCCESS);
    SetBaud(port, 9600);
    SetLineControl(port, 8, EVEN_PARITY, STOP_BIT_1);
    SERIAL_HANDFLOW handFlow = {};
    {
        const auto r = harness::app::Ioctl(port.handle, IOCTL_SERIAL_GET_HANDFLOW, {}, sizeof handFlow);
        std::memcpy(&handFlow, r.output.data(), sizeof handFlow);
    }
    handFlow.ControlHandShake |= SERIAL_ERROR_ABORT;
    SetHandFlow(port, handFlow);
    SERIAL_TIMEOUTS timeouts{};
    timeouts.ReadTotalTimeoutConstant = 5000;
    SetTimeouts(port, timeouts);
    const ULONG mask = SERIAL_EV_RXCHAR;
    ASSERT_EQ(harness::app::Ioctl(port.handle, IOCTL_SERIAL_SET_WAIT_MASK, AsBytes(mask), 0).status, STATUS_SUCCESS);
    auto wait = harness::app::IoctlAsync(port.handle, IOCTL_SERIAL_WAIT_ON_MASK, {}, sizeof(ULONG));
    auto read = harness::app::ReadAsync(port.handle, 10);

    peer_->SendWithParityError('x');
    Run(50 * kMillisecond);
    ASSERT_TRUE(read->Done());
    EXPECT_EQ(read->Status(), STATUS_CANCELLED);
    ASSERT_TRUE(wait->Done());
    EXPECT_EQ(wait->Status(), STATUS_SUCCESS);
    ASSERT_EQ(wait->Output().size(), sizeof(ULONG));
    EXPECT_EQ(wait->Output()[0], SERIAL_EV_RXCHAR);

    const ULONG purge = SERIAL_PURGE_RXCLEAR;
    EXPECT_EQ(harness::app::Ioctl(port.handle, IOCTL_SERIAL_PURGE, AsBytes(purge), 0).status, STATUS_CANCELLED);
    EXPECT_EQ(harness::app::Read(port.handle, 1).status, STATUS_CANCELLED);

    auto commErrors = [&port] {
        const auto r = harness::app::Ioctl(port.handle, IOCTL_SERIAL_GET_COMMSTATUS, {}, 20);
        EXPECT_EQ(r.status, STATUS_SUCCESS);
        ULONG e = 0;
        if (r.output.size() >= sizeof e) std::memcpy(&e, r.output.data(), sizeof e);
        return e;
    };
    EXPECT_EQ(commErrors(), ULONG(SERIAL_ERROR_PARITY));
    EXPECT_EQ(commErrors(), 0u) << "reported once";

    // A second error while a rate change, admitted before it, waits for
    // the chip: the change goes through, and the abort holds from then on.
    harness::usb::HangControlRequests(1, IsLineCoding);
    harness::dispatcher::QueuePassiveWork(
        [this] {
            peer_->SendWithFramingError('y');
            Run(50 * kMillisecond);
        },
        "far end");
    SERIAL_BAUD_RATE rate{19200};
    harness::app::Ioctl(port.handle, IOCTL_SERIAL_SET_BAUD_RATE, AsBytes(rate), 0);
    harness::dispatcher::RunPassiveWork();
    harness::usb::ClearFaults();
    Run(50 * kMillisecond);
    EXPECT_EQ(harness::app::Ioctl(port.handle, IOCTL_SERIAL_PURGE, AsBytes(purge), 0).status, STATUS_CANCELLED);
    EXPECT_EQ(commErrors(), ULONG(SERIAL_ERROR_FRAMING));
    EXPECT_EQ(harness::app::Ioctl(port.handle, IOCTL_SERIAL_PURGE, AsBytes(purge), 0).status, STATUS_SUCCESS);
}

}  // namespace
