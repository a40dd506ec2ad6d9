// The modem-control outputs and the transmit holds that control codes set:
// IOCTL_SERIAL_SET_MODEM_CONTROL, break on and off, IOCTL_SERIAL_SET_XOFF
// and IOCTL_SERIAL_SET_XON, and the XON/XOFF characters the driver sends
// itself.
//
// The chip requests here (SetControlLines, SendBreak) report nothing to the
// caller: the control codes succeed even when the chip refused.
#include "io/request_queue.h"
#include "io/write_path.h"
#include "serial/modem_lines.h"

namespace {

BOOLEAN TransmitToggle(const PortExtension* port) {
    return (port->handFlow.FlowReplace & SERIAL_RTS_MASK) == SERIAL_TRANSMIT_TOGGLE ? TRUE : FALSE;
}

// Whether the end of a break should start a transmit-toggle check: the
// transmitter may be idle, or something else still holds it. The write
// path changes the request slot and remaining count as it goes, so they
// are read with acquire loads; holdingEmpty belongs to controlLock.
BOOLEAN CheckRtsAfterBreak(PortExtension* port) {
    if (ReadShared(&port->txHolding) != 0) return TRUE;
    if (ReadPointerAcquire(reinterpret_cast<PVOID volatile*>(&port->currentImmediateIrp)) == nullptr &&
        ReadAcquire(reinterpret_cast<volatile LONG*>(&port->writeRemaining)) == 0)
        return TRUE;
    KIRQL irql;
    KeAcquireSpinLock(&port->controlLock, &irql);
    const BOOLEAN unknownYet = port->holdingEmpty == 0 ? TRUE : FALSE;
    KeReleaseSpinLock(&port->controlLock, irql);
    return unknownYet;
}

}  // namespace

void SetModemControl(PortExtension* port, ULONG value) {
    KIRQL irql;
    KeAcquireSpinLock(&port->controlLock, &irql);
    port->modemControl = static_cast<USHORT>(value);
    KeReleaseSpinLock(&port->controlLock, irql);
    RequestControlLine(port, (value & MODEM_CONTROL_DTR) ? SET_DTR : CLEAR_DTR);
    RequestControlLine(port, (value & MODEM_CONTROL_RTS) ? SET_RTS : CLEAR_RTS);
}

void BreakOn(PortExtension* port) {
    // The hold comes first: a transmit-toggle check that runs while the
    // requests below wait for the chip must see the break, or it drops RTS
    // under it.
    InterlockedOr(&port->txHolding, TX_HOLD_BREAK);
    // In transmit-toggle mode RTS frames what is sent, the break included.
    if (TransmitToggle(port)) RequestControlLine(port, SET_RTS);
    SendBreak(port->deviceObject, TRUE);
}

void BreakOff(PortExtension* port) {
    if ((ReadShared(&port->txHolding) & TX_HOLD_BREAK) == 0) return;
    SendBreak(port->deviceObject, FALSE);
    InterlockedAnd(&port->txHolding, ~TX_HOLD_BREAK);
    if (CheckRtsAfterBreak(port)) {
        InterlockedIncrement(&port->lowerRtsPending);
        LowerRtsCheck(port);
    }
}

void SetXoffHold(PortExtension* port) {
    InterlockedOr(&port->txHolding, TX_HOLD_XON);
    if (TransmitToggle(port)) QueueLowerRtsCheck(port);
}

// As if the XON character had been received: the held write goes out now.
// The chip reports its status only when a line changes, so waiting for the
// next status report could hold the write for ever. No spin lock held.
void ClearXoffHold(PortExtension* port) {
    if (ReadShared(&port->txHolding) == 0) return;
    InterlockedAnd(&port->txHolding, ~TX_HOLD_XON);
    port->xoffReceived = 0;
    // A write held by the XOFF goes out now: waiting for the next status
    // report could wait for ever, since the chip reports only changes.
    RestartHeldWrite(port);
}

void SendFlowChar(PortExtension* port, BOOLEAN xon) {
    // The newest flow character is the one the far end must see; on a
    // halted pipe it waits for the reset.
    const LONG wanted = xon ? FLOW_CHAR_XON : FLOW_CHAR_XOFF;
    if (PipeHalted(port, STREAM_BULK_OUT)) {
        InterlockedExchange(&port->flowCharPending, wanted);
        return;
    }
    InterlockedExchange(&port->flowCharPending, 0);
    const UCHAR character = xon ? port->specialChars.XonChar : port->specialChars.XoffChar;
    // The transfer copies the character; its completion reaches the write
    // path as a one-character transfer, which advances no write.
    const NTSTATUS status = StartTransmitTransfer(port->deviceObject, TX_ONE_CHAR, &character, 1);
    if (!NT_SUCCESS(status)) InterlockedExchange(&port->flowCharPending, wanted);
}

void ResendFlowChar(PortExtension* port) {
    const LONG pending = InterlockedExchange(&port->flowCharPending, 0);
    if (pending != 0) SendFlowChar(port, pending == FLOW_CHAR_XON ? TRUE : FALSE);
}
