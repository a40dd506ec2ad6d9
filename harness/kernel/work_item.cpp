// Work items: IoAllocateWorkItem, IoQueueWorkItem, IoFreeWorkItem.
//
// As on Windows, the item is a block of non-paged pool (here with the tag
// "IoWk", a choice of the harness, so that the pool's fault injection and
// leak checks cover it), and queuing it takes a reference on its device
// object that is dropped once the routine has returned: the device object
// outlives IoDeleteDevice until then, and the routine may free its own item.
// The routine runs at PASSIVE_LEVEL when the machine next runs queued work
// (dispatcher.h).
//
// Checks, as Windows makes them (WORKER_INVALID, 0xE4: a work item still
// queued that is queued again or whose memory is freed):
//   WORK_ITEM_QUEUED_TWICE    IoQueueWorkItem on an item that has not run yet
//   WORK_ITEM_FREED_QUEUED    IoFreeWorkItem on an item that has not run yet
#include <set>
#include <string>

#include "harness/kernel/dispatcher.h"
#include "harness/kernel/harness_lock.h"
#include "harness/kernel/io_internal.h"
#include "harness/kernel/kernel.h"
#include "harness/kernel/pool.h"
#include "harness/kernel/verifier.h"

struct _IO_WORKITEM {
    PDEVICE_OBJECT device;
    bool queued;
};

namespace harness::io {
namespace {

std::set<const _IO_WORKITEM*>& LiveItems() {
    static std::set<const _IO_WORKITEM*> items;
    return items;
}

void ResetWorkItems() { LiveItems().clear(); }
ResetRegistration g_reset(kResetIo, &ResetWorkItems);

ULONG WorkItemTag() { return harness::pool::Tag("IoWk"); }

bool Checked(PIO_WORKITEM item, const char* routine) {
    if (LiveItems().count(item) != 0) return true;
    BugCheck("INVALID_WORK_ITEM", routine,
             detail::PointerText(item) + " is not a work item from IoAllocateWorkItem (or was freed)");
    return false;
}

std::string Describe(PIO_WORKITEM item, PIO_WORKITEM_ROUTINE routine) {
    return "work item " + detail::PointerText(item) + " (routine " +
           detail::PointerText(reinterpret_cast<const void*>(routine)) + ", " +
           detail::DescribeDevice(item->device) + ")";
}

}  // namespace
}  // namespace harness::io

using namespace harness::io;
using harness::BugCheck;

PIO_WORKITEM IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject) {
    harness::HarnessScope harnessState;
    detail::CheckIrql(DISPATCH_LEVEL, "IoAllocateWorkItem");
    if (!IsLiveDevice(DeviceObject) || IsDeletePending(DeviceObject)) {
        BugCheck("INVALID_DEVICE_OBJECT", "IoAllocateWorkItem",
                 detail::DescribeDevice(DeviceObject) + " is not a live device object");
        return nullptr;
    }
    auto* item = static_cast<PIO_WORKITEM>(ExAllocatePoolWithTag(NonPagedPool, sizeof(_IO_WORKITEM), WorkItemTag()));
    if (item == nullptr) return nullptr;
    item->device = DeviceObject;
    item->queued = false;
    LiveItems().insert(item);
    return item;
}

VOID IoFreeWorkItem(PIO_WORKITEM IoWorkItem) {
    harness::HarnessScope harnessState;
    detail::CheckIrql(DISPATCH_LEVEL, "IoFreeWorkItem");
    if (!Checked(IoWorkItem, "IoFreeWorkItem")) return;
    if (IoWorkItem->queued) {
        BugCheck("WORK_ITEM_FREED_QUEUED", "IoFreeWorkItem",
                 "work item " + detail::PointerText(IoWorkItem) + " is still queued; its routine has not run");
        return;  // kept: the queue still refers to it
    }
    LiveItems().erase(IoWorkItem);
    ExFreePoolWithTag(IoWorkItem, WorkItemTag());
}

VOID IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine, WORK_QUEUE_TYPE QueueType,
                     PVOID Context) {
    harness::HarnessScope harnessState;
    UNREFERENCED_PARAMETER(QueueType);  // one worker queue serves every type here
    detail::CheckIrql(DISPATCH_LEVEL, "IoQueueWorkItem");
    if (!Checked(IoWorkItem, "IoQueueWorkItem")) return;
    if (IoWorkItem->queued) {
        BugCheck("WORK_ITEM_QUEUED_TWICE", "IoQueueWorkItem", Describe(IoWorkItem, WorkerRoutine) +
                                                                   " is queued again before its routine has run");
        return;
    }
    IoWorkItem->queued = true;
    PDEVICE_OBJECT device = IoWorkItem->device;
    InterlockedIncrement(&device->DeviceObjectExtension->objectReferences);
    harness::dispatcher::QueuePassiveWork(
        [IoWorkItem, WorkerRoutine, Context, device] {
            harness::HarnessScope harnessState;
            // The routine may free the item: nothing of it is touched after.
            IoWorkItem->queued = false;
            {
                harness::DriverCallScope driverCode;
                WorkerRoutine(device, Context);
            }
            InterlockedDecrement(&device->DeviceObjectExtension->objectReferences);
            detail::FreeDeviceIfUnused(device, "IoQueueWorkItem");
        },
        Describe(IoWorkItem, WorkerRoutine));
}
