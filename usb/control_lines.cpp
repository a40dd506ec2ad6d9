// The modem-control lines DTR and RTS, and break, set through the CDC class
// requests SET_CONTROL_LINE_STATE and SEND_BREAK.
#include "usb/chip_protocol.h"

BOOLEAN SetControlLines(PDEVICE_OBJECT deviceObject, ControlLineAction action) {
    // The request waits for the chip; above PASSIVE_LEVEL nothing changes.
    if (KeGetCurrentIrql() > PASSIVE_LEVEL) return FALSE;
    PortExtension* port = PortFromDevice(deviceObject);

    // The image changes first and stays changed if the request fails: it is
    // what the port wants the lines to be, and the next change sends it
    // whole again.
    KIRQL irql;
    KeAcquireSpinLock(&port->controlLock, &irql);
    switch (action) {
    case SET_DTR:
        port->modemControl |= MODEM_CONTROL_DTR;
        break;
    case CLEAR_DTR:
        port->modemControl &= static_cast<USHORT>(~MODEM_CONTROL_DTR);
        break;
    case SET_RTS:
        port->modemControl |= MODEM_CONTROL_RTS;
        break;
    case CLEAR_RTS:
        port->modemControl &= static_cast<USHORT>(~MODEM_CONTROL_RTS);
        break;
    }
    const USHORT lines = port->modemControl;
    KeReleaseSpinLock(&port->controlLock, irql);

    NTSTATUS status;
    if (!ClassRequest(deviceObject, CDC_SET_CONTROL_LINE_STATE, lines, nullptr, 0, &status)) return FALSE;
    return NT_SUCCESS(status) ? TRUE : FALSE;
}

NTSTATUS SendBreak(PDEVICE_OBJECT deviceObject, BOOLEAN on) {
    NTSTATUS status;
    if (!ClassRequest(deviceObject, CDC_SEND_BREAK, on ? CDC_BREAK_ON : CDC_BREAK_OFF, nullptr, 0, &status))
        return STATUS_INSUFFICIENT_RESOURCES;
    return status;
}
