// IRP_MJ_DEVICE_CONTROL: every serial control code an application sends,
// and the private diagnostic codes. The order of work is the same for all:
// a port without an open handle refuses everything (the request is not
// counted); the request is admitted (refused while the device goes away,
// parked while it is stopped); a pending error abort ends every code but
// IOCTL_SERIAL_GET_COMMSTATUS, which is how the application clears it;
// then the code's row (control_codes.h) runs.
#include "driver/dispatch.h"
#include "driver/power.h"
#include "serial/control_codes.h"

namespace {

// The standard codes whose rows answer at once.
ControlRow* AnsweringRow(ULONG code) {
    switch (code) {
    case IOCTL_SERIAL_SET_BAUD_RATE: return SetBaudRateRow;
    case IOCTL_SERIAL_GET_BAUD_RATE: return GetBaudRateRow;
    case IOCTL_SERIAL_SET_LINE_CONTROL: return SetLineControlRow;
    case IOCTL_SERIAL_GET_LINE_CONTROL: return GetLineControlRow;
    case IOCTL_SERIAL_SET_CHARS: return SetCharsRow;
    case IOCTL_SERIAL_GET_CHARS: return GetCharsRow;
    case IOCTL_SERIAL_SET_TIMEOUTS: return SetTimeoutsRow;
    case IOCTL_SERIAL_GET_TIMEOUTS: return GetTimeoutsRow;
    case IOCTL_SERIAL_SET_HANDFLOW: return SetHandFlowRow;
    case IOCTL_SERIAL_GET_HANDFLOW: return GetHandFlowRow;
    case IOCTL_SERIAL_LSRMST_INSERT: return LsrMstInsertRow;
    case IOCTL_SERIAL_SET_DTR: return SetDtrRow;
    case IOCTL_SERIAL_CLR_DTR: return ClrDtrRow;
    case IOCTL_SERIAL_SET_RTS: return SetRtsRow;
    case IOCTL_SERIAL_CLR_RTS: return ClrRtsRow;
    case IOCTL_SERIAL_SET_BREAK_ON: return SetBreakOnRow;
    case IOCTL_SERIAL_SET_BREAK_OFF: return SetBreakOffRow;
    case IOCTL_SERIAL_SET_XOFF: return SetXoffRow;
    case IOCTL_SERIAL_SET_XON: return SetXonRow;
    case IOCTL_SERIAL_GET_MODEMSTATUS: return GetModemStatusRow;
    case IOCTL_SERIAL_GET_DTRRTS: return GetDtrRtsRow;
    case IOCTL_SERIAL_GET_MODEM_CONTROL: return GetModemControlRow;
    case IOCTL_SERIAL_SET_MODEM_CONTROL: return SetModemControlRow;
    case IOCTL_SERIAL_GET_COMMSTATUS: return GetCommStatusRow;
    case IOCTL_SERIAL_GET_PROPERTIES: return GetPropertiesRow;
    case IOCTL_SERIAL_GET_STATS: return GetStatsRow;
    case IOCTL_SERIAL_CLEAR_STATS: return ClearStatsRow;
    case IOCTL_SERIAL_CONFIG_SIZE: return ConfigSizeRow;
    case IOCTL_SERIAL_GET_WAIT_MASK: return GetWaitMaskRow;
    case IOCTL_SERIAL_RESET_DEVICE: return ResetDeviceRow;
    case IOCTL_SERIAL_SET_FIFO_CONTROL: return SetFifoControlRow;
    default: return nullptr;
    }
}

// The standard codes whose rows hand the request to the data path.
HandingRow* HandingRowOf(ULONG code) {
    switch (code) {
    case IOCTL_SERIAL_SET_QUEUE_SIZE: return SetQueueSizeRow;
    case IOCTL_SERIAL_PURGE: return PurgeRow;
    case IOCTL_SERIAL_SET_WAIT_MASK: return SetWaitMaskRow;
    case IOCTL_SERIAL_WAIT_ON_MASK: return WaitOnMaskRow;
    case IOCTL_SERIAL_IMMEDIATE_CHAR: return ImmediateCharRow;
    case IOCTL_SERIAL_XOFF_COUNTER: return XoffCounterRow;
    default: return nullptr;
    }
}

}  // namespace

NTSTATUS CompleteControl(PortExtension* port, PIRP irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    FinishRequest(port);
    return status;
}

NTSTATUS PowerUpForControl(PortExtension* port) {
    if (port->devicePowerState == PowerDeviceD0) return STATUS_SUCCESS;
    const NTSTATUS status = RequestDevicePowerAndWait(port->pdo, port, PowerDeviceD0);
    // Suspended, the hub withdrew the status and receive transfers; after a
    // wake that could not have its D0 request the chip also came back with
    // the bus at its power-on state. Put the settings back and the readers.
    if (NT_SUCCESS(status)) RestoreChipAfterSleep(port);
    return status;
}

// IOCTL_SERIAL_RESET_DEVICE: there is nothing to reset on this port.
NTSTATUS ResetDeviceRow(PortExtension* port, PIRP irp, PIO_STACK_LOCATION stack) {
    UNREFERENCED_PARAMETER(port);
    UNREFERENCED_PARAMETER(irp);
    UNREFERENCED_PARAMETER(stack);
    return STATUS_SUCCESS;
}

// IOCTL_SERIAL_SET_FIFO_CONTROL: the chip's FIFOs are not the UART's and
// take no setting; the code only brings the device to full power.
NTSTATUS SetFifoControlRow(PortExtension* port, PIRP irp, PIO_STACK_LOCATION stack) {
    if (SystemBuffer(irp) == nullptr) return STATUS_INVALID_PARAMETER;
    if (InputLength(stack) < sizeof(ULONG)) return STATUS_BUFFER_TOO_SMALL;
    return PowerUpForControl(port);
}

NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT deviceObject, PIRP irp) {
    PortExtension* port = PortFromDevice(deviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);

    if (!PortIsOpen(port)) {
        irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
        irp->IoStatus.Information = 0;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_INVALID_DEVICE_REQUEST;
    }

    irp->IoStatus.Information = 0;
    NTSTATUS status = AdmitDataRequest(deviceObject, irp);
    if (status != STATUS_SUCCESS) return status;
    irp->IoStatus.Information = 0;

    const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    if (HandingRow* hand = HandingRowOf(code)) return hand(port, irp, stack);

    ControlRow* row = AnsweringRow(code);
    if (row == nullptr && code >= DIAGNOSTIC_CODE_FIRST && code <= DIAGNOSTIC_CODE_LAST) row = DiagnosticControlRow;
    status = row != nullptr ? row(port, irp, stack) : STATUS_INVALID_PARAMETER;
    // A refused request returns nothing, whatever a row may have counted.
    if (!NT_SUCCESS(status)) irp->IoStatus.Information = 0;
    return CompleteControl(port, irp, status);
}
