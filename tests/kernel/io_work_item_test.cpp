// Work items: the routine runs at PASSIVE_LEVEL when the machine runs, the
// device object is referenced while the item is queued, and the misuses
// Windows bug-checks are reported.
#include "harness/kernel/dispatcher.h"
#include "harness/kernel/pool.h"
#include "io_test_driver.h"

namespace {

using harness::dispatcher::QueuedPassiveWorkCount;
using harness::dispatcher::RunFor;

struct Seen {
    int runs = 0;
    KIRQL irql = HIGH_LEVEL;
    PDEVICE_OBJECT device = nullptr;
    PVOID context = nullptr;
    PIO_WORKITEM freeItem = nullptr;  // freed by the routine itself when set
};
Seen seen;

VOID NTAPI RecordingRoutine(PDEVICE_OBJECT device, PVOID context) {
    ++seen.runs;
    seen.irql = KeGetCurrentIrql();
    seen.device = device;
    seen.context = context;
    if (seen.freeItem != nullptr) IoFreeWorkItem(seen.freeItem);
}

class WorkItemTest : public IoTest {
protected:
    void SetUp() override {
        IoTest::SetUp();
        seen = Seen{};
        device_ = AddDevice(nullptr);
    }
    PDEVICE_OBJECT device_ = nullptr;
};

TEST_F(WorkItemTest, TheRoutineRunsAtPassiveLevelWhenTheMachineRunsWithTheDeviceReferenced) {
    PIO_WORKITEM item = IoAllocateWorkItem(device_);
    ASSERT_NE(item, nullptr);
    seen.freeItem = item;
    int context = 0;
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);  // queued from a DPC, as drivers do
    IoQueueWorkItem(item, RecordingRoutine, DelayedWorkQueue, &context);
    KeLowerIrql(old);
    EXPECT_EQ(seen.runs, 0) << "queued work waits for a worker thread";
    // The item keeps the device object, not an open of it.
    EXPECT_EQ(device_->DeviceObjectExtension->objectReferences, 1);
    EXPECT_EQ(device_->ReferenceCount, 0);

    RunFor(0);
    EXPECT_EQ(seen.runs, 1);
    EXPECT_EQ(seen.irql, PASSIVE_LEVEL);
    EXPECT_EQ(seen.device, device_);
    EXPECT_EQ(seen.context, &context);
    EXPECT_EQ(device_->DeviceObjectExtension->objectReferences, 0);
    EXPECT_EQ(QueuedPassiveWorkCount(), 0u);
}

TEST_F(WorkItemTest, ADeviceDeletedWhileItsWorkItemIsQueuedLivesUntilTheRoutineHasRun) {
    PIO_WORKITEM item = IoAllocateWorkItem(device_);
    seen.freeItem = item;
    IoQueueWorkItem(item, RecordingRoutine, DelayedWorkQueue, nullptr);
    IoDeleteDevice(device_);
    EXPECT_TRUE(harness::io::IsLiveDevice(device_)) << "the work item's reference keeps the device object";
    RunFor(0);
    EXPECT_EQ(seen.runs, 1);
    EXPECT_FALSE(harness::io::IsLiveDevice(device_));
}

TEST_F(WorkItemTest, QueuingOrFreeingAnItemThatHasNotRunIsWorkerInvalid) {
    PIO_WORKITEM item = IoAllocateWorkItem(device_);
    IoQueueWorkItem(item, RecordingRoutine, DelayedWorkQueue, nullptr);
    IoQueueWorkItem(item, RecordingRoutine, DelayedWorkQueue, nullptr);
    EXPECT_EQ(TakeViolations("WORK_ITEM_QUEUED_TWICE"), 1);
    IoFreeWorkItem(item);
    EXPECT_EQ(TakeViolations("WORK_ITEM_FREED_QUEUED"), 1);
    EXPECT_EQ(harness::FindWindowsBugCheck("WORK_ITEM_FREED_QUEUED")->code, 0xE4u);

    RunFor(0);
    EXPECT_EQ(seen.runs, 1) << "the item was queued once";
    IoFreeWorkItem(item);  // after its routine ran, freeing is fine
}

TEST_F(WorkItemTest, AnItemNeverFreedIsAPoolLeakAndOneNeverRunIsReportedAtTheEnd) {
    ASSERT_NE(IoAllocateWorkItem(device_), nullptr);
    harness::VerifyQuiescent();
    EXPECT_EQ(TakeViolations("POOL_LEAK"), 1);

    PIO_WORKITEM queued = IoAllocateWorkItem(device_);
    IoQueueWorkItem(queued, RecordingRoutine, DelayedWorkQueue, nullptr);
    harness::VerifyQuiescent();
    EXPECT_EQ(TakeViolations("WORK_ITEM_PENDING_AT_END"), 1);
    TakeViolations("POOL_LEAK");
    SkipQuiescenceCheck();
}

TEST_F(WorkItemTest, AllocationFailsWithThePool) {
    harness::pool::FailNthAllocation(1);
    EXPECT_EQ(IoAllocateWorkItem(device_), nullptr);
}

TEST_F(WorkItemTest, AWaitHoldingAFastMutexDoesNotRunWorkItems) {
    PIO_WORKITEM item = IoAllocateWorkItem(device_);
    seen.freeItem = item;
    IoQueueWorkItem(item, RecordingRoutine, DelayedWorkQueue, nullptr);
    FAST_MUTEX mutex;
    ExInitializeFastMutex(&mutex);
    ExAcquireFastMutex(&mutex);  // APC_LEVEL: a worker routine cannot run nested here
    LARGE_INTEGER due;
    due.QuadPart = -10000;
    KeDelayExecutionThread(KernelMode, FALSE, &due);
    EXPECT_EQ(seen.runs, 0);
    ExReleaseFastMutex(&mutex);
    RunFor(0);
    EXPECT_EQ(seen.runs, 1);
}

}  // namespace
