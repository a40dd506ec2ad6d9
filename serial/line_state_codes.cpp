// The control codes for the modem-control outputs, break, the transmit
// holds and the modem status.
//
// DTR and RTS cannot be set by hand while a handshake or transmit toggle
// owns them. The line-state and break requests report no chip failure: the
// modem-control image keeps what the application asked for and is sent
// whole with the next line change, at open and after a return to power.
#include "serial/control_codes.h"
#include "serial/modem_lines.h"

namespace {

BOOLEAN DtrOwnedByHandshake(const PortExtension* port) {
    return (port->handFlow.ControlHandShake & SERIAL_DTR_MASK) == SERIAL_DTR_HANDSHAKE ? TRUE : FALSE;
}

BOOLEAN RtsOwnedByFlow(const PortExtension* port) {
    const ULONG mode = port->handFlow.FlowReplace & SERIAL_RTS_MASK;
    return (mode == SERIAL_RTS_HANDSHAKE || mode == SERIAL_TRANSMIT_TOGGLE) ? TRUE : FALSE;
}

NTSTATUS SetLine(PortExtension* port, ControlLineAction action) {
    const NTSTATUS status = PowerUpForControl(port);
    if (!NT_SUCCESS(status)) return status;
    const BOOLEAN dtr = (action == SET_DTR || action == CLEAR_DTR) ? TRUE : FALSE;
    if (dtr ? DtrOwnedByHandshake(port) : RtsOwnedByFlow(port)) return STATUS_INVALID_PARAMETER;
    SetControlLines(port->deviceObject, action);
    return STATUS_SUCCESS;
}

NTSTATUS ReturnUlong(PIRP irp, PIO_STACK_LOCATION stack, ULONG value) {
    if (SystemBuffer(irp) == nullptr) return STATUS_INVALID_PARAMETER;
    if (OutputLength(stack) < sizeof(ULONG)) return STATUS_BUFFER_TOO_SMALL;
    *static_cast<PULONG>(SystemBuffer(irp)) = value;
    irp->IoStatus.Information = sizeof(ULONG);
    return STATUS_SUCCESS;
}

USHORT ModemControlImage(PortExtension* port) {
    KIRQL irql;
    KeAcquireSpinLock(&port->controlLock, &irql);
    const USHORT image = port->modemControl;
    KeReleaseSpinLock(&port->controlLock, irql);
    return image;
}

}  // namespace

NTSTATUS SetDtrRow(PortExtension* port, PIRP, PIO_STACK_LOCATION) { return SetLine(port, SET_DTR); }
NTSTATUS ClrDtrRow(PortExtension* port, PIRP, PIO_STACK_LOCATION) { return SetLine(port, CLEAR_DTR); }
NTSTATUS SetRtsRow(PortExtension* port, PIRP, PIO_STACK_LOCATION) { return SetLine(port, SET_RTS); }
NTSTATUS ClrRtsRow(PortExtension* port, PIRP, PIO_STACK_LOCATION) { return SetLine(port, CLEAR_RTS); }

NTSTATUS SetBreakOnRow(PortExtension* port, PIRP, PIO_STACK_LOCATION) {
    const NTSTATUS status = PowerUpForControl(port);
    if (NT_SUCCESS(status)) BreakOn(port);
    return status;
}

NTSTATUS SetBreakOffRow(PortExtension* port, PIRP, PIO_STACK_LOCATION) {
    const NTSTATUS status = PowerUpForControl(port);
    if (NT_SUCCESS(status)) BreakOff(port);
    return status;
}

// Transmission waits as if the far end had sent XOFF, until
// IOCTL_SERIAL_SET_XON (or an XON received).
NTSTATUS SetXoffRow(PortExtension* port, PIRP, PIO_STACK_LOCATION) {
    SetXoffHold(port);
    return STATUS_SUCCESS;
}

NTSTATUS SetXonRow(PortExtension* port, PIRP, PIO_STACK_LOCATION) {
    ClearXoffHold(port);
    return STATUS_SUCCESS;
}

NTSTATUS GetModemStatusRow(PortExtension* port, PIRP irp, PIO_STACK_LOCATION stack) {
    if (SystemBuffer(irp) == nullptr) return STATUS_INVALID_PARAMETER;
    if (OutputLength(stack) < sizeof(ULONG)) return STATUS_BUFFER_TOO_SMALL;
    return ReturnUlong(irp, stack, ReportModemStatus(port));
}

NTSTATUS GetDtrRtsRow(PortExtension* port, PIRP irp, PIO_STACK_LOCATION stack) {
    return ReturnUlong(irp, stack, ModemControlImage(port) & (SERIAL_DTR_STATE | SERIAL_RTS_STATE));
}

NTSTATUS GetModemControlRow(PortExtension* port, PIRP irp, PIO_STACK_LOCATION stack) {
    return ReturnUlong(irp, stack, ModemControlImage(port));
}

NTSTATUS SetModemControlRow(PortExtension* port, PIRP irp, PIO_STACK_LOCATION stack) {
    if (SystemBuffer(irp) == nullptr) return STATUS_INVALID_PARAMETER;
    if (InputLength(stack) < sizeof(ULONG)) return STATUS_BUFFER_TOO_SMALL;
    const ULONG value = *static_cast<PULONG>(SystemBuffer(irp));
    const NTSTATUS status = PowerUpForControl(port);
    if (NT_SUCCESS(status)) SetModemControl(port, value);
    return status;
}
