// IRP_MJ_CREATE, IRP_MJ_CLOSE and IRP_MJ_CLEANUP: one handle at a time.
//
// Open makes sure the status and receive streams run, allocates the
// receive buffer, resets the per-open state, puts the port's settings back
// into the chip and marks the port open. Close lets the transmitter drain,
// turns the chip's flow control and the modem lines off, frees the buffer,
// waits for the port's DPCs and timers and stops the streams. Cleanup
// cancels whatever the handle left pending.
//
// Open also brings the device to full power and waits for it.
#include "driver/dispatch.h"
#include "driver/driver_globals.h"
#include "driver/power.h"
#include "driver/pnp.h"
#include "io/deferred_work.h"
#include "io/read_path.h"
#include "io/request_queue.h"
#include "serial/modem_lines.h"
#include "usb/chip_protocol.h"

namespace {

constexpr LONGLONG kCleanupPause = -300000;  // 30 ms, relative
constexpr ULONG kCloseDrainCharacters = 10;
constexpr LONGLONG kChipBufferBits = 1280;   // the transmit buffer of the older generations, in bits

NTSTATUS CompleteOpen(PortExtension* port, PIRP irp, NTSTATUS status, BOOLEAN admitted) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    if (admitted) FinishRequest(port);
    return status;
}

// Every counter of a SERIALPERF_STATS or SERIAL_WMI_PERF_DATA record back to 0.
// controlLock held.
template <typename Counters>
void ResetCounters(Counters* counters) {
    counters->ReceivedCount = 0;
    InterlockedExchange(reinterpret_cast<volatile LONG*>(&counters->TransmittedCount), 0);
    counters->FrameErrorCount = 0;
    counters->SerialOverrunErrorCount = 0;
    counters->BufferOverrunErrorCount = 0;
    counters->ParityErrorCount = 0;
}

// portOpen changes under controlLock: the receive completion decides under
// it whether a character goes into the buffer.
void SetPortOpen(PortExtension* port, LONG open) {
    KIRQL irql;
    KeAcquireSpinLock(&port->controlLock, &irql);
    StoreShared(&port->portOpen, open);
    KeReleaseSpinLock(&port->controlLock, irql);
}

void Delay(LONGLONG relative, BOOLEAN alertable) {
    LARGE_INTEGER due;
    due.QuadPart = relative;
    KeDelayExecutionThread(KernelMode, alertable, &due);
}

// The per-open state of the data path, at its first values.
//
// The status and receive streams run while this resets (the previous
// open's cancelled transfers may still be on their way back, and the
// readers of this open were started first), so each field is reset under
// the rule its completions follow rather than on the assumption that they
// are quiet: the receive-side state and the counters the receive and
// status paths keep under controlLock, the transmitted counts, which the
// transmit completions add to without a lock (an orphaned chunk of the
// previous open may still come back), with interlocked stores.
void ResetOpenState(PortExtension* port) {
    KIRQL irql;
    KeAcquireSpinLock(&port->controlLock, &irql);
    port->escapeChar = 0;
    port->xoffReceived = 0;
    InterlockedExchange(&port->flowCharPending, 0);
    port->writeHeld = 0;
    port->writeTimedOut = 0;
    port->errorWord = 0;
    ResetCounters(&port->perfStats);
    ResetCounters(&port->wmiPerfData);
    KeReleaseSpinLock(&port->controlLock, irql);

    IoAcquireCancelSpinLock(&irql);
    port->charsQueued = 0;
    IoReleaseCancelSpinLock(irql);

    KeAcquireSpinLock(&port->eventLock, &irql);
    port->waitMask = 0;
    port->eventHistory = 0;
    port->waitResultSlot = nullptr;
    KeReleaseSpinLock(&port->eventLock, irql);
}

}  // namespace

NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT deviceObject, PIRP irp) {
    PortExtension* port = PortFromDevice(deviceObject);

    // The readers are started before anything is checked, so that a port
    // opened during its start finds them running.
    StartReaders(port);
    if (port->pnpState != PNP_STATE_STARTED) return CompleteOpen(port, irp, STATUS_INSUFFICIENT_RESOURCES, FALSE);
    if (port->chipConfigured != 1) return CompleteOpen(port, irp, STATUS_INSUFFICIENT_POWER, FALSE);

    NTSTATUS status = AdmitRequest(irp, port);
    if (status == STATUS_PENDING) return STATUS_PENDING;
    if (!NT_SUCCESS(status)) return CompleteOpen(port, irp, status, TRUE);

    if (InterlockedIncrement(&port->openCount) != 1) {
        InterlockedDecrement(&port->openCount);
        return CompleteOpen(port, irp, STATUS_ACCESS_DENIED, TRUE);
    }
    if (IoGetCurrentIrpStackLocation(irp)->Parameters.Create.Options & FILE_DIRECTORY_FILE) {
        InterlockedDecrement(&port->openCount);
        return CompleteOpen(port, irp, STATUS_NOT_A_DIRECTORY, TRUE);
    }
    status = AllocateReceiveBuffer(port);
    if (!NT_SUCCESS(status)) {
        InterlockedDecrement(&port->openCount);
        return CompleteOpen(port, irp, STATUS_INSUFFICIENT_RESOURCES, TRUE);
    }
    MmLockPagableSectionByHandle(driverGlobals.pagingHandle);
    status = RequestDevicePowerAndWait(port->pdo, port, PowerDeviceD0);
    if (!NT_SUCCESS(status)) {
        FreeReceiveBuffer(port);
        InterlockedDecrement(&port->openCount);
        MmUnlockPagableImageSection(driverGlobals.pagingHandle);
        return CompleteOpen(port, irp, status, TRUE);
    }

    ResetOpenState(port);
    ReinitChip(port);
    SetPortOpen(port, 1);
    port->wmiCommData.IsBusy = TRUE;
    // In transmit-toggle mode the check queued while the settings went back
    // into the chip may already have run and, finding the port not yet open,
    // sent nothing and ended its cycle: RTS would stay up. Look again.
    if ((port->handFlow.FlowReplace & SERIAL_RTS_MASK) == SERIAL_TRANSMIT_TOGGLE) QueueLowerRtsCheck(port);
    WriteDoubledRegister(deviceObject, CHIP_REG_OPEN_FIRST, 0);
    WriteDoubledRegister(deviceObject, CHIP_REG_OPEN_SECOND, 0);
    StartReaders(port);
    return CompleteOpen(port, irp, STATUS_SUCCESS, TRUE);
}

NTSTATUS NTAPI DispatchClose(PDEVICE_OBJECT deviceObject, PIRP irp) {
    PortExtension* port = PortFromDevice(deviceObject);

    NTSTATUS status = AdmitRequest(irp, port);
    if (status == STATUS_PENDING) return STATUS_PENDING;
    if (status == STATUS_DELETE_PENDING) {
        // The port is going away: give the buffer back and let the handle go.
        FreeReceiveBuffer(port);
        port->wmiCommData.IsBusy = FALSE;
        CompleteOpen(port, irp, STATUS_SUCCESS, TRUE);
        InterlockedDecrement(&port->openCount);
        MmUnlockPagableImageSection(driverGlobals.pagingHandle);
        return STATUS_SUCCESS;
    }
    if (!NT_SUCCESS(status)) {
        CompleteOpen(port, irp, status, TRUE);
        InterlockedDecrement(&port->openCount);
        return status;
    }
    if (ReadShared(&port->openCount) != 1) return CompleteOpen(port, irp, STATUS_INVALID_DEVICE_REQUEST, TRUE);

    KIRQL irql;
    KeAcquireSpinLock(&port->controlLock, &irql);
    const LONGLONG characterTime = CharacterTime(port);
    KeReleaseSpinLock(&port->controlLock, irql);

    SetPortOpen(port, 0);
    port->wmiCommData.IsBusy = FALSE;
    // A DTR or RTS change decided while the port was open may still be on
    // its way to the chip; the lines set below must come after it.
    FlushControlLineChanges(port);
    BreakOff(port);
    // Let the last characters leave the chip before the lines drop.
    Delay(-characterTime * kCloseDrainCharacters, TRUE);
    SetRtsFlow(deviceObject, FALSE);
    SetCtsFlow(deviceObject, FALSE);
    SetDsrFlow(deviceObject, FALSE);
    SetXonXoffFlow(deviceObject, FALSE);
    SetControlLines(deviceObject, CLEAR_DTR);
    // The transmit-toggle check ends its cycle once the port is closed.
    while (ReadShared(&port->lowerRtsPending) != 0) Delay(-characterTime, FALSE);
    SetControlLines(deviceObject, CLEAR_RTS);

    InterlockedExchange(&port->txHolding, 0);
    InterlockedExchange(&port->rxHolding, 0);
    FreeReceiveBuffer(port);
    port->sendWaitWake = 0;
    CompleteOpen(port, irp, STATUS_SUCCESS, TRUE);

    DrainDpcs(port);
    InterlockedDecrement(&port->openCount);
    // The older generations hold characters in a transmit buffer of their
    // own; give it time to empty before the transfers are stopped.
    if (port->chipType <= CHIP_GEN_EXTENDED) {
        const LONGLONG baud = port->currentBaud != 0 ? port->currentBaud : 9600;
        Delay(-10000000 / baud * kChipBufferBits, FALSE);
    }
    MmUnlockPagableImageSection(driverGlobals.pagingHandle);
    CancelAllStreams(port);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI DispatchCleanup(PDEVICE_OBJECT deviceObject, PIRP irp) {
    PortExtension* port = PortFromDevice(deviceObject);
    Delay(kCleanupPause, FALSE);

    NTSTATUS status = AdmitRequest(irp, port);
    if (status == STATUS_PENDING) return STATUS_PENDING;
    if (status == STATUS_DELETE_PENDING) status = STATUS_SUCCESS;
    if (NT_SUCCESS(status)) KillAllRequests(deviceObject);
    return CompleteOpen(port, irp, status, TRUE);
}
