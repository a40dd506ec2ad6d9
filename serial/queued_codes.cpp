// The control codes that hand requests to the data path's queues: the
// receive-buffer size, purge, the wait mask and the wait on it, the
// immediate character and the xoff counter. Their requests are completed
// by the data path; only a refused one is completed here.
#include "driver/driver_globals.h"
#include "io/read_path.h"
#include "io/wait_mask.h"
#include "io/write_path.h"
#include "serial/control_codes.h"

namespace {

// The masks each code accepts.
constexpr ULONG kWaitMaskInvalid = 0xFFFFE000;
constexpr ULONG kPurgeMaskInvalid = 0xFFFFFFF0;
constexpr ULONG kXoffCounterLength = 12;  // SERIAL_XOFF_COUNTER: Timeout, Counter, XoffChar (padded)

}  // namespace

// IOCTL_SERIAL_SET_QUEUE_SIZE: a larger receive buffer is allocated here,
// in the caller's context, and swapped in by the read queue in turn with
// the reads.
NTSTATUS SetQueueSizeRow(PortExtension* port, PIRP irp, PIO_STACK_LOCATION stack) {
    if (SystemBuffer(irp) == nullptr) return CompleteControl(port, irp, STATUS_INVALID_PARAMETER);
    if (InputLength(stack) < sizeof(SERIAL_QUEUE_SIZE)) return CompleteControl(port, irp, STATUS_BUFFER_TOO_SMALL);
    const ULONG inSize = static_cast<PSERIAL_QUEUE_SIZE>(SystemBuffer(irp))->InSize;
    if (inSize <= port->rxBufferSize) return CompleteControl(port, irp, STATUS_SUCCESS);
    // Charged to the caller's quota; without the flag the allocator would
    // raise an exception on failure, which this driver cannot catch.
    PVOID buffer = ExAllocatePoolWithQuotaTag(static_cast<POOL_TYPE>(NonPagedPool | POOL_QUOTA_FAIL_INSTEAD_OF_RAISE),
                                              inSize, PORT_POOL_TAG);
    if (buffer == nullptr) return CompleteControl(port, irp, STATUS_INSUFFICIENT_RESOURCES);
    stack->Parameters.DeviceIoControl.Type3InputBuffer = buffer;
    return EnqueueOrStart(port, irp, &port->readQueue, &port->currentReadIrp, StartRead);
}

NTSTATUS PurgeRow(PortExtension* port, PIRP irp, PIO_STACK_LOCATION stack) {
    if (SystemBuffer(irp) == nullptr) return CompleteControl(port, irp, STATUS_INVALID_PARAMETER);
    if (InputLength(stack) < sizeof(ULONG)) return CompleteControl(port, irp, STATUS_BUFFER_TOO_SMALL);
    const ULONG mask = *static_cast<PULONG>(SystemBuffer(irp));
    if (mask == 0 || (mask & kPurgeMaskInvalid) != 0) return CompleteControl(port, irp, STATUS_INVALID_PARAMETER);
    return EnqueueOrStart(port, irp, &port->purgeQueue, &port->currentPurgeIrp, StartPurge);
}

NTSTATUS SetWaitMaskRow(PortExtension* port, PIRP irp, PIO_STACK_LOCATION stack) {
    if (InputLength(stack) < sizeof(ULONG)) return CompleteControl(port, irp, STATUS_BUFFER_TOO_SMALL);
    if (SystemBuffer(irp) == nullptr) return CompleteControl(port, irp, STATUS_INVALID_PARAMETER);
    const ULONG mask = *static_cast<PULONG>(SystemBuffer(irp));
    if ((mask & kWaitMaskInvalid) != 0) return CompleteControl(port, irp, STATUS_INVALID_PARAMETER);
    return EnqueueOrStart(port, irp, &port->maskQueue, &port->currentMaskIrp, StartMask);
}

NTSTATUS WaitOnMaskRow(PortExtension* port, PIRP irp, PIO_STACK_LOCATION stack) {
    if (OutputLength(stack) < sizeof(ULONG)) return CompleteControl(port, irp, STATUS_BUFFER_TOO_SMALL);
    return EnqueueOrStart(port, irp, &port->maskQueue, &port->currentMaskIrp, StartMask);
}

NTSTATUS GetWaitMaskRow(PortExtension* port, PIRP irp, PIO_STACK_LOCATION stack) {
    if (OutputLength(stack) < sizeof(ULONG)) return STATUS_BUFFER_TOO_SMALL;
    *static_cast<PULONG>(SystemBuffer(irp)) = port->waitMask;
    irp->IoStatus.Information = sizeof(ULONG);
    return STATUS_SUCCESS;
}

NTSTATUS ImmediateCharRow(PortExtension* port, PIRP irp, PIO_STACK_LOCATION stack) {
    if (InputLength(stack) < sizeof(UCHAR)) return CompleteControl(port, irp, STATUS_BUFFER_TOO_SMALL);
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    if (port->currentImmediateIrp != nullptr) {
        IoReleaseCancelSpinLock(irql);
        return CompleteControl(port, irp, STATUS_INVALID_PARAMETER);
    }
    if (irp->Cancel) {
        IoReleaseCancelSpinLock(irql);
        return CompleteControl(port, irp, STATUS_CANCELLED);
    }
    StoreSharedPointer(reinterpret_cast<PVOID volatile*>(&port->currentImmediateIrp), irp);
    port->charsQueued += 1;
    IoReleaseCancelSpinLock(irql);
    StartImmediate(port);
    return STATUS_PENDING;
}

NTSTATUS XoffCounterRow(PortExtension* port, PIRP irp, PIO_STACK_LOCATION stack) {
    if (SystemBuffer(irp) == nullptr) return CompleteControl(port, irp, STATUS_INVALID_PARAMETER);
    if (InputLength(stack) < kXoffCounterLength) return CompleteControl(port, irp, STATUS_BUFFER_TOO_SMALL);
    if (static_cast<PSERIAL_XOFF_COUNTER>(SystemBuffer(irp))->Counter <= 0)
        return CompleteControl(port, irp, STATUS_INVALID_PARAMETER);
    return EnqueueOrStart(port, irp, &port->writeQueue, &port->currentWriteIrp, StartWrite);
}
