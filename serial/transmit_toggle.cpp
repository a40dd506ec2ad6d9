// Transmit toggle (SERIAL_TRANSMIT_TOGGLE): RTS is raised while the port
// transmits and dropped once it has nothing left to send.
//
// A check runs one character time after it is queued (startLowerRtsDpc arms
// lowerRtsTimer, whose DPC runs LowerRtsCheck). The transmitter counts as
// idle when no write is current, none is queued (or transmission is held),
// no immediate character is pending and no transmit transfer is
// outstanding with the USB stack; the chip's own transmit buffer cannot be
// seen, and the check's delay of one character time is what it gets to
// drain the last character. While the port transmits the check looks again
// one character time later. The cycle ends when RTS is dropped, when the
// mode changes, or when the port closes: a check finds portOpen clear and
// queues no other, so close's wait for lowerRtsPending ends.
//
// lowerRtsPending counts checks queued or running; it is raised before the
// DPC is queued, so that a check that runs at once never takes it below 0.
#include "io/deferred_work.h"
#include "io/request_queue.h"
#include "serial/modem_lines.h"

namespace {

BOOLEAN TransmitterIdle(PortExtension* port) {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    const BOOLEAN requestsIdle = port->currentWriteIrp == nullptr && port->currentImmediateIrp == nullptr &&
                                 (IsListEmpty(&port->writeQueue) || ReadShared(&port->txHolding) != 0);
    IoReleaseCancelSpinLock(irql);
    return requestsIdle && !StreamOutstanding(port, STREAM_BULK_OUT) ? TRUE : FALSE;
}

}  // namespace

void QueueLowerRtsCheck(PortExtension* port) {
    InterlockedIncrement(&port->lowerRtsPending);
    // Already queued: that check serves this one too.
    if (!QueueDpcCounted(&port->startLowerRtsDpc, nullptr, nullptr, port)) InterlockedDecrement(&port->lowerRtsPending);
}

void LowerRtsCheck(PortExtension* port) {
    const BOOLEAN toggle = (port->handFlow.FlowReplace & SERIAL_RTS_MASK) == SERIAL_TRANSMIT_TOGGLE;
    if (toggle && (ReadShared(&port->txHolding) & TX_HOLD_BREAK) == 0) {
        if (TransmitterIdle(port))
            RequestControlLine(port, CLEAR_RTS);
        else if (PortIsOpen(port))
            QueueLowerRtsCheck(port);
    }
    InterlockedDecrement(&port->lowerRtsPending);
}
