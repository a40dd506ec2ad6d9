// STUB: replaced by the real code on its branch.
#include "driver/dispatch.h"
#include "io/read_path.h"

NTSTATUS NTAPI DispatchRead(PDEVICE_OBJECT deviceObject, PIRP irp) {
    UNREFERENCED_PARAMETER(deviceObject);
    irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

NTSTATUS StartRead(PortExtension* port) {
    UNREFERENCED_PARAMETER(port);
    return STATUS_NOT_IMPLEMENTED;
}
