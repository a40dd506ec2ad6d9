// Events, mutexes and waits: signal states, time-outs on the virtual clock,
// waits satisfied by timer DPCs, delays, hangs, and the IRQL rules of waiting.
#include <string>

#include "harness/kernel/dispatcher.h"
#include "support/kernel_test.h"

namespace dispatcher = harness::dispatcher;
using dispatcher::kMillisecond;
using dispatcher::kSecond;

namespace {

LARGE_INTEGER Time(int64_t t) {
    LARGE_INTEGER v;
    v.QuadPart = t;
    return v;
}

VOID NTAPI SetEventDpc(PKDPC, PVOID context, PVOID, PVOID) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
}

class DispatcherWaitTest : public KernelTest {};

TEST_F(DispatcherWaitTest, NotificationAndSynchronizationEvents) {
    KEVENT notification, synchronization;
    KeInitializeEvent(&notification, NotificationEvent, FALSE);
    KeInitializeEvent(&synchronization, SynchronizationEvent, TRUE);

    EXPECT_EQ(0, KeSetEvent(&notification, IO_NO_INCREMENT, FALSE));
    EXPECT_EQ(1, KeSetEvent(&notification, IO_NO_INCREMENT, FALSE));
    LARGE_INTEGER poll = Time(0);
    EXPECT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(&notification, Executive, KernelMode, FALSE, &poll));
    EXPECT_EQ(1, KeReadStateEvent(&notification));  // stays signalled
    EXPECT_EQ(1, KeResetEvent(&notification));
    EXPECT_EQ(0, KeResetEvent(&notification));

    EXPECT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(&synchronization, Executive, KernelMode, FALSE, &poll));
    EXPECT_EQ(0, KeReadStateEvent(&synchronization));  // the satisfied wait reset it
    EXPECT_EQ(STATUS_TIMEOUT, KeWaitForSingleObject(&synchronization, Executive, KernelMode, FALSE, &poll));
    EXPECT_EQ(0, dispatcher::Now());
}

TEST_F(DispatcherWaitTest, TimeOutCostsOnlyVirtualTimeAndEndsExactlyAtTheDeadline) {
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    LARGE_INTEGER timeout = Time(-3 * kSecond);
    EXPECT_EQ(STATUS_TIMEOUT, KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout));
    EXPECT_EQ(3 * kSecond, dispatcher::Now());

    timeout = Time(dispatcher::BootSystemTime() + 5 * kSecond);  // absolute
    EXPECT_EQ(STATUS_TIMEOUT, KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout));
    EXPECT_EQ(5 * kSecond, dispatcher::Now());
}

// Waits and delays end at their exact deadline, between clock ticks; only
// a timer waited on keeps to the ticks.
TEST_F(DispatcherWaitTest, TimeOutsAndDelaysAreNotRoundedToClockTicks) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    LARGE_INTEGER timeout = Time(-10 * kMillisecond);
    EXPECT_EQ(STATUS_TIMEOUT, KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout));
    EXPECT_EQ(10 * kMillisecond, dispatcher::Now());
    LARGE_INTEGER interval = Time(-1);
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
    EXPECT_EQ(10 * kMillisecond + 1, dispatcher::Now());

    KTIMER timer;
    KeInitializeTimer(&timer);
    KeSetTimer(&timer, Time(-1), nullptr);
    timeout = Time(-1 * kSecond);
    EXPECT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, &timeout));
    EXPECT_EQ(dispatcher::TimeIncrement(), dispatcher::Now()) << "the timer expired at the first tick";
}

TEST_F(DispatcherWaitTest, WaitSatisfiedByATimerDpcThatSetsTheEvent) {
    KEVENT event;
    KTIMER timer;
    KDPC dpc;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    KeInitializeTimer(&timer);
    KeInitializeDpc(&dpc, SetEventDpc, &event);
    KeSetTimer(&timer, Time(-250 * kMillisecond), &dpc);

    LARGE_INTEGER timeout = Time(-10 * kSecond);
    EXPECT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout));
    EXPECT_EQ(250 * kMillisecond, dispatcher::Now());
    EXPECT_EQ(0, KeReadStateEvent(&event));
}

// Setting a synchronization event that a thread waits on releases the
// thread without the event ever being seen set: the signaller reads it
// clear, and a second set before the waiter runs is kept for the next wait
// instead of being swallowed by the first.
VOID NTAPI SetEventTwiceDpc(PKDPC, PVOID context, PVOID, PVOID) {
    auto* event = static_cast<PKEVENT>(context);
    EXPECT_EQ(0, KeSetEvent(event, IO_NO_INCREMENT, FALSE));
    EXPECT_EQ(0, KeReadStateEvent(event)) << "handed to the waiter, never signalled";
    EXPECT_EQ(0, KeSetEvent(event, IO_NO_INCREMENT, FALSE));
    EXPECT_EQ(1, KeReadStateEvent(event));
}

TEST_F(DispatcherWaitTest, ASynchronizationEventSetUnderAWaiterReleasesItAndStaysClear) {
    KEVENT event;
    KTIMER timer;
    KDPC dpc;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    KeInitializeTimer(&timer);
    KeInitializeDpc(&dpc, SetEventTwiceDpc, &event);
    KeSetTimer(&timer, Time(-10 * kMillisecond), &dpc);
    EXPECT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr));
    EXPECT_EQ(1, KeReadStateEvent(&event)) << "the second set is still there";
    LARGE_INTEGER poll = Time(0);
    EXPECT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &poll));
    EXPECT_EQ(STATUS_TIMEOUT, KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &poll));

    // A synchronization timer's expiry releases its waiter the same way.
    KTIMER synchronization;
    KeInitializeTimerEx(&synchronization, SynchronizationTimer);
    KeSetTimer(&synchronization, Time(-10 * kMillisecond), nullptr);
    EXPECT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(&synchronization, Executive, KernelMode, FALSE, nullptr));
    EXPECT_FALSE(KeReadStateTimer(&synchronization));
}

TEST_F(DispatcherWaitTest, WaitsOnTimersAndDelays) {
    KTIMER notification, synchronization;
    KeInitializeTimer(&notification);
    KeInitializeTimerEx(&synchronization, SynchronizationTimer);
    KeSetTimer(&notification, Time(-1 * kSecond), nullptr);
    KeSetTimer(&synchronization, Time(-2 * kSecond), nullptr);
    EXPECT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(&notification, Executive, KernelMode, FALSE, nullptr));
    EXPECT_EQ(1 * kSecond, dispatcher::Now());
    EXPECT_TRUE(KeReadStateTimer(&notification));
    EXPECT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(&synchronization, Executive, KernelMode, FALSE, nullptr));
    EXPECT_FALSE(KeReadStateTimer(&synchronization));

    int ran = 0;
    dispatcher::ScheduleAfter(40 * kMillisecond, [&] { ++ran; }, "device");
    LARGE_INTEGER interval = Time(-100 * kMillisecond);
    EXPECT_EQ(STATUS_SUCCESS, KeDelayExecutionThread(KernelMode, FALSE, &interval));
    EXPECT_EQ(1, ran);
    EXPECT_EQ(2 * kSecond + 100 * kMillisecond, dispatcher::Now());
}

TEST_F(DispatcherWaitTest, WaitsThatCanNeverEndAreReportedAsHangs) {
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    EXPECT_EQ(STATUS_TIMEOUT, KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr));
    ASSERT_EQ(1u, harness::RecordedViolations().size());
    EXPECT_NE(std::string::npos, harness::RecordedViolations()[0].message.find("synchronization event"));
    EXPECT_EQ(1, TakeViolations("WAIT_HANG"));

    // Only periodic activity left: a hang once the horizon has passed.
    dispatcher::SetHangHorizon(1 * kSecond);
    KTIMER ticker;
    KeInitializeTimer(&ticker);
    KeSetTimerEx(&ticker, Time(-100 * kMillisecond), 100, nullptr);
    EXPECT_EQ(STATUS_TIMEOUT, KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr));
    EXPECT_EQ(1, TakeViolations("WAIT_HANG"));
    KeCancelTimer(&ticker);
}

TEST_F(DispatcherWaitTest, IrqlRulesOfWaiting) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    LARGE_INTEGER poll = Time(0), timeout = Time(-1 * kSecond);
    KIRQL old;

    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_EQ(STATUS_TIMEOUT, KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &poll));  // legal poll
    EXPECT_TRUE(harness::RecordedViolations().empty());
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
    EXPECT_EQ(1, TakeViolations("IRQL_NOT_LESS_OR_EQUAL"));
    KeLowerIrql(old);

    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KeAcquireSpinLock(&lock, &old);
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &poll);
    KeDelayExecutionThread(KernelMode, FALSE, &timeout);
    EXPECT_EQ(2, TakeViolations("IRQL_NOT_LESS_OR_EQUAL"));
    KeReleaseSpinLock(&lock, old);
    EXPECT_EQ(0, dispatcher::Now());

    // At APC_LEVEL (a fast mutex held) waiting is allowed.
    FAST_MUTEX mutex;
    ExInitializeFastMutex(&mutex);
    ExAcquireFastMutex(&mutex);
    EXPECT_EQ(STATUS_TIMEOUT, KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout));
    ExReleaseFastMutex(&mutex);

    // KeSetEvent(Wait = TRUE) returns at DISPATCH_LEVEL; the wait that
    // follows brings the thread back down.
    KeSetEvent(&event, IO_NO_INCREMENT, TRUE);
    EXPECT_EQ(DISPATCH_LEVEL, KeGetCurrentIrql());
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
    EXPECT_EQ(PASSIVE_LEVEL, KeGetCurrentIrql());
}

TEST_F(DispatcherWaitTest, KernelMutexesAreOwnedAndRecursive) {
    KMUTEX mutex;
    KeInitializeMutex(&mutex, 0);
    EXPECT_EQ(1, KeReadStateMutex(&mutex));
    EXPECT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr));
    EXPECT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr));
    EXPECT_EQ(-1, KeReleaseMutex(&mutex, FALSE));
    harness::VerifyQuiescent();
    EXPECT_EQ(1, TakeViolations("MUTEX_HELD_AT_END"));
    EXPECT_EQ(0, KeReleaseMutex(&mutex, FALSE));
    EXPECT_EQ(1, KeReadStateMutex(&mutex));
    KeReleaseMutex(&mutex, FALSE);
    EXPECT_EQ(1, TakeViolations("MUTEX_NOT_OWNED"));
}

}  // namespace
