// Where the characters of a read that does not end normally go: a
// cancelled read gives them back in front of the receive buffer (across its
// wrap, and as many as fit when later characters filled it meanwhile), a
// read cancelled by the cleanup before a close leaves nothing behind for
// the next open, and a read waiting when the device is pulled out still
// ends by its cancel.
#include <gtest/gtest.h>

#include "harness/kernel/pool.h"
#include "harness/usb/usb_bus.h"
#include "read_test_port.h"

namespace {

using namespace read_test;

class ReadGiveBackTest : public ReadPortTest {
protected:
    // Moves the start of the unread characters `offset` slots on.
    void StartRingAt(ULONG offset) {
        SetTimeouts(MAXULONG, 0, 0);
        Feed(offset, '-');
        harness::app::Read(handle_, offset);
        ASSERT_EQ(port_->rxCount, 0u);
    }
    std::string ReadWhatIsBuffered(ULONG most) {
        SetTimeouts(MAXULONG, 0, 0);
        auto result = harness::app::Read(handle_, most);
        EXPECT_EQ(result.status, STATUS_SUCCESS);
        return std::string(result.output.begin(), result.output.end());
    }
};

// The read starts on characters that wrap round the end of the ring, waits
// for more, and is cancelled: everything it held comes back in order.
// Reaches into the host build (see support/driver_build.h).
using ReadGiveBackTestHostBuildOnly = ReadGiveBackTest;

TEST_F(ReadGiveBackTestHostBuildOnly, AReadStartedAcrossTheWrapAndCancelledGivesEverythingBack) {
    StartRingAt(4092);
    Feed("abcdef");  // "abcd" in the last four slots, "ef" in the first two
    SetTimeouts(0, 0, 0);
    Request read = Read(20);
    ASSERT_TRUE(DirectMode());
    Feed("gh");
    harness::app::Cancel(*read);
    ASSERT_TRUE(read->Done());
    EXPECT_EQ(read->Status(), STATUS_CANCELLED);
    EXPECT_EQ(read->Information(), 0u);
    EXPECT_EQ(ReadWhatIsBuffered(100), "abcdefgh");
}

// The read is taken back by its cancel while its interval DPC is queued, so
// it ends only when that DPC runs; meanwhile later characters arrive. Its
// own go in front of them, wrapping backwards round the start of the ring;
// when the later ones leave too little room, the read's oldest are the
// ones lost, and counted as a queue overrun.
TEST_F(ReadGiveBackTestHostBuildOnly, GivenBackCharactersGoInFrontOfLaterOnesAndTheOldestGoWhenFull) {
    struct Case {
        ULONG later;           // characters arriving between take-back and completion
        std::string expected;  // the first characters read afterwards
        ULONG lost;
    };
    const Case cases[] = {{3, "abcdxyz", 0}, {4094, "cd", 2}, {4096, "", 4}};
    for (const Case& c : cases) {
        SetTimeouts(5, 0, 0);
        Request read = Read(10);
        Feed("abcd");
        RunFor(kMillisecond);  // the interval check sees them
        ManualDpcs();
        harness::dispatcher::AdvanceClock(10 * kMillisecond);  // the interval DPC waits in the queue
        harness::app::Cancel(*read);
        ASSERT_FALSE(read->Done()) << "the interval DPC still holds the read";
        const std::string later = c.later == 3 ? std::string("xyz") : std::string(c.later, 'z');
        Feed(later);
        const ULONG overrunsBefore = port_->perfStats.BufferOverrunErrorCount;
        RunDpcNow(&port_->readIntervalTimeoutDpc);
        harness::dispatcher::SetDpcDelivery(harness::dispatcher::DpcDelivery::Immediate);
        harness::dispatcher::RunDpcs();
        ASSERT_TRUE(read->Done());
        EXPECT_EQ(read->Status(), STATUS_CANCELLED);
        EXPECT_EQ(port_->perfStats.BufferOverrunErrorCount - overrunsBefore, c.lost) << c.later;
        const std::string all = ReadWhatIsBuffered(5000);
        EXPECT_EQ(all.size(), std::min<size_t>(4096, 4 + c.later)) << c.later;
        EXPECT_EQ(all.substr(0, c.expected.size()), c.expected) << c.later;
        if (c.later > 3) EXPECT_EQ(all.substr(c.expected.size()), std::string(c.later, 'z')) << c.later;
    }
}

// Cleanup cancels the waiting read, whose characters go back to the
// buffer; the close then frees the buffer with them. The next open starts
// empty, and its first cancelled read gives back only its own characters.
TEST_F(ReadGiveBackTestHostBuildOnly, CloseWhileAReadWaitsLeavesNothingForTheNextOpen) {
    SetTimeouts(0, 0, 0);
    Request read = Read(10);
    Feed("abc");
    ASSERT_EQ(Close(*ports_.front()), STATUS_SUCCESS);
    ASSERT_TRUE(read->Done());
    EXPECT_EQ(read->Status(), STATUS_CANCELLED);
    EXPECT_EQ(port_->rxBuffer, nullptr);

    ASSERT_EQ(Open(*ports_.front()), STATUS_SUCCESS);
    handle_ = ports_.front()->handle;
    EXPECT_EQ(port_->rxCount, 0u);
    EXPECT_EQ(ReadWhatIsBuffered(10), "");
    SetTimeouts(0, 0, 0);
    Request again = Read(10);
    Feed("z");
    harness::app::Cancel(*again);
    EXPECT_EQ(ReadWhatIsBuffered(10), "z");
}

// An open that cannot have even the smallest buffer fails and leaves the
// port closed; the next open, with memory back, works normally.
TEST_F(ReadGiveBackTestHostBuildOnly, AnOpenWithoutMemoryForTheBufferFailsCleanlyAndTheNextOneWorks) {
    ASSERT_EQ(Close(*ports_.front()), STATUS_SUCCESS);
    harness::pool::FailAllocationsLargerThan(64);
    EXPECT_EQ(Open(*ports_.front()), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(port_->openCount, 0);
    EXPECT_EQ(port_->rxBuffer, nullptr);
    harness::pool::ClearFaults();
    ASSERT_EQ(Open(*ports_.front()), STATUS_SUCCESS);
    handle_ = ports_.front()->handle;
    Feed("ok");
    EXPECT_EQ(ReadWhatIsBuffered(10), "ok");
}

// The device is pulled out while a read waits: nothing more arrives, and
// the read still ends by its cancel, and the handle closes.
TEST_F(ReadGiveBackTestHostBuildOnly, AReadWaitingWhenTheDeviceIsPulledOutStillEndsByItsCancel) {
    SetTimeouts(0, 0, 0);
    Request read = Read(10);
    Feed("ab");
    harness::usb::Unplug(ports_.front()->device->pdo);
    RunFor(50 * kMillisecond);
    EXPECT_FALSE(read->Done());
    harness::app::Cancel(*read);
    ASSERT_TRUE(read->Done());
    EXPECT_EQ(read->Status(), STATUS_CANCELLED);
    EXPECT_EQ(Close(*ports_.front()), STATUS_SUCCESS);
}

}  // namespace
