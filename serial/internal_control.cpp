// IRP_MJ_INTERNAL_DEVICE_CONTROL: the codes other kernel components send
// to the port, a driver layered on top of it that wants the port to be
// able to wake the system, or that wants a plain line without time-outs
// or flow control for a while and the application's settings back after.
//
// The same order of work as the application's control codes, except that
// no open handle is needed: a component above the port sends these on its
// own, with or without an application holding the port. The request is
// admitted (refused while the device goes away, parked while it stops),
// ended while an error abort is pending, then served here and completed.
//
// The save and the restore change the time-outs and the handflow, and the
// handflow waits for the chip; both run under settingsMutex, like the
// application's setting changes, so that an application's handflow cannot
// be applied in the middle and then be recorded as the saved one, or be
// overwritten half-way by the restore.
#include "driver/dispatch.h"
#include "serial/control_codes.h"
#include "serial/modem_lines.h"
#include "serial/port_locks.h"

namespace {

constexpr ULONG kBasicSettingsLength = sizeof(SERIAL_BASIC_SETTINGS);
static_assert(sizeof(SERIAL_BASIC_SETTINGS) == 44, "the platform's basic-settings record is 44 bytes");

// IOCTL_SERIAL_INTERNAL_DO_WAIT_WAKE: wake-up can be armed when some
// sleep state S1 to S5 keeps the device powered at least as well as the
// deepest state it can still wake the system from. The bus's capabilities
// filled deviceStateMap and deviceWake; before they are known every entry
// is PowerDeviceUnspecified (0), which never qualifies. Only the flag is
// kept; the power dispatch consults it, and this driver sends no wait-wake
// request itself.
NTSTATUS DoWaitWakeRow(PortExtension* port, PIRP irp, PIO_STACK_LOCATION stack) {
    UNREFERENCED_PARAMETER(irp);
    UNREFERENCED_PARAMETER(stack);
    for (int state = PowerSystemSleeping1; state <= PowerSystemShutdown; ++state) {
        const DEVICE_POWER_STATE mapped = port->deviceStateMap[state];
        if (mapped >= PowerDeviceD0 && mapped <= port->deviceWake) {
            port->sendWaitWake = 1;
            return STATUS_SUCCESS;
        }
    }
    return STATUS_NOT_SUPPORTED;
}

NTSTATUS CancelWaitWakeRow(PortExtension* port, PIRP irp, PIO_STACK_LOCATION stack) {
    UNREFERENCED_PARAMETER(irp);
    UNREFERENCED_PARAMETER(stack);
    port->sendWaitWake = 0;
    return STATUS_SUCCESS;
}

// Puts the time-outs and the handflow in place: the time-outs at once
// under controlLock, the handflow through the chip. settingsMutex held.
void PutSettings(PortExtension* port, const SERIAL_TIMEOUTS& timeouts, const SERIAL_HANDFLOW& handFlow) {
    {
        ControlLock lock(port);
        port->timeouts = timeouts;
    }
    ApplyHandFlow(port, &handFlow);
}

// IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS: returns what the port runs now and
// switches it to the basic settings: no time-outs (a read returns what has
// arrived, a write waits as long as it takes), no handshake, no XON/XOFF,
// DTR and RTS dropped. The FIFO values are reported for the record; the
// chip's FIFOs take no setting.
NTSTATUS BasicSettingsRow(PortExtension* port, PIRP irp, PIO_STACK_LOCATION stack) {
    if (SystemBuffer(irp) == nullptr) return STATUS_INVALID_PARAMETER;
    if (OutputLength(stack) < kBasicSettingsLength) return STATUS_BUFFER_TOO_SMALL;

    SettingsMutex settings(port);
    SERIAL_BASIC_SETTINGS saved;
    RtlZeroMemory(&saved, sizeof(saved));
    {
        ControlLock lock(port);
        saved.Timeouts = port->timeouts;
        saved.HandFlow = port->handFlow;
        saved.RxFifo = port->rxFifoTrigger;
        saved.TxFifo = port->txFifoAmount;
    }
    RtlCopyMemory(SystemBuffer(irp), &saved, kBasicSettingsLength);
    irp->IoStatus.Information = kBasicSettingsLength;

    SERIAL_TIMEOUTS noTimeouts;
    RtlZeroMemory(&noTimeouts, sizeof(noTimeouts));
    SERIAL_HANDFLOW noFlowControl;
    RtlZeroMemory(&noFlowControl, sizeof(noFlowControl));
    PutSettings(port, noTimeouts, noFlowControl);
    return STATUS_SUCCESS;
}

// IOCTL_SERIAL_INTERNAL_RESTORE_SETTINGS: the record the save returned,
// handed back. The FIFO values are ignored. The handflow is checked as an
// application's would be: the record comes from another driver, which may
// have kept it badly or built it itself, and the receive thresholds take
// the limits from the buffer size unsigned, so limits that are negative or
// beyond the buffer wrap and the far end is never held off or let go at
// once; the DTR field 3 leaves the line in no defined mode. A record the
// save returned passes: the port set nothing it would refuse.
NTSTATUS RestoreSettingsRow(PortExtension* port, PIRP irp, PIO_STACK_LOCATION stack) {
    if (SystemBuffer(irp) == nullptr) return STATUS_INVALID_PARAMETER;
    if (InputLength(stack) < kBasicSettingsLength) return STATUS_BUFFER_TOO_SMALL;
    SERIAL_BASIC_SETTINGS restored;
    RtlCopyMemory(&restored, SystemBuffer(irp), kBasicSettingsLength);

    SettingsMutex settings(port);
    // Checked under the mutex, as an application's handflow is. While no
    // handle is open there is no receive buffer to hold the limits to (its
    // size reads 0, and the next open sets the limits from the buffer it
    // allocates); they only must not be negative.
    SERIAL_HANDFLOW checked = restored.HandFlow;
    if (port->rxBufferSize == 0) {
        if (checked.XonLimit < 0 || checked.XoffLimit < 0) return STATUS_INVALID_PARAMETER;
        checked.XonLimit = 0;
        checked.XoffLimit = 0;
    }
    if (!HandFlowValid(port, &checked)) return STATUS_INVALID_PARAMETER;
    PutSettings(port, restored.Timeouts, restored.HandFlow);
    return STATUS_SUCCESS;
}

ControlRow* InternalRow(ULONG code) {
    switch (code) {
    case IOCTL_SERIAL_INTERNAL_DO_WAIT_WAKE: return DoWaitWakeRow;
    case IOCTL_SERIAL_INTERNAL_CANCEL_WAIT_WAKE: return CancelWaitWakeRow;
    case IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS: return BasicSettingsRow;
    case IOCTL_SERIAL_INTERNAL_RESTORE_SETTINGS: return RestoreSettingsRow;
    default: return nullptr;
    }
}

}  // namespace

NTSTATUS NTAPI DispatchInternalDeviceControl(PDEVICE_OBJECT deviceObject, PIRP irp) {
    PortExtension* port = PortFromDevice(deviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);

    irp->IoStatus.Information = 0;
    NTSTATUS status = AdmitDataRequest(deviceObject, irp);
    if (status != STATUS_SUCCESS) return status;
    irp->IoStatus.Information = 0;

    ControlRow* row = InternalRow(stack->Parameters.DeviceIoControl.IoControlCode);
    status = row != nullptr ? row(port, irp, stack) : STATUS_INVALID_PARAMETER;
    if (!NT_SUCCESS(status)) irp->IoStatus.Information = 0;
    return CompleteControl(port, irp, status);
}
