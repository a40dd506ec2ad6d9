// The completion rule: whichever party drops the last reference to the
// current request completes it, exactly once, with its own status.
#include <algorithm>
#include <array>
#include <string>

#include "support/queue_fixture.h"

namespace {

using harness::dispatcher::AdvanceClock;
using harness::dispatcher::DpcDelivery;
using harness::dispatcher::SetDpcDelivery;

enum class Party { Transfer, Cancel, TotalTimer, IntervalTimer };

const char* Name(Party p) {
    switch (p) {
    case Party::Transfer: return "transfer";
    case Party::Cancel: return "cancel";
    case Party::TotalTimer: return "total timer";
    case Party::IntervalTimer: return "interval timer";
    }
    return "?";
}

NTSTATUS StatusOf(Party p) {
    switch (p) {
    case Party::Transfer: return STATUS_SUCCESS;
    case Party::Cancel: return STATUS_CANCELLED;
    default: return STATUS_TIMEOUT;
    }
}

class CompletionRuleTestHostBuildOnly : public QueueFixture {
protected:
    // A read held by all four parties, each of which has committed to
    // dropping its reference itself: both timers have expired and queued
    // their DPCs, the transfer-complete DPC is queued, and the cancel
    // routine is still installed. Nothing has run yet.
    Sent* ReadHeldByEveryParty() {
        arming.transfer = arming.totalTimer = arming.intervalTimer = true;
        Sent* read = SendRead();
        EXPECT_EQ(read->dispatchStatus, STATUS_PENDING);
        SetDpcDelivery(DpcDelivery::Manual);
        AdvanceClock(harness::dispatcher::TimeUntilExpiry(arming.totalDue));  // both time-outs expire
        TransferDone();
        EXPECT_TRUE(harness::dispatcher::IsQueued(&port_->readTotalTimeoutDpc));
        EXPECT_TRUE(harness::dispatcher::IsQueued(&port_->readIntervalTimeoutDpc));
        EXPECT_TRUE(harness::dispatcher::IsQueued(&port_->completeReadDpc));
        return read;
    }

    void Act(Party p, Sent* read) {
        switch (p) {
        case Party::Transfer: RunDpcNow(&port_->completeReadDpc); break;
        case Party::Cancel: Cancel(read); break;
        case Party::TotalTimer: RunDpcNow(&port_->readTotalTimeoutDpc); break;
        case Party::IntervalTimer: RunDpcNow(&port_->readIntervalTimeoutDpc); break;
        }
    }
};

// Timers that have fired and DPCs that are queued hold their bits until they
// run; a cancel routine holds its bit only once IoCancelIrp has called it.
// Until then any party that finishes takes the routine away, so a cancel
// that comes after the three others finds the request already completed.
TEST_F(CompletionRuleTestHostBuildOnly, TheLastPartyStillHoldingTheRequestCompletesItInEveryOrder) {
    std::array<Party, 4> order = {Party::Transfer, Party::Cancel, Party::TotalTimer, Party::IntervalTimer};
    int permutations = 0;
    do {
        std::string trace;
        for (Party p : order) trace += std::string(Name(p)) + ", ";
        SCOPED_TRACE("order: " + trace);

        const bool cancelComesLast = order.back() == Party::Cancel;
        const size_t finisher = cancelComesLast ? 2 : 3;
        Sent* read = ReadHeldByEveryParty();
        for (size_t i = 0; i < order.size(); ++i) {
            Act(order[i], read);
            EXPECT_EQ(read->Done(), i >= finisher) << "after " << Name(order[i]);
        }
        ASSERT_TRUE(read->Done());
        EXPECT_EQ(read->status, StatusOf(order[finisher]));
        EXPECT_EQ(port_->currentReadIrp, nullptr);
        EXPECT_EQ(port_->pendingIrpCount, 1) << "back at the base count";
        EXPECT_EQ(port_->pendingDpcCount, 1) << "every DPC and timer accounted for";
        SetDpcDelivery(DpcDelivery::Immediate);
        ++permutations;
    } while (std::next_permutation(order.begin(), order.end()));
    EXPECT_EQ(permutations, 24);
}

TEST_F(CompletionRuleTestHostBuildOnly, ATransferThatFinishesFirstTakesTheTimersAndCancelRoutineAway) {
    arming.transfer = arming.totalTimer = arming.intervalTimer = true;
    Sent* read = SendRead();
    TransferDone();
    ASSERT_TRUE(read->Done());
    EXPECT_EQ(read->status, STATUS_SUCCESS);
    EXPECT_FALSE(harness::dispatcher::IsArmed(&port_->readTotalTimer));
    EXPECT_FALSE(harness::dispatcher::IsArmed(&port_->readIntervalTimer));
    EXPECT_EQ(read->irp->CancelRoutine, nullptr);
    EXPECT_EQ(port_->pendingDpcCount, 1);
}

TEST_F(CompletionRuleTestHostBuildOnly, ACancelWhileTheTotalTimeoutDpcIsQueuedEndsAsTimeout) {
    arming.totalTimer = true;
    Sent* read = SendRead();
    SetDpcDelivery(DpcDelivery::Manual);
    AdvanceClock(harness::dispatcher::TimeUntilExpiry(arming.totalDue));
    ASSERT_TRUE(harness::dispatcher::IsQueued(&port_->readTotalTimeoutDpc));

    Cancel(read);
    EXPECT_FALSE(read->Done()) << "the queued time-out DPC still holds the request";
    EXPECT_EQ(port_->currentReadIrp, read->irp);

    harness::dispatcher::RunDpcs();
    ASSERT_TRUE(read->Done());
    EXPECT_EQ(read->status, STATUS_TIMEOUT);
    EXPECT_EQ(port_->pendingDpcCount, 1);
}

TEST_F(CompletionRuleTestHostBuildOnly, ATimeoutStartsTheNextQueuedRequest) {
    arming.totalTimer = true;
    Sent* first = SendRead();
    Sent* second = SendRead();
    EXPECT_EQ(second->dispatchStatus, STATUS_PENDING);
    harness::dispatcher::RunFor(harness::dispatcher::TimeUntilExpiry(arming.totalDue));
    ASSERT_TRUE(first->Done());
    EXPECT_EQ(first->status, STATUS_TIMEOUT);
    EXPECT_EQ(port_->currentReadIrp, second->irp) << "the next read became current";
    harness::dispatcher::RunFor(harness::dispatcher::TimeUntilExpiry(arming.totalDue));
    EXPECT_EQ(second->status, STATUS_TIMEOUT);
    EXPECT_EQ(second->order, 2);
}

TEST_F(CompletionRuleTestHostBuildOnly, ACancelledRequestReportsNoBytes) {
    Sent* read = SendRead();
    read->irp->IoStatus.Information = 5;  // bytes the read had already gathered
    Cancel(read);
    ASSERT_TRUE(read->Done());
    EXPECT_EQ(read->status, STATUS_CANCELLED);
    EXPECT_EQ(read->information, 0u);
}

}  // namespace
