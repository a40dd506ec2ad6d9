// IOCTL_SERIAL_XOFF_COUNTER: the XOFF character goes out through the write
// queue, then the request counts received characters until its count, its
// time-out (in milliseconds), a later write or a cancel ends it.
#include "tests/driver/write_test_port.h"

namespace {

using namespace write_test;

class XoffCounterTest : public WritePortTest {
protected:
    // Runs until the counter has sent its XOFF and counts.
    void RunUntilCounting() {
        ASSERT_TRUE(RunUntilWithin([&] { return Ext()->currentXoffIrp != nullptr; }, kSecond,
                                                  "test", "the counter to count"));
    }
};

// Reaches into the host build (see support/driver_build.h).
using XoffCounterTestHostBuildOnly = XoffCounterTest;

TEST_F(XoffCounterTestHostBuildOnly, ItCompletesOnceItsCountOfCharactersHasBeenReceived) {
    OpenScriptedPort(115200);
    auto counter = XoffCounter(0, 3);
    RunUntilCounting();
    EXPECT_EQ(Wire(), std::vector<uint8_t>{kXoff});
    EXPECT_EQ(Ext()->xoffCountRemaining, 3u);
    CountReceived(2);
    harness::dispatcher::RunFor(10 * kMillisecond);
    EXPECT_FALSE(counter->Done());
    CountReceived(1);
    ASSERT_TRUE(Wait(*counter, kSecond));
    EXPECT_EQ(counter->Status(), STATUS_SUCCESS);
    EXPECT_EQ(counter->Information(), 0u);
    EXPECT_EQ(Ext()->currentXoffIrp, nullptr);
    EXPECT_EQ(Ext()->charsQueued, 0u);
}

TEST_F(XoffCounterTestHostBuildOnly, AWriteIssuedWhileItCountsEndsItWithMoreWrites) {
    OpenScriptedPort(115200);
    auto counter = XoffCounter(0, 3);
    RunUntilCounting();
    auto write = Write(Bytes("go"));
    EXPECT_TRUE(counter->Done());
    EXPECT_EQ(counter->Status(), STATUS_SERIAL_MORE_WRITES);
    ASSERT_TRUE(Wait(*write));
    EXPECT_EQ(write->Status(), STATUS_SUCCESS);
    EXPECT_EQ(Wire(), (std::vector<uint8_t>{kXoff, 'g', 'o'}));
    // A count reaching 0 afterwards finds nothing to complete.
    CountReceived(3);
    harness::dispatcher::RunFor(10 * kMillisecond);
}

// Timeout 50 is 50 ms, as SERIAL_XOFF_COUNTER documents it.
TEST_F(XoffCounterTest, ItsTimeOutIsInMilliseconds) {
    ASSERT_TRUE(harness::dispatcher::SetTimeIncrement(harness::dispatcher::kMinimumTimeIncrement));
    OpenScriptedPort(115200);
    auto counter = XoffCounter(50, 3);
    RunUntilCounting();
    const int64_t counting = Now();
    harness::dispatcher::RunFor(40 * kMillisecond);
    EXPECT_FALSE(counter->Done()) << "ended after " << harness::dispatcher::FormatTime(Now() - counting);
    ASSERT_TRUE(Wait(*counter, kSecond));
    EXPECT_EQ(counter->Status(), STATUS_SERIAL_COUNTER_TIMEOUT);
    EXPECT_EQ(counter->Information(), 0u);
    EXPECT_LE(Now() - counting, 51 * kMillisecond);
    EXPECT_FALSE(harness::dispatcher::IsArmed(&Ext()->xoffCountTimer));
}

TEST_F(XoffCounterTestHostBuildOnly, ACancelWhileCountingOrWhileItsXoffIsHeldCompletesIt) {
    OpenScriptedPort(115200);
    auto counting = XoffCounter(1000, 3);
    RunUntilCounting();
    harness::app::Cancel(*counting);
    EXPECT_TRUE(counting->Done());
    EXPECT_EQ(counting->Status(), STATUS_CANCELLED);
    EXPECT_FALSE(harness::dispatcher::IsArmed(&Ext()->xoffCountTimer));

    HoldForCts(true);
    auto held = XoffCounter(0, 3);
    harness::dispatcher::RunFor(10 * kMillisecond);
    EXPECT_EQ(Ext()->writeHeld, 1);
    harness::app::Cancel(*held);
    EXPECT_EQ(held->Status(), STATUS_CANCELLED);
    EXPECT_EQ(Ext()->currentXoffIrp, nullptr);
    EXPECT_EQ(Wire(), std::vector<uint8_t>{kXoff}) << "only the first counter's XOFF";
    EXPECT_EQ(Ext()->charsQueued, 0u);
}

TEST_F(XoffCounterTestHostBuildOnly, ACountReachingZeroAsTheTimeOutFiresCompletesItOnce) {
    OpenScriptedPort(115200);
    auto counter = XoffCounter(20, 1);
    RunUntilCounting();
    harness::dispatcher::SetDpcDelivery(harness::dispatcher::DpcDelivery::Manual);
    harness::dispatcher::AdvanceClock(40 * kMillisecond);
    ASSERT_TRUE(harness::dispatcher::IsQueued(&Ext()->xoffCountTimeoutDpc));
    CountReceived(1);
    harness::dispatcher::SetDpcDelivery(harness::dispatcher::DpcDelivery::Immediate);
    ASSERT_TRUE(Wait(*counter, kSecond));
    EXPECT_TRUE(counter->Status() == STATUS_SUCCESS || counter->Status() == STATUS_SERIAL_COUNTER_TIMEOUT);
    EXPECT_EQ(Ext()->currentXoffIrp, nullptr);
}

}  // namespace
