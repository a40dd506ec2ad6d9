// Timers: return values of setting and cancelling in every state, expiry at
// the clock ticks (relative, absolute, on a tick boundary, periodic, re-armed
// from the DPC, with a changed tick length), ordering against other timers
// and device events, and the end-of-test check.
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

LARGE_INTEGER Absolute(int64_t t) {
    LARGE_INTEGER due;
    due.QuadPart = dispatcher::BootSystemTime() + t;
    return due;
}

// The time of the n-th clock tick since boot.
int64_t Tick(int64_t n) { return n * dispatcher::TimeIncrement(); }

constexpr int64_t kOneMillisecondTick = 10000;

struct TimerProbe {
    KTIMER timer;
    KDPC dpc;
    std::vector<int64_t> fired;  // virtual times at which the DPC ran
    int rearms = 0;              // times the DPC sets its timer again
    std::vector<std::string>* log = nullptr;
    std::string name;
};

VOID NTAPI TimerDpc(PKDPC, PVOID context, PVOID, PVOID) {
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

TEST_F(DispatcherTimerTest, ATimerExpiresAtTheFirstTickAtOrAfterItsDueTime) {
    TimerProbe tenMs, minusOne, onATick;
    Init(tenMs);
    Init(minusOne);
    Init(onATick);
    KeSetTimer(&tenMs.timer, Relative(10 * kMillisecond), &tenMs.dpc);
    KeSetTimer(&minusOne.timer, Relative(1), &minusOne.dpc);  // "one tick", not 100 ns
    KeSetTimer(&onATick.timer, Absolute(Tick(3)), &onATick.dpc);
    EXPECT_EQ(static_cast<ULONGLONG>(10 * kMillisecond), tenMs.timer.DueTime.QuadPart) << "the due time, not the tick";

    dispatcher::RunUntilIdle();
    EXPECT_EQ((std::vector<int64_t>{Tick(1)}), tenMs.fired);  // 15.625 ms
    EXPECT_EQ((std::vector<int64_t>{Tick(1)}), minusOne.fired);
    EXPECT_EQ((std::vector<int64_t>{Tick(3)}), onATick.fired) << "the interrupt at T expires timers due at T";

    // Set exactly on a tick, -1 is due just after it: the following tick.
    KeSetTimer(&minusOne.timer, Relative(1), &minusOne.dpc);
    dispatcher::RunUntilIdle();
    EXPECT_EQ(Tick(4), minusOne.fired.back());
}

TEST_F(DispatcherTimerTest, WithAOneMillisecondTickTimersExpireAtTheirDueTimes) {
    ASSERT_TRUE(dispatcher::SetTimeIncrement(kOneMillisecondTick));
    EXPECT_EQ(static_cast<ULONG>(kOneMillisecondTick), KeQueryTimeIncrement());
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

// Windows computes a relative due time from the system time of the latest
// tick, so a timer set late in a tick period may expire up to a tick early.
TEST_F(DispatcherTimerTest, ARelativeDueTimeCountsFromTheLatestTick) {
    dispatcher::RunFor(10 * kMillisecond);  // 10 ms into the first tick period
    TimerProbe early, reArmed;
    Init(early);
    Init(reArmed);
    reArmed.rearms = 1;  // sets itself again for 10 ms from its own DPC, at a tick
    KeSetTimer(&early.timer, Relative(15 * kMillisecond), &early.dpc);
    KeSetTimer(&reArmed.timer, Relative(1), &reArmed.dpc);
    dispatcher::RunUntilIdle();
    EXPECT_EQ((std::vector<int64_t>{Tick(1)}), early.fired) << "due at 0 + 15 ms, not at 10 + 15 ms";
    EXPECT_EQ((std::vector<int64_t>{Tick(1), Tick(2)}), reArmed.fired);
}

TEST_F(DispatcherTimerTest, PeriodicExpiriesLandOnTicksWithoutDrift) {
    // Due at 20, 40, 60, 80 and 100 ms: each expires at the tick after it.
    // Counted from each expiry instead, the periods would drift to 31.25,
    // 62.5 and 93.75 ms.
    TimerProbe every20;
    Init(every20);
    KeSetTimerEx(&every20.timer, Relative(20 * kMillisecond), 20, &every20.dpc);
    // A period shorter than a tick: one expiry per tick, not a burst at each.
    TimerProbe every5;
    Init(every5);
    KeSetTimerEx(&every5.timer, Relative(5 * kMillisecond), 5, &every5.dpc);

    dispatcher::RunFor(Tick(7));
    EXPECT_EQ((std::vector<int64_t>{Tick(2), Tick(3), Tick(4), Tick(6), Tick(7)}), every20.fired);
    EXPECT_EQ((std::vector<int64_t>{Tick(1), Tick(2), Tick(3), Tick(4), Tick(5), Tick(6), Tick(7)}), every5.fired);
    EXPECT_EQ(static_cast<ULONGLONG>(120 * kMillisecond), every20.timer.DueTime.QuadPart);
    KeCancelTimer(&every20.timer);
    KeCancelTimer(&every5.timer);
}

TEST_F(DispatcherTimerTest, AChangedTickLengthMovesArmedTimersAndIsChecked) {
    TimerProbe probe;
    Init(probe);
    const int64_t firstTick = Tick(1);
    dispatcher::RunFor(firstTick + 2 * kMillisecond);
    KeSetTimer(&probe.timer, Relative(10 * kMillisecond), &probe.dpc);  // due at 25.625 ms: the tick at 31.25
    // The new rate ticks on from the latest tick: 16.625, 17.625, ... ms.
    ASSERT_TRUE(dispatcher::SetTimeIncrement(kOneMillisecondTick));
    dispatcher::RunUntilIdle();
    EXPECT_EQ((std::vector<int64_t>{firstTick + 10 * kMillisecond}), probe.fired);
    LARGE_INTEGER ticks;
    KeQueryTickCount(&ticks);
    EXPECT_EQ(1 + 10, ticks.QuadPart) << "one long tick, then ten short ones";

    EXPECT_FALSE(dispatcher::SetTimeIncrement(dispatcher::kMinimumTimeIncrement - 1));
    EXPECT_FALSE(dispatcher::SetTimeIncrement(dispatcher::kMaximumTimeIncrement + 1));
    EXPECT_EQ(2, TakeViolations("TIME_INCREMENT_OUT_OF_RANGE"));
    EXPECT_EQ(kOneMillisecondTick, dispatcher::TimeIncrement());
    harness::ResetKernel();
    EXPECT_EQ(dispatcher::kDefaultTimeIncrement, dispatcher::TimeIncrement());
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

    // Past by the exact clock but not by the kernel's, which stands at the
    // latest tick: it expires at the next tick.
    dispatcher::RunFor(5 * kMillisecond);
    KeSetTimer(&probe.timer, Absolute(2 * kSecond + 1 * kMillisecond), &probe.dpc);
    EXPECT_TRUE(dispatcher::IsArmed(&probe.timer));
    dispatcher::RunUntilIdle();
    EXPECT_EQ(2 * kSecond + Tick(1), probe.fired.back());
}

TEST_F(DispatcherTimerTest, EverythingDueAtOneInstantFiresInTheOrderItWasSet) {
    std::vector<std::string> log;
    TimerProbe a, b, early, later;
    Init(a, &log, "a");
    Init(b, &log, "b");
    Init(early, &log, "early");
    Init(later, &log, "later");
    KeSetTimer(&b.timer, Relative(1 * kSecond), &b.dpc);
    dispatcher::ScheduleAfter(1 * kSecond, [&] {
        log.push_back("device");
        EXPECT_EQ(DISPATCH_LEVEL, KeGetCurrentIrql());
        EXPECT_TRUE(KeReadStateTimer(&b.timer));   // expired before the event
        EXPECT_FALSE(KeReadStateTimer(&a.timer));  // set after it: not yet
    }, "status poll");
    KeSetTimer(&a.timer, Relative(1 * kSecond), &a.dpc);
    KeSetTimer(&early.timer, Relative(1 * kSecond - 1), &early.dpc);  // expires at the same tick
    KeSetTimer(&later.timer, Relative(1 * kSecond + 1), &later.dpc);  // at the next one

    // 1 s is tick 64. The event runs as it comes; the DPCs run once the tick
    // is done, in the order their timers expired.
    dispatcher::RunFor(1 * kSecond);
    EXPECT_EQ((std::vector<std::string>{"device", "b", "a", "early"}), log);
    EXPECT_EQ(1 * kSecond, dispatcher::Now());
    KeCancelTimer(&later.timer);
}

TEST_F(DispatcherTimerTest, ExpiryDoesNotQueueTheDpcTwice) {
    dispatcher::SetDpcDelivery(dispatcher::DpcDelivery::Manual);
    dispatcher::SetTimeIncrement(kOneMillisecondTick);
    TimerProbe probe;
    Init(probe);
    KeSetTimerEx(&probe.timer, Relative(1 * kMillisecond), 1, &probe.dpc);
    dispatcher::AdvanceClock(5 * kMillisecond);  // five expiries
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
