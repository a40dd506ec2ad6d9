// Open, cleanup and close through the driver's own dispatch routines: what a
// handle leaves behind once it is gone, and opens that run out of pool.
#include "harness/kernel/bus_driver.h"
#include "harness/kernel/pool.h"
#include "io/wait_mask.h"
#include "serial/modem_lines.h"
#include "usb/chip_protocol.h"
#include "support/port_fixture.h"

namespace {

using harness::dispatcher::kMillisecond;

class OpenCloseTest : public PortFixture {
protected:
    // Everything a closed port must be back to.
    void ExpectClosed(const TestPort& port) {
        PortExtension* ext = port.ext;
        EXPECT_EQ(ext->openCount, 0);
        EXPECT_EQ(ext->portOpen, 0);
        EXPECT_EQ(ext->pendingIrpCount, 1);
        EXPECT_EQ(ext->pendingDpcCount, 1);
        EXPECT_EQ(ext->lowerRtsPending, 0);
        EXPECT_EQ(ext->lineWorkQueued, 0);
        EXPECT_EQ(ext->currentWaitIrp, nullptr);
        EXPECT_EQ(ext->rxBuffer, nullptr);
        EXPECT_FALSE(harness::dispatcher::IsArmed(&ext->lowerRtsTimer));
        EXPECT_EQ(harness::dispatcher::QueuedPassiveWorkCount(), 0u);
        EXPECT_FALSE(port.chip->Dtr());
        EXPECT_FALSE(port.chip->Rts());
    }

    // The port can hear the chip: its status and receive streams run.
    static bool Listening(const TestPort& port) {
        return StreamOutstanding(port.ext, STREAM_STATUS) && StreamOutstanding(port.ext, STREAM_BULK_IN);
    }
};

TEST_F(OpenCloseTest, EachCloseLeavesThePortAsItFoundItEvenWithToggleChecksAndAWaitInFlight) {
    TestPort& port = PlugPort();
    SERIAL_HANDFLOW handFlow{};
    handFlow.ControlHandShake = SERIAL_DTR_CONTROL;
    handFlow.FlowReplace = SERIAL_TRANSMIT_TOGGLE;
    // An earlier session of the application left the port in toggle mode.
    ASSERT_EQ(Open(port), STATUS_SUCCESS);
    SetHandFlow(port, handFlow);
    ASSERT_EQ(Close(port), STATUS_SUCCESS);
    Run(100 * kMillisecond);
    const size_t baseBytes = harness::pool::BytesInUse();

    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        ASSERT_EQ(Open(port), STATUS_SUCCESS);
        SetBaud(port, 9600);
            SetLineControl(port, 8, NO_PARITY, STOP_BIT_1);
        const uint8_t data[] = {'o', 'k'};
        EXPECT_EQ(harness::app::Write(port.handle, data).status, STATUS_SUCCESS);
        const ULONG mask = SERIAL_EV_RING;  // nothing here rings
        ASSERT_EQ(harness::app::Ioctl(port.handle, IOCTL_SERIAL_SET_WAIT_MASK, harness::app::AsBytes(mask), 0).status,
                  STATUS_SUCCESS);
        auto wait = harness::app::IoctlAsync(port.handle, IOCTL_SERIAL_WAIT_ON_MASK, {}, sizeof(ULONG));
        // The write just ended: the toggle check that drops RTS is pending.
        const uint8_t more[] = {'x'};
        harness::app::Write(port.handle, more);
        EXPECT_EQ(Close(port), STATUS_SUCCESS);
        ASSERT_TRUE(wait->Done());
        EXPECT_EQ(wait->Status(), STATUS_CANCELLED);
        Run(10 * kMillisecond);
        ExpectClosed(port);
        EXPECT_EQ(harness::pool::BytesInUse(), baseBytes);
    }
}

// In transmit-toggle mode open raises RTS and queues the check that drops
// it. With a fine clock tick that check runs while open still talks to the
// chip: RTS must still come down once the port is idle.
TEST_F(OpenCloseTest, ATransmitToggleCheckThatRunsDuringOpenStillDropsRts) {
    ASSERT_TRUE(harness::dispatcher::SetTimeIncrement(harness::dispatcher::kMinimumTimeIncrement));
    TestPort& port = PlugPort();
    SERIAL_HANDFLOW handFlow{};
    handFlow.ControlHandShake = SERIAL_DTR_CONTROL;
    handFlow.FlowReplace = SERIAL_TRANSMIT_TOGGLE;
    // An earlier session of the application left the port in toggle mode.
    ASSERT_EQ(Open(port), STATUS_SUCCESS);
    SetHandFlow(port, handFlow);
    ASSERT_EQ(Close(port), STATUS_SUCCESS);
    Run(100 * kMillisecond);

    ASSERT_EQ(Open(port), STATUS_SUCCESS);
    Run(100 * kMillisecond);
    EXPECT_FALSE(port.chip->Rts()) << "an idle port in toggle mode keeps driving the line";
    EXPECT_EQ(port.ext->lowerRtsPending, 0);
    EXPECT_EQ(Close(port), STATUS_SUCCESS);
    ExpectClosed(port);
}

// Each allocation of an open fails in turn: the open either fails and leaves
// nothing behind, or succeeds with a port that works.
// Open brings the device to full power through the power manager: a set-
// power request to D0 goes down the stack and reaches the bus driver.
TEST_F(OpenCloseTest, OpenBringsTheDeviceToFullPower) {
    TestPort& port = PlugPort();
    harness::bus::PhysicalDevice* physical = harness::bus::Describe(port.device->pdo);
    ASSERT_NE(physical, nullptr);
    physical->powerState = PowerDeviceD3;  // as if it had been powered down
    ASSERT_EQ(Open(port), STATUS_SUCCESS);
    EXPECT_EQ(physical->powerState, PowerDeviceD0);
    EXPECT_EQ(Close(port), STATUS_SUCCESS);
}

TEST_F(OpenCloseTest, AnOpenThatRunsOutOfPoolFailsCleanlyOrWorks) {
    TestPort& port = PlugPort();
    const size_t baseBytes = harness::pool::BytesInUse();
    const auto before = harness::pool::AllocationCount();
    ASSERT_EQ(Open(port), STATUS_SUCCESS);
    const auto count = harness::pool::AllocationCount() - before;
    EXPECT_EQ(Close(port), STATUS_SUCCESS);
    Run(10 * kMillisecond);
    ASSERT_GT(count, 0u);

    for (std::uint64_t n = 1; n <= count; ++n) {
        SCOPED_TRACE(n);
        harness::pool::FailNthAllocation(n);
        const NTSTATUS status = Open(port);
        harness::pool::ClearFaults();
        if (NT_SUCCESS(status)) {
            EXPECT_TRUE(Listening(port)) << "the open succeeded with the port deaf to the chip";
            EXPECT_EQ(Close(port), STATUS_SUCCESS);
        } else {
            port.handle = {};
        }
        Run(10 * kMillisecond);
        ExpectClosed(port);
        EXPECT_EQ(harness::pool::BytesInUse(), baseBytes);
    }
}

}  // namespace

namespace {

// A handle that never set a rate (a program probing which ports exist)
// leaves 9600 recorded as the port's rate by close's character time,
// though the chip was never sent a rate. The next program's 9600 at 7E1
// must still reach the chip.
TEST_F(OpenCloseTest, AFirstRateAfterAProbingOpenAndCloseStillReachesTheChip) {
    TestPort& port = PlugPort();
    ASSERT_EQ(Open(port), STATUS_SUCCESS);
    ASSERT_EQ(Close(port), STATUS_SUCCESS);
    Run(10 * kMillisecond);

    ASSERT_EQ(Open(port), STATUS_SUCCESS);
    SetLineControl(port, 7, EVEN_PARITY, STOP_BIT_1);
    SetBaud(port, 9600);
    EXPECT_TRUE(port.chip->LineCodingSet());
    EXPECT_EQ(port.chip->CurrentLineCoding(), (harness::chip::LineCoding{9600, 0, 2, 7}));
    EXPECT_EQ(Close(port), STATUS_SUCCESS);
}

}  // namespace

namespace {

// At 9600 baud and 7E1 (ten bits a character): cleanup's 30 ms pause, then
// close's ten character times before the flow control goes off and, on
// the older generations only, 1280 bit times for the chip's own transmit
// buffer after the close has completed.
TEST_F(OpenCloseTest, CleanupAndCloseTakeTheirPausesOnTheClock) {
    constexpr int64_t kCleanup = 30 * kMillisecond;
    constexpr int64_t kTenCharacters = 10 * 10 * 1042;
    constexpr int64_t kChipBuffer = 1041 * 1280;
    for (const int generation : {2, 3}) {
        SCOPED_TRACE(generation);
        TestPort& port = PlugPort(generation);
        ASSERT_EQ(Open(port), STATUS_SUCCESS);
        Run(10 * kMillisecond);
        const int64_t start = harness::dispatcher::Now();
        ASSERT_EQ(Close(port), STATUS_SUCCESS);
        const int64_t took = harness::dispatcher::Now() - start;
        const int64_t expected = kCleanup + kTenCharacters + (generation <= 2 ? kChipBuffer : 0);
        EXPECT_GE(took, expected);
        EXPECT_LT(took, expected + 20 * kMillisecond) << "beyond the pauses, only a dozen control requests";
    }
}

}  // namespace
