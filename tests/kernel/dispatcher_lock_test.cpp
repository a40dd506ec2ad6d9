// IRQL, spin locks and fast mutexes: correct use is silent, every misuse is
// reported naming the routine, and the thread ends back at PASSIVE_LEVEL.
#include <cstring>
#include <thread>

#include "harness/kernel/dispatcher.h"
#include "support/kernel_test.h"

namespace dispatcher = harness::dispatcher;

namespace {

class DispatcherLockTest : public KernelTest {
protected:
    // The only violation recorded is `check`, caught in `routine`.
    void ExpectOnly(const char* check, const char* routine) {
        ASSERT_EQ(1u, harness::RecordedViolations().size()) << check;
        EXPECT_EQ(routine, harness::RecordedViolations()[0].routine);
        EXPECT_EQ(1, TakeViolations(check));
    }
};

TEST_F(DispatcherLockTest, IrqlIsRaisedAndLoweredPerThread) {
    KIRQL old = HIGH_LEVEL;
    KeRaiseIrql(APC_LEVEL, &old);
    EXPECT_EQ(PASSIVE_LEVEL, old);
    EXPECT_EQ(APC_LEVEL, KeRaiseIrqlToDpcLevel());
    KIRQL other = HIGH_LEVEL;
    std::thread([&] { other = KeGetCurrentIrql(); }).join();
    EXPECT_EQ(PASSIVE_LEVEL, other);
    KeLowerIrql(PASSIVE_LEVEL);
    EXPECT_TRUE(harness::RecordedViolations().empty());

    KeRaiseIrql(DISPATCH_LEVEL, &old);
    KeRaiseIrql(APC_LEVEL, &old);
    ExpectOnly("IRQL_NOT_GREATER_OR_EQUAL", "KeRaiseIrql");
    KeLowerIrql(PASSIVE_LEVEL);
    KeLowerIrql(APC_LEVEL);
    ExpectOnly("IRQL_NOT_LESS_OR_EQUAL", "KeLowerIrql");
    EXPECT_EQ(PASSIVE_LEVEL, KeGetCurrentIrql());
}

TEST_F(DispatcherLockTest, SpinLocksRecordTheirOwnerAndNestInEitherOrder) {
    KSPIN_LOCK a, b;
    KeInitializeSpinLock(&a);
    KeInitializeSpinLock(&b);
    KIRQL oldA, oldB;
    KeAcquireSpinLock(&a, &oldA);
    EXPECT_EQ(DISPATCH_LEVEL, KeGetCurrentIrql());
    EXPECT_NE(0u, a);
    KeAcquireSpinLock(&b, &oldB);
    EXPECT_EQ(DISPATCH_LEVEL, oldB);
    EXPECT_EQ(2u, dispatcher::HeldSpinLockCount());
    // Out-of-order release, handing the IRQLs over as a driver must.
    KeReleaseSpinLock(&a, oldB);
    KeReleaseSpinLock(&b, oldA);
    EXPECT_EQ(0u, a | b);
    EXPECT_EQ(PASSIVE_LEVEL, KeGetCurrentIrql());

    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    KeAcquireSpinLockAtDpcLevel(&a);
    KeReleaseSpinLockFromDpcLevel(&a);
    KeLowerIrql(old);
    EXPECT_TRUE(harness::RecordedViolations().empty());
}

TEST_F(DispatcherLockTest, SpinLockMisuseIsReported) {
    KSPIN_LOCK lock, other;
    KeInitializeSpinLock(&lock);
    KeInitializeSpinLock(&other);
    KIRQL old;

    KeAcquireSpinLock(&lock, &old);
    KeAcquireSpinLockAtDpcLevel(&lock);
    ExpectOnly("SPIN_LOCK_ALREADY_OWNED", "KeAcquireSpinLockAtDpcLevel");
    KeReleaseSpinLockFromDpcLevel(&other);
    ExpectOnly("SPIN_LOCK_NOT_OWNED", "KeReleaseSpinLockFromDpcLevel");
    KeLowerIrql(PASSIVE_LEVEL);
    ExpectOnly("SPIN_LOCK_HELD_BELOW_DISPATCH", "KeLowerIrql");
    KeReleaseSpinLock(&lock, DISPATCH_LEVEL);
    ExpectOnly("IRQL_NOT_LESS_OR_EQUAL", "KeReleaseSpinLock");

    KeAcquireSpinLockAtDpcLevel(&lock);  // at PASSIVE_LEVEL
    ExpectOnly("IRQL_NOT_GREATER_OR_EQUAL", "KeAcquireSpinLockAtDpcLevel");
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    KeReleaseSpinLockFromDpcLevel(&lock);
    KeLowerIrql(PASSIVE_LEVEL);

    // A lock word nobody initialised (pool pattern) can never be acquired.
    std::memset(&lock, 0xA5, sizeof lock);
    KeAcquireSpinLock(&lock, &old);
    ExpectOnly("SPIN_LOCK_DEADLOCK", "KeAcquireSpinLockRaiseToDpc");
    KeReleaseSpinLock(&lock, old);
    EXPECT_TRUE(harness::RecordedViolations().empty());
}

TEST_F(DispatcherLockTest, FastMutexesHoldApcLevelAndCatchMisuse) {
    FAST_MUTEX mutex;
    ExInitializeFastMutex(&mutex);
    ExAcquireFastMutex(&mutex);
    EXPECT_EQ(APC_LEVEL, KeGetCurrentIrql());
    EXPECT_EQ(FALSE, ExTryToAcquireFastMutex(&mutex));
    ExAcquireFastMutex(&mutex);
    ExpectOnly("FAST_MUTEX_RECURSIVE_ACQUIRE", "ExAcquireFastMutex");
    ExReleaseFastMutex(&mutex);
    EXPECT_EQ(PASSIVE_LEVEL, KeGetCurrentIrql());
    ExReleaseFastMutex(&mutex);
    ExpectOnly("FAST_MUTEX_NOT_OWNED", "ExReleaseFastMutex");

    KIRQL old;
    KeRaiseIrql(APC_LEVEL, &old);
    EXPECT_EQ(TRUE, ExTryToAcquireFastMutex(&mutex));
    ExReleaseFastMutex(&mutex);
    EXPECT_EQ(APC_LEVEL, KeGetCurrentIrql());  // the acquirer's IRQL comes back
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    ExAcquireFastMutex(&mutex);
    ExpectOnly("FAST_MUTEX_WRONG_IRQL", "ExAcquireFastMutex");
    KeLowerIrql(PASSIVE_LEVEL);
    EXPECT_TRUE(harness::RecordedViolations().empty());
}

TEST_F(DispatcherLockTest, SignallingAboveDispatchLevelIsReported) {
    KEVENT event;
    KTIMER timer;
    KDPC dpc;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    KeInitializeTimer(&timer);
    KeInitializeDpc(&dpc, [](PKDPC, PVOID, PVOID, PVOID) NTAPI {}, nullptr);
    LARGE_INTEGER due;
    due.QuadPart = -1;
    KIRQL old;
    KeRaiseIrql(HIGH_LEVEL, &old);
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    KeInsertQueueDpc(&dpc, nullptr, nullptr);  // allowed at any IRQL
    KeSetTimer(&timer, due, nullptr);
    KeCancelTimer(&timer);
    EXPECT_EQ(3, TakeViolations("IRQL_NOT_LESS_OR_EQUAL"));
    KeLowerIrql(old);  // the DPC runs here
    EXPECT_EQ(0u, dispatcher::QueuedDpcCount());
}

TEST_F(DispatcherLockTest, EndOfTestReportsLocksAndRaisedIrql) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    harness::VerifyQuiescent();
    EXPECT_EQ(1, TakeViolations("SPIN_LOCK_HELD_AT_END"));
    EXPECT_EQ(1, TakeViolations("IRQL_NOT_PASSIVE_AT_END"));
    KeReleaseSpinLock(&lock, old);
}

}  // namespace
