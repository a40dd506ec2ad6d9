// The write path where things meet: a cancel while a chunk is on the pipe,
// flow control arriving mid-write, the time-out against a held write and
// against a chunk in flight, transfers that fail, and a device pulled out
// while writing. The chip's transmit FIFO holds 256 characters, so at 9600
// baud a write's first 256-byte chunk completes at once and its second
// stays on the pipe for about 270 ms.
#include "tests/driver/write_test_port.h"

namespace {

using namespace write_test;

class WriteInterleavingTest : public WritePortTest {
protected:
    // Runs until `count` bulk-out transfers have been submitted.
    void RunUntilSubmitted(size_t count) {
        ASSERT_TRUE(RunUntilWithin([&] { return OutLengths().size() >= count; }, 10 * kSecond,
                                                  "test", "bulk-out submissions"));
    }
    // Time of the first event matching.
    int64_t TimeOf(bool completion, size_t nth) const {
        size_t seen = 0;
        for (const auto& e : events_)
            if (e.endpoint == kBulkOut && e.completion == completion && seen++ == nth) return e.time;
        return -1;
    }
    static std::vector<uint8_t> Concat(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    }
    static std::vector<uint8_t> Head(const std::vector<uint8_t>& v, size_t n) { return {v.begin(), v.begin() + n}; }
};

TEST_F(WriteInterleavingTest, ACancelledWritesChunkInFlightComesBackBeforeTheNextWriteStarts) {
    OpenScriptedPort(9600);
    const auto a = Pattern(1000, 1);
    const auto b = Pattern(100, 2);
    auto first = Write(a);
    auto second = Write(b);
    RunUntilSubmitted(2);
    ASSERT_FALSE(first->Done());

    EXPECT_TRUE(harness::app::Cancel(*first));
    EXPECT_TRUE(first->Done()) << "the cancel does not wait for the chunk";
    EXPECT_EQ(first->Status(), STATUS_CANCELLED);
    EXPECT_EQ(first->Information(), 0u);
    EXPECT_EQ(OutLengths().size(), 2u) << "the next write waits for the orphaned chunk";

    ASSERT_TRUE(Wait(*second));
    EXPECT_EQ(second->Status(), STATUS_SUCCESS);
    EXPECT_EQ(second->Information(), 100u);
    EXPECT_EQ(OutLengths(), (std::vector<size_t>{256, 256, 100}));
    EXPECT_GE(TimeOf(false, 2), TimeOf(true, 1)) << "submitted before the orphan came back";
    EXPECT_EQ(MostChunksInFlight(), 1u);
    EXPECT_EQ(Wire(), Concat(Head(a, 512), b));
    EXPECT_EQ(Ext()->charsQueued, 0u);
}

// Reaches into the host build (see support/driver_build.h).
using WriteInterleavingTestHostBuildOnly = WriteInterleavingTest;

TEST_F(WriteInterleavingTestHostBuildOnly, ACancelledHeldWriteLetsTheNextOneStartAtOnce) {
    OpenScriptedPort(115200);
    HoldForCts(true);
    auto first = Write(Pattern(100, 1));
    auto second = Write(Pattern(20, 2));
    harness::dispatcher::RunFor(10 * kMillisecond);
    EXPECT_EQ(Ext()->writeHeld, 1);
    harness::app::Cancel(*first);
    EXPECT_EQ(first->Status(), STATUS_CANCELLED);
    // The second write became current and is held in turn.
    EXPECT_EQ(Ext()->writeHeld, 1);
    EXPECT_FALSE(second->Done());

    // CTS comes back; the status report that says so releases the write.
    HoldForCts(false);
    peer_->SetDsr(true);
    ASSERT_TRUE(Wait(*second));
    EXPECT_EQ(second->Status(), STATUS_SUCCESS);
    EXPECT_EQ(Wire(), Pattern(20, 2));
}

// With chip-side XON/XOFF flow on (as the handflow turns it on) the chip
// also stops its own transmitter, so the sending write may wait for the
// XON inside the chip; the driver itself does not hold it.
TEST_F(WriteInterleavingTest, AnXoffHoldsTheNextWriteButNotTheOneSendingAndTheXonReleasesIt) {
    OpenScriptedPort(9600);
    UseXonXoff(SERIAL_AUTO_TRANSMIT);
    const auto a = Pattern(1000, 1);
    auto sending = Write(a);
    RunUntilSubmitted(2);
    peer_->Send(std::vector<uint8_t>{kXoff});
    ASSERT_TRUE(RunUntilWithin([&] { return Ext()->xoffReceived != 0; }, kSecond, "test"));
    EXPECT_NE(Ext()->txHolding & TX_HOLD_XON, 0);
    EXPECT_EQ(Ext()->writeHeld, 0) << "a write already sending is not held";
    peer_->Send(std::vector<uint8_t>{kXon});
    ASSERT_TRUE(Wait(*sending));
    EXPECT_EQ(sending->Status(), STATUS_SUCCESS);
    EXPECT_EQ(Wire(), a);

    // An XOFF before a write holds all of it.
    peer_->Send(std::vector<uint8_t>{kXoff});
    ASSERT_TRUE(RunUntilWithin([&] { return Ext()->xoffReceived != 0; }, kSecond, "test"));
    const size_t submitted = OutLengths().size();
    const auto b = Pattern(50, 2);
    auto held = Write(b);
    harness::dispatcher::RunFor(100 * kMillisecond);
    EXPECT_FALSE(held->Done());
    EXPECT_EQ(Ext()->writeHeld, 1);
    EXPECT_EQ(OutLengths().size(), submitted) << "nothing of the held write was sent";

    peer_->Send(std::vector<uint8_t>{kXon});
    ASSERT_TRUE(Wait(*held));
    EXPECT_EQ(held->Status(), STATUS_SUCCESS);
    EXPECT_EQ(Ext()->xoffReceived, 0);
    EXPECT_EQ(Ext()->txHolding & TX_HOLD_XON, 0);
    EXPECT_EQ(Wire(), Concat(a, b));
    // The flow characters were received and counted, none stored.
    EXPECT_EQ(Ext()->perfStats.ReceivedCount, 4u);
}

TEST_F(WriteInterleavingTestHostBuildOnly, AWriteTimedOutWhileHeldLeavesTheNextWriteItsOwnTimeOut) {
    ASSERT_TRUE(harness::dispatcher::SetTimeIncrement(harness::dispatcher::kMinimumTimeIncrement));
    OpenScriptedPort(115200);
    SetWriteTimeouts(0, 200);
    HoldForCts(true);
    const int64_t start = Now();
    auto first = Write(Pattern(10, 1));
    auto second = Write(Pattern(10, 2));
    ASSERT_TRUE(Wait(*first));
    EXPECT_EQ(first->Status(), STATUS_TIMEOUT);
    EXPECT_FALSE(second->Done()) << "the wake-up transfer is not a chunk of the next write";
    ASSERT_TRUE(Wait(*second));
    EXPECT_EQ(second->Status(), STATUS_TIMEOUT);
    EXPECT_GE(Now() - start, 400 * kMillisecond);
    EXPECT_EQ(OutLengths(), (std::vector<size_t>{0, 0}));
    EXPECT_TRUE(Wire().empty());
}

// The time-out withdraws the chunk on the pipe (the chip takes it only as
// fast as its transmitter empties): the write ends at its time-out with
// exactly the characters the chip took, and the next write follows them.
TEST_F(WriteInterleavingTest, AWriteTimedOutWithAChunkInFlightEndsAtItsTimeOutWithWhatTheChipTook) {
    ASSERT_TRUE(harness::dispatcher::SetTimeIncrement(harness::dispatcher::kMinimumTimeIncrement));
    OpenScriptedPort(9600);
    SetWriteTimeouts(0, 150);
    const auto a = Pattern(1000, 1);
    const int64_t start = Now();
    auto write = Write(a);
    auto next = Write(Pattern(10, 2));
    ASSERT_TRUE(Wait(*write));
    EXPECT_EQ(write->Status(), STATUS_TIMEOUT);
    EXPECT_LT(Now() - start, 160 * kMillisecond) << "ended by the timer, not by the chunk's own completion";
    const size_t took = write->Information();
    EXPECT_GT(took, 256u);
    EXPECT_LT(took, 512u) << "the second chunk was withdrawn part way";
    ASSERT_TRUE(Wait(*next));
    EXPECT_EQ(next->Status(), STATUS_SUCCESS);
    EXPECT_EQ(Wire(), Concat(Head(a, took), Pattern(10, 2)));
}

TEST_F(WriteInterleavingTestHostBuildOnly, ACancelRacingTheTimeOutDpcCompletesTheWriteOnce) {
    OpenScriptedPort(115200);
    SetWriteTimeouts(0, 50);
    HoldForCts(true);
    auto write = Write(Pattern(10));
    harness::dispatcher::SetDpcDelivery(harness::dispatcher::DpcDelivery::Manual);
    harness::dispatcher::AdvanceClock(70 * kMillisecond);  // the tick after 50 ms
    ASSERT_TRUE(harness::dispatcher::IsQueued(&Ext()->writeTotalTimeoutDpc));
    harness::app::Cancel(*write);
    EXPECT_FALSE(write->Done()) << "the time-out's DPC still holds it";
    harness::dispatcher::SetDpcDelivery(harness::dispatcher::DpcDelivery::Immediate);
    ASSERT_TRUE(Wait(*write));
    EXPECT_TRUE(write->Status() == STATUS_TIMEOUT || write->Status() == STATUS_CANCELLED);
    EXPECT_TRUE(Wire().empty());
}

TEST_F(WriteInterleavingTest, AFailedChunkEndsItsWriteWithWhatWasSentAndTheNextWriteGoesOn) {
    OpenScriptedPort(115200);
    // Refused by the host controller once the first chunk has reached the
    // chip: the write ends with the first chunk counted.
    {
        Wire();
        events_.clear();
        peer_->ClearReceived();
        const auto a = Pattern(10000, 1);
        const auto b = Pattern(300, 2);
        auto failing = Write(a);  // chunks of 4096
        ASSERT_TRUE(RunUntilWithin([&] { return port_->chip->PendingTransfers(kBulkOut) == 1; }, kSecond, "test"));
        harness::usb::FailStreamTransfers(1, kBulkOut);
        auto next = Write(b);
        ASSERT_TRUE(Wait(*failing));
        EXPECT_EQ(failing->Status(), STATUS_UNSUCCESSFUL);
        EXPECT_EQ(failing->Information(), 4096u);
        ASSERT_TRUE(Wait(*next));
        EXPECT_EQ(next->Status(), STATUS_SUCCESS);
        EXPECT_EQ(OutLengths(), (std::vector<size_t>{4096, 4096, 300}));
        EXPECT_EQ(Wire(), Concat(Head(a, 4096), b));
    }
    // An error of the chip on the first chunk: nothing of it is counted as
    // sent, and the next write goes on.
    {
        Wire();
        events_.clear();
        peer_->ClearReceived();
        const auto a = Pattern(10000, 3);
        const auto b = Pattern(300, 4);
        port_->chip->Faults().FailNextTransfers(kBulkOut, 1);
        auto failing = Write(a);
        auto next = Write(b);
        ASSERT_TRUE(Wait(*failing));
        EXPECT_EQ(failing->Status(), STATUS_UNSUCCESSFUL);
        EXPECT_EQ(failing->Information(), 0u);
        ASSERT_TRUE(Wait(*next));
        EXPECT_EQ(next->Status(), STATUS_SUCCESS);
        EXPECT_EQ(Wire(), b);
    }
}

TEST_F(WriteInterleavingTest, AFailedFirstChunkEndsTheWriteWithNothingSent) {
    OpenScriptedPort(115200);
    harness::usb::FailStreamTransfers(1, kBulkOut);
    auto write = Write(Pattern(100));
    ASSERT_TRUE(Wait(*write));
    EXPECT_EQ(write->Status(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(write->Information(), 0u);
    // An xoff counter whose XOFF fails ends with the failure, not counting.
    harness::usb::FailStreamTransfers(1, kBulkOut);
    auto counter = XoffCounter(0, 3);
    ASSERT_TRUE(Wait(*counter));
    EXPECT_EQ(counter->Status(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Ext()->currentXoffIrp, nullptr);
}

TEST_F(WriteInterleavingTest, OneCharacterTransfersDoNotAdvanceAWrite) {
    OpenScriptedPort(9600);
    const auto a = Pattern(600, 1);
    auto write = Write(a);
    RunUntilSubmitted(2);
    auto immediate = Immediate('!');
    ASSERT_TRUE(Wait(*immediate));
    ASSERT_TRUE(Wait(*write));
    EXPECT_EQ(write->Status(), STATUS_SUCCESS);
    EXPECT_EQ(write->Information(), 600u);
    EXPECT_EQ(OutLengths(), (std::vector<size_t>{256, 256, 1, 88}));
    EXPECT_EQ(MostChunksInFlight(), 1u);
    // The immediate character queues behind the chunk already on the pipe.
    auto expected = Head(a, 512);
    expected.push_back('!');
    expected.insert(expected.end(), a.begin() + 512, a.end());
    EXPECT_EQ(Wire(), expected);
}

TEST_F(WriteInterleavingTest, UnpluggingMidWriteEndsEveryWriteWithAnError) {
    OpenScriptedPort(9600);
    auto sending = Write(Pattern(1000, 1));
    auto queued = Write(Pattern(100, 2));
    RunUntilSubmitted(2);
    harness::usb::Unplug(port_->device->pdo);
    ASSERT_TRUE(Wait(*sending));
    ASSERT_TRUE(Wait(*queued));
    EXPECT_EQ(sending->Status(), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(sending->Information(), 256u);
    EXPECT_EQ(queued->Status(), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(queued->Information(), 0u);
    // Writes after the unplug fail as they start.
    std::vector<std::shared_ptr<harness::app::Request>> later;
    for (int i = 0; i < 20; ++i) later.push_back(Write(Pattern(10, i)));
    for (auto& w : later) {
        ASSERT_TRUE(Wait(*w));
        EXPECT_EQ(w->Status(), STATUS_DEVICE_NOT_CONNECTED);
    }
    EXPECT_EQ(Close(*port_), STATUS_SUCCESS);
}

}  // namespace
