// The virtual clock, scheduled device events and the run calls tests use.
#include <string>
#include <vector>

#include "harness/kernel/dispatcher.h"
#include "support/kernel_test.h"

namespace dispatcher = harness::dispatcher;
using dispatcher::kMillisecond;
using dispatcher::kSecond;

namespace {

class DispatcherClockTest : public KernelTest {};

TEST_F(DispatcherClockTest, TimeRoutinesFollowTheVirtualClock) {
    LARGE_INTEGER t;
    KeQuerySystemTime(&t);
    EXPECT_EQ(134116992000000000LL, t.QuadPart);  // 2026-01-01 00:00 UTC
    EXPECT_EQ(156250u, KeQueryTimeIncrement());

    dispatcher::RunFor(1 * kSecond);
    KeQueryTickCount(&t);
    EXPECT_EQ(64, t.QuadPart);
    EXPECT_EQ(static_cast<ULONGLONG>(kSecond), KeQueryInterruptTime());
    LARGE_INTEGER frequency;
    EXPECT_EQ(kSecond, KeQueryPerformanceCounter(&frequency).QuadPart);
    EXPECT_EQ(kSecond, frequency.QuadPart);  // counts 100 ns units
    EXPECT_EQ("1.000000 s", dispatcher::FormatTime(dispatcher::Now()));
    EXPECT_EQ("0.000250 s", dispatcher::FormatTime(250 * dispatcher::kMicrosecond));

    // A stall lets time pass but runs nothing; what came due fires next run.
    int ran = 0;
    dispatcher::ScheduleAfter(10 * dispatcher::kMicrosecond, [&] { ++ran; }, "late");
    KeStallExecutionProcessor(50);
    EXPECT_EQ(0, ran);
    EXPECT_EQ(kSecond + 50 * dispatcher::kMicrosecond, dispatcher::Now());
    dispatcher::RunFor(0);
    EXPECT_EQ(1, ran);
}

// System time, interrupt time and the tick count are stored by the clock
// interrupt and stand still between ticks; the performance counter does not.
TEST_F(DispatcherClockTest, KernelTimeStepsWithTheClockTicks) {
    const int64_t tick = dispatcher::TimeIncrement();
    auto expectKernelTimeAt = [](int64_t tickTime, int64_t ticks) {
        LARGE_INTEGER t;
        KeQueryTickCount(&t);
        EXPECT_EQ(ticks, t.QuadPart);
        EXPECT_EQ(static_cast<ULONGLONG>(tickTime), KeQueryInterruptTime());
        KeQuerySystemTime(&t);
        EXPECT_EQ(dispatcher::BootSystemTime() + tickTime, t.QuadPart);
        EXPECT_EQ(dispatcher::Now(), KeQueryPerformanceCounter(nullptr).QuadPart);
    };
    dispatcher::RunFor(tick - 1);
    expectKernelTimeAt(0, 0);
    dispatcher::RunFor(1);
    expectKernelTimeAt(tick, 1);
    KeStallExecutionProcessor(20 * 1000);  // 20 ms spin: the clock interrupt still comes
    expectKernelTimeAt(2 * tick, 2);

    // A raised timer resolution: the count goes on from the latest tick.
    ASSERT_TRUE(dispatcher::SetTimeIncrement(10000));
    EXPECT_EQ(10000u, KeQueryTimeIncrement());
    expectKernelTimeAt(2 * tick + 4 * 10000, 2 + 4);  // at 35.625 ms, 4.375 ms past the latest long tick
    dispatcher::RunFor(tick);
    expectKernelTimeAt(2 * tick + 20 * 10000, 2 + 20);
}

TEST_F(DispatcherClockTest, DeviceEventsRunInTimeOrderFifoAndCanBeCancelled) {
    std::vector<std::string> log;
    auto note = [&](std::string name) {
        return [&log, name] {
            EXPECT_EQ(DISPATCH_LEVEL, KeGetCurrentIrql());
            log.push_back(name + "@" + dispatcher::FormatTime(dispatcher::Now()));
        };
    };
    dispatcher::ScheduleAt(2 * kMillisecond, note("b"), "b");
    dispatcher::ScheduleAt(1 * kMillisecond, note("a"), "a");
    const dispatcher::EventId dropped = dispatcher::ScheduleAt(2 * kMillisecond, note("x"), "x");
    dispatcher::ScheduleAt(2 * kMillisecond, note("c"), "c");
    EXPECT_TRUE(dispatcher::CancelScheduled(dropped));
    EXPECT_FALSE(dispatcher::CancelScheduled(dropped));

    EXPECT_TRUE(dispatcher::RunUntilIdle());
    EXPECT_EQ((std::vector<std::string>{"a@0.001000 s", "b@0.002000 s", "c@0.002000 s"}), log);
    EXPECT_EQ(2 * kMillisecond, dispatcher::Now());
}

TEST_F(DispatcherClockTest, RunCallsStopAtTheirBounds) {
    KTIMER ticker;
    KeInitializeTimer(&ticker);
    LARGE_INTEGER due;
    due.QuadPart = -10 * kMillisecond;
    KeSetTimerEx(&ticker, due, 10, nullptr);
    EXPECT_FALSE(dispatcher::RunUntilIdle(1 * kSecond));  // periodic: never idle
    EXPECT_EQ(1 * kSecond, dispatcher::Now());
    KeCancelTimer(&ticker);

    // Device activity that keeps re-scheduling itself at the same instant.
    std::function<void()> again = [&] { dispatcher::ScheduleAfter(0, again, "again"); };
    dispatcher::ScheduleAfter(0, again, "again");
    dispatcher::RunFor(1 * kMillisecond);
    EXPECT_EQ(1, TakeViolations("DPC_LIVELOCK"));
}

TEST_F(DispatcherClockTest, ResetReturnsTheMachineToPowerOn) {
    dispatcher::SetDpcDelivery(dispatcher::DpcDelivery::Manual);
    dispatcher::RunFor(5 * kSecond);
    dispatcher::ScheduleAfter(1 * kSecond, [] {}, "pending");
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    harness::ResetKernel();
    EXPECT_EQ(0, dispatcher::Now());
    EXPECT_EQ(0u, dispatcher::ScheduledEventCount());
    EXPECT_EQ(PASSIVE_LEVEL, KeGetCurrentIrql());
    EXPECT_EQ(dispatcher::DpcDelivery::Immediate, dispatcher::GetDpcDelivery());
}

}  // namespace
