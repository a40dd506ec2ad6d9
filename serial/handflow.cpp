// Applying a new SERIAL_HANDFLOW: the chip's flow features, DTR and RTS by
// their modes, XON/XOFF, and the receive holds that the new limits imply.
//
// Each group of settings is applied when it changed, and every group while
// the port is not open (the open-time initialisation applies the stored
// settings whole). Runs at PASSIVE_LEVEL without a spin lock: every chip
// request waits for the chip. The new settings are stored last, under
// controlLock; the transmit-toggle mode is stored as soon as RTS is set up
// for it, so that a check queued meanwhile sees it.
#include "io/write_path.h"
#include "serial/modem_lines.h"

namespace {

// The receive buffer's size and fill, as the new limits are compared with.
struct BufferFill {
    ULONG size;
    ULONG count;
};

BOOLEAN Differs(ULONG now, ULONG before, ULONG mask) { return ((now ^ before) & mask) != 0 ? TRUE : FALSE; }

void ClearHold(PortExtension* port, LONG bit) { InterlockedAnd(&port->rxHolding, ~bit); }

// The RTS and XON/XOFF holds stop the bulk-in stream: ending one restarts it.
void EndStreamHold(PortExtension* port, LONG bit) {
    if (InterlockedAnd(&port->rxHolding, ~bit) & bit) RestartReceiveStream(port);
}

// DTR or RTS under handshake: hold the far end off while the buffer is
// past the XOFF point; keep an existing hold until the buffer has drained
// to XonLimit, then release it.
void ApplyHandshakeLine(PortExtension* port, const SERIAL_HANDFLOW* handFlow, const BufferFill& fill, LONG bit,
                        ControlLineAction raise, ControlLineAction drop) {
    if (fill.size - static_cast<ULONG>(handFlow->XoffLimit) <= fill.count) {
        InterlockedOr(&port->rxHolding, bit);
        RequestControlLine(port, drop);
        return;
    }
    if ((ReadShared(&port->rxHolding) & bit) != 0) {
        if (fill.count > static_cast<ULONG>(handFlow->XonLimit)) return;
        if (bit == RX_HOLD_RTS)
            EndStreamHold(port, bit);
        else
            ClearHold(port, bit);
    }
    RequestControlLine(port, raise);
}

void ApplyDtrMode(PortExtension* port, const SERIAL_HANDFLOW* handFlow, const BufferFill& fill) {
    switch (handFlow->ControlHandShake & SERIAL_DTR_MASK) {
    case 0:
        ClearHold(port, RX_HOLD_DTR);
        RequestControlLine(port, CLEAR_DTR);
        break;
    case SERIAL_DTR_CONTROL:
        ClearHold(port, RX_HOLD_DTR);
        RequestControlLine(port, SET_DTR);
        break;
    case SERIAL_DTR_HANDSHAKE:
        ApplyHandshakeLine(port, handFlow, fill, RX_HOLD_DTR, SET_DTR, CLEAR_DTR);
        break;
    default:  // refused by the settings' validation
        break;
    }
}

void ApplyRtsMode(PortExtension* port, const SERIAL_HANDFLOW* handFlow, const BufferFill& fill) {
    PDEVICE_OBJECT device = port->deviceObject;
    switch (handFlow->FlowReplace & SERIAL_RTS_MASK) {
    case SERIAL_RTS_HANDSHAKE:
        SetRtsFlow(device, TRUE);
        ApplyHandshakeLine(port, handFlow, fill, RX_HOLD_RTS, SET_RTS, CLEAR_RTS);
        break;
    case SERIAL_RTS_CONTROL:
        SetRtsFlow(device, FALSE);
        EndStreamHold(port, RX_HOLD_RTS);
        RequestControlLine(port, SET_RTS);
        break;
    case SERIAL_TRANSMIT_TOGGLE: {
        SetRtsFlow(device, FALSE);
        EndStreamHold(port, RX_HOLD_RTS);
        KIRQL irql;
        KeAcquireSpinLock(&port->controlLock, &irql);
        port->handFlow.FlowReplace = (port->handFlow.FlowReplace & ~SERIAL_RTS_MASK) | SERIAL_TRANSMIT_TOGGLE;
        KeReleaseSpinLock(&port->controlLock, irql);
        // Raised for whatever is being sent; a check one character time
        // later drops it again if nothing is.
        RequestControlLine(port, SET_RTS);
        QueueLowerRtsCheck(port);
        break;
    }
    default:
        EndStreamHold(port, RX_HOLD_RTS);
        RequestControlLine(port, CLEAR_RTS);
        SetRtsFlow(device, FALSE);
        break;
    }
}

void ApplyXonXoff(PortExtension* port, const SERIAL_HANDFLOW* handFlow, const SERIAL_HANDFLOW& old,
                  const BufferFill& fill, BOOLEAN all) {
    const ULONG now = handFlow->FlowReplace;
    const BOOLEAN receiveChanged = all || Differs(now, old.FlowReplace, SERIAL_AUTO_RECEIVE);
    const BOOLEAN transmitChanged = all || Differs(now, old.FlowReplace, SERIAL_AUTO_TRANSMIT);
    // The chip has one XON/XOFF feature for both directions: on while
    // either is wanted.
    if (receiveChanged || transmitChanged)
        SetXonXoffFlow(port->deviceObject, (now & (SERIAL_AUTO_RECEIVE | SERIAL_AUTO_TRANSMIT)) != 0);

    if (receiveChanged) {
        if (now & SERIAL_AUTO_RECEIVE) {
            if (fill.size - static_cast<ULONG>(handFlow->XoffLimit) <= fill.count &&
                (InterlockedOr(&port->rxHolding, RX_HOLD_XOFF) & RX_HOLD_XOFF) == 0)
                SendFlowChar(port, FALSE);
        } else if (InterlockedAnd(&port->rxHolding, ~RX_HOLD_XOFF) & RX_HOLD_XOFF) {
            SendFlowChar(port, TRUE);
            RestartReceiveStream(port);
        }
    }
    // Without automatic transmit flow an XOFF received earlier no longer
    // holds the transmitter; the far end gets an XON.
    if (transmitChanged && (now & SERIAL_AUTO_TRANSMIT) == 0 &&
        (InterlockedAnd(&port->txHolding, ~TX_HOLD_XON) & TX_HOLD_XON)) {
        port->xoffReceived = 0;
        SendFlowChar(port, TRUE);
    }
}

}  // namespace

void ApplyHandFlow(PortExtension* port, const SERIAL_HANDFLOW* handFlow) {
    SERIAL_HANDFLOW old;
    BufferFill fill;
    KIRQL irql;
    KeAcquireSpinLock(&port->controlLock, &irql);
    old = port->handFlow;
    fill.size = port->rxBufferSize;
    // rxLock too: a cancelled read gives its characters back to the buffer
    // under the cancel spin lock and rxLock alone.
    KeAcquireSpinLockAtDpcLevel(&port->rxLock);
    fill.count = port->rxCount;
    KeReleaseSpinLockFromDpcLevel(&port->rxLock);
    KeReleaseSpinLock(&port->controlLock, irql);
    const BOOLEAN all = PortIsOpen(port) ? FALSE : TRUE;
    const ULONG handShake = handFlow->ControlHandShake;

    if (all || Differs(handShake, old.ControlHandShake, SERIAL_CTS_HANDSHAKE | SERIAL_DSR_HANDSHAKE | SERIAL_DCD_HANDSHAKE)) {
        SetCtsFlow(port->deviceObject, (handShake & SERIAL_CTS_HANDSHAKE) != 0);
        SetDsrFlow(port->deviceObject, (handShake & SERIAL_DSR_HANDSHAKE) != 0);
    }
    if (all || Differs(handShake, old.ControlHandShake, SERIAL_DTR_MASK)) ApplyDtrMode(port, handFlow, fill);
    if (all || Differs(handFlow->FlowReplace, old.FlowReplace, SERIAL_RTS_MASK)) ApplyRtsMode(port, handFlow, fill);
    ApplyXonXoff(port, handFlow, old, fill, all);

    KeAcquireSpinLock(&port->controlLock, &irql);
    port->handFlow = *handFlow;
    KeReleaseSpinLock(&port->controlLock, irql);
    // A handshake switched off may have ended the hold on the current
    // write; no status report comes to say so when no line changed.
    RestartHeldWrite(port);
}
