// IOCTL_SERIAL_IMMEDIATE_CHAR: the character goes out ahead of held writes,
// one request at a time, and ends by its DPC, its time-out or a cancel.
#include "tests/driver/write_test_port.h"

namespace {

using namespace write_test;

class ImmediateCharTest : public WritePortTest {};

// Reaches into the host build (see support/driver_build.h).
using ImmediateCharTestHostBuildOnly = ImmediateCharTest;

TEST_F(ImmediateCharTestHostBuildOnly, TheCharacterGoesOutEvenWhileWritesAreHeld) {
    OpenScriptedPort(115200);
    HoldForCts(true);
    auto held = Write(Bytes("later"));
    auto immediate = Immediate('Z');
    ASSERT_TRUE(Wait(*immediate));
    EXPECT_EQ(immediate->Status(), STATUS_SUCCESS);
    EXPECT_EQ(Wire(), Bytes("Z"));
    EXPECT_FALSE(held->Done());
    EXPECT_EQ(Ext()->charsQueued, 5u) << "the immediate character's count is given back";
    harness::app::Cancel(*held);
    ASSERT_TRUE(Wait(*held));
    EXPECT_EQ(Ext()->charsQueued, 0u);
}

TEST_F(ImmediateCharTest, ASecondRequestWhileOneIsPendingIsRefused) {
    OpenScriptedPort(115200);
    harness::dispatcher::SetDpcDelivery(harness::dispatcher::DpcDelivery::Manual);
    auto first = Immediate('a');
    EXPECT_FALSE(first->Done());
    ASSERT_TRUE(harness::dispatcher::IsQueued(&Ext()->completeImmediateDpc));
    auto second = Immediate('b');
    EXPECT_TRUE(second->Done());
    EXPECT_EQ(second->Status(), STATUS_INVALID_PARAMETER);
    harness::dispatcher::SetDpcDelivery(harness::dispatcher::DpcDelivery::Immediate);
    ASSERT_TRUE(Wait(*first));
    EXPECT_EQ(first->Status(), STATUS_SUCCESS);
    // The slot is free again.
    auto third = Immediate('c');
    ASSERT_TRUE(Wait(*third));
    EXPECT_EQ(third->Status(), STATUS_SUCCESS);
    EXPECT_EQ(Wire(), Bytes("ac"));
}

TEST_F(ImmediateCharTest, ACancelOrTimeOutBeforeTheDpcRunsLeavesTheDpcToComplete) {
    OpenScriptedPort(115200);
    SetWriteTimeouts(0, 5);  // no floor for the immediate character: 5 ms
    harness::dispatcher::SetDpcDelivery(harness::dispatcher::DpcDelivery::Manual);
    auto request = Immediate('x');
    harness::app::Cancel(*request);
    EXPECT_FALSE(request->Done()) << "the USB side still holds it";
    harness::dispatcher::AdvanceClock(20 * kMillisecond);
    harness::dispatcher::SetDpcDelivery(harness::dispatcher::DpcDelivery::Immediate);
    ASSERT_TRUE(Wait(*request));
    // Whichever of the three came last completes it, exactly once.
    EXPECT_TRUE(request->Status() == STATUS_SUCCESS || request->Status() == STATUS_CANCELLED ||
                request->Status() == STATUS_TIMEOUT);
    EXPECT_EQ(Ext()->currentImmediateIrp, nullptr);
    EXPECT_EQ(Ext()->charsQueued, 0u);
    EXPECT_FALSE(harness::dispatcher::IsArmed(&Ext()->immediateTotalTimer));
}

}  // namespace
