// STUB: replaced by the real code on its branch.
#include "driver/dispatch.h"
#include "io/write_path.h"

NTSTATUS NTAPI DispatchWrite(PDEVICE_OBJECT deviceObject, PIRP irp) {
    UNREFERENCED_PARAMETER(deviceObject);
    irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

NTSTATUS NTAPI DispatchFlush(PDEVICE_OBJECT deviceObject, PIRP irp) {
    UNREFERENCED_PARAMETER(deviceObject);
    irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

NTSTATUS StartWrite(PortExtension* port) {
    UNREFERENCED_PARAMETER(port);
    return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS StartFlush(PortExtension* port) {
    UNREFERENCED_PARAMETER(port);
    return STATUS_NOT_IMPLEMENTED;
}

void TakeNextWrite(PIRP* currentSlot, PLIST_ENTRY queue, PIRP* nextOut, BOOLEAN completeCurrent, PortExtension* port) {
    TakeNextRequest(currentSlot, queue, nextOut, completeCurrent, port);
}
