// The port as an application sees it through ReadFile, WriteFile and the
// serial control codes: which status and Information each request ends
// with at the edges of its parameters (buffer sizes, masks, time-outs at 0
// and MAXULONG), and the error-abort rule.
#include "tests/driver/write_test_port.h"

namespace {

using namespace write_test;
using Request = std::shared_ptr<harness::app::Request>;

class SerialSemanticsTest : public WritePortTest {
protected:
    Request Read(ULONG length) { return harness::app::ReadAsync(Handle(), length); }
    Request Ioctl(ULONG code, std::span<const uint8_t> input, ULONG outputLength = 0) {
        return harness::app::IoctlAsync(Handle(), code, input, outputLength);
    }
    Request IoctlValue(ULONG code, ULONG value) {
        return Ioctl(code, harness::app::AsBytes(value), 0);
    }
    Request Flush() { return harness::app::FlushAsync(Handle()); }

    void SetReadTimeouts(ULONG interval, ULONG multiplier, ULONG constant) {
        SERIAL_TIMEOUTS timeouts = Ext()->timeouts;
        timeouts.ReadIntervalTimeout = interval;
        timeouts.ReadTotalTimeoutMultiplier = multiplier;
        timeouts.ReadTotalTimeoutConstant = constant;
        SetTimeouts(*port_, timeouts);
    }
    void UseErrorAbort() {
        SERIAL_HANDFLOW handFlow = Ext()->handFlow;
        handFlow.ControlHandShake |= SERIAL_ERROR_ABORT;
        SetHandFlow(*port_, handFlow);
    }
    // What reading the communication status does to the error state.
    void ClearErrors() {
        KIRQL irql;
        KeAcquireSpinLock(&Ext()->controlLock, &irql);
        Ext()->errorWord = 0;
        KeReleaseSpinLock(&Ext()->controlLock, irql);
    }

    static void ExpectEnded(const Request& request, NTSTATUS status, ULONG_PTR information,
                            const char* what) {
        EXPECT_TRUE(request->Done()) << what;
        EXPECT_EQ(request->Status(), status) << what;
        EXPECT_EQ(request->Information(), information) << what;
    }
};

// With SERIAL_ERROR_ABORT, a line error ends every read and write in the
// driver with STATUS_CANCELLED, and every later one fails the same way
// until the error state is cleared.
// Reaches into the host build (see support/driver_build.h).
using SerialSemanticsTestHostBuildOnly = SerialSemanticsTest;

TEST_F(SerialSemanticsTestHostBuildOnly, ALineErrorUnderErrorAbortFailsEveryReadAndWriteUntilCleared) {
    OpenScriptedPort(115200);
    UseErrorAbort();
    auto read = Read(10);
    auto queuedRead = Read(4);
    HoldForCts(true);
    auto write = Write(Bytes("held"));
    auto queuedWrite = Write(Bytes("behind"));
    harness::dispatcher::RunFor(10 * kMillisecond);
    ASSERT_FALSE(read->Done());

    peer_->SendWithParityError('x');
    ASSERT_TRUE(Wait(*read, kSecond));
    ASSERT_TRUE(Wait(*queuedWrite, kSecond));
    ExpectEnded(read, STATUS_CANCELLED, 0, "waiting read");
    ExpectEnded(queuedRead, STATUS_CANCELLED, 0, "queued read");
    ExpectEnded(write, STATUS_CANCELLED, 0, "held write");
    ExpectEnded(queuedWrite, STATUS_CANCELLED, 0, "queued write");
    EXPECT_EQ(Ext()->charsQueued, 0u);

    ExpectEnded(Read(1), STATUS_CANCELLED, 0, "read after the error");
    ExpectEnded(Write(Bytes("x")), STATUS_CANCELLED, 0, "write after the error");
    ExpectEnded(Flush(), STATUS_CANCELLED, 0, "flush after the error");
    ExpectEnded(Immediate('i'), STATUS_CANCELLED, 0, "immediate character after the error");
    ExpectEnded(IoctlValue(IOCTL_SERIAL_PURGE, SERIAL_PURGE_RXCLEAR), STATUS_CANCELLED, 0, "purge after the error");

    ClearErrors();
    HoldForCts(false);
    auto after = Write(Bytes("ok"));
    ASSERT_TRUE(Wait(*after, kSecond));
    ExpectEnded(after, STATUS_SUCCESS, 2, "write once cleared");
    EXPECT_EQ(peer_->ReceivedText(), "ok");
}

// Zero-length reads and writes succeed at once with nothing transferred,
// even with requests of their kind waiting ahead of them.
TEST_F(SerialSemanticsTestHostBuildOnly, ZeroLengthReadsAndWritesSucceedAtOnceBesideWaitingOnes) {
    OpenScriptedPort(115200);
    auto waiting = Read(4);
    HoldForCts(true);
    auto held = Write(Bytes("abc"));
    harness::dispatcher::RunFor(10 * kMillisecond);

    ExpectEnded(Read(0), STATUS_SUCCESS, 0, "empty read");
    ExpectEnded(Write({}), STATUS_SUCCESS, 0, "empty write");
    EXPECT_FALSE(waiting->Done());
    EXPECT_FALSE(held->Done());
    EXPECT_EQ(Ext()->charsQueued, 3u);

    HoldForCts(false);
    SendWriteChunk(Ext());
    ASSERT_TRUE(Wait(*held, kSecond));
    ExpectEnded(held, STATUS_SUCCESS, 3, "held write");
    peer_->Send("wxyz");
    ASSERT_TRUE(Wait(*waiting, kSecond));
    ExpectEnded(waiting, STATUS_SUCCESS, 4, "waiting read");
}

// MAXULONG in every read time-out field is refused: the time-outs in
// force (none) stay, and the read waits for every character.
TEST_F(SerialSemanticsTest, ReadTimeOutsAllMaxulongAreRefusedAndTheReadWaitsForEveryCharacter) {
    OpenScriptedPort(115200);
    SetReadTimeouts(0, 0, 0);
    SERIAL_TIMEOUTS allMax = Ext()->timeouts;
    allMax.ReadIntervalTimeout = allMax.ReadTotalTimeoutMultiplier = allMax.ReadTotalTimeoutConstant = MAXULONG;
    ExpectEnded(Ioctl(IOCTL_SERIAL_SET_TIMEOUTS, harness::app::AsBytes(allMax)), STATUS_INVALID_PARAMETER, 0,
                "all three read time-outs MAXULONG");
    auto read = Read(3);
    peer_->Send("ab");
    harness::dispatcher::RunFor(30 * kSecond);
    EXPECT_FALSE(read->Done());
    peer_->Send("c");
    ASSERT_TRUE(Wait(*read, kSecond));
    ExpectEnded(read, STATUS_SUCCESS, 3, "read");
    EXPECT_EQ(std::string(read->Output().begin(), read->Output().end()), "abc");
}

// Totals whose product does not fit any 32- or 64-bit tick count are as
// good as none; a wait that is cancelled gives back what it held.
TEST_F(SerialSemanticsTest, HugeReadTotalsNeverEndEarlyAndACancelReportsNothing) {
    OpenScriptedPort(115200);
    SetReadTimeouts(0, MAXULONG, MAXULONG);
    auto read = Read(8);
    peer_->Send("abc");
    harness::dispatcher::RunFor(60 * kSecond);
    EXPECT_FALSE(read->Done());
    harness::app::Cancel(*read);
    ExpectEnded(read, STATUS_CANCELLED, 0, "cancelled read");
    // Not lost: the next read finds them.
    SetReadTimeouts(MAXULONG, 0, 0);
    auto next = Read(8);
    ASSERT_TRUE(Wait(*next, kSecond));
    ExpectEnded(next, STATUS_SUCCESS, 3, "next read");
}

// A write that times out reports exactly the characters that went out.
TEST_F(SerialSemanticsTest, AWriteTimeOutReportsExactlyWhatReachedTheLine) {
    OpenScriptedPort(9600);
    SetWriteTimeouts(0, 1000);
    const auto data = Pattern(4000);
    auto write = Write(data);
    ASSERT_TRUE(Wait(*write, 10 * kSecond));
    EXPECT_EQ(write->Status(), STATUS_TIMEOUT);
    EXPECT_GT(write->Information(), 0u);
    EXPECT_LT(write->Information(), data.size());
    EXPECT_EQ(Wire().size(), write->Information());
}

TEST_F(SerialSemanticsTestHostBuildOnly, HugeWriteTotalsNeverEndEarly) {
    OpenScriptedPort(115200);
    SetWriteTimeouts(MAXULONG, MAXULONG);
    HoldForCts(true);
    auto write = Write(Pattern(100));
    auto immediate = Immediate('i');
    harness::dispatcher::RunFor(60 * kSecond);
    EXPECT_FALSE(write->Done());
    ASSERT_TRUE(Wait(*immediate, kSecond));
    ExpectEnded(immediate, STATUS_SUCCESS, 0, "immediate character");
    harness::app::Cancel(*write);
    ExpectEnded(write, STATUS_CANCELLED, 0, "cancelled write");
}

// Buffer sizes and masks of the wait-mask control codes.
TEST_F(SerialSemanticsTest, WaitMaskCodesCheckTheirBuffersAndMasks) {
    OpenScriptedPort(115200);
    const uint8_t two[2] = {1, 0};
    ExpectEnded(Ioctl(IOCTL_SERIAL_SET_WAIT_MASK, two), STATUS_BUFFER_TOO_SMALL, 0, "short mask");
    ExpectEnded(IoctlValue(IOCTL_SERIAL_SET_WAIT_MASK, 0x2000u), STATUS_INVALID_PARAMETER, 0, "undefined bit");
    ExpectEnded(IoctlValue(IOCTL_SERIAL_SET_WAIT_MASK, 0x1FFFu), STATUS_SUCCESS, 0, "every defined bit");
    auto get = Ioctl(IOCTL_SERIAL_GET_WAIT_MASK, {}, 4);
    ExpectEnded(get, STATUS_SUCCESS, 4, "get mask");
    EXPECT_EQ(get->Output(), (std::vector<uint8_t>{0xFF, 0x1F, 0, 0}));
    ExpectEnded(Ioctl(IOCTL_SERIAL_GET_WAIT_MASK, {}, 3), STATUS_BUFFER_TOO_SMALL, 0, "short get");
    ExpectEnded(Ioctl(IOCTL_SERIAL_WAIT_ON_MASK, {}, 3), STATUS_BUFFER_TOO_SMALL, 0, "short wait");

    auto wait = Ioctl(IOCTL_SERIAL_WAIT_ON_MASK, {}, 4);
    EXPECT_FALSE(wait->Done());
    ExpectEnded(IoctlValue(IOCTL_SERIAL_SET_WAIT_MASK, 0u), STATUS_SUCCESS, 0, "mask 0");
    ASSERT_TRUE(Wait(*wait, kSecond));
    ExpectEnded(wait, STATUS_SUCCESS, 4, "wait ended by the new mask");
    EXPECT_EQ(wait->Output(), (std::vector<uint8_t>{0, 0, 0, 0}));
    ExpectEnded(Ioctl(IOCTL_SERIAL_WAIT_ON_MASK, {}, 4), STATUS_INVALID_PARAMETER, 0, "wait with mask 0");
}

TEST_F(SerialSemanticsTest, PurgeRefusesMaskZeroAndUndefinedBits) {
    OpenScriptedPort(115200);
    ExpectEnded(IoctlValue(IOCTL_SERIAL_PURGE, 0u), STATUS_INVALID_PARAMETER, 0, "mask 0");
    ExpectEnded(IoctlValue(IOCTL_SERIAL_PURGE, 0x10u), STATUS_INVALID_PARAMETER, 0, "undefined bit");
    const uint8_t two[2] = {1, 0};
    ExpectEnded(Ioctl(IOCTL_SERIAL_PURGE, two), STATUS_BUFFER_TOO_SMALL, 0, "short mask");
    ExpectEnded(Ioctl(IOCTL_SERIAL_PURGE, {}), STATUS_INVALID_PARAMETER, 0, "no mask");
    ExpectEnded(IoctlValue(IOCTL_SERIAL_PURGE, SERIAL_PURGE_TXCLEAR), STATUS_SUCCESS, 0, "transmit clear");
}

// A queue-size change waits behind the read ahead of it; purged with the
// reads, its new buffer goes with it. A size no larger than the buffer
// changes nothing.
TEST_F(SerialSemanticsTest, QueueSizeBehindAReadIsPurgedWithItAndSmallerSizesChangeNothing) {
    OpenScriptedPort(115200);
    const ULONG size = Ext()->rxBufferSize;
    SERIAL_QUEUE_SIZE smaller{size / 2, 0};
    ExpectEnded(Ioctl(IOCTL_SERIAL_SET_QUEUE_SIZE, harness::app::AsBytes(smaller)), STATUS_SUCCESS, 0, "smaller");
    EXPECT_EQ(Ext()->rxBufferSize, size);
    ExpectEnded(IoctlValue(IOCTL_SERIAL_SET_QUEUE_SIZE, 4u * size), STATUS_BUFFER_TOO_SMALL, 0, "short record");
    ExpectEnded(Ioctl(IOCTL_SERIAL_SET_QUEUE_SIZE, {}), STATUS_INVALID_PARAMETER, 0, "no record");

    auto read = Read(4);
    SERIAL_QUEUE_SIZE larger{4 * size, 0};
    auto resize = Ioctl(IOCTL_SERIAL_SET_QUEUE_SIZE, harness::app::AsBytes(larger));
    EXPECT_FALSE(resize->Done());
    ExpectEnded(IoctlValue(IOCTL_SERIAL_PURGE, SERIAL_PURGE_RXABORT), STATUS_SUCCESS, 0, "purge");
    ExpectEnded(read, STATUS_CANCELLED, 0, "read");
    ExpectEnded(resize, STATUS_CANCELLED, 0, "queue size");
    EXPECT_EQ(Ext()->rxBufferSize, size);
}

TEST_F(SerialSemanticsTest, ImmediateCharAndXoffCounterCheckTheirRecords) {
    OpenScriptedPort(115200);
    ExpectEnded(Ioctl(IOCTL_SERIAL_IMMEDIATE_CHAR, {}), STATUS_BUFFER_TOO_SMALL, 0, "no character");
    ExpectEnded(XoffCounter(0, 0), STATUS_INVALID_PARAMETER, 0, "counter 0");
    ExpectEnded(XoffCounter(0, -1), STATUS_INVALID_PARAMETER, 0, "negative counter");
    const uint8_t eight[8] = {0, 0, 0, 0, 1, 0, 0, 0};
    ExpectEnded(Ioctl(IOCTL_SERIAL_XOFF_COUNTER, eight), STATUS_BUFFER_TOO_SMALL, 0, "short record");
    EXPECT_EQ(Ext()->charsQueued, 0u);
}

// An xoff counter with no time-out queued behind a held write: its XOFF
// follows the write, then it counts for as long as it takes.
TEST_F(SerialSemanticsTestHostBuildOnly, AnXoffCounterWithoutTimeOutBehindAWriteCountsUntilItsCount) {
    OpenScriptedPort(115200);
    HoldForCts(true);
    auto write = Write(Bytes("data"));
    auto counter = XoffCounter(0, 2);
    harness::dispatcher::RunFor(10 * kMillisecond);
    EXPECT_EQ(Ext()->charsQueued, 5u);
    HoldForCts(false);
    SendWriteChunk(Ext());
    ASSERT_TRUE(Wait(*write, kSecond));
    ExpectEnded(write, STATUS_SUCCESS, 4, "write");
    ASSERT_TRUE(RunUntilWithin([&] { return Ext()->currentXoffIrp != nullptr; }, kSecond));
    EXPECT_EQ(Wire(), (std::vector<uint8_t>{'d', 'a', 't', 'a', kXoff}));
    EXPECT_FALSE(harness::dispatcher::IsArmed(&Ext()->xoffCountTimer));
    harness::dispatcher::RunFor(60 * kSecond);
    EXPECT_FALSE(counter->Done());
    peer_->Send("ab");
    ASSERT_TRUE(Wait(*counter, kSecond));
    ExpectEnded(counter, STATUS_SUCCESS, 0, "counter");
    EXPECT_EQ(Ext()->charsQueued, 0u);
}

// A write queued behind an xoff counter whose XOFF is still held: once the
// XOFF is out, the write overtakes the count at once and its time-out goes
// with it.
TEST_F(SerialSemanticsTestHostBuildOnly, AWriteQueuedBehindAHeldXoffCounterEndsItOnceTheXoffIsOut) {
    OpenScriptedPort(115200);
    HoldForCts(true);
    auto counter = XoffCounter(1000, 5);
    auto write = Write(Bytes("go"));
    harness::dispatcher::RunFor(10 * kMillisecond);
    EXPECT_FALSE(counter->Done());
    HoldForCts(false);
    SendWriteChunk(Ext());
    ASSERT_TRUE(Wait(*write, kSecond));
    ExpectEnded(counter, STATUS_SERIAL_MORE_WRITES, 0, "counter");
    ExpectEnded(write, STATUS_SUCCESS, 2, "write");
    EXPECT_EQ(Wire(), (std::vector<uint8_t>{kXoff, 'g', 'o'}));
    EXPECT_FALSE(harness::dispatcher::IsArmed(&Ext()->xoffCountTimer));
    EXPECT_EQ(Ext()->currentXoffIrp, nullptr);
    EXPECT_EQ(Ext()->charsQueued, 0u);
}

}  // namespace
