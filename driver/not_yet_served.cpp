// Major functions and deferred routines whose real work lands with the read,
// write, control, open/close and event paths. Until then a request is
// refused the way the I/O manager refuses a major function that a driver
// does not serve, and the deferred routines (which nothing queues yet) do
// nothing.
#include "driver/dispatch.h"
#include "io/deferred_routines.h"

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

REFUSE_MAJOR_FUNCTION(DispatchCreate)
REFUSE_MAJOR_FUNCTION(DispatchClose)
REFUSE_MAJOR_FUNCTION(DispatchCleanup)
REFUSE_MAJOR_FUNCTION(DispatchRead)
REFUSE_MAJOR_FUNCTION(DispatchWrite)
REFUSE_MAJOR_FUNCTION(DispatchFlush)
REFUSE_MAJOR_FUNCTION(DispatchQueryInformation)
REFUSE_MAJOR_FUNCTION(DispatchSetInformation)
REFUSE_MAJOR_FUNCTION(DispatchDeviceControl)
REFUSE_MAJOR_FUNCTION(DispatchInternalDeviceControl)

#define IDLE_DEFERRED_ROUTINE(name)                                                      \
    VOID NTAPI name(PKDPC dpc, PVOID context, PVOID argument1, PVOID argument2) {        \
        UNREFERENCED_PARAMETER(dpc);                                                     \
        UNREFERENCED_PARAMETER(context);                                                 \
        UNREFERENCED_PARAMETER(argument1);                                               \
        UNREFERENCED_PARAMETER(argument2);                                               \
    }

IDLE_DEFERRED_ROUTINE(CompleteWriteDpc)
IDLE_DEFERRED_ROUTINE(CompleteReadDpc)
IDLE_DEFERRED_ROUTINE(ReadTotalTimeoutDpc)
IDLE_DEFERRED_ROUTINE(ReadIntervalTimeoutDpc)
IDLE_DEFERRED_ROUTINE(WriteTotalTimeoutDpc)
IDLE_DEFERRED_ROUTINE(CompleteImmediateDpc)
IDLE_DEFERRED_ROUTINE(ImmediateTotalTimeoutDpc)
IDLE_DEFERRED_ROUTINE(CompleteWaitDpc)
IDLE_DEFERRED_ROUTINE(XoffCountTimeoutDpc)
IDLE_DEFERRED_ROUTINE(XoffCountCompleteDpc)
