// The transmit side under stress: cancels, time-outs and completions
// meeting in chosen orders, purges with chunks in flight, transfers that
// cannot be built or sent, a device pulled out, and extreme lengths and
// time-out values. At 9600 baud the chip's 256-character FIFO takes a
// write's first chunk at once and keeps the second on the pipe for about
// 270 ms.
#include "harness/kernel/pool.h"
#include "serial/modem_lines.h"
#include "tests/driver/write_test_port.h"

namespace {

using namespace write_test;
using harness::dispatcher::DpcDelivery;
using harness::dispatcher::SetDpcDelivery;

class TransmitRacesTest : public WritePortTest {
protected:
    void RunUntilSubmitted(size_t count) {
        ASSERT_TRUE(RunUntilWithin([&] { return OutLengths().size() >= count; }, 10 * kSecond, "test",
                                   "bulk-out submissions"));
    }
    std::shared_ptr<harness::app::Request> Purge(ULONG mask) {
        return harness::app::IoctlAsync(Handle(), IOCTL_SERIAL_PURGE, harness::app::AsBytes(mask), 0);
    }
};

// --- The immediate character reports what became of its transfer ----------------

TEST_F(TransmitRacesTest, AnImmediateCharacterThatCouldNotBeSentDoesNotReportSuccess) {
    OpenScriptedPort(115200);
    // No memory for the transfer.
    harness::pool::FailAllocationsOfTag(PORT_POOL_TAG, true);
    auto noMemory = Immediate('a');
    harness::pool::FailAllocationsOfTag(PORT_POOL_TAG, false);
    ASSERT_TRUE(Wait(*noMemory));
    EXPECT_FALSE(NT_SUCCESS(noMemory->Status())) << "nothing was sent";

    // The device is gone: the USB stack refuses the transfer.
    harness::usb::Unplug(port_->device->pdo);
    auto unplugged = Immediate('b');
    ASSERT_TRUE(Wait(*unplugged));
    EXPECT_EQ(unplugged->Status(), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(Ext()->currentImmediateIrp, nullptr);
    EXPECT_EQ(Ext()->charsQueued, 0u);
    EXPECT_EQ(Close(*port_), STATUS_SUCCESS);
}

// --- Hostile time-out values ----------------------------------------------------

// A multiplier of MAXULONG asks for a time-out of thousands of years; the
// product in 100 ns units must not wrap round into a short or past one.
// Reaches into the host build (see support/driver_build.h).
using TransmitRacesTestHostBuildOnly = TransmitRacesTest;

TEST_F(TransmitRacesTestHostBuildOnly, AnEnormousWriteTimeOutDoesNotWrapIntoAShortOne) {
    OpenScriptedPort(115200);
    SetWriteTimeouts(MAXULONG, 0);
    HoldForCts(true);
    // 214749 x 0xFFFFFFFF ms x 10000 lands just past 2^63.
    auto write = Write(Pattern(214749));
    harness::dispatcher::RunFor(2 * kSecond);
    EXPECT_FALSE(write->Done()) << "timed out after " << write->Status();
    harness::app::Cancel(*write);
    ASSERT_TRUE(Wait(*write));
    EXPECT_EQ(write->Status(), STATUS_CANCELLED);
}

// --- Cancels and time-outs at each step of a multi-chunk write --------------------

// A 1000-character write goes out as 256, 256, 256 and 232; it is
// cancelled after each of its submissions, with a second write queued.
TEST_F(TransmitRacesTest, ACancelAfterEachChunkLeavesTheQueuedWriteWhole) {
    OpenScriptedPort(9600);
    const auto a = Pattern(1000, 1);
    const auto b = Pattern(40, 2);
    for (size_t step = 1; step <= 4; ++step) {
        Wire();
        events_.clear();
        peer_->ClearReceived();
        auto first = Write(a);
        auto second = Write(b);
        RunUntilSubmitted(step);
        harness::app::Cancel(*first);
        ASSERT_TRUE(Wait(*first)) << step;
        ASSERT_TRUE(Wait(*second)) << step;
        // The last chunk may have come back before the cancel.
        EXPECT_TRUE(first->Status() == STATUS_CANCELLED || first->Status() == STATUS_SUCCESS) << step;
        EXPECT_EQ(second->Status(), STATUS_SUCCESS) << step;
        EXPECT_EQ(second->Information(), b.size()) << step;
        EXPECT_EQ(MostChunksInFlight(), 1u) << step;
        const auto wire = Wire();
        ASSERT_GE(wire.size(), b.size()) << step;
        EXPECT_EQ(std::vector<uint8_t>(wire.end() - b.size(), wire.end()), b) << step;
        EXPECT_EQ(Ext()->charsQueued, 0u) << step;
    }
}

// The time-out's DPC has run while a chunk was out, and the cancel comes
// before that chunk is back; then the other way round.
TEST_F(TransmitRacesTest, ATimeOutAndACancelTogetherEndTheWriteOnceAndSpareTheNext) {
    ASSERT_TRUE(harness::dispatcher::SetTimeIncrement(harness::dispatcher::kMinimumTimeIncrement));
    OpenScriptedPort(9600);
    SetWriteTimeouts(0, 150);
    for (int order = 0; order < 2; ++order) {
        Wire();
        events_.clear();
        peer_->ClearReceived();
        auto first = Write(Pattern(1000, 1));
        auto second = Write(Pattern(30, 2));
        RunUntilSubmitted(2);
        if (order == 0) {
            // The DPC has run and withdrawn the chunk in flight, whose
            // completion is to end the write; the cancel comes right after.
            SetDpcDelivery(DpcDelivery::Manual);
            for (int i = 0; i < 400 && !harness::dispatcher::IsQueued(&Ext()->writeTotalTimeoutDpc); ++i)
                harness::dispatcher::AdvanceClock(kMillisecond);
            ASSERT_TRUE(harness::dispatcher::IsQueued(&Ext()->writeTotalTimeoutDpc));
            harness::dispatcher::RunDpcs();
            harness::app::Cancel(*first);
            SetDpcDelivery(DpcDelivery::Immediate);
        } else {
            // The timer has fired, its DPC waits; the cancel goes first.
            SetDpcDelivery(DpcDelivery::Manual);
            for (int i = 0; i < 400 && !harness::dispatcher::IsQueued(&Ext()->writeTotalTimeoutDpc); ++i)
                harness::dispatcher::AdvanceClock(kMillisecond);
            ASSERT_TRUE(harness::dispatcher::IsQueued(&Ext()->writeTotalTimeoutDpc));
            harness::app::Cancel(*first);
            SetDpcDelivery(DpcDelivery::Immediate);
        }
        ASSERT_TRUE(Wait(*first)) << order;
        EXPECT_TRUE(first->Status() == STATUS_CANCELLED || first->Status() == STATUS_TIMEOUT) << order;
        ASSERT_TRUE(Wait(*second)) << order;
        EXPECT_EQ(second->Status(), STATUS_SUCCESS) << order;
        EXPECT_EQ(second->Information(), 30u) << order;
        EXPECT_EQ(MostChunksInFlight(), 1u) << order;
        const auto wire = Wire();
        EXPECT_EQ(std::vector<uint8_t>(wire.end() - 30, wire.end()), Pattern(30, 2)) << order;
        EXPECT_EQ(Ext()->writeTimedOut, 0) << order;
    }
}

// The hold ends (a status report with CTS back) while the time-out's DPC
// is queued, and the other way round.
TEST_F(TransmitRacesTestHostBuildOnly, AHoldEndingAsTheTimeOutFiresEndsTheWriteOnce) {
    OpenScriptedPort(115200);
    SetWriteTimeouts(0, 50);
    for (int order = 0; order < 2; ++order) {
        Wire();
        peer_->ClearReceived();
        HoldForCts(true);
        auto write = Write(Pattern(100, 1));
        auto next = Write(Pattern(10, 2));
        harness::dispatcher::RunFor(5 * kMillisecond);
        ASSERT_EQ(Ext()->writeHeld, 1);
        SetDpcDelivery(DpcDelivery::Manual);
        for (int i = 0; i < 400 && !harness::dispatcher::IsQueued(&Ext()->writeTotalTimeoutDpc); ++i)
            harness::dispatcher::AdvanceClock(kMillisecond);
        ASSERT_TRUE(harness::dispatcher::IsQueued(&Ext()->writeTotalTimeoutDpc));
        HoldForCts(false);
        if (order == 0) {
            // The release first: the write's first chunk goes out.
            KIRQL irql;
            KeRaiseIrql(DISPATCH_LEVEL, &irql);
            SendWriteChunk(Ext());
            KeLowerIrql(irql);
            harness::dispatcher::RunDpcs();
        } else {
            harness::dispatcher::RunDpcs();
            KIRQL irql;
            KeRaiseIrql(DISPATCH_LEVEL, &irql);
            SendWriteChunk(Ext());
            KeLowerIrql(irql);
        }
        SetDpcDelivery(DpcDelivery::Immediate);
        ASSERT_TRUE(Wait(*write)) << order;
        ASSERT_TRUE(Wait(*next)) << order;
        EXPECT_EQ(write->Status(), STATUS_TIMEOUT) << order;
        // Released first, the chunk went to the pipe, and the time-out
        // withdrew it before the chip took any of it.
        EXPECT_EQ(write->Information(), 0u) << order;
        EXPECT_EQ(next->Status(), STATUS_SUCCESS) << order;
        auto expected = std::vector<uint8_t>{};
        const auto tail = Pattern(10, 2);
        expected.insert(expected.end(), tail.begin(), tail.end());
        EXPECT_EQ(Wire(), expected) << order;
    }
}

// --- Purge and flush ---------------------------------------------------------------

TEST_F(TransmitRacesTest, TxAbortWithAChunkInFlightCancelsEverythingQueuedAndTheNextWriteIsWhole) {
    OpenScriptedPort(9600);
    auto sending = Write(Pattern(1000, 1));
    auto flush = harness::app::FlushAsync(Handle());
    auto queued = Write(Pattern(50, 2));
    auto counter = XoffCounter(0, 5);
    RunUntilSubmitted(2);
    auto purge = Purge(SERIAL_PURGE_TXABORT);
    ASSERT_TRUE(Wait(*purge));
    EXPECT_EQ(purge->Status(), STATUS_SUCCESS);
    for (auto* r : {&sending, &flush, &queued, &counter}) {
        ASSERT_TRUE((*r)->Done());
        EXPECT_EQ((*r)->Status(), STATUS_CANCELLED);
    }
    EXPECT_EQ(Ext()->charsQueued, 0u);
    peer_->ClearReceived();
    auto after = Write(Pattern(20, 3));
    ASSERT_TRUE(Wait(*after));
    EXPECT_EQ(after->Status(), STATUS_SUCCESS);
    EXPECT_EQ(after->Information(), 20u);
    EXPECT_EQ(MostChunksInFlight(), 1u);
    const auto wire = Wire();
    ASSERT_GE(wire.size(), 20u);
    EXPECT_EQ(std::vector<uint8_t>(wire.end() - 20, wire.end()), Pattern(20, 3));
}

TEST_F(TransmitRacesTest, AFlushBetweenWritesThatAreCancelledCompletesAndTheQueueGoesOn) {
    OpenScriptedPort(9600);
    auto a = Write(Pattern(600, 1));
    auto flush = harness::app::FlushAsync(Handle());
    auto b = Write(Pattern(10, 2));
    auto flush2 = harness::app::FlushAsync(Handle());
    RunUntilSubmitted(1);
    harness::app::Cancel(*b);
    harness::app::Cancel(*a);
    ASSERT_TRUE(Wait(*flush));
    ASSERT_TRUE(Wait(*flush2));
    EXPECT_EQ(flush->Status(), STATUS_SUCCESS);
    EXPECT_EQ(flush2->Status(), STATUS_SUCCESS);
    EXPECT_EQ(a->Status(), STATUS_CANCELLED);
    EXPECT_EQ(b->Status(), STATUS_CANCELLED);
    EXPECT_EQ(Ext()->currentWriteIrp, nullptr);
    EXPECT_EQ(Ext()->charsQueued, 0u);
}

// --- Transfers that cannot be built, a device pulled out, extreme lengths ------------

// No memory for the second chunk of a write (4096 characters at 115200;
// the status and receive transfers are smaller and still get theirs): the
// write ends with what went out and the failure, and the write queued
// behind it goes on once memory is back.
TEST_F(TransmitRacesTest, NoMemoryForAChunkMidWriteEndsThatWriteAndTheNextGoesOn) {
    OpenScriptedPort(115200);
    const auto a = Pattern(10000, 1);
    const auto b = Pattern(300, 2);
    auto first = Write(a);
    auto second = Write(b);
    RunUntilSubmitted(1);
    harness::pool::FailAllocationsLargerThan(RECEIVE_TRANSFER_LENGTH);
    ASSERT_TRUE(Wait(*first));
    harness::pool::FailAllocationsLargerThan(SIZE_MAX);
    EXPECT_EQ(first->Status(), STATUS_NO_MEMORY);
    EXPECT_EQ(first->Information(), 4096u);
    ASSERT_TRUE(Wait(*second));
    EXPECT_EQ(second->Status(), STATUS_SUCCESS);
    EXPECT_EQ(second->Information(), 300u);
    auto expected = std::vector<uint8_t>(a.begin(), a.begin() + 4096);
    expected.insert(expected.end(), b.begin(), b.end());
    EXPECT_EQ(Wire(), expected);
}

// Pulled out with a chunk in flight, a held write, a flush, an xoff
// counter and an immediate character about: everything ends, and the
// handle closes.
TEST_F(TransmitRacesTest, UnpluggedMidWriteWithEveryKindOfTransmitRequestThenClosed) {
    OpenScriptedPort(9600);
    auto sending = Write(Pattern(1000, 1));
    auto flush = harness::app::FlushAsync(Handle());
    auto counter = XoffCounter(0, 5);
    auto queued = Write(Pattern(100, 2));
    RunUntilSubmitted(2);
    harness::usb::Unplug(port_->device->pdo);
    auto immediate = Immediate('!');
    for (auto* r : {&sending, &flush, &counter, &queued, &immediate}) ASSERT_TRUE(Wait(**r));
    EXPECT_EQ(sending->Status(), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(flush->Status(), STATUS_SUCCESS);
    EXPECT_FALSE(NT_SUCCESS(counter->Status()));
    EXPECT_EQ(queued->Status(), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(Ext()->currentXoffIrp, nullptr);
    EXPECT_EQ(Ext()->charsQueued, 0u);
    EXPECT_EQ(Close(*port_), STATUS_SUCCESS);
}

TEST_F(TransmitRacesTest, WritesOfOneCharacterAndOfAMegabyte) {
    OpenScriptedPort(921600);
    auto one = Write(Pattern(1, 1));
    ASSERT_TRUE(Wait(*one));
    EXPECT_EQ(one->Status(), STATUS_SUCCESS);
    EXPECT_EQ(one->Information(), 1u);

    const auto big = Pattern(1 << 20, 2);
    auto write = Write(big);
    ASSERT_TRUE(Wait(*write, 120 * kSecond));
    EXPECT_EQ(write->Status(), STATUS_SUCCESS);
    EXPECT_EQ(write->Information(), big.size());
    EXPECT_EQ(MostChunksInFlight(), 1u);
    auto expected = Pattern(1, 1);
    expected.insert(expected.end(), big.begin(), big.end());
    EXPECT_EQ(Wire(), expected);
    EXPECT_EQ(Ext()->charsQueued, 0u);
}

// --- The xoff counter ended by its count, its time-out, a new write and a cancel -------

// With DPCs held back, the count reaches 0 and the time-out fires; then a
// new write and a cancel arrive before either DPC has run. Whoever runs
// last completes the counter, once; the write goes out.
TEST_F(TransmitRacesTestHostBuildOnly, AnXoffCounterEndedByEveryPartyAtOnceCompletesOnce) {
    OpenScriptedPort(115200);
    for (int order = 0; order < 4; ++order) {
        auto counter = XoffCounter(20, 2);
        ASSERT_TRUE(RunUntilWithin([&] { return Ext()->currentXoffIrp != nullptr; }, kSecond, "test"));
        SetDpcDelivery(DpcDelivery::Manual);
        if (order & 1) CountReceived(2);
        if (order & 2) {
            for (int i = 0; i < 100 && !harness::dispatcher::IsQueued(&Ext()->xoffCountTimeoutDpc); ++i)
                harness::dispatcher::AdvanceClock(kMillisecond);
            ASSERT_TRUE(harness::dispatcher::IsQueued(&Ext()->xoffCountTimeoutDpc));
        }
        auto write = Write(Pattern(5, order));
        harness::app::Cancel(*counter);
        SetDpcDelivery(DpcDelivery::Immediate);
        ASSERT_TRUE(Wait(*counter)) << order;
        ASSERT_TRUE(Wait(*write)) << order;
        EXPECT_EQ(write->Status(), STATUS_SUCCESS) << order;
        EXPECT_EQ(Ext()->currentXoffIrp, nullptr) << order;
        EXPECT_EQ(Ext()->xoffCountRemaining, 0u) << order;
        EXPECT_FALSE(harness::dispatcher::IsArmed(&Ext()->xoffCountTimer)) << order;
        EXPECT_EQ(Ext()->charsQueued, 0u) << order;
        // A counter after it counts afresh.
        auto next = XoffCounter(0, 1);
        ASSERT_TRUE(RunUntilWithin([&] { return Ext()->currentXoffIrp != nullptr; }, kSecond, "test")) << order;
        CountReceived(1);
        ASSERT_TRUE(Wait(*next)) << order;
        EXPECT_EQ(next->Status(), STATUS_SUCCESS) << order;
    }
}

// The counter's XOFF has gone out (its completion DPC is queued) when the
// counter is cancelled: it must not go on to count.
TEST_F(TransmitRacesTest, AnXoffCounterCancelledAsItsXoffCompletesDoesNotCount) {
    OpenScriptedPort(115200);
    SetDpcDelivery(DpcDelivery::Manual);
    auto counter = XoffCounter(0, 3);
    for (int i = 0; i < 100 && !harness::dispatcher::IsQueued(&Ext()->completeWriteDpc); ++i)
        harness::dispatcher::AdvanceClock(kMillisecond / 4);
    ASSERT_TRUE(harness::dispatcher::IsQueued(&Ext()->completeWriteDpc));
    harness::app::Cancel(*counter);
    SetDpcDelivery(DpcDelivery::Immediate);
    ASSERT_TRUE(Wait(*counter, kSecond));
    EXPECT_EQ(counter->Status(), STATUS_CANCELLED);
    EXPECT_EQ(Ext()->currentXoffIrp, nullptr);
    EXPECT_EQ(Ext()->charsQueued, 0u);
}

// Cancelled with a chunk on the pipe, closed at once and opened again: the
// orphaned chunk is not counted against the first write of the new handle.
TEST_F(TransmitRacesTest, ClosingWithAnOrphanedChunkAndReopeningLeavesTheNextWriteWhole) {
    OpenScriptedPort(9600);
    auto first = Write(Pattern(1000, 1));
    RunUntilSubmitted(2);
    harness::app::Cancel(*first);
    ASSERT_TRUE(Wait(*first));
    EXPECT_EQ(Close(*port_), STATUS_SUCCESS);
    ASSERT_EQ(Open(*port_), STATUS_SUCCESS);
    SetBaud(*port_, 9600);
    Wire();
    peer_->ClearReceived();
    events_.clear();
    auto second = Write(Pattern(300, 2));
    ASSERT_TRUE(Wait(*second));
    EXPECT_EQ(second->Status(), STATUS_SUCCESS);
    EXPECT_EQ(second->Information(), 300u);
    EXPECT_EQ(Wire(), Pattern(300, 2));
    EXPECT_EQ(MostChunksInFlight(), 1u);
}

// A write held by IOCTL_SERIAL_SET_XOFF goes once IOCTL_SERIAL_SET_XON has
// cleared the hold (at the next status report); one whose time-out fires
// while held, with its wake-up transfer failing, still ends with the
// time-out.
TEST_F(TransmitRacesTestHostBuildOnly, AWriteHeldBySetXoffGoesAfterSetXonAndAFailedWakeUpStillEndsATimedOutOne) {
    OpenScriptedPort(115200);
    SetXoffHold(Ext());
    auto held = Write(Pattern(40, 1));
    harness::dispatcher::RunFor(50 * kMillisecond);
    EXPECT_EQ(Ext()->writeHeld, 1);
    ClearXoffHold(Ext());
    ASSERT_TRUE(Wait(*held, 2 * kSecond));
    EXPECT_EQ(held->Status(), STATUS_SUCCESS);
    EXPECT_EQ(Wire(), Pattern(40, 1));

    SetWriteTimeouts(0, 150);
    SetXoffHold(Ext());
    auto timed = Write(Pattern(40, 2));
    harness::dispatcher::RunFor(50 * kMillisecond);
    harness::usb::FailStreamTransfers(1, kBulkOut);
    ASSERT_TRUE(Wait(*timed, 2 * kSecond));
    EXPECT_EQ(timed->Status(), STATUS_TIMEOUT);
    EXPECT_EQ(timed->Information(), 0u);
    ClearXoffHold(Ext());
    auto after = Write(Pattern(5, 3));
    ASSERT_TRUE(Wait(*after, 2 * kSecond));
    EXPECT_EQ(after->Status(), STATUS_SUCCESS);
}

}  // namespace
