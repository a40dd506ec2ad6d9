// The chip's status word: modem-status image, line changes and their
// events, transmit holds from the chip's CTS/DSR flow, DSR sensitivity, and
// the line errors.
//
// The status word (uartState) holds the chip's input lines and four error
// bits that the chip sets in one word for each error it saw. The lines are
// compared with previousUartState, the word as of the last evaluation, so a
// change raises its event once however often the lines are looked at. The
// error bits are examined only by the evaluation of a newly arrived word
// (EvaluateModemStatus), so an error is counted and inserted once, and the
// characters inserted for it (which pass through the receive-side checks,
// DSR sensitivity among them) cannot start another evaluation of the same
// word.
//
// Everything here runs under controlLock and then rxLock, the locks of the
// bulk-in path, whether it was entered from the status stream, a control
// code or the receive side: the characters it inserts are stored exactly as
// received ones are, and two evaluations never interleave.
#include "io/deferred_work.h"
#include "io/wait_mask.h"
#include "serial/modem_lines.h"

namespace {

class PortLocks {
public:
    explicit PortLocks(PortExtension* port) : port_(port) {
        KeAcquireSpinLock(&port_->controlLock, &irql_);
        KeAcquireSpinLockAtDpcLevel(&port_->rxLock);
    }
    ~PortLocks() {
        KeReleaseSpinLockFromDpcLevel(&port_->rxLock);
        KeReleaseSpinLock(&port_->controlLock, irql_);
    }
    PortLocks(const PortLocks&) = delete;
    PortLocks& operator=(const PortLocks&) = delete;

private:
    PortExtension* port_;
    KIRQL irql_;
};

BOOLEAN Changed(USHORT now, USHORT before, USHORT bit) { return ((now ^ before) & bit) != 0 ? TRUE : FALSE; }

// The change image: for each line that changed, its change bit and its
// present state. On generations below 2 the chip's ring bit is a ring
// event rather than a level, so a new word that carries it reports a ring
// whether or not the previous word did.
UCHAR ChangeImage(const PortExtension* port, USHORT now, USHORT before, BOOLEAN newStatusWord) {
    UCHAR change = 0;
    if (Changed(now, before, UART_STATE_DCD)) change |= MSR_DDCD | ((now & UART_STATE_DCD) ? MSR_DCD : 0);
    if (Changed(now, before, UART_STATE_DSR)) change |= MSR_DDSR | ((now & UART_STATE_DSR) ? MSR_DSR : 0);
    const BOOLEAN ringEvents = !ChipAtLeast(port, CHIP_GEN_EXTENDED);
    if (ringEvents ? (newStatusWord && (now & UART_STATE_RING)) : Changed(now, before, UART_STATE_RING))
        change |= MSR_TERI | ((now & UART_STATE_RING) ? MSR_RI : 0);
    if (Changed(now, before, UART_STATE_CTS)) change |= MSR_DCTS | ((now & UART_STATE_CTS) ? MSR_CTS : 0);
    return change;
}

UCHAR StatusImage(USHORT word) {
    UCHAR image = 0;
    if (word & UART_STATE_DCD) image |= MSR_DCD;
    if (word & UART_STATE_DSR) image |= MSR_DSR;
    if (word & UART_STATE_RING) image |= MSR_RI;
    if (word & UART_STATE_CTS) image |= MSR_CTS;
    return image;
}

ULONG ChangeEvents(UCHAR change) {
    ULONG events = 0;
    if (change & MSR_DCTS) events |= SERIAL_EV_CTS;
    if (change & MSR_DDSR) events |= SERIAL_EV_DSR;
    if (change & MSR_TERI) events |= SERIAL_EV_RING;
    if (change & MSR_DDCD) events |= SERIAL_EV_RLSD;
    return events;
}

void SetOrClear(volatile LONG* word, LONG bit, bool set) {
    if (set)
        InterlockedOr(word, bit);
    else
        InterlockedAnd(word, ~bit);
}

// The chip holds its transmitter while its CTS or DSR flow waits for the
// line; the write path holds writes by the same bits.
void FollowTransmitHolds(PortExtension* port, USHORT word) {
    if (port->dsrFlowEnabled) SetOrClear(&port->txHolding, TX_HOLD_DSR, (word & UART_STATE_DSR) == 0);
    if (port->ctsFlowEnabled) SetOrClear(&port->txHolding, TX_HOLD_CTS, (word & UART_STATE_CTS) == 0);
}

UCHAR LineStatusImage(USHORT word) {
    UCHAR image = 0;
    if (word & UART_STATE_OVERRUN) image |= LSR_OVERRUN;
    if (word & UART_STATE_PARITY) image |= LSR_PARITY;
    if (word & UART_STATE_FRAMING) image |= LSR_FRAMING;
    if (word & UART_STATE_BREAK) image |= LSR_BREAK;
    return image;
}

void InsertErrorChar(PortExtension* port) {
    if (port->handFlow.FlowReplace & SERIAL_ERROR_CHAR) InsertReceivedChar(port, port->specialChars.ErrorChar);
}

// controlLock and rxLock held.
UCHAR ProcessLineStatusLocked(PortExtension* port) {
    const UCHAR line = LineStatusImage(port->uartState);
    port->holdingEmpty = 0;
    if (line == 0) return 0;

    if (port->escapeChar != 0) {
        InsertReceivedChar(port, port->escapeChar);
        InsertReceivedChar(port, SERIAL_LSRMST_LSR_NODATA);
        InsertReceivedChar(port, line);
    }
    if (line & LSR_OVERRUN) {
        port->perfStats.SerialOverrunErrorCount += 1;
        port->wmiPerfData.SerialOverrunErrorCount += 1;
        port->errorWord |= SERIAL_ERROR_OVERRUN;
        InsertErrorChar(port);
    }
    if (line & LSR_BREAK) {
        // A break is a long framing error, usually with a parity error:
        // neither is counted when the chip reports the break.
        port->errorWord |= SERIAL_ERROR_BREAK;
        if (port->handFlow.FlowReplace & SERIAL_BREAK_CHAR) InsertReceivedChar(port, port->specialChars.BreakChar);
    } else {
        if (line & LSR_PARITY) {
            port->perfStats.ParityErrorCount += 1;
            port->wmiPerfData.ParityErrorCount += 1;
            port->errorWord |= SERIAL_ERROR_PARITY;
            InsertErrorChar(port);
        }
        if (line & LSR_FRAMING) {
            port->perfStats.FrameErrorCount += 1;
            port->wmiPerfData.FrameErrorCount += 1;
            port->errorWord |= SERIAL_ERROR_FRAMING;
            InsertErrorChar(port);
        }
    }
    if (port->handFlow.ControlHandShake & SERIAL_ERROR_ABORT)
        QueueDpcCounted(&port->commErrorDpc, nullptr, nullptr, port);
    return line;
}

}  // namespace

UCHAR EvaluateModemStatusLocked(PortExtension* port, BOOLEAN newStatusWord) {
    const USHORT word = port->uartState;
    const UCHAR change = ChangeImage(port, word, port->previousUartState, newStatusWord);
    const UCHAR status = StatusImage(word);
    FollowTransmitHolds(port, word);
    port->previousUartState = word;

    const bool dsrSensitive = (port->handFlow.ControlHandShake & SERIAL_DSR_SENSITIVITY) != 0;
    SetOrClear(&port->rxHolding, RX_HOLD_DSR, dsrSensitive && (word & UART_STATE_DSR) == 0);

    // Modem-status insertion (IOCTL_SERIAL_LSRMST_INSERT): on each change,
    // the modem status register as a UART would read it, change bits
    // included.
    const UCHAR changeBits = change & (MSR_DCTS | MSR_DDSR | MSR_TERI | MSR_DDCD);
    if (port->escapeChar != 0 && changeBits != 0) {
        InsertReceivedChar(port, port->escapeChar);
        InsertReceivedChar(port, SERIAL_LSRMST_MST);
        InsertReceivedChar(port, static_cast<UCHAR>(status | changeBits));
    }

    // Reports eventHistory even when nothing changed.
    RaiseEvents(port, ChangeEvents(change));

    if (newStatusWord) ProcessLineStatusLocked(port);
    return status;
}

UCHAR EvaluateModemStatus(PortExtension* port) {
    PortLocks locks(port);
    return EvaluateModemStatusLocked(port, TRUE);
}

UCHAR RefreshModemStatus(PortExtension* port) {
    PortLocks locks(port);
    return EvaluateModemStatusLocked(port, FALSE);
}

UCHAR ReportModemStatus(PortExtension* port) {
    PortLocks locks(port);
    const UCHAR image = EvaluateModemStatusLocked(port, FALSE);
    // Chips before generation 2 keep the ring bit set in every later
    // status word until another line changes: cleared here, a ring is
    // reported once.
    if (!ChipAtLeast(port, CHIP_GEN_EXTENDED))
        port->uartState = static_cast<USHORT>(port->uartState & ~UART_STATE_RING);
    return image;
}

UCHAR ProcessLineStatus(PortExtension* port) {
    PortLocks locks(port);
    return ProcessLineStatusLocked(port);
}
