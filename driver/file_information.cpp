// IRP_MJ_QUERY_INFORMATION and IRP_MJ_SET_INFORMATION: the few file
// requests the I/O manager and the run-time library send to any opened
// device. The port describes itself as a file of length zero at offset
// zero; a set of its length or allocation is accepted and changes nothing;
// every other class is an invalid parameter.
//
// Both follow the order of work of the data requests: admitted (refused
// while the device goes away, parked while it stops), ended while an error
// abort is pending, then answered at once. No open handle is needed.
//
// The I/O manager refuses an application's query whose buffer is shorter
// than the class's record before the request reaches the driver, but a
// kernel-mode sender that builds the request itself gets no such check: a
// shorter buffer is refused here as a file system refuses it
// (STATUS_INFO_LENGTH_MISMATCH), with nothing written. A record is built
// whole, its padding zeroed, before it is copied: the system buffer is
// copied back to the caller, and pool bytes must not go with it.
#include "driver/dispatch.h"
#include "io/request_queue.h"

namespace {

template <typename Record>
NTSTATUS ReturnFileRecord(PIRP irp, PIO_STACK_LOCATION stack, const Record& record) {
    if (stack->Parameters.QueryFile.Length < sizeof(Record)) return STATUS_INFO_LENGTH_MISMATCH;
    if (irp->AssociatedIrp.SystemBuffer == nullptr) return STATUS_INVALID_PARAMETER;
    RtlCopyMemory(irp->AssociatedIrp.SystemBuffer, &record, sizeof(Record));
    irp->IoStatus.Information = sizeof(Record);
    return STATUS_SUCCESS;
}

NTSTATUS QueryFile(PIRP irp, PIO_STACK_LOCATION stack) {
    switch (stack->Parameters.QueryFile.FileInformationClass) {
    case FileStandardInformation: {
        // No allocation, no length, no links; neither a directory nor
        // about to be deleted.
        FILE_STANDARD_INFORMATION standard;
        RtlZeroMemory(&standard, sizeof(standard));
        standard.DeletePending = FALSE;
        standard.Directory = FALSE;
        return ReturnFileRecord(irp, stack, standard);
    }
    case FilePositionInformation: {
        FILE_POSITION_INFORMATION position;
        RtlZeroMemory(&position, sizeof(position));
        return ReturnFileRecord(irp, stack, position);
    }
    default:
        return STATUS_INVALID_PARAMETER;
    }
}

NTSTATUS SetFile(PIO_STACK_LOCATION stack) {
    switch (stack->Parameters.SetFile.FileInformationClass) {
    case FileEndOfFileInformation:
    case FileAllocationInformation:
        return STATUS_SUCCESS;  // a port has no length to change
    default:
        return STATUS_INVALID_PARAMETER;
    }
}

// Admission, the error abort, then `answer` for the request's status.
template <typename Answer>
NTSTATUS ServeFileRequest(PDEVICE_OBJECT deviceObject, PIRP irp, Answer answer) {
    irp->IoStatus.Information = 0;
    NTSTATUS status = AdmitDataRequest(deviceObject, irp);
    if (status != STATUS_SUCCESS) return status;
    irp->IoStatus.Information = 0;

    status = answer(IoGetCurrentIrpStackLocation(irp));
    if (!NT_SUCCESS(status)) irp->IoStatus.Information = 0;
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    FinishRequest(PortFromDevice(deviceObject));
    return status;
}

}  // namespace

NTSTATUS NTAPI DispatchQueryInformation(PDEVICE_OBJECT deviceObject, PIRP irp) {
    return ServeFileRequest(deviceObject, irp, [irp](PIO_STACK_LOCATION stack) { return QueryFile(irp, stack); });
}

NTSTATUS NTAPI DispatchSetInformation(PDEVICE_OBJECT deviceObject, PIRP irp) {
    return ServeFileRequest(deviceObject, irp, [](PIO_STACK_LOCATION stack) { return SetFile(stack); });
}
