// The receive side end to end: characters from a far end through the chip,
// the bulk-in stream and its walk, the receive holds and the read path, to
// an application whose reads wait, time out and are cancelled at arbitrary
// moments. Whatever the application does, every character it is sent
// reaches it exactly once and in order (a cancelled read gives its
// characters back), and the receive flow control keeps the buffer from
// overrunning.
#include <gtest/gtest.h>

#include "harness/app/user_io.h"
#include "harness/kernel/dispatcher.h"
#include "harness/kernel/memory_manager.h"
#include "harness/kernel/memory_manager.h"
#include "io/read_path.h"
#include "read_test_port.h"
#include "serial/modem_lines.h"
#include "usb/chip_protocol.h"
#include "usb/chip_protocol.h"
#include "support/port_fixture.h"

namespace {

using harness::dispatcher::kMillisecond;
using harness::dispatcher::kSecond;

class ReceiveEndToEndTest : public PortFixture {
protected:
    // A tiny deterministic generator, so that a failing run can be replayed.
    uint32_t Next() {
        seed_ ^= seed_ << 13;
        seed_ ^= seed_ >> 17;
        seed_ ^= seed_ << 5;
        return seed_;
    }

    SERIAL_TIMEOUTS AnyTimeouts() {
        SERIAL_TIMEOUTS t{};
        switch (Next() % 5) {
        case 0:  // interval only
            t.ReadIntervalTimeout = 1 + Next() % 10;
            break;
        case 1:  // whatever has arrived, or wait for one character
            t = StreamingTimeouts(1 + Next() % 50);
            break;
        case 2:  // a total time-out
            t.ReadTotalTimeoutConstant = 1 + Next() % 40;
            break;
        case 3:  // return at once with what is buffered
            t.ReadIntervalTimeout = MAXULONG;
            break;
        default:  // interval and total
            t.ReadIntervalTimeout = 2;
            t.ReadTotalTimeoutMultiplier = 1;
            t.ReadTotalTimeoutConstant = 5;
            break;
        }
        return t;
    }

    // Reads until `expected` bytes arrived or the virtual deadline passed.
    // Some reads are cancelled while they wait; now and then the
    // application stops reading for a while, so that the buffer fills and
    // the holds start. A cancelled read gives back what it held, which the
    // buffer can only take with room to spare for the transfer in flight:
    // the reads that are to be cancelled are kept below that.
    std::vector<uint8_t> ReadEverything(TestPort& port, size_t expected) {
        std::vector<uint8_t> got;
        const int64_t deadline = harness::dispatcher::Now() + 120 * kSecond;
        const ULONG cancellable = port.ext->rxBufferSize - RECEIVE_TRANSFER_LENGTH;
        while (got.size() < expected && harness::dispatcher::Now() < deadline) {
            SetTimeouts(port, AnyTimeouts());
            const bool cancel = Next() % 3 == 0;
            const ULONG length = 1 + Next() % (cancel ? cancellable : 6000);
            auto read = harness::app::ReadAsync(port.handle, length);
            if (!read->Done() && cancel) {
                Run((1 + Next() % 20) * kMillisecond);
                harness::app::Cancel(*read);
            }
            if (!harness::app::Wait(*read, 10 * kSecond)) {
                ADD_FAILURE() << "a read never ended";
                harness::app::Cancel(*read);
                EXPECT_TRUE(harness::app::Wait(*read, kSecond)) << "a cancelled read never ended";
                return got;
            }
            const NTSTATUS status = read->Status();
            EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_TIMEOUT || status == STATUS_CANCELLED)
                << std::hex << status;
            if (status == STATUS_CANCELLED) EXPECT_EQ(read->Information(), 0u);
            got.insert(got.end(), read->Output().begin(), read->Output().end());
            if (Next() % 8 == 0) Run((50 + Next() % 400) * kMillisecond);
        }
        return got;
    }

    // 115200 8N1 with the RTS handshake, the far end honouring RTS.
    void OpenUnderRtsHandshake(TestPort& port) {
        ASSERT_EQ(Open(port), STATUS_SUCCESS);
        SetBaud(port, 115200);
        SetLineControl(port, 8, NO_PARITY, STOP_BIT_1);
        SERIAL_HANDFLOW handFlow = port.ext->handFlow;
        handFlow.ControlHandShake = SERIAL_DTR_CONTROL;
        handFlow.FlowReplace = SERIAL_RTS_HANDSHAKE;
        SetHandFlow(port, handFlow);
        peer_->HonourRts(true);
    }

    // The far end sends under RTS handshake while the application reads.
    // On a medium system the buffer is 1024 bytes and the stream hold
    // starts at 496 characters, below XonLimit (512): the hold must still end.
    void DeliversEverythingUnderRtsHandshake(int generation) {
        harness::dispatcher::SetTimeIncrement(kMillisecond);
        for (uint32_t seed : {1u, 7u, 99u, 1001u, 4242u}) {
            seed_ = seed;
            harness::mm::SetSystemSize(seed > 100 ? MmMediumSystem : MmLargeSystem);
            TestPort& port = ports_.empty() ? PlugScriptedPort(generation) : *ports_.front();
            ASSERT_NO_FATAL_FAILURE(OpenUnderRtsHandshake(port));

            const std::vector<uint8_t> sent = Pattern(40000, seed);
            peer_->Send(sent);
            const std::vector<uint8_t> got = ReadEverything(port, sent.size());
            EXPECT_EQ(port.ext->rxBufferSize, seed > 100 ? 1024u : 4096u);
            ASSERT_EQ(got.size(), sent.size()) << "seed " << seed << ", overruns "
                                               << port.ext->perfStats.BufferOverrunErrorCount;
            EXPECT_TRUE(got == sent) << "seed " << seed << ": characters lost, repeated or reordered";
            EXPECT_EQ(port.ext->perfStats.BufferOverrunErrorCount, 0u) << "seed " << seed;
            ASSERT_EQ(Close(port), STATUS_SUCCESS);
            Run(100 * kMillisecond);
        }
    }

    uint32_t seed_ = 12345;
};

TEST_F(ReceiveEndToEndTest, RtsHandshakeDeliversEveryCharacterOnceThroughTimeoutsAndCancels) {
    DeliversEverythingUnderRtsHandshake(2);
}

// A generation-1 chip has no RTS flow control of its own: the driver drops
// and raises RTS itself around the hold, or a far end that keeps sending
// overruns the chip's FIFO while the bulk-in stream stands still.
TEST_F(ReceiveEndToEndTest, RtsHandshakeOnAGeneration1ChipHoldsTheFarEndOff) {
    DeliversEverythingUnderRtsHandshake(1);
}

// The far end is held off by the RTS hold on a full medium-system buffer;
// a larger queue size, or a purge of the buffer, ends the hold and the
// stream reads on: nothing stalls and nothing is lost but what was purged.
TEST_F(ReceiveEndToEndTest, AQueueSizeChangeOrAPurgeEndsTheHoldAndTheStreamReadsOn) {
    harness::dispatcher::SetTimeIncrement(kMillisecond);
    harness::mm::SetSystemSize(MmMediumSystem);
    for (bool purge : {false, true}) {
        TestPort& port = ports_.empty() ? PlugScriptedPort(2) : *ports_.front();
        ASSERT_NO_FATAL_FAILURE(OpenUnderRtsHandshake(port));
        const std::vector<uint8_t> sent = Pattern(3000, purge ? 2 : 1);
        peer_->Send(sent);
        Run(kSecond);
        ASSERT_EQ(port.ext->rxHolding, RX_HOLD_RTS);
        ASSERT_FALSE(StreamOutstanding(port.ext, STREAM_BULK_IN));
        const ULONG held = port.ext->rxCount;

        if (purge) {
            const ULONG mask = SERIAL_PURGE_RXCLEAR;
            EXPECT_EQ(harness::app::Ioctl(port.handle, IOCTL_SERIAL_PURGE, harness::app::AsBytes(mask), 0).status,
                      STATUS_SUCCESS);
        } else {
            SERIAL_QUEUE_SIZE size{8192, 0};
            EXPECT_EQ(
                harness::app::Ioctl(port.handle, IOCTL_SERIAL_SET_QUEUE_SIZE, harness::app::AsBytes(size), 0).status,
                STATUS_SUCCESS);
            EXPECT_EQ(port.ext->rxBufferSize, 8192u);
        }
        EXPECT_EQ(port.ext->rxHolding, 0);
        Run(kSecond);
        SERIAL_TIMEOUTS timeouts{};
        timeouts.ReadIntervalTimeout = MAXULONG;
        SetTimeouts(port, timeouts);
        // The purged buffer is the small one: it holds the far end off again
        // and again until everything has been read.
        std::vector<uint8_t> got;
        for (int i = 0; i < 20 && got.size() < sent.size() - (purge ? held : 0); ++i) {
            const auto result = harness::app::Read(port.handle, 8192);
            got.insert(got.end(), result.output.begin(), result.output.end());
            Run(100 * kMillisecond);
        }
        const std::vector<uint8_t> expected(sent.begin() + (purge ? held : 0), sent.end());
        EXPECT_EQ(got.size(), expected.size()) << (purge ? "purge" : "queue size");
        EXPECT_TRUE(got == expected) << (purge ? "purge" : "queue size");
        EXPECT_EQ(port.ext->perfStats.BufferOverrunErrorCount, 0u);
        ASSERT_EQ(Close(port), STATUS_SUCCESS);
        Run(100 * kMillisecond);
    }
}

// A read far larger than the receive buffer takes everything directly and
// ends by its total time-out with all of it; one-character reads then take
// what is left one at a time.
TEST_F(ReceiveEndToEndTest, AHugeReadTakesEverythingDirectlyAndOneCharacterReadsTheRest) {
    harness::dispatcher::SetTimeIncrement(kMillisecond);
    TestPort& port = PlugScriptedPort(2);
    ASSERT_EQ(Open(port), STATUS_SUCCESS);
    SetBaud(port, 115200);
    SetLineControl(port, 8, NO_PARITY, STOP_BIT_1);
    SERIAL_TIMEOUTS timeouts{};
    timeouts.ReadTotalTimeoutConstant = 3000;
    SetTimeouts(port, timeouts);
    const std::vector<uint8_t> sent = Pattern(20000, 5);
    auto read = harness::app::ReadAsync(port.handle, 1u << 20);
    peer_->Send(sent);
    ASSERT_TRUE(harness::app::Wait(*read, 5 * kSecond));
    EXPECT_EQ(read->Status(), STATUS_TIMEOUT);
    EXPECT_TRUE(read->Output() == sent);
    EXPECT_EQ(port.ext->perfStats.BufferOverrunErrorCount, 0u);

    peer_->Send("xyz");
    Run(10 * kMillisecond);
    timeouts = StreamingTimeouts(10);
    SetTimeouts(port, timeouts);
    std::string rest;
    for (int i = 0; i < 4; ++i) {
        const auto one = harness::app::Read(port.handle, 1);
        rest.append(one.output.begin(), one.output.end());
    }
    EXPECT_EQ(rest, "xyz");
}

}  // namespace
