// Writes on the wire: how a write is cut into bulk-out transfers, the write
// total time-out and its floor, flushes behind writes, and the
// transmitter-empty event.
#include "tests/driver/write_test_port.h"

namespace {

using namespace write_test;

class WriteChunksTest : public WritePortTest {};

std::vector<size_t> Chunks(size_t total, size_t chunk) {
    std::vector<size_t> out(total / chunk, chunk);
    if (total % chunk) out.push_back(total % chunk);
    return out;
}

TEST_F(WriteChunksTest, ALargeWriteGoesOutInChunksOfTheTransmitLimitOneAtATime) {
    OpenScriptedPort(9600);
    const auto data = Pattern(10000);
    for (ULONG baud : {9600u, 115200u}) {
        SetBaud(*port_, baud);
        Wire();
        events_.clear();
        peer_->ClearReceived();
        auto write = Write(data);
        ASSERT_TRUE(Wait(*write));
        EXPECT_EQ(write->Status(), STATUS_SUCCESS);
        EXPECT_EQ(write->Information(), 10000u);
        // 256 bytes below 115200 baud, 4096 from there on (generation 2).
        EXPECT_EQ(OutLengths(), Chunks(10000, baud < 115200 ? 256 : 4096)) << baud;
        EXPECT_EQ(MostChunksInFlight(), 1u);
        EXPECT_EQ(Wire(), data);
    }
    EXPECT_EQ(Ext()->perfStats.TransmittedCount, 20000u);
}

TEST_F(WriteChunksTest, AChunkNeverExceedsTheReceiveBuffer) {
    harness::mm::SetSystemSize(MmSmallSystem);  // a 128-byte receive buffer
    OpenScriptedPort(115200);
    ASSERT_EQ(Ext()->rxBufferSize, RX_BUFFER_SMALL);
    const auto data = Pattern(10000, 7);
    auto write = Write(data);
    ASSERT_TRUE(Wait(*write));
    EXPECT_EQ(write->Status(), STATUS_SUCCESS);
    EXPECT_EQ(OutLengths(), Chunks(10000, 128));
    EXPECT_EQ(Wire(), data);
}

TEST_F(WriteChunksTest, WritesQueuedBehindEachOtherGoOutInOrderAndWhole) {
    OpenScriptedPort(115200);
    std::vector<std::shared_ptr<harness::app::Request>> writes;
    std::vector<uint8_t> expected;
    for (uint32_t i = 1; i <= 5; ++i) {
        const auto data = Pattern(300 * i, i);
        expected.insert(expected.end(), data.begin(), data.end());
        writes.push_back(Write(data));
    }
    ASSERT_TRUE(Wait(*writes.back()));
    for (uint32_t i = 1; i <= 5; ++i) {
        EXPECT_EQ(writes[i - 1]->Status(), STATUS_SUCCESS);
        EXPECT_EQ(writes[i - 1]->Information(), 300u * i);
    }
    EXPECT_EQ(Wire(), expected);
    EXPECT_EQ(MostChunksInFlight(), 1u);
    EXPECT_EQ(Ext()->charsQueued, 0u);
}

// Reaches into the host build (see support/driver_build.h).
using WriteChunksTestHostBuildOnly = WriteChunksTest;

TEST_F(WriteChunksTestHostBuildOnly, AWriteTimeOutOfTwentyMillisecondsOrLessIsStretchedToOneHundred) {
    ASSERT_TRUE(harness::dispatcher::SetTimeIncrement(harness::dispatcher::kMinimumTimeIncrement));
    OpenScriptedPort();
    HoldForCts(true);
    struct Case {
        ULONG multiplier, constant;
        int64_t expected;
    } cases[] = {
        {0, 10, 100 * kMillisecond},  // 10 ms
        {2, 0, 100 * kMillisecond},   // 10 characters x 2 ms = 20 ms
        {0, 21, 21 * kMillisecond},
        {3, 5, 35 * kMillisecond},    // 10 x 3 + 5
    };
    for (const Case& c : cases) {
        SetWriteTimeouts(c.multiplier, c.constant);
        events_.clear();
        const int64_t start = Now();
        auto write = Write(Bytes("0123456789"));
        ASSERT_TRUE(Wait(*write));
        const int64_t elapsed = Now() - start;
        EXPECT_EQ(write->Status(), STATUS_TIMEOUT);
        EXPECT_EQ(write->Information(), 0u);
        // Expiry on the next clock tick, then the wake-up's frame.
        EXPECT_GE(elapsed, c.expected) << c.multiplier << " " << c.constant;
        EXPECT_LE(elapsed, c.expected + 2 * kMillisecond) << c.multiplier << " " << c.constant;
        EXPECT_EQ(OutLengths(), std::vector<size_t>{0}) << "only the empty wake-up transfer";
    }
    EXPECT_TRUE(Wire().empty());
}

TEST_F(WriteChunksTest, AFlushCompletesOnceTheWritesBeforeItHave) {
    OpenScriptedPort(9600);
    auto first = Write(Pattern(300, 1));
    auto second = Write(Pattern(300, 2));
    auto flush = harness::app::FlushAsync(Handle());
    auto after = Write(Pattern(10, 3));
    EXPECT_FALSE(flush->Done());
    ASSERT_TRUE(Wait(*first));
    EXPECT_FALSE(flush->Done());
    ASSERT_TRUE(Wait(*flush));
    EXPECT_EQ(flush->Status(), STATUS_SUCCESS);
    EXPECT_TRUE(second->Done());
    EXPECT_EQ(second->Status(), STATUS_SUCCESS);
    // The write behind the flush is taken up when the flush completes.
    ASSERT_TRUE(Wait(*after));
    EXPECT_EQ(after->Status(), STATUS_SUCCESS);
    EXPECT_EQ(Wire().size(), 610u);
}

TEST_F(WriteChunksTest, AFlushOnAnIdlePortCompletesAtOnce) {
    OpenScriptedPort();
    auto flush = harness::app::FlushAsync(Handle());
    EXPECT_TRUE(flush->Done());
    EXPECT_EQ(flush->Status(), STATUS_SUCCESS);
    // Two flushes in a row behind a write complete with it.
    auto write = Write(Pattern(100));
    auto a = harness::app::FlushAsync(Handle());
    auto b = harness::app::FlushAsync(Handle());
    ASSERT_TRUE(Wait(*b));
    EXPECT_TRUE(write->Done());
    EXPECT_EQ(a->Status(), STATUS_SUCCESS);
    EXPECT_EQ(b->Status(), STATUS_SUCCESS);
}

TEST_F(WriteChunksTestHostBuildOnly, TheTransmitterEmptyEventFollowsTheLastChunkEvenWithWritesQueued) {
    OpenScriptedPort(115200);
    if (!EventsKept()) GTEST_SKIP() << "the wait-mask side does not keep events yet";
    WatchEvents(SERIAL_EV_TXEMPTY);
    auto first = Write(Pattern(5000, 1));  // 4096 + 904
    auto second = Write(Pattern(600, 2));
    // Not while the first write's second chunk is still to go out.
    ASSERT_TRUE(RunUntilWithin([&] { return OutLengths().size() == 2; }, 10 * kSecond, "test"));
    EXPECT_EQ(TakeEvents(), 0u);
    ASSERT_TRUE(Wait(*first));
    EXPECT_EQ(TakeEvents() & SERIAL_EV_TXEMPTY, static_cast<ULONG>(SERIAL_EV_TXEMPTY));
    ASSERT_TRUE(Wait(*second));
    EXPECT_EQ(TakeEvents() & SERIAL_EV_TXEMPTY, static_cast<ULONG>(SERIAL_EV_TXEMPTY));
    // A one-character transfer with no write outstanding reports it too.
    auto immediate = Immediate('!');
    ASSERT_TRUE(Wait(*immediate));
    harness::dispatcher::RunFor(5 * kMillisecond);
    EXPECT_EQ(TakeEvents() & SERIAL_EV_TXEMPTY, static_cast<ULONG>(SERIAL_EV_TXEMPTY));
}

TEST_F(WriteChunksTestHostBuildOnly, NoTransmitterEmptyEventWhileAWriteIsHeld) {
    OpenScriptedPort(115200);
    if (!EventsKept()) GTEST_SKIP() << "the wait-mask side does not keep events yet";
    WatchEvents(SERIAL_EV_TXEMPTY);
    HoldForCts(true);
    auto held = Write(Pattern(50));
    auto immediate = Immediate('!');
    ASSERT_TRUE(Wait(*immediate));
    harness::dispatcher::RunFor(5 * kMillisecond);
    EXPECT_EQ(TakeEvents(), 0u) << "the held write's data is still outstanding";
    EXPECT_EQ(Wire(), Bytes("!"));
    harness::app::Cancel(*held);
    ASSERT_TRUE(Wait(*held));
    EXPECT_EQ(held->Status(), STATUS_CANCELLED);
}

}  // namespace
