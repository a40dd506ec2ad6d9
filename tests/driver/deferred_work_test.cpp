// Counted DPCs and timers, the drain protocol and the character time.
#include "io/deferred_routines.h"
#include "serial/modem_lines.h"
#include "support/queue_fixture.h"

namespace {

using harness::dispatcher::DpcDelivery;
using harness::dispatcher::kMillisecond;
using harness::dispatcher::SetDpcDelivery;
using harness::dispatcher::TimeIncrement;
using harness::dispatcher::TimeUntilExpiry;

class DeferredWorkTestHostBuildOnly : public QueueFixture {};

int countingDpcRuns = 0;
VOID NTAPI CountingDpc(PKDPC, PVOID context, PVOID, PVOID) {
    ++countingDpcRuns;
    EndDpcCounted(static_cast<PortExtension*>(context));
}

// Re-arms its own timer twice, as the read interval DPC does.
int rearmingRuns = 0;
VOID NTAPI RearmingDpc(PKDPC, PVOID context, PVOID, PVOID) {
    auto* port = static_cast<PortExtension*>(context);
    if (++rearmingRuns < 3) {
        LARGE_INTEGER due;
        due.QuadPart = -1 * kMillisecond;
        SetTimerCounted(&port->readIntervalTimer, due, &port->readIntervalTimeoutDpc, port);
    }
    EndDpcCounted(port);
}

TEST_F(DeferredWorkTestHostBuildOnly, ADpcQueuedTwiceBeforeItRunsCountsOnceAndRunsOnce) {
    countingDpcRuns = 0;
    KeInitializeDpc(&port_->completeWaitDpc, CountingDpc, port_);
    SetDpcDelivery(DpcDelivery::Manual);
    EXPECT_TRUE(QueueDpcCounted(&port_->completeWaitDpc, nullptr, nullptr, port_));
    EXPECT_FALSE(QueueDpcCounted(&port_->completeWaitDpc, nullptr, nullptr, port_));
    EXPECT_EQ(port_->pendingDpcCount, 2);
    harness::dispatcher::RunDpcs();
    EXPECT_EQ(countingDpcRuns, 1);
    EXPECT_EQ(port_->pendingDpcCount, 1);
}

TEST_F(DeferredWorkTestHostBuildOnly, ATimerReArmedFromItsOwnDpcStaysBalanced) {
    rearmingRuns = 0;
    KeInitializeDpc(&port_->readIntervalTimeoutDpc, RearmingDpc, port_);
    LARGE_INTEGER due;
    due.QuadPart = -1 * kMillisecond;
    EXPECT_FALSE(SetTimerCounted(&port_->readIntervalTimer, due, &port_->readIntervalTimeoutDpc, port_));
    EXPECT_EQ(port_->pendingDpcCount, 2);
    harness::dispatcher::RunFor(3 * TimeIncrement());  // one expiry per clock tick
    EXPECT_EQ(rearmingRuns, 3);
    EXPECT_EQ(port_->pendingDpcCount, 1);
}

TEST_F(DeferredWorkTestHostBuildOnly, ReArmingAnArmedTimerKeepsOneCount) {
    LARGE_INTEGER due;
    due.QuadPart = -5 * kMillisecond;
    EXPECT_FALSE(SetTimerCounted(&port_->writeTotalTimer, due, &port_->writeTotalTimeoutDpc, port_));
    EXPECT_TRUE(SetTimerCounted(&port_->writeTotalTimer, due, &port_->writeTotalTimeoutDpc, port_));
    EXPECT_EQ(port_->pendingDpcCount, 2);
    EXPECT_TRUE(CancelTimerCounted(&port_->writeTotalTimer, port_));
    EXPECT_FALSE(CancelTimerCounted(&port_->writeTotalTimer, port_));
    EXPECT_EQ(port_->pendingDpcCount, 1);
}

TEST_F(DeferredWorkTestHostBuildOnly, ATimerReArmedWhileItsExpiredDpcIsQueuedRunsOnceAndCountsOnce) {
    countingDpcRuns = 0;
    KeInitializeDpc(&port_->xoffCountTimeoutDpc, CountingDpc, port_);
    SetDpcDelivery(DpcDelivery::Manual);
    LARGE_INTEGER due;
    due.QuadPart = -1 * kMillisecond;
    EXPECT_FALSE(SetTimerCounted(&port_->xoffCountTimer, due, &port_->xoffCountTimeoutDpc, port_));
    harness::dispatcher::AdvanceClock(TimeUntilExpiry(due.QuadPart));
    ASSERT_TRUE(harness::dispatcher::IsQueued(&port_->xoffCountTimeoutDpc));

    // The new expiry replaces the one whose DPC has not run.
    EXPECT_TRUE(SetTimerCounted(&port_->xoffCountTimer, due, &port_->xoffCountTimeoutDpc, port_));
    EXPECT_EQ(port_->pendingDpcCount, 2);
    // It comes before any processor got to the DPC: one run for both.
    harness::dispatcher::AdvanceClock(TimeUntilExpiry(due.QuadPart));
    harness::dispatcher::RunDpcs();
    EXPECT_EQ(countingDpcRuns, 1);
    EXPECT_EQ(port_->pendingDpcCount, 1) << "the drain would wait forever on a count no DPC ends";
}

TEST_F(DeferredWorkTestHostBuildOnly, ALowerRtsCheckAskedForWhileTheLastOnesDpcIsQueuedLeavesNothingPending) {
    SetDpcDelivery(DpcDelivery::Manual);
    QueueLowerRtsCheck(port_);
    RunDpcNow(&port_->startLowerRtsDpc);  // arms lowerRtsTimer
    harness::dispatcher::AdvanceClock(TimeUntilExpiry(-CharacterTime(port_)));
    ASSERT_TRUE(harness::dispatcher::IsQueued(&port_->lowerRtsDpc));

    QueueLowerRtsCheck(port_);  // e.g. an XOFF received in toggle mode
    RunDpcNow(&port_->startLowerRtsDpc);
    EXPECT_EQ(port_->lowerRtsPending, 1) << "the queued check merged into the new expiry";
    harness::dispatcher::AdvanceClock(TimeUntilExpiry(-CharacterTime(port_)));
    harness::dispatcher::RunDpcs();
    EXPECT_EQ(port_->lowerRtsPending, 0) << "close's wait for the checks ends";
    EXPECT_EQ(port_->pendingDpcCount, 1);
}

TEST_F(DeferredWorkTestHostBuildOnly, TheDrainWaitsUntilAnArmedTimersDpcHasRun) {
    countingDpcRuns = 0;
    KeInitializeDpc(&port_->xoffCountTimeoutDpc, CountingDpc, port_);
    LARGE_INTEGER due;
    due.QuadPart = -250 * kMillisecond;
    const int64_t expiry = harness::dispatcher::Now() + TimeUntilExpiry(due.QuadPart);
    SetTimerCounted(&port_->xoffCountTimer, due, &port_->xoffCountTimeoutDpc, port_);

    // The drain as close performs it: drop the base count, wait for zero,
    // restore the base.
    if (InterlockedDecrement(&port_->pendingDpcCount) != 0)
        KeWaitForSingleObject(&port_->dpcsDoneEvent, Executive, KernelMode, FALSE, nullptr);
    InterlockedIncrement(&port_->pendingDpcCount);

    EXPECT_EQ(countingDpcRuns, 1);
    EXPECT_EQ(harness::dispatcher::Now(), expiry) << "the wait lasted until the timer fired";
    EXPECT_EQ(port_->pendingDpcCount, 1);
}

TEST_F(DeferredWorkTestHostBuildOnly, AReadTimerCancelledAtCleanupReleasesTheDrain) {
    arming.intervalTimer = true;
    Sent* read = SendRead();
    Cancel(read);  // the cancel takes the interval timer away
    ASSERT_TRUE(read->Done());
    EXPECT_EQ(port_->pendingDpcCount, 1);
    EXPECT_EQ(InterlockedDecrement(&port_->pendingDpcCount), 0) << "the drain would not wait";
    InterlockedIncrement(&port_->pendingDpcCount);
}

TEST_F(DeferredWorkTestHostBuildOnly, CancellingAllTimersAndDpcsLeavesOnlyTheBaseCount) {
    SetDpcDelivery(DpcDelivery::Manual);
    LARGE_INTEGER due;
    due.QuadPart = -1 * kMillisecond;
    SetTimerCounted(&port_->readTotalTimer, due, &port_->readTotalTimeoutDpc, port_);
    SetTimerCounted(&port_->lowerRtsTimer, due, &port_->lowerRtsDpc, port_);
    QueueDpcCounted(&port_->completeWriteDpc, nullptr, nullptr, port_);
    QueueDpcCounted(&port_->commErrorDpc, nullptr, nullptr, port_);
    // A timer that has fired: its DPC is queued, the timer no longer armed.
    SetTimerCounted(&port_->writeTotalTimer, due, &port_->writeTotalTimeoutDpc, port_);
    harness::dispatcher::AdvanceClock(TimeUntilExpiry(due.QuadPart));
    ASSERT_TRUE(harness::dispatcher::IsQueued(&port_->writeTotalTimeoutDpc));
    EXPECT_EQ(port_->pendingDpcCount, 6);

    CancelAllTimersAndDpcs(port_);
    EXPECT_EQ(port_->pendingDpcCount, 1);
    EXPECT_EQ(harness::dispatcher::QueuedDpcCount(), 0u);
    EXPECT_EQ(harness::dispatcher::ArmedTimerCount(), 0u);
}

TEST_F(DeferredWorkTestHostBuildOnly, CommErrorDpcCancelsEveryReadAndWrite) {
    Sent* write = SendWrite(5);
    Sent* queuedWrite = SendWrite(6);
    Sent* read = SendRead();
    Sent* queuedRead = SendRead();
    QueueDpcCounted(&port_->commErrorDpc, nullptr, nullptr, port_);
    for (Sent* s : {write, queuedWrite, read, queuedRead}) EXPECT_EQ(s->status, STATUS_CANCELLED);
    EXPECT_LT(queuedWrite->order, write->order);
    EXPECT_LT(write->order, queuedRead->order) << "writes first, then reads";
    EXPECT_EQ(port_->pendingDpcCount, 1);
    EXPECT_EQ(port_->pendingIrpCount, 1);
}

TEST_F(DeferredWorkTestHostBuildOnly, TheLowerRtsStepsWaitOneCharacterAndMergePendingChecks) {
    SetDpcDelivery(DpcDelivery::Manual);
    port_->currentBaud = 9600;
    port_->lineControl = 0x03;  // 8 data bits, no parity, one stop bit
    port_->lowerRtsPending = 2;  // two checks asked for
    QueueDpcCounted(&port_->startLowerRtsDpc, nullptr, nullptr, port_);
    harness::dispatcher::RunDpcs();
    ASSERT_TRUE(harness::dispatcher::IsArmed(&port_->lowerRtsTimer));
    // Due one character time (1.042 ms at 9600 8N1) after the kernel's
    // present, the latest clock tick; it expires at the tick after that.
    EXPECT_EQ(port_->lowerRtsTimer.DueTime.QuadPart, KeQueryInterruptTime() + 10420);
    const int64_t untilExpiry = TimeUntilExpiry(-10420);
    QueueDpcCounted(&port_->startLowerRtsDpc, nullptr, nullptr, port_);
    harness::dispatcher::RunDpcs();
    EXPECT_EQ(port_->lowerRtsPending, 1) << "the second check merged into the armed one";

    harness::dispatcher::AdvanceClock(untilExpiry - 1);
    EXPECT_FALSE(harness::dispatcher::IsQueued(&port_->lowerRtsDpc));
    harness::dispatcher::AdvanceClock(1);
    harness::dispatcher::RunDpcs();
    EXPECT_EQ(port_->lowerRtsPending, 0);
    EXPECT_EQ(port_->pendingDpcCount, 1);
}

struct CharacterTimeCase {
    ULONG baud;
    UCHAR lineControl;
    LONGLONG expected;
};

void PrintTo(const CharacterTimeCase& c, std::ostream* os) {
    *os << c.baud << " baud, line control 0x" << std::hex << int(c.lineControl);
}

class CharacterTimeTestHostBuildOnly : public QueueFixture, public ::testing::WithParamInterface<CharacterTimeCase> {};

TEST_P(CharacterTimeTestHostBuildOnly, MatchesTheLineSettings) {
    port_->currentBaud = GetParam().baud;
    port_->lineControl = GetParam().lineControl;
    EXPECT_EQ(CharacterTime(port_), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Rates, CharacterTimeTestHostBuildOnly,
    ::testing::Values(CharacterTimeCase{9600, 0x03, 1042 * 10},       // 8N1
                      CharacterTimeCase{115200, 0x03, 87 * 10},       // 8N1
                      CharacterTimeCase{300, 0x1E, 33334 * 11},       // 7E2
                      CharacterTimeCase{1200, 0x04, 8334 * 8},        // 5 bits, 1.5 stop counts as 3
                      CharacterTimeCase{19200, 0x0B, 521 * 11},       // 8O1
                      CharacterTimeCase{6000000, 0x03, 2 * 10}));     // rounded up to whole 100 ns

TEST_F(DeferredWorkTestHostBuildOnly, CharacterTimeTakesAnUnsetRateAs9600AndKeepsIt) {
    port_->currentBaud = 0;
    port_->lineControl = 0x03;
    EXPECT_EQ(CharacterTime(port_), 10420);
    EXPECT_EQ(port_->currentBaud, 9600u);
}

}  // namespace
