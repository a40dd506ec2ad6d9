// The receive stream's completion: the characters of one bulk-in transfer,
// in order, through XON/XOFF detection and the receive-side checks into the
// read path, and the next receive transfer.
//
// controlLock and then rxLock are taken once for the whole transfer rather
// than around each character. The work per character under them is short
// and bounded (at most RECEIVE_TRANSFER_LENGTH characters), the settings it
// reads (handflow, special characters, data mask, escape character) stay
// the same for the whole transfer, and nothing done under them waits or
// takes a lock that ranks above them: ReceiveChar expects exactly these two
// locks, queuing DPCs is allowed at any level, and the one-character
// flow-control transfers it may start are allowed with port locks held.
// What the walk finds that needs the locks free (a write to release after
// XON, events to report, the next transfer) is done after they are
// released. In the loopback benchmark at 115200 baud this roughly halves
// the driver's processor time per received byte.
#include "io/wait_mask.h"
#include "io/write_path.h"
#include "serial/modem_lines.h"
#include "usb/stream_work.h"

namespace {

struct WalkOutcome {
    ULONG events = 0;             // SERIAL_EV_RXCHAR / SERIAL_EV_RXFLAG seen
    BOOLEAN transmitFreed = FALSE;  // an XON ended a received XOFF
};

// XON/XOFF under SERIAL_AUTO_TRANSMIT: TRUE when `ch` was one of them (it
// is not stored). The XOFF character is tested first, so it wins when both
// characters are the same. controlLock held.
BOOLEAN FlowCharacter(PortExtension* port, UCHAR ch, WalkOutcome* outcome) {
    if (!(port->handFlow.FlowReplace & SERIAL_AUTO_TRANSMIT)) return FALSE;
    if (ch == port->specialChars.XoffChar) {
        InterlockedOr(&port->txHolding, TX_HOLD_XON);
        port->xoffReceived = 1;
        if ((port->handFlow.FlowReplace & SERIAL_RTS_MASK) == SERIAL_TRANSMIT_TOGGLE) QueueLowerRtsCheck(port);
        return TRUE;
    }
    if (ch == port->specialChars.XonChar) {
        // The XON ends the received XOFF even when IOCTL_SERIAL_SET_XON
        // has already cleared the hold bit.
        const LONG before = InterlockedAnd(&port->txHolding, ~TX_HOLD_XON);
        if ((before & TX_HOLD_XON) || port->xoffReceived) outcome->transmitFreed = TRUE;
        port->xoffReceived = 0;
        return TRUE;
    }
    return FALSE;
}

// One received byte. controlLock and rxLock held.
void WalkCharacter(PortExtension* port, UCHAR byte, WalkOutcome* outcome) {
    const UCHAR ch = static_cast<UCHAR>(byte & port->validDataMask);
    if (ch == 0 && (port->handFlow.FlowReplace & SERIAL_NULL_STRIPPING)) return;
    if (FlowCharacter(port, ch, outcome)) return;

    if (port->portOpen) {
        ReceiveChar(port, ch);
        // The escape character itself is passed on doubled as escape,
        // SERIAL_LSRMST_ESCAPE, so that it cannot be read as the start of
        // a line-status report.
        if (port->portOpen && port->escapeChar != 0 && port->escapeChar == ch)
            ReceiveChar(port, SERIAL_LSRMST_ESCAPE);
    }
    // A closed port drops the character but still reports it.
    outcome->events |= SERIAL_EV_RXCHAR;
    if (ch == port->specialChars.EventChar) outcome->events |= SERIAL_EV_RXFLAG;
}

}  // namespace

void ReceivedCharacters(PortExtension* port, const UCHAR* data, ULONG length, BOOLEAN rearm) {
    WalkOutcome outcome;
    KIRQL irql;
    KeAcquireSpinLock(&port->controlLock, &irql);
    KeAcquireSpinLockAtDpcLevel(&port->rxLock);
    // Every byte counts, stripped and flow-control characters too.
    port->perfStats.ReceivedCount += length;
    port->wmiPerfData.ReceivedCount += length;
    for (ULONG i = 0; i < length; ++i) WalkCharacter(port, data[i], &outcome);
    KeReleaseSpinLockFromDpcLevel(&port->rxLock);
    KeReleaseSpinLock(&port->controlLock, irql);

    if (outcome.events != 0) RaiseEvents(port, outcome.events);
    if (outcome.transmitFreed) SendWriteChunk(port);

    // While the far end is held off (XOFF sent, or the chip's RTS flow) the
    // stream stays stopped; ending the hold starts it again.
    if (rearm && !(ReadShared(&port->rxHolding) & (RX_HOLD_XOFF | RX_HOLD_RTS)))
        StartStreamTransfer(port->deviceObject, STREAM_BULK_IN, nullptr, RECEIVE_TRANSFER_LENGTH);
}
