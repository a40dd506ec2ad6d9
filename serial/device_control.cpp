// IRP_MJ_DEVICE_CONTROL: the control codes that hand requests to the data
// path's queues (receive-buffer size, purge, wait mask, immediate
// character, xoff counter). Every other control code is refused as not
// served; the settings, status and diagnostic codes join this dispatch
// with the control surface.
#include "driver/dispatch.h"
#include "driver/driver_globals.h"
#include "io/read_path.h"
#include "io/wait_mask.h"
#include "io/write_path.h"

namespace {

// The masks each code accepts.
constexpr ULONG kWaitMaskInvalid = 0xFFFFE000;
constexpr ULONG kPurgeMaskInvalid = 0xFFFFFFF0;
constexpr ULONG kXoffCounterLength = 12;  // SERIAL_XOFF_COUNTER: Timeout, Counter, XoffChar (padded)

NTSTATUS Complete(PortExtension* port, PIRP irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    FinishRequest(port);
    return status;
}

// IOCTL_SERIAL_SET_QUEUE_SIZE: a larger receive buffer is allocated here,
// in the caller's context, and swapped in by the read queue in turn with
// the reads.
NTSTATUS QueueSize(PortExtension* port, PIRP irp, PIO_STACK_LOCATION stack) {
    if (irp->AssociatedIrp.SystemBuffer == nullptr) return Complete(port, irp, STATUS_INVALID_PARAMETER);
    if (stack->Parameters.DeviceIoControl.InputBufferLength < sizeof(SERIAL_QUEUE_SIZE))
        return Complete(port, irp, STATUS_BUFFER_TOO_SMALL);
    const ULONG inSize = static_cast<PSERIAL_QUEUE_SIZE>(irp->AssociatedIrp.SystemBuffer)->InSize;
    if (inSize <= port->rxBufferSize) return Complete(port, irp, STATUS_SUCCESS);
    // Charged to the caller's quota; without the flag the allocator would
    // raise an exception on failure, which this driver cannot catch.
    PVOID buffer = ExAllocatePoolWithQuotaTag(static_cast<POOL_TYPE>(NonPagedPool | POOL_QUOTA_FAIL_INSTEAD_OF_RAISE),
                                              inSize, PORT_POOL_TAG);
    if (buffer == nullptr) return Complete(port, irp, STATUS_INSUFFICIENT_RESOURCES);
    stack->Parameters.DeviceIoControl.Type3InputBuffer = buffer;
    return EnqueueOrStart(port, irp, &port->readQueue, &port->currentReadIrp, StartRead);
}

NTSTATUS Purge(PortExtension* port, PIRP irp, PIO_STACK_LOCATION stack) {
    if (irp->AssociatedIrp.SystemBuffer == nullptr) return Complete(port, irp, STATUS_INVALID_PARAMETER);
    if (stack->Parameters.DeviceIoControl.InputBufferLength < sizeof(ULONG))
        return Complete(port, irp, STATUS_BUFFER_TOO_SMALL);
    const ULONG mask = *static_cast<PULONG>(irp->AssociatedIrp.SystemBuffer);
    if (mask == 0 || (mask & kPurgeMaskInvalid) != 0) return Complete(port, irp, STATUS_INVALID_PARAMETER);
    return EnqueueOrStart(port, irp, &port->purgeQueue, &port->currentPurgeIrp, StartPurge);
}

NTSTATUS SetWaitMask(PortExtension* port, PIRP irp, PIO_STACK_LOCATION stack) {
    if (stack->Parameters.DeviceIoControl.InputBufferLength < sizeof(ULONG))
        return Complete(port, irp, STATUS_BUFFER_TOO_SMALL);
    if (irp->AssociatedIrp.SystemBuffer == nullptr) return Complete(port, irp, STATUS_INVALID_PARAMETER);
    const ULONG mask = *static_cast<PULONG>(irp->AssociatedIrp.SystemBuffer);
    if ((mask & kWaitMaskInvalid) != 0) return Complete(port, irp, STATUS_INVALID_PARAMETER);
    return EnqueueOrStart(port, irp, &port->maskQueue, &port->currentMaskIrp, StartMask);
}

NTSTATUS WaitOnMask(PortExtension* port, PIRP irp, PIO_STACK_LOCATION stack) {
    if (stack->Parameters.DeviceIoControl.OutputBufferLength < sizeof(ULONG))
        return Complete(port, irp, STATUS_BUFFER_TOO_SMALL);
    return EnqueueOrStart(port, irp, &port->maskQueue, &port->currentMaskIrp, StartMask);
}

NTSTATUS GetWaitMask(PortExtension* port, PIRP irp, PIO_STACK_LOCATION stack) {
    if (stack->Parameters.DeviceIoControl.OutputBufferLength < sizeof(ULONG))
        return Complete(port, irp, STATUS_BUFFER_TOO_SMALL);
    *static_cast<PULONG>(irp->AssociatedIrp.SystemBuffer) = port->waitMask;
    irp->IoStatus.Information = sizeof(ULONG);
    return Complete(port, irp, STATUS_SUCCESS);
}

NTSTATUS ImmediateChar(PortExtension* port, PIRP irp, PIO_STACK_LOCATION stack) {
    if (stack->Parameters.DeviceIoControl.InputBufferLength < sizeof(UCHAR))
        return Complete(port, irp, STATUS_BUFFER_TOO_SMALL);
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    if (port->currentImmediateIrp != nullptr) {
        IoReleaseCancelSpinLock(irql);
        return Complete(port, irp, STATUS_INVALID_PARAMETER);
    }
    if (irp->Cancel) {
        IoReleaseCancelSpinLock(irql);
        return Complete(port, irp, STATUS_CANCELLED);
    }
    port->currentImmediateIrp = irp;
    port->charsQueued += 1;
    IoReleaseCancelSpinLock(irql);
    StartImmediate(port);
    return STATUS_PENDING;
}

NTSTATUS XoffCounter(PortExtension* port, PIRP irp, PIO_STACK_LOCATION stack) {
    if (irp->AssociatedIrp.SystemBuffer == nullptr) return Complete(port, irp, STATUS_INVALID_PARAMETER);
    if (stack->Parameters.DeviceIoControl.InputBufferLength < kXoffCounterLength)
        return Complete(port, irp, STATUS_BUFFER_TOO_SMALL);
    if (static_cast<PSERIAL_XOFF_COUNTER>(irp->AssociatedIrp.SystemBuffer)->Counter <= 0)
        return Complete(port, irp, STATUS_INVALID_PARAMETER);
    return EnqueueOrStart(port, irp, &port->writeQueue, &port->currentWriteIrp, StartWrite);
}

}  // namespace

NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT deviceObject, PIRP irp) {
    PortExtension* port = PortFromDevice(deviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    irp->IoStatus.Information = 0;

    NTSTATUS status = AdmitDataRequest(deviceObject, irp);
    if (status != STATUS_SUCCESS) return status;

    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_SERIAL_SET_QUEUE_SIZE:
        return QueueSize(port, irp, stack);
    case IOCTL_SERIAL_PURGE:
        return Purge(port, irp, stack);
    case IOCTL_SERIAL_GET_WAIT_MASK:
        return GetWaitMask(port, irp, stack);
    case IOCTL_SERIAL_SET_WAIT_MASK:
        return SetWaitMask(port, irp, stack);
    case IOCTL_SERIAL_WAIT_ON_MASK:
        return WaitOnMask(port, irp, stack);
    case IOCTL_SERIAL_IMMEDIATE_CHAR:
        return ImmediateChar(port, irp, stack);
    case IOCTL_SERIAL_XOFF_COUNTER:
        return XoffCounter(port, irp, stack);
    default:
        return Complete(port, irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}
