// Major functions whose real work lands with file information and the
// internal control codes. Until then a request is refused the way the I/O
// manager refuses a major function that a driver does not serve.
#include "driver/dispatch.h"

namespace {

NTSTATUS RefuseRequest(PIRP irp) {
    irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

}  // namespace

#define REFUSE_MAJOR_FUNCTION(name)                                        \
    NTSTATUS NTAPI name(PDEVICE_OBJECT deviceObject, PIRP irp) {           \
        UNREFERENCED_PARAMETER(deviceObject);                              \
        return RefuseRequest(irp);                                         \
    }

REFUSE_MAJOR_FUNCTION(DispatchQueryInformation)
REFUSE_MAJOR_FUNCTION(DispatchSetInformation)
REFUSE_MAJOR_FUNCTION(DispatchInternalDeviceControl)
