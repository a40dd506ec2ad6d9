// IRP_MJ_READ and the read queue's start routine.
//
// A read first takes what the receive buffer holds. If that does not end
// it, it waits in direct mode: received characters go straight into its
// buffer, and its time-outs are armed. The time-out rules, with I the
// interval, M the total multiplier, C the total constant (milliseconds) and
// N the read's length:
//
//   I = 0                        total timer N*M + C if M or C is non-zero
//   0 < I < MAXULONG             interval timer I, total timer as above
//   I = MAXULONG, M = C = 0      return at once with what is buffered
//   I = MAXULONG, C = MAXULONG   no timers: wait for N characters
//   I = MAXULONG, M = MAXULONG   return as soon as one character is there,
//                                or after C (a read that waits is cut down
//                                to one character)
//   I = MAXULONG, otherwise      return at once if anything is buffered,
//                                else wait for N characters or N*M + C
//
// The interval counts from the first character the read receives: a read
// that has nothing never ends by interval. Its timer polls every clock tick,
// or every second for intervals of 20 s and more.
#include "driver/dispatch.h"
#include "io/deferred_work.h"
#include "io/read_path.h"
#include "serial/modem_lines.h"

namespace {

constexpr LONGLONG kTicksPerMillisecond = 10000;  // 100 ns units
// The longest total time-out a relative due time can express, in ms.
constexpr ULONGLONG kLongestTotalMs = 0x7FFFFFFFFFFFFFFFULL / kTicksPerMillisecond;

struct ReadPlan {
    bool returnAtOnce = false;   // end with what is buffered, even nothing
    bool returnWhenAny = false;  // end at once if anything was buffered
    bool cutToOne = false;       // a read that waits waits for one character
    bool useTotal = false;
    bool useInterval = false;
    ULONGLONG totalMs = 0;
    ULONG intervalMs = 0;
};

ULONGLONG TotalMs(ULONG length, ULONG multiplier, ULONG constant) {
    const ULONGLONG total = static_cast<ULONGLONG>(length) * multiplier + constant;
    return total < kLongestTotalMs ? total : kLongestTotalMs;
}

ReadPlan PlanRead(const SERIAL_TIMEOUTS& timeouts, ULONG length) {
    const ULONG interval = timeouts.ReadIntervalTimeout;
    const ULONG multiplier = timeouts.ReadTotalTimeoutMultiplier;
    const ULONG constant = timeouts.ReadTotalTimeoutConstant;
    ReadPlan plan;
    if (interval == MAXULONG) {
        if (multiplier == 0 && constant == 0) {
            plan.returnAtOnce = true;
        } else if (constant == MAXULONG) {
            // Waits for all N characters.
        } else if (multiplier == MAXULONG) {
            plan.returnWhenAny = plan.cutToOne = plan.useTotal = true;
            plan.totalMs = constant;
        } else {
            plan.returnWhenAny = plan.useTotal = true;
            plan.totalMs = TotalMs(length, multiplier, constant);
        }
        return plan;
    }
    if (interval != 0) {
        plan.useInterval = true;
        plan.intervalMs = interval;
    }
    if (multiplier != 0 || constant != 0) {
        plan.useTotal = true;
        plan.totalMs = TotalMs(length, multiplier, constant);
    }
    return plan;
}

// Arms the time-outs of a read that is going to wait. controlLock and the
// cancel spin lock held.
void ArmReadTimers(PortExtension* port, PIRP read, const ReadPlan& plan) {
    if (plan.useTotal) {
        AddReference(read, RefTotalTimer);
        LARGE_INTEGER due;
        due.QuadPart = -static_cast<LONGLONG>(plan.totalMs) * kTicksPerMillisecond;
        SetTimerCounted(&port->readTotalTimer, due, &port->readTotalTimeoutDpc, port);
    }
    if (plan.useInterval) {
        AddReference(read, RefIntervalTimer);
        port->intervalTime = static_cast<LONGLONG>(plan.intervalMs) * kTicksPerMillisecond;
        port->intervalPollPeriod =
            port->intervalTime < port->intervalCutOver ? &port->intervalPollShort : &port->intervalPollLong;
        LARGE_INTEGER now;
        KeQuerySystemTime(&now);
        port->lastCharTime = now.QuadPart;
        LARGE_INTEGER due;
        due.QuadPart = *port->intervalPollPeriod;
        SetTimerCounted(&port->readIntervalTimer, due, &port->readIntervalTimeoutDpc, port);
    }
}

// Serves the current read: ends it from the buffer, or makes it wait.
// Returns its final status, or STATUS_PENDING if it waits.
NTSTATUS ServeRead(PortExtension* port, PIRP read) {
    const ULONG length = IoGetCurrentIrpStackLocation(read)->Parameters.Read.Length;
    // No time-out of an earlier read may fire on this one.
    CancelTimerCounted(&port->readTotalTimer, port);
    CancelTimerCounted(&port->readIntervalTimer, port);

    KIRQL controlIrql;
    KeAcquireSpinLock(&port->controlLock, &controlIrql);
    const ReadPlan plan = PlanRead(port->timeouts, length);
    port->readRemaining = length;
    PUCHAR getBefore = port->rxGet;
    const ULONG copied = CopyFromReceiveBuffer(port);

    if (plan.returnAtOnce || port->readRemaining == 0 || (plan.returnWhenAny && copied != 0)) {
        ConsumeCopied(port, copied);
        KeReleaseSpinLock(&port->controlLock, controlIrql);
        return STATUS_SUCCESS;
    }

    KIRQL cancelIrql;
    IoAcquireCancelSpinLock(&cancelIrql);
    if (read->Cancel) {
        // Nothing happened to the buffer since the copy: the characters stay
        // there for the next read.
        KeAcquireSpinLockAtDpcLevel(&port->rxLock);
        port->rxGet = getBefore;
        KeReleaseSpinLockFromDpcLevel(&port->rxLock);
        read->IoStatus.Information = 0;
        IoReleaseCancelSpinLock(cancelIrql);
        KeReleaseSpinLock(&port->controlLock, controlIrql);
        return STATUS_CANCELLED;
    }

    if (plan.cutToOne) port->readRemaining = 1;  // nothing was copied: see above
    SetReferenceWord(read, 0);
    IoMarkIrpPending(read);
    KeAcquireSpinLockAtDpcLevel(&port->rxLock);
    SwitchReadToDirect(port, copied);
    KeReleaseSpinLockFromDpcLevel(&port->rxLock);
    AddReference(read, RefTransfer | RefCancel);
    IoSetCancelRoutine(read, CancelCurrentRead);
    ArmReadTimers(port, read, plan);
    IoReleaseCancelSpinLock(cancelIrql);

    if (copied != 0) ReleaseReceiveHold(port);  // the buffer shrank
    KeReleaseSpinLock(&port->controlLock, controlIrql);
    return STATUS_PENDING;
}

}  // namespace

NTSTATUS NTAPI DispatchRead(PDEVICE_OBJECT deviceObject, PIRP irp) {
    PortExtension* port = PortFromDevice(deviceObject);
    NTSTATUS status = AdmitDataRequest(deviceObject, irp);
    if (status != STATUS_SUCCESS) return status;

    irp->IoStatus.Information = 0;
    if (IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length == 0) {
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        FinishRequest(port);
        return STATUS_SUCCESS;
    }
    return EnqueueOrStart(port, irp, &port->readQueue, &port->currentReadIrp, StartRead);
}

// Serves the current request and each following one that ends at once;
// returns the status of the first.
NTSTATUS StartRead(PortExtension* port) {
    NTSTATUS first = STATUS_PENDING;
    bool isFirst = true;
    // The slot holds the request this routine was called for; nobody else
    // replaces it before it ends or becomes cancellable.
    PIRP irp = port->currentReadIrp;
    while (irp != nullptr) {
        // A queue-size change carries its buffer in the field reads keep
        // their reference word in: it never gets one.
        const bool isRead = IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_READ;
        const NTSTATUS status = isRead ? ServeRead(port, irp) : ResizeReceiveBuffer(port);
        if (status == STATUS_PENDING) break;
        irp->IoStatus.Status = status;
        if (isFirst) first = status;
        isFirst = false;
        TakeNextRequest(&port->currentReadIrp, &port->readQueue, &irp, TRUE, port);
    }
    return isFirst ? STATUS_PENDING : first;
}
