// The real-time scheduler: DPCs on emulated processors beside the thread
// that queued them, timers on the wall clock at clock ticks, waits ended
// from other threads, spin locks that exclude for real, and the verifier's
// per-thread checks on processor threads. Wall-clock assertions are lower
// bounds and orderings only: a loaded two-core machine may run anything late.
#include <atomic>
#include <chrono>
#include <functional>
#include <thread>
#include <vector>

#include "harness/kernel/dispatcher.h"
#include "harness/kernel/harness_lock.h"
#include "harness/km/wdm.h"
#include "support/kernel_test.h"

namespace dispatcher = harness::dispatcher;

namespace {

constexpr int64_t kPatience = 5 * dispatcher::kSecond;  // a generous bound for anything to happen

class RealTimeTest : public KernelTest {
protected:
    void SetUp() override {
        KernelTest::SetUp();
        dispatcher::UseRealTime(2);
    }
    void TearDown() override {
        dispatcher::UseVirtualTime();
        KernelTest::TearDown();
    }

    // Waits, on the machine, until `done` holds; false after kPatience.
    static bool Eventually(const std::function<bool()>& done) {
        return dispatcher::RunUntil(done, dispatcher::Now() + kPatience, "test");
    }
};

struct DpcProbe {
    std::atomic<bool> started{false};
    std::atomic<bool> release{false};
    std::atomic<int> processor{-2};
    std::atomic<int> irql{-1};
    std::atomic<std::thread::id> thread;
    KEVENT finished;
};

VOID NTAPI ProbeDpc(PKDPC, PVOID context, PVOID, PVOID) {
    auto* probe = static_cast<DpcProbe*>(context);
    probe->processor = dispatcher::CurrentProcessor();
    probe->irql = KeGetCurrentIrql();
    probe->thread = std::this_thread::get_id();
    probe->started = true;
    while (!probe->release.load()) std::this_thread::yield();
    KeSetEvent(&probe->finished, 0, FALSE);
}

TEST_F(RealTimeTest, ADpcRunsOnAProcessorWhileTheThreadThatQueuedItGoesOn) {
    DpcProbe probe;
    KeInitializeEvent(&probe.finished, NotificationEvent, FALSE);
    KDPC dpc;
    KeInitializeDpc(&dpc, ProbeDpc, &probe);
    ASSERT_TRUE(KeInsertQueueDpc(&dpc, nullptr, nullptr));
    // Back here at PASSIVE_LEVEL while the DPC is still spinning: it runs
    // elsewhere, not on this thread when its IRQL allowed.
    EXPECT_EQ(PASSIVE_LEVEL, KeGetCurrentIrql());
    ASSERT_TRUE(Eventually([&] { return probe.started.load(); }));
    EXPECT_FALSE(KeReadStateEvent(&probe.finished));
    // Off the queue while its routine runs: it can be queued again, and
    // then runs on the other processor at the same time.
    EXPECT_TRUE(KeInsertQueueDpc(&dpc, nullptr, nullptr));
    probe.release = true;
    LARGE_INTEGER timeout{.QuadPart = -kPatience};
    ASSERT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(&probe.finished, Executive, KernelMode, FALSE, &timeout));
    EXPECT_GE(probe.processor.load(), 0);
    EXPECT_LT(probe.processor.load(), 2);
    EXPECT_EQ(DISPATCH_LEVEL, probe.irql.load());
    EXPECT_NE(std::this_thread::get_id(), probe.thread.load());
    EXPECT_TRUE(dispatcher::RunUntilIdle(kPatience));
    EXPECT_EQ(0u, dispatcher::QueuedDpcCount());
}

struct TimerProbe {
    std::atomic<int64_t> ranAt{0};
    std::atomic<int64_t> systemTime{0};
    KEVENT fired;
};

VOID NTAPI TimerDpc(PKDPC, PVOID context, PVOID argument1, PVOID argument2) {
    auto* probe = static_cast<TimerProbe*>(context);
    probe->ranAt = dispatcher::Now();
    probe->systemTime = static_cast<int64_t>(reinterpret_cast<ULONG_PTR>(argument1) & 0xFFFFFFFFu) |
                        static_cast<int64_t>(reinterpret_cast<ULONG_PTR>(argument2)) << 32;
    KeSetEvent(&probe->fired, 0, FALSE);
}

TEST_F(RealTimeTest, ATimerExpiresOnTheWallClockAtATickAfterItsDueTime) {
    TimerProbe probe;
    KeInitializeEvent(&probe.fired, NotificationEvent, FALSE);
    KDPC dpc;
    KeInitializeDpc(&dpc, TimerDpc, &probe);
    KTIMER timer;
    KeInitializeTimer(&timer);
    const auto wallStart = std::chrono::steady_clock::now();
    const int64_t start = dispatcher::Now();
    // A relative due time counts from the latest tick.
    const int64_t due = static_cast<int64_t>(KeQueryInterruptTime()) + 20 * dispatcher::kMillisecond;
    KeSetTimer(&timer, LARGE_INTEGER{.QuadPart = -20 * dispatcher::kMillisecond}, &dpc);
    EXPECT_TRUE(dispatcher::IsArmed(&timer));

    LARGE_INTEGER timeout{.QuadPart = -kPatience};
    ASSERT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, &timeout));
    ASSERT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(&probe.fired, Executive, KernelMode, FALSE, &timeout));
    const int64_t expiry = probe.systemTime.load() - dispatcher::BootSystemTime();
    EXPECT_GE(expiry, due);
    EXPECT_EQ(0, expiry % dispatcher::TimeIncrement()) << "expired off a clock tick";
    EXPECT_GE(probe.ranAt.load(), expiry);
    const auto wallElapsed = std::chrono::steady_clock::now() - wallStart;
    EXPECT_GE(std::chrono::duration_cast<std::chrono::microseconds>(wallElapsed).count() * dispatcher::kMicrosecond,
              expiry - start);
    EXPECT_FALSE(dispatcher::IsArmed(&timer));

    // A wait's time-out ends no earlier than asked, on the wall clock too.
    KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    const int64_t before = dispatcher::Now();
    LARGE_INTEGER fiveMs{.QuadPart = -5 * dispatcher::kMillisecond};
    EXPECT_EQ(STATUS_TIMEOUT, KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &fiveMs));
    EXPECT_GE(dispatcher::Now() - before, 5 * dispatcher::kMillisecond);
}

// The clock thread looks at its queue, lets go of the dispatcher lock and
// then expires what it saw due; a thread that cancels that timer in between
// must not make it expire the next one instead (a timer an hour early) or
// take a timer off an empty queue. Each round arms a batch of timers for
// the next tick and, once the clock has started on them, cancels them from
// the back, so that the canceller meets the clock at one timer of the batch.
TEST_F(RealTimeTest, ATimerCancelledAsTheClockExpiresItLeavesLaterTimersArmed) {
    KTIMER late;
    KeInitializeTimer(&late);
    KeSetTimer(&late, LARGE_INTEGER{.QuadPart = -3600 * dispatcher::kSecond}, nullptr);
    constexpr int kBatch = 64;
    std::vector<KTIMER> batch(kBatch);
    for (KTIMER& timer : batch) KeInitializeTimer(&timer);
    for (int round = 0; round < 40; ++round) {
        for (KTIMER& timer : batch) KeSetTimer(&timer, LARGE_INTEGER{.QuadPart = -1}, nullptr);
        const auto wallLimit = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (dispatcher::IsArmed(&batch.front()) && std::chrono::steady_clock::now() < wallLimit) {
        }
        for (int i = kBatch - 1; i >= 0; --i) KeCancelTimer(&batch[i]);
        ASSERT_FALSE(KeReadStateTimer(&late)) << "round " << round << ": the hour-long timer expired";
    }
    EXPECT_TRUE(dispatcher::IsArmed(&late));
    EXPECT_EQ(1u, dispatcher::ArmedTimerCount());
    KeCancelTimer(&late);
}

// Spins on the wall clock until `done` holds or five seconds pass, without
// running the machine or setting down any lock the caller holds.
bool SpinUntil(const std::function<bool()>& done) {
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!done())
        if (std::chrono::steady_clock::now() > limit) return false;
    return true;
}

// The emulated hardware cancels its events holding the harness lock and
// takes a cancelled event as gone (a withdrawn transfer, a chip timer set
// again). The clock takes a due event off its queue and then waits for the
// harness lock: an event cancelled in between must not run after all, and
// counts as pending until then.
TEST_F(RealTimeTest, ADeviceEventCancelledWhileTheClockWaitsForTheHarnessLockNeverRuns) {
    std::atomic<int> ran{0};
    for (int round = 0; round < 3; ++round) {
        {
            harness::HarnessScope harnessState;
            const dispatcher::EventId id = dispatcher::ScheduleAfter(0, [&ran] { ++ran; }, "test: cancelled event");
            ASSERT_TRUE(SpinUntil([] { return dispatcher::ScheduledEventCount() == 0; }))
                << "the clock never took the event";
            EXPECT_TRUE(dispatcher::IsScheduled(id)) << "round " << round;
            EXPECT_TRUE(dispatcher::CancelScheduled(id)) << "round " << round;
            EXPECT_FALSE(dispatcher::IsScheduled(id));
            EXPECT_FALSE(dispatcher::CancelScheduled(id)) << "cancelled twice";
        }
        ASSERT_TRUE(dispatcher::RunUntilIdle(kPatience));
        EXPECT_EQ(0, ran.load()) << "round " << round << ": a cancelled event ran";
    }
    // One that is not cancelled still runs once the lock is free.
    {
        harness::HarnessScope harnessState;
        dispatcher::ScheduleAfter(0, [&ran] { ++ran; }, "test: kept event");
        ASSERT_TRUE(SpinUntil([] { return dispatcher::ScheduledEventCount() == 0; }));
    }
    ASSERT_TRUE(Eventually([&] { return ran.load() == 1; }));
}

// Every set of a synchronization event that found it clear (KeSetEvent
// returned 0) releases exactly one wait or leaves the event set: the
// releases plus the final state add up to those sets. A wait that took the
// event itself and let go of the dispatcher lock before leaving the wait
// list was handed the next set as well, and that signal was lost.
TEST_F(RealTimeTest, EverySetOfAClearSynchronizationEventReleasesOneWaitOrStays) {
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    std::atomic<bool> stop{false};
    std::atomic<long> effective{0}, released{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 2; ++i)
        threads.emplace_back([&] {
            while (!stop.load()) {
                LARGE_INTEGER timeout{.QuadPart = -dispatcher::kMillisecond};
                if (KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout) == STATUS_SUCCESS)
                    ++released;
            }
        });
    std::vector<std::thread> setters;
    for (int i = 0; i < 2; ++i)
        setters.emplace_back([&] {
            for (int n = 0; n < 20000; ++n) {
                if (KeSetEvent(&event, 0, FALSE) == 0) ++effective;
                if (n % 8 == 0) std::this_thread::yield();
            }
        });
    for (std::thread& t : setters) t.join();
    stop = true;
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(effective.load(), released.load() + KeReadStateEvent(&event));
}

// Two threads switching back to virtual time at once (a test's tear-down
// and an exit handler) stop the scheduler once between them.
TEST_F(RealTimeTest, TwoThreadsSwitchingToVirtualTimeAtOnceStopTheSchedulerOnce) {
    for (int round = 0; round < 30; ++round) {
        dispatcher::UseRealTime(2);
        std::atomic<int> ready{0};
        auto stop = [&ready] {
            ++ready;
            while (ready.load() < 2) {
            }
            dispatcher::UseVirtualTime();
        };
        std::thread other(stop);
        stop();
        other.join();
        ASSERT_FALSE(dispatcher::IsRealTime());
    }
}

// Stopping the scheduler waits for its threads to finish what they run,
// and a device event needs the harness lock: a caller holding it must not
// keep it from them (the switch used to hang here).
TEST_F(RealTimeTest, SwitchingToVirtualTimeHoldingTheHarnessLockLetsADueEventFinish) {
    std::atomic<int> ran{0};
    {
        harness::HarnessScope harnessState;
        dispatcher::ScheduleAfter(0, [&ran] { ++ran; }, "test: event due at the switch");
        ASSERT_TRUE(SpinUntil([] { return dispatcher::ScheduledEventCount() == 0; }));
        dispatcher::UseVirtualTime();
        EXPECT_TRUE(harness::HarnessLock().HeldByCaller());
    }
    EXPECT_EQ(1, ran.load());
}

// IoCancelIrp waits for the cancel spin lock with the harness lock set
// down; meanwhile the IRP may be freed and the heap hand its memory straight
// to the next IRP allocated. The cancel was meant for the old request and
// must leave the new one alone.
TEST_F(RealTimeTest, ACancelThatWaitedForTheCancelLockLeavesANewIrpAtTheSameAddressAlone) {
    PIRP first = IoAllocateIrp(1, FALSE);
    ASSERT_NE(nullptr, first);
    std::atomic<bool> holding{false}, release{false}, calling{false};
    std::thread holder([&] {
        KIRQL old;
        IoAcquireCancelSpinLock(&old);
        holding = true;
        while (!release.load()) std::this_thread::yield();
        IoReleaseCancelSpinLock(old);
    });
    ASSERT_TRUE(SpinUntil([&] { return holding.load(); }));
    std::atomic<int> cancelled{-1};
    std::thread canceller([&] {
        calling = true;
        cancelled = IoCancelIrp(first);
    });
    ASSERT_TRUE(SpinUntil([&] { return calling.load(); }));
    dispatcher::RunFor(100 * dispatcher::kMillisecond);  // it spins on the cancel lock by now
    IoFreeIrp(first);
    PIRP second = nullptr;
    std::vector<PIRP> others;
    for (int i = 0; i < 64 && second == nullptr; ++i) {
        PIRP irp = IoAllocateIrp(1, FALSE);
        if (irp == first)
            second = irp;
        else
            others.push_back(irp);
    }
    release = true;
    holder.join();
    canceller.join();
    for (PIRP irp : others) IoFreeIrp(irp);
    if (second == nullptr) GTEST_SKIP() << "the heap did not hand the freed IRP's memory out again";
    EXPECT_FALSE(second->Cancel) << "the new IRP was cancelled";
    EXPECT_EQ(FALSE, cancelled.load());
    IoFreeIrp(second);
}

TEST_F(RealTimeTest, ASignalFromAnotherThreadReleasesOneWaiterOfASynchronizationEventPerSet) {
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    std::atomic<int> released{0};
    std::atomic<int> waiting{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 2; ++i)
        waiters.emplace_back([&] {
            ++waiting;
            LARGE_INTEGER timeout{.QuadPart = -kPatience};
            if (KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout) == STATUS_SUCCESS) ++released;
        });
    ASSERT_TRUE(Eventually([&] { return waiting.load() == 2; }));

    std::thread([&] { KeSetEvent(&event, 0, FALSE); }).join();
    ASSERT_TRUE(Eventually([&] { return released.load() >= 1; }));
    // One set, one waiter: handed over or taken, the event is clear again
    // and the other waiter stays blocked.
    dispatcher::RunFor(10 * dispatcher::kMillisecond);
    EXPECT_EQ(1, released.load());
    EXPECT_EQ(0, KeReadStateEvent(&event));

    KeSetEvent(&event, 0, FALSE);
    for (std::thread& t : waiters) t.join();
    EXPECT_EQ(2, released.load());
    EXPECT_EQ(0, KeReadStateEvent(&event));
}

struct Contended {
    KSPIN_LOCK lock;
    int64_t counter = 0;  // plain: only the spin lock keeps it whole
    std::atomic<bool> inside{false};
    std::atomic<int> overlaps{0};
    std::atomic<int> dpcsLeft{0};
    KDPC dpcs[2];

    void Enter() {
        if (inside.exchange(true)) ++overlaps;
        ++counter;
        inside = false;
    }
};

constexpr int kRounds = 20000;

VOID NTAPI ContendingDpc(PKDPC, PVOID context, PVOID, PVOID) {
    auto* shared = static_cast<Contended*>(context);
    for (int i = 0; i < kRounds; ++i) {
        KeAcquireSpinLockAtDpcLevel(&shared->lock);
        shared->Enter();
        KeReleaseSpinLockFromDpcLevel(&shared->lock);
    }
    --shared->dpcsLeft;
}

TEST_F(RealTimeTest, ASpinLockExcludesThreadsAndProcessorsFromEachOther) {
    Contended shared;
    KeInitializeSpinLock(&shared.lock);
    shared.dpcsLeft = 2;
    for (KDPC& dpc : shared.dpcs) {
        KeInitializeDpc(&dpc, ContendingDpc, &shared);
        KeInsertQueueDpc(&dpc, nullptr, nullptr);
    }
    auto work = [&shared] {
        for (int i = 0; i < kRounds; ++i) {
            KIRQL old;
            KeAcquireSpinLock(&shared.lock, &old);
            shared.Enter();
            KeReleaseSpinLock(&shared.lock, old);
        }
    };
    std::thread other(work);
    work();
    other.join();
    ASSERT_TRUE(Eventually([&] { return shared.dpcsLeft.load() == 0; }));
    KIRQL old;
    KeAcquireSpinLock(&shared.lock, &old);
    EXPECT_EQ(4 * kRounds, shared.counter);
    KeReleaseSpinLock(&shared.lock, old);
    EXPECT_EQ(0, shared.overlaps.load());
    EXPECT_EQ(0u, shared.lock);
}

VOID NTAPI LeavesLockHeld(PKDPC, PVOID context, PVOID, PVOID) {
    KeAcquireSpinLockAtDpcLevel(static_cast<PKSPIN_LOCK>(context));
}

TEST_F(RealTimeTest, TheVerifierChecksEachProcessorThreadOnItsOwn) {
    // A DPC that returns holding a lock is reported on its processor, and
    // the lock is freed there, so this thread can take it.
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KDPC dpc;
    KeInitializeDpc(&dpc, LeavesLockHeld, &lock);
    KeInsertQueueDpc(&dpc, nullptr, nullptr);
    dispatcher::RunDpcs();  // until a processor has run it
    EXPECT_EQ(1, TakeViolations("SPIN_LOCK_HELD_AT_DPC_RETURN"));
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    EXPECT_EQ(1u, dispatcher::HeldSpinLockCount());
    KeReleaseSpinLock(&lock, old);

    // Releasing a lock another thread holds is that thread's lock, not ours.
    std::atomic<bool> held{false}, done{false};
    std::thread owner([&] {
        KIRQL o;
        KeAcquireSpinLock(&lock, &o);
        held = true;
        while (!done.load()) std::this_thread::yield();
        KeReleaseSpinLock(&lock, o);
    });
    while (!held.load()) std::this_thread::yield();
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    KeReleaseSpinLockFromDpcLevel(&lock);
    KeLowerIrql(old);
    EXPECT_EQ(1, TakeViolations("SPIN_LOCK_NOT_OWNED"));
    EXPECT_NE(0u, __atomic_load_n(&lock, __ATOMIC_SEQ_CST)) << "the owner's lock word was left alone";
    done = true;
    owner.join();
    EXPECT_EQ(0u, lock);
}

}  // namespace
