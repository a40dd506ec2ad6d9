// The receive side of flow control: each received character passes DSR
// sensitivity, the xoff counter and the receive thresholds on its way into
// the receive buffer, and the holds end once the buffer has drained.
//
// Thresholds, with B the buffer size, L XoffLimit and n the characters in
// the buffer before this one (all unsigned 32-bit):
//   DTR handshake      hold at B - L <= n + 1: DTR drops
//   RTS handshake      hold at B - L - 400 <= n + 1: the bulk-in stream
//                      stops reading, and the chip's RTS flow holds the far
//                      end off once its own buffer fills; older generations
//                      have no RTS flow, so the driver drops RTS itself
//   SERIAL_AUTO_RECEIVE  the same threshold: the bulk-in stream stops, the
//                      chip's XON/XOFF flow sends XOFF (generation 2 and
//                      later) or the driver sends it (older generations)
// The 400 characters leave room for what the chip and the bulk-in transfer
// in flight still deliver after the stream stops. When B - L is below 400
// the subtraction wraps and those two holds never start: with a small
// buffer or a large XoffLimit only the DTR handshake holds the far end off.
// Every hold ends once the buffer has drained to XonLimit.
#include "io/deferred_work.h"
#include "io/read_path.h"
#include "serial/modem_lines.h"

namespace {

constexpr ULONG kStreamFlowMargin = 400;

BOOLEAN HoldsBit(const PortExtension* port, LONG bit) {
    return (ReadShared(&port->rxHolding) & bit) != 0 ? TRUE : FALSE;
}

// IOCTL_SERIAL_XOFF_COUNTER: the counting request completes once it has
// seen its number of received characters.
void StepXoffCounter(PortExtension* port) {
    // The counter's time-out or cancel takes the count back with an
    // interlocked exchange on another processor: count down only from a
    // value that is still there.
    volatile LONG* word = reinterpret_cast<volatile LONG*>(&port->xoffCountRemaining);
    LONG seen = *word;
    while (seen != 0) {
        const LONG prior = InterlockedCompareExchange(word, seen - 1, seen);
        if (prior == seen) break;
        seen = prior;
    }
    if (seen != 1) return;  // nothing counting, or not the step that reached 0
    PIRP counter = port->currentXoffIrp;
    if (counter != nullptr) {
        counter->IoStatus.Status = STATUS_SUCCESS;
        counter->IoStatus.Information = 0;
    }
    QueueDpcCounted(&port->xoffCountCompleteDpc, nullptr, nullptr, port);
}

void CheckReceiveThresholds(PortExtension* port) {
    if (port->rxTarget != port->rxBuffer) return;  // a read takes the characters directly
    const ULONG next = port->rxCount + 1;
    const ULONG dtrLevel = port->rxBufferSize - static_cast<ULONG>(port->handFlow.XoffLimit);
    const ULONG streamLevel = dtrLevel - kStreamFlowMargin;
    const ULONG handShake = port->handFlow.ControlHandShake;
    const ULONG flowReplace = port->handFlow.FlowReplace;

    if ((handShake & SERIAL_DTR_MASK) == SERIAL_DTR_HANDSHAKE && !HoldsBit(port, RX_HOLD_DTR) && dtrLevel <= next) {
        InterlockedOr(&port->rxHolding, RX_HOLD_DTR);
        RequestControlLine(port, CLEAR_DTR);
    }
    if ((flowReplace & SERIAL_RTS_MASK) == SERIAL_RTS_HANDSHAKE && !HoldsBit(port, RX_HOLD_RTS) &&
        streamLevel <= next) {
        InterlockedOr(&port->rxHolding, RX_HOLD_RTS);
        // Without the chip's RTS flow nothing would ever drop RTS: the far
        // end would go on sending into the chip's FIFO and overrun it.
        if (!ChipAtLeast(port, CHIP_GEN_EXTENDED)) RequestControlLine(port, CLEAR_RTS);
    }
    if ((flowReplace & SERIAL_AUTO_RECEIVE) && !HoldsBit(port, RX_HOLD_XOFF) && streamLevel <= next) {
        InterlockedOr(&port->rxHolding, RX_HOLD_XOFF);
        if (!ChipAtLeast(port, CHIP_GEN_EXTENDED)) SendFlowChar(port, FALSE);
    }
}

void ReceiveCharChecked(PortExtension* port, UCHAR character, BOOLEAN evaluateModemStatus) {
    if (port->handFlow.ControlHandShake & SERIAL_DSR_SENSITIVITY) {
        if (evaluateModemStatus) EvaluateModemStatusLocked(port, FALSE);
        // DSR is low: the character is dropped without a trace.
        if (HoldsBit(port, RX_HOLD_DSR)) return;
    }
    StepXoffCounter(port);
    CheckReceiveThresholds(port);
    StoreReceivedChar(port, character);
}

}  // namespace

void ReceiveChar(PortExtension* port, UCHAR character) { ReceiveCharChecked(port, character, TRUE); }

void InsertReceivedChar(PortExtension* port, UCHAR character) { ReceiveCharChecked(port, character, FALSE); }

void RestartReceiveStream(PortExtension* port) {
    // The bulk-in completion clears its slot before it decides, from
    // rxHolding, whether to read on; the hold was cleared before this
    // test. So either the completion reads on or the slot is empty here;
    // if both start a transfer, the second is refused (the slot is taken).
    if (!StreamOutstanding(port, STREAM_BULK_IN))
        StartStreamTransfer(port->deviceObject, STREAM_BULK_IN, nullptr, RECEIVE_TRANSFER_LENGTH);
}

void ReleaseReceiveHold(PortExtension* port) {
    if (ReadShared(&port->rxHolding) == 0 || port->rxCount > static_cast<ULONG>(port->handFlow.XonLimit)) return;

    if (InterlockedAnd(&port->rxHolding, ~RX_HOLD_DTR) & RX_HOLD_DTR) {
        if ((port->handFlow.ControlHandShake & SERIAL_DTR_MASK) == SERIAL_DTR_HANDSHAKE)
            RequestControlLine(port, SET_DTR);
    }
    BOOLEAN restart = FALSE;
    if (InterlockedAnd(&port->rxHolding, ~RX_HOLD_RTS) & RX_HOLD_RTS) {
        restart = TRUE;
        if (!ChipAtLeast(port, CHIP_GEN_EXTENDED) &&
            (port->handFlow.FlowReplace & SERIAL_RTS_MASK) == SERIAL_RTS_HANDSHAKE)
            RequestControlLine(port, SET_RTS);
    }
    if (InterlockedAnd(&port->rxHolding, ~RX_HOLD_XOFF) & RX_HOLD_XOFF) {
        restart = TRUE;
        if (!ChipAtLeast(port, CHIP_GEN_EXTENDED)) SendFlowChar(port, TRUE);
    }
    if (restart) RestartReceiveStream(port);
}
