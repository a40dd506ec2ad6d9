// Timers: return values of setting and cancelling in every state, expiry on
// the virtual clock (relative, absolute, periodic, re-armed from the DPC),
// ordering against other timers and device events, and the end-of-test check.
#include <string>
#include <vector>

#include "harness/kernel/dispatcher.h"
#include "support/kernel_test.h"

namespace dispatcher = harness::dispatcher;
using dispatcher::kMillisecond;
using dispatcher::kSecond;

namespace {

LARGE_INTEGER Relative(int64_t t) {
    LARGE_INTEGER due;
    due.QuadPart = -t;
    return due;
}

struct TimerProbe {
    KTIMER timer;
    KDPC dpc;
    std::vector<int64_t> fired;  // virtual times at which the DPC ran
    int rearms = 0;              // times the DPC sets its timer again
    std::vector<std::string>* log = nullptr;
    std::string name;
};

VOID TimerDpc(PKDPC, PVOID context, PVOID, PVOID) {
    auto* probe = static_cast<TimerProbe*>(context);
    probe->fired.push_back(dispatcher::Now());
    if (probe->log) probe->log->push_back(probe->name);
    // While the DPC runs, a one-shot timer is no longer set; a periodic one already is again.
    EXPECT_EQ(probe->timer.Period != 0, dispatcher::IsArmed(&probe->timer));
    if (probe->timer.Period == 0) {
        EXPECT_EQ(FALSE, KeCancelTimer(&probe->timer));
    }
    if (probe->rearms > 0) {
        --probe->rearms;
        EXPECT_EQ(FALSE, KeSetTimer(&probe->timer, Relative(10 * kMillisecond), &probe->dpc));
    }
}

void Init(TimerProbe& probe, std::vector<std::string>* log = nullptr, std::string name = "") {
    KeInitializeTimer(&probe.timer);
    KeInitializeDpc(&probe.dpc, TimerDpc, &probe);
    probe.log = log;
    probe.name = std::move(name);
}

class DispatcherTimerTest : public KernelTest {};

TEST_F(DispatcherTimerTest, SetAndCancelReturnValuesInEveryState) {
    TimerProbe probe;
    Init(probe);
    EXPECT_EQ(FALSE, KeCancelTimer(&probe.timer));                                         // idle
    EXPECT_EQ(FALSE, KeSetTimer(&probe.timer, Relative(1 * kSecond), &probe.dpc));        // idle
    EXPECT_EQ(TRUE, KeSetTimer(&probe.timer, Relative(2 * kSecond), &probe.dpc));         // armed
    EXPECT_EQ(TRUE, KeCancelTimer(&probe.timer));
    EXPECT_EQ(FALSE, KeCancelTimer(&probe.timer));

    KeSetTimer(&probe.timer, Relative(1 * kSecond), &probe.dpc);
    EXPECT_EQ(TRUE, KeSetTimer(&probe.timer, Relative(2 * kSecond), &probe.dpc));  // new due replaces old
    dispatcher::RunFor(3 * kSecond);
    EXPECT_EQ((std::vector<int64_t>{2 * kSecond}), probe.fired);
    EXPECT_TRUE(KeReadStateTimer(&probe.timer));                                   // fired: signalled
    EXPECT_EQ(FALSE, KeCancelTimer(&probe.timer));                                 // fired
    EXPECT_EQ(FALSE, KeSetTimer(&probe.timer, Relative(1 * kSecond), nullptr));   // fired
    EXPECT_FALSE(KeReadStateTimer(&probe.timer));                                  // setting clears it
    EXPECT_EQ(TRUE, KeCancelTimer(&probe.timer));
}

TEST_F(DispatcherTimerTest, TimerReArmedFromItsOwnDpcAndPeriodicTimers) {
    TimerProbe oneShot;
    Init(oneShot);
    oneShot.rearms = 2;
    KeSetTimer(&oneShot.timer, Relative(10 * kMillisecond), &oneShot.dpc);

    // Periodic: first due at 5 ms, then every 10 ms from the due time.
    TimerProbe periodic;
    Init(periodic);
    KeSetTimerEx(&periodic.timer, Relative(5 * kMillisecond), 10, &periodic.dpc);

    dispatcher::RunFor(36 * kMillisecond);
    EXPECT_EQ((std::vector<int64_t>{10 * kMillisecond, 20 * kMillisecond, 30 * kMillisecond}), oneShot.fired);
    EXPECT_EQ((std::vector<int64_t>{5 * kMillisecond, 15 * kMillisecond, 25 * kMillisecond, 35 * kMillisecond}),
              periodic.fired);
    EXPECT_FALSE(dispatcher::IsArmed(&oneShot.timer));
    EXPECT_EQ(TRUE, KeCancelTimer(&periodic.timer));
}

TEST_F(DispatcherTimerTest, AbsoluteDueTimesAreSystemTimes) {
    TimerProbe probe;
    Init(probe);
    LARGE_INTEGER due;
    due.QuadPart = dispatcher::BootSystemTime() + 2 * kSecond;
    KeSetTimer(&probe.timer, due, &probe.dpc);
    EXPECT_EQ(static_cast<ULONGLONG>(2 * kSecond), probe.timer.DueTime.QuadPart);
    dispatcher::RunUntilIdle();
    EXPECT_EQ((std::vector<int64_t>{2 * kSecond}), probe.fired);

    // A due time already past expires at once; its DPC runs when IRQL allows.
    due.QuadPart = dispatcher::BootSystemTime();
    KeSetTimer(&probe.timer, due, &probe.dpc);
    EXPECT_EQ(2u, probe.fired.size());
    EXPECT_TRUE(KeReadStateTimer(&probe.timer));
}

TEST_F(DispatcherTimerTest, EverythingDueAtOneInstantFiresInTheOrderItWasSet) {
    std::vector<std::string> log;
    TimerProbe a, b, early;
    Init(a, &log, "a");
    Init(b, &log, "b");
    Init(early, &log, "early");
    KeSetTimer(&b.timer, Relative(1 * kSecond), &b.dpc);
    dispatcher::ScheduleAfter(1 * kSecond, [&] {
        log.push_back("device");
        EXPECT_EQ(DISPATCH_LEVEL, KeGetCurrentIrql());
        EXPECT_TRUE(KeReadStateTimer(&b.timer));   // expired before the event
        EXPECT_FALSE(KeReadStateTimer(&a.timer));  // set after it: not yet
    }, "status poll");
    KeSetTimer(&a.timer, Relative(1 * kSecond), &a.dpc);
    KeSetTimer(&early.timer, Relative(1 * kSecond - 1), &early.dpc);

    dispatcher::RunFor(1 * kSecond);
    EXPECT_EQ((std::vector<std::string>{"early", "device", "b", "a"}), log);
    EXPECT_EQ(1 * kSecond, dispatcher::Now());
}

TEST_F(DispatcherTimerTest, ExpiryDoesNotQueueTheDpcTwice) {
    dispatcher::SetDpcDelivery(dispatcher::DpcDelivery::Manual);
    TimerProbe probe;
    Init(probe);
    KeSetTimerEx(&probe.timer, Relative(1 * kMillisecond), 1, &probe.dpc);
    dispatcher::AdvanceClock(5 * kMillisecond);
    EXPECT_EQ(1u, dispatcher::QueuedDpcCount());
    dispatcher::RunDpcs();
    EXPECT_EQ(1u, probe.fired.size());
    KeCancelTimer(&probe.timer);
}

TEST_F(DispatcherTimerTest, ForgottenOrReinitialisedTimersAreReported) {
    TimerProbe probe;
    Init(probe);
    KeSetTimer(&probe.timer, Relative(1500 * kMillisecond), &probe.dpc);
    harness::VerifyQuiescent();
    ASSERT_EQ(1u, harness::RecordedViolations().size());
    EXPECT_NE(std::string::npos, harness::RecordedViolations()[0].message.find("1.500000 s"));
    EXPECT_EQ(1, TakeViolations("TIMER_ARMED_AT_END"));

    KeInitializeTimer(&probe.timer);
    EXPECT_EQ(1, TakeViolations("TIMER_REINITIALIZED_WHILE_ARMED"));
    EXPECT_EQ(0u, dispatcher::ArmedTimerCount());
}

}  // namespace
