// IofCallDriver: hands an IRP to the driver of a device object, one stack
// location further down, and checks what the dispatch routine returns.
#include "harness/kernel/driver_time.h"
#include "harness/kernel/harness_lock.h"
#include "harness/kernel/io_internal.h"
#include "harness/kernel/verifier.h"

namespace harness::io::detail {

// A dispatch routine that returns STATUS_PENDING must have marked its stack
// location pending (IoMarkIrpPending), and one that marked it must return
// STATUS_PENDING: the I/O manager relies on the two agreeing to decide who
// finishes the request. The mark may be set after the routine returned (by
// its completion routine, or by propagation from the driver below), so the
// rule is checked when both the returned status and the mark, as completion
// walks past the location, are known.
void CheckPendingRule(IrpRecord& record, int location) {
    LocationCheck& check = record.locations[size_t(location)];
    if (!check.returned || !check.walked) return;
    const bool pendingUnmarked = check.returnedStatus == STATUS_PENDING && !check.marked;
    const bool markedNotPending = check.returnedStatus != STATUS_PENDING && check.marked;
    std::string where;
    if (pendingUnmarked || markedNotPending)
        where = " returned by the dispatch routine of " + DescribeDevice(check.device) + " for " +
                DescribeIrp(record.irp) + " (stack location " + std::to_string(location) + ")";
    if (pendingUnmarked) {
        BugCheck("PENDING_RETURNED_WITHOUT_MARK", "IofCallDriver",
                 "STATUS_PENDING" + where + ", but the location was not marked pending (IoMarkIrpPending)");
    } else if (markedNotPending) {
        BugCheck("PENDING_MARK_WITHOUT_STATUS_PENDING", "IofCallDriver",
                 "status " + Hex(ULONG(check.returnedStatus)) + where +
                     ", but the location was marked pending: a driver that marks an IRP pending must return "
                     "STATUS_PENDING");
    }
    check.returned = false;
    check.walked = false;
}

}  // namespace harness::io::detail

using namespace harness::io;
using harness::BugCheck;

NTSTATUS IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    harness::HarnessScope harnessState;
    detail::CheckIrql(DISPATCH_LEVEL, "IofCallDriver");
    detail::IrpRecordPtr record = detail::FindIrp(Irp);
    if (!record) {
        BugCheck("INVALID_IRP", "IofCallDriver",
                 detail::PointerText(Irp) + (detail::WasFreed(Irp) ? " was already freed" : " is not an IRP"));
        return STATUS_INVALID_PARAMETER;
    }
    if (!IsLiveDevice(DeviceObject)) {
        BugCheck("INVALID_DEVICE_OBJECT", "IofCallDriver",
                 DescribeIrp(Irp) + " sent to " + detail::DescribeDevice(DeviceObject));
        return STATUS_NO_SUCH_DEVICE;
    }
    if (Irp->CurrentLocation <= 1) {
        BugCheck("NO_MORE_IRP_STACK_LOCATIONS", "IofCallDriver",
                 DescribeIrp(Irp) + " has " + std::to_string(int(Irp->StackCount)) +
                     " stack locations and none is left for " + detail::DescribeDevice(DeviceObject) +
                     " (StackSize " + std::to_string(int(DeviceObject->StackSize)) + ")");
        return STATUS_INVALID_PARAMETER;
    }

    IoSetNextIrpStackLocation(Irp);
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(Irp);
    location->DeviceObject = DeviceObject;
    const int index = Irp->CurrentLocation;

    record->inDriver = true;
    record->completed = false;
    record->generation++;
    record->lastTarget = DeviceObject;
    record->lastDriver = DeviceObject->DriverObject;
    record->lastMajor = location->MajorFunction;
    record->lastIoControlCode = (location->MajorFunction == IRP_MJ_DEVICE_CONTROL ||
                                 location->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL)
                                    ? location->Parameters.DeviceIoControl.IoControlCode
                                    : 0;
    detail::LocationCheck& check = record->locations[size_t(index)];
    if (check.dispatchDepth == 0) check = detail::LocationCheck{};
    check.dispatchDepth++;
    check.device = DeviceObject;

    PDRIVER_DISPATCH dispatch = location->MajorFunction <= IRP_MJ_MAXIMUM_FUNCTION
                                    ? DeviceObject->DriverObject->MajorFunction[location->MajorFunction]
                                    : nullptr;
    if (dispatch == nullptr) {
        BugCheck("NULL_DISPATCH_ROUTINE", "IofCallDriver",
                 detail::DescribeDevice(DeviceObject) + " has no dispatch routine for " + DescribeIrp(Irp));
        dispatch = DefaultDispatch;
    }
    // What the request was, for a report once the IRP may be gone.
    const UCHAR major = location->MajorFunction;
    const ULONG code = record->lastIoControlCode;
    const KIRQL irqlBefore = KeGetCurrentIrql();
    NTSTATUS status;
    {
        harness::profile::DriverTimeScope meter(harness::profile::IsDriverUnderTest(DeviceObject->DriverObject));
        // The bus driver's routines take the harness lock themselves.
        harness::DriverCallScope driverCode;
        status = dispatch(DeviceObject, Irp);
    }
    if (KeGetCurrentIrql() != irqlBefore) {
        BugCheck("IRQL_CHANGED_BY_DISPATCH", "IofCallDriver",
                 "the dispatch routine " + detail::PointerText(reinterpret_cast<const void*>(dispatch)) + " of " +
                     detail::DescribeDevice(DeviceObject) + " was entered at IRQL " + std::to_string(irqlBefore) +
                     " and returned at IRQL " + std::to_string(KeGetCurrentIrql()));
    }

    // The record outlives the IRP: it may have been completed and freed
    // while the dispatch routine ran.
    detail::LocationCheck& after = record->locations[size_t(index)];
    if (after.completedAtDepth == after.dispatchDepth && status != STATUS_PENDING &&
        status != after.completedStatus) {
        BugCheck("STATUS_RETURNED_DIFFERS_FROM_COMPLETION", "IofCallDriver",
                 "the dispatch routine " + detail::PointerText(reinterpret_cast<const void*>(dispatch)) + " of " +
                     detail::DescribeDevice(DeviceObject) + " completed IRP " + detail::PointerText(Irp) + " (" +
                     MajorFunctionName(major) + (code != 0 ? " code " + detail::Hex(code) : std::string()) +
                     ") with status " +
                     detail::Hex(ULONG(after.completedStatus)) + " and returned " + detail::Hex(ULONG(status)) +
                     "; a routine that completes a request returns the status it completed it with");
    }
    // Completed by this dispatch routine, even if a completion routine
    // above then kept the request (STATUS_MORE_PROCESSING_REQUIRED): on
    // Windows the request then belongs to that routine's driver again, as
    // documented for IoCompleteRequest, and is not unfinished business of
    // the routine that returned.
    const bool completedHere = after.completedAtDepth == after.dispatchDepth;
    if (completedHere) after.completedAtDepth = 0;
    after.dispatchDepth--;
    after.returned = true;
    after.returnedStatus = status;
    if (after.walked) detail::CheckPendingRule(*record, index);

    // The top-level call for a request the I/O manager issued: a status
    // other than STATUS_PENDING tells the caller the request is finished.
    if (record->origin == IrpOrigin::IoManager && size_t(index) == record->locations.size() - 2 &&
        after.dispatchDepth == 0 && status != STATUS_PENDING && !record->finished && !record->abandoned &&
        !completedHere) {
        BugCheck("IRP_NOT_COMPLETED_ON_RETURN", "IofCallDriver",
                 DescribeIrp(Irp) + ": the dispatch routine of " + detail::DescribeDevice(DeviceObject) +
                     " returned " + detail::Hex(ULONG(status)) +
                     " without completing the request and without returning STATUS_PENDING");
    }
    return status;
}
