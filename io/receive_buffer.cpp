// The circular receive buffer: allocation at open, storing received
// characters, copying them out to reads, clearing, resizing, and giving a
// cancelled read's characters back.
//
// Two modes share the rx pointers. In buffered mode (rxTarget == rxBuffer)
// the rxCount unread characters start at rxGet and wrap from rxLast to
// rxBuffer; rxPut is where the next one goes. In direct mode a read waits
// and rxTarget..rxLast is its own system buffer, so characters land where
// the application wants them without a second copy; the ring is empty
// then. StoreReceivedChar runs in the bulk-in completion with controlLock
// and rxLock held; every pointer change holds rxLock as well, so a
// character is never stored into a read after TakeReadBack took it back,
// and no one sees the pointers half-changed.
//
// A read that ends cancelled does not lose what it held: its characters go
// back in front of the ring (ReturnCancelledReadCharacters), ahead of any
// that arrived after it was taken back, unless a receive purge came
// between. readDelivered and readPurged carry what is needed for that from
// the take-back or fill to the completion.
#include "driver/driver_globals.h"
#include "io/deferred_work.h"
#include "io/read_path.h"
#include "io/wait_mask.h"
#include "serial/modem_lines.h"

namespace {

ULONG EightyPercentOf(ULONG size) { return size / 4 * 3 + size / 16; }

// Buffered mode, empty. rxLock held (or the buffer not yet published).
void ResetRing(PortExtension* port) {
    port->rxCount = 0;
    port->rxTarget = port->rxBuffer;
    port->rxPut = port->rxBuffer;
    port->rxGet = port->rxBuffer;
    port->rxLast = port->rxBuffer != nullptr ? port->rxBuffer + port->rxBufferSize - 1 : nullptr;
}

// Sets the size-derived limits for a buffer of `size` bytes: the 80 % mark
// and the flow-control thresholds, and WMI's copy of the thresholds.
// controlLock held.
void SetSizeLimits(PortExtension* port, ULONG size) {
    port->rxEightyPercent = EightyPercentOf(size);
    port->handFlow.XoffLimit = static_cast<LONG>(size / 8);
    port->handFlow.XonLimit = static_cast<LONG>(size / 2);
    port->wmiCommData.XoffXmitThreshold = size / 8;
    port->wmiCommData.XonXmitThreshold = size / 2;
}

bool DirectMode(const PortExtension* port) { return port->rxTarget != port->rxBuffer; }

// Copies `count` ring characters starting at `from` to `to`, in at most two
// block moves; returns the ring position after the last one.
PUCHAR CopyOutOfRing(const PortExtension* port, PUCHAR from, PUCHAR to, ULONG count) {
    const ULONG toEnd = static_cast<ULONG>(port->rxLast - from) + 1;
    if (toEnd > count) {
        RtlCopyMemory(to, from, count);
        return from + count;
    }
    RtlCopyMemory(to, from, toEnd);
    RtlCopyMemory(to + toEnd, port->rxBuffer, count - toEnd);
    return port->rxBuffer + (count - toEnd);
}

// The buffer is full: the character is lost. controlLock and rxLock held.
void CountQueueOverrun(PortExtension* port, ULONG lost) {
    port->perfStats.BufferOverrunErrorCount += lost;
    port->wmiPerfData.BufferOverrunErrorCount += lost;
    // errorWord is written by the receive side under controlLock.
    port->errorWord |= SERIAL_ERROR_QUEUEOVERRUN;
}

void StoreIntoRing(PortExtension* port, UCHAR character) {
    if (port->rxBuffer == nullptr) return;  // closed: there is nowhere to keep it
    if (port->rxCount >= port->rxBufferSize) {
        CountQueueOverrun(port, 1);
        if (port->handFlow.FlowReplace & SERIAL_ERROR_CHAR) {
            // Mark the gap on the newest character kept.
            PUCHAR newest = port->rxPut == port->rxBuffer ? port->rxLast : port->rxPut - 1;
            *newest = port->specialChars.ErrorChar;
        }
        if (port->handFlow.ControlHandShake & SERIAL_ERROR_ABORT)
            QueueDpcCounted(&port->commErrorDpc, nullptr, nullptr, port);
        return;
    }
    *port->rxPut = character;
    port->rxCount += 1;
    // Once on the way up, not on every character above the mark.
    if (port->rxCount == port->rxEightyPercent) RaiseEvents(port, SERIAL_EV_RX80FULL);
    port->rxPut = port->rxPut == port->rxLast ? port->rxBuffer : port->rxPut + 1;
}

void StoreIntoRead(PortExtension* port, UCHAR character) {
    port->rxSinceCheck += 1;
    *port->rxPut = character;
    if (port->rxPut != port->rxLast) {
        port->rxPut += 1;
        return;
    }
    // The read is full. It stays current (it holds RefTransfer) until
    // completeReadDpc runs, so the slot cannot change under us.
    const ULONG delivered = static_cast<ULONG>(port->rxLast - port->rxTarget) + 1;
    PIRP read = port->currentReadIrp;
    if (read != nullptr) read->IoStatus.Information = delivered;
    port->readDelivered = delivered;
    ResetRing(port);
    QueueDpcCounted(&port->completeReadDpc, nullptr, nullptr, port);
}

// Moves rxGet back by `count` and writes `from` there, so those characters
// are read first. rxLock held; `count` fits.
void PutInFront(PortExtension* port, const UCHAR* from, ULONG count) {
    const ULONG before = static_cast<ULONG>(port->rxGet - port->rxBuffer);
    PUCHAR start = before >= count ? port->rxGet - count : port->rxLast + 1 - (count - before);
    const ULONG toEnd = static_cast<ULONG>(port->rxLast - start) + 1;
    if (toEnd >= count) {
        RtlCopyMemory(start, from, count);
    } else {
        RtlCopyMemory(start, from, toEnd);
        RtlCopyMemory(port->rxBuffer, from + toEnd, count - toEnd);
    }
    port->rxGet = start;
    const ULONG old = port->rxCount;
    port->rxCount += count;
    if (old < port->rxEightyPercent && port->rxCount >= port->rxEightyPercent) RaiseEvents(port, SERIAL_EV_RX80FULL);
}

}  // namespace

NTSTATUS AllocateReceiveBuffer(PortExtension* port) {
    static const ULONG sizes[] = {RX_BUFFER_LARGE, RX_BUFFER_MEDIUM, RX_BUFFER_SMALL};
    ULONG first = 0;
    switch (MmQuerySystemSize()) {
    case MmSmallSystem:
        first = 2;
        break;
    case MmMediumSystem:
        first = 1;
        break;
    default:
        first = 0;
        break;
    }
    PUCHAR buffer = nullptr;
    ULONG size = 0;
    for (ULONG i = first; i < sizeof(sizes) / sizeof(sizes[0]) && buffer == nullptr; ++i) {
        size = sizes[i];
        buffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, size, PORT_POOL_TAG));
    }
    if (buffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;

    // The receive stream may already be running: publish under both locks.
    KIRQL irql;
    KeAcquireSpinLock(&port->controlLock, &irql);
    KeAcquireSpinLockAtDpcLevel(&port->rxLock);
    // A read sent to the device object without a handle (or handed back
    // after a restart) may be waiting in direct mode: it keeps its target,
    // and the ring, empty meanwhile, is laid out when the read leaves it.
    const bool direct = DirectMode(port);
    PUCHAR old = port->rxBuffer;
    port->rxBuffer = buffer;
    port->rxBufferSize = size;
    if (direct) {
        port->rxCount = 0;
        port->rxGet = buffer;
    } else {
        ResetRing(port);
    }
    SetSizeLimits(port, size);
    KeReleaseSpinLockFromDpcLevel(&port->rxLock);
    KeReleaseSpinLock(&port->controlLock, irql);
    if (old != nullptr) ExFreePoolWithTag(old, PORT_POOL_TAG);  // not freed by an earlier close
    return STATUS_SUCCESS;
}

void FreeReceiveBuffer(PortExtension* port) {
    KIRQL irql;
    KeAcquireSpinLock(&port->controlLock, &irql);
    KeAcquireSpinLockAtDpcLevel(&port->rxLock);
    PUCHAR buffer = port->rxBuffer;
    port->rxBuffer = nullptr;
    port->rxBufferSize = 0;
    ResetRing(port);
    port->rxEightyPercent = 0;
    KeReleaseSpinLockFromDpcLevel(&port->rxLock);
    KeReleaseSpinLock(&port->controlLock, irql);
    if (buffer != nullptr) ExFreePoolWithTag(buffer, PORT_POOL_TAG);
}

ULONG CopyFromReceiveBuffer(PortExtension* port) {
    PIRP read = port->currentReadIrp;
    KeAcquireSpinLockAtDpcLevel(&port->rxLock);
    const ULONG count = port->rxCount < port->readRemaining ? port->rxCount : port->readRemaining;
    if (count != 0) {
        PUCHAR to = static_cast<PUCHAR>(read->AssociatedIrp.SystemBuffer) + read->IoStatus.Information;
        port->rxGet = CopyOutOfRing(port, port->rxGet, to, count);
        port->readRemaining -= count;
        read->IoStatus.Information += count;
    }
    KeReleaseSpinLockFromDpcLevel(&port->rxLock);
    return count;
}

void ConsumeCopied(PortExtension* port, ULONG count) {
    if (count == 0) return;
    KeAcquireSpinLockAtDpcLevel(&port->rxLock);
    port->rxCount -= count;
    KeReleaseSpinLockFromDpcLevel(&port->rxLock);
    ReleaseReceiveHold(port);
}

void SwitchReadToDirect(PortExtension* port, ULONG copied) {
    PIRP read = port->currentReadIrp;
    port->rxCount -= copied;
    // controlLock has been held since the copy, so nothing arrived meanwhile
    // and the ring is empty: a read that must wait took everything.
    PUCHAR buffer = static_cast<PUCHAR>(read->AssociatedIrp.SystemBuffer);
    const ULONG held = static_cast<ULONG>(read->IoStatus.Information);
    port->readProgress = static_cast<LONG>(held);
    port->rxSinceCheck = 0;
    port->readDelivered = 0;
    port->readPurged = 0;
    port->rxTarget = buffer;
    port->rxPut = buffer + held;
    port->rxLast = buffer + held + port->readRemaining - 1;
}

void StoreReceivedChar(PortExtension* port, UCHAR character) {
    if (DirectMode(port))
        StoreIntoRead(port, character);
    else
        StoreIntoRing(port, character);
}

void ClearReceiveBuffer(PortExtension* port) {
    KIRQL irql;
    KeAcquireSpinLock(&port->controlLock, &irql);
    KeAcquireSpinLockAtDpcLevel(&port->rxLock);
    const bool direct = DirectMode(port);
    if (direct) {
        // What the waiting read holds is the read's; should it end
        // cancelled, these do not come back.
        port->readPurged = static_cast<ULONG>(port->rxPut - port->rxTarget);
    } else {
        ResetRing(port);
        // A read taken back but not yet completed keeps its characters
        // only if it completes successfully.
        port->readPurged = port->readDelivered;
    }
    KeReleaseSpinLockFromDpcLevel(&port->rxLock);
    if (!direct) ReleaseReceiveHold(port);
    KeReleaseSpinLock(&port->controlLock, irql);
}

NTSTATUS ResizeReceiveBuffer(PortExtension* port) {
    PIRP irp = port->currentReadIrp;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    // First of all: on Windows Type3InputBuffer is the field the read path
    // keeps its reference word in.
    PUCHAR fresh = static_cast<PUCHAR>(stack->Parameters.DeviceIoControl.Type3InputBuffer);
    stack->Parameters.DeviceIoControl.Type3InputBuffer = nullptr;
    irp->IoStatus.Information = 0;
    if (irp->Cancel) {
        if (fresh != nullptr) ExFreePoolWithTag(fresh, PORT_POOL_TAG);
        return STATUS_CANCELLED;
    }
    const ULONG inSize = static_cast<PSERIAL_QUEUE_SIZE>(irp->AssociatedIrp.SystemBuffer)->InSize;

    PUCHAR unused = fresh;
    KIRQL irql;
    KeAcquireSpinLock(&port->controlLock, &irql);
    KeAcquireSpinLockAtDpcLevel(&port->rxLock);
    // The resize is the current read-queue request, so no read is in direct
    // mode; a closed port (no buffer) keeps having none.
    const bool grow = fresh != nullptr && port->rxBuffer != nullptr && port->rxBufferSize < inSize;
    if (grow) {
        unused = port->rxBuffer;
        const ULONG count = port->rxCount;
        if (count != 0) CopyOutOfRing(port, port->rxGet, fresh, count);
        port->rxBuffer = fresh;
        port->rxBufferSize = inSize;
        ResetRing(port);
        port->rxCount = count;
        port->rxPut = fresh + count;  // inSize exceeds the old size, so no wrap
        SetSizeLimits(port, inSize);
    }
    KeReleaseSpinLockFromDpcLevel(&port->rxLock);
    if (grow) ReleaseReceiveHold(port);
    KeReleaseSpinLock(&port->controlLock, irql);
    if (unused != nullptr) ExFreePoolWithTag(unused, PORT_POOL_TAG);
    return STATUS_SUCCESS;
}

void ReturnCancelledReadCharacters(PortExtension* port, PIRP read) {
    KIRQL irql;
    KeAcquireSpinLock(&port->controlLock, &irql);
    KeAcquireSpinLockAtDpcLevel(&port->rxLock);
    // The read has been taken back or has filled: buffered mode.
    if (port->rxBuffer != nullptr && !DirectMode(port) && port->readDelivered > port->readPurged) {
        ULONG count = port->readDelivered - port->readPurged;
        const UCHAR* from = static_cast<PUCHAR>(read->AssociatedIrp.SystemBuffer) + port->readPurged;
        const ULONG room = port->rxBufferSize - port->rxCount;
        if (count > room) {
            // Keep the newest, which join up with what follows.
            CountQueueOverrun(port, count - room);
            from += count - room;
            count = room;
        }
        if (count != 0) PutInFront(port, from, count);
    }
    port->readDelivered = 0;
    port->readPurged = 0;
    KeReleaseSpinLockFromDpcLevel(&port->rxLock);
    KeReleaseSpinLock(&port->controlLock, irql);
}
