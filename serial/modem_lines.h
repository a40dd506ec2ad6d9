// Modem-control lines and flow-control emulation.
//
// The chip reports its input lines and line errors in one status word
// (uartState, stored by the status stream). The routines here turn changes
// of that word into the modem-status image, transmit holds, wait-on-mask
// events and line-error counts; they keep DTR, RTS and break; and they
// decide when the far end must be held off and released (rxHolding).
//
// Levels and locks: ReceiveChar runs in the bulk-in completion at
// DISPATCH_LEVEL with controlLock and then rxLock held. ApplyHandFlow,
// SetModemControl, BreakOn and BreakOff send chip requests and run at
// PASSIVE_LEVEL with no spin lock held. The others run at or below
// DISPATCH_LEVEL with no lock held unless they say otherwise.
//
// DTR and RTS can only be changed by a chip request that waits for the chip,
// that is at PASSIVE_LEVEL; what decides a change at DISPATCH_LEVEL (the
// DTR handshake of the receive side, the transmit-toggle check) goes through
// RequestControlLine, which defers it to a work item.
#pragma once

#include "driver/port_extension.h"
#include "usb/chip_protocol.h"

// Modem-status image returned by IOCTL_SERIAL_GET_MODEMSTATUS (the UART's
// modem status register): line states in the high nibble, change bits in
// the low nibble (the change bits only ever appear in the event image).
constexpr UCHAR MSR_DCTS = 0x01;
constexpr UCHAR MSR_DDSR = 0x02;
constexpr UCHAR MSR_TERI = 0x04;
constexpr UCHAR MSR_DDCD = 0x08;
constexpr UCHAR MSR_CTS = 0x10;
constexpr UCHAR MSR_DSR = 0x20;
constexpr UCHAR MSR_RI = 0x40;
constexpr UCHAR MSR_DCD = 0x80;

// Line-status image (the UART's line status register).
constexpr UCHAR LSR_OVERRUN = 0x02;
constexpr UCHAR LSR_PARITY = 0x04;
constexpr UCHAR LSR_FRAMING = 0x08;
constexpr UCHAR LSR_BREAK = 0x10;

// A new status word is in uartState (the status stream stored it): events
// for the lines that changed since the last evaluation, transmit holds from
// the chip's CTS/DSR flow, DSR sensitivity, modem-status insertion, and the
// word's line errors (ProcessLineStatus). Returns the modem-status image.
// The chip reports each line error once, in one word, so this is the only
// evaluation that examines them: every other look at the lines uses
// RefreshModemStatus. No port lock held; at or below DISPATCH_LEVEL.
UCHAR EvaluateModemStatus(PortExtension* port);
// The same evaluation of the lines for a word already examined
// (IOCTL_SERIAL_GET_MODEMSTATUS, the open-time evaluation): line changes
// since the last evaluation still raise their events, but the word's line
// errors are not counted again. No port lock held.
UCHAR RefreshModemStatus(PortExtension* port);
// IOCTL_SERIAL_GET_MODEMSTATUS: RefreshModemStatus, and on chips before
// generation 2 the ring bit of uartState cleared, so that each ring the
// chip reports is seen once. No port lock held.
UCHAR ReportModemStatus(PortExtension* port);
// The line errors of uartState: counts, errorWord, inserted characters,
// the error-abort DPC. Returns the line-status image. No port lock held.
UCHAR ProcessLineStatus(PortExtension* port);

// One received character through the receive-side checks (DSR
// sensitivity, xoff counter, receive thresholds) into StoreReceivedChar.
// controlLock and rxLock held.
void ReceiveChar(PortExtension* port, UCHAR character);
// The receive buffer shrank: ends the receive holds once rxCount is at or
// below XonLimit.
void ReleaseReceiveHold(PortExtension* port);

// Applies a new SERIAL_HANDFLOW: chip flow features, DTR and RTS by their
// modes, XON/XOFF, then stores it. While the port is not open every group
// is applied. PASSIVE_LEVEL.
void ApplyHandFlow(PortExtension* port, const SERIAL_HANDFLOW* handFlow);
// Stores the modem-control image and sets DTR and RTS from its low bits.
// PASSIVE_LEVEL.
void SetModemControl(PortExtension* port, ULONG value);
// Break on the line (transmission held while it lasts), and off again.
// PASSIVE_LEVEL.
void BreakOn(PortExtension* port);
void BreakOff(PortExtension* port);
// IOCTL_SERIAL_SET_XOFF and IOCTL_SERIAL_SET_XON; ClearXoffHold sends a
// write held by the hold at once, so no spin lock may be held.
void SetXoffHold(PortExtension* port);
void ClearXoffHold(PortExtension* port);
// Transmits the XON (TRUE) or XOFF (FALSE) character of specialChars as a
// one-byte transfer. At or below DISPATCH_LEVEL. A character the USB stack
// could not take (no pool, every transmit slot busy) is kept in
// flowCharPending and ResendFlowChar sends it once a transmit transfer
// has completed: a lost XOFF would let the far end overrun the buffer, a
// lost XON would hold it off for ever.
void SendFlowChar(PortExtension* port, BOOLEAN xon);
void ResendFlowChar(PortExtension* port);
constexpr LONG FLOW_CHAR_XON = 1;
constexpr LONG FLOW_CHAR_XOFF = 2;

// Raises or drops DTR or RTS from any level up to DISPATCH_LEVEL. At
// PASSIVE_LEVEL the request is sent at once (SetControlLines); above it,
// where no chip request can wait, it is sent from a work item at
// PASSIVE_LEVEL, the latest request for each line winning. A deferred
// request found after close (portOpen clear) is dropped.
void RequestControlLine(PortExtension* port, ControlLineAction action);
// Queues the port's work item (line changes, halted-pipe resets) unless it
// is queued or running already. Any level up to DISPATCH_LEVEL.
void QueuePortWork(PortExtension* port);
// The line work item: allocated when the device is created (FALSE when
// there is no pool for it), freed before it is deleted once no deferred
// line change is queued or running. PASSIVE_LEVEL.
BOOLEAN AllocateLineWork(PortExtension* port);
void FreeLineWork(PortExtension* port);
// Close, after clearing portOpen and before it sets the lines itself: waits
// until no deferred line change is queued or running. PASSIVE_LEVEL.
void FlushControlLineChanges(PortExtension* port);

// Queues the transmit-toggle check (startLowerRtsDpc) and counts it in
// lowerRtsPending if it was not already queued.
void QueueLowerRtsCheck(PortExtension* port);
// The transmit-toggle check: drops RTS once nothing is being transmitted
// (no write current or queued, no immediate character, no transmit transfer
// outstanding), or looks again one character time later while the port is
// open. Runs in the lower-RTS DPC (and from BreakOff); ends one pending
// check (lowerRtsPending).
void LowerRtsCheck(PortExtension* port);

// --- Within the modem-line code: controlLock and then rxLock held ------------
// The evaluation behind EvaluateModemStatus (newStatusWord TRUE) and
// RefreshModemStatus.
UCHAR EvaluateModemStatusLocked(PortExtension* port, BOOLEAN newStatusWord);
// A character the driver puts into the receive stream itself (line-status
// and modem-status insertion): ReceiveChar's checks, without evaluating the
// modem status again.
void InsertReceivedChar(PortExtension* port, UCHAR character);

// Starts a receive transfer unless one is outstanding: a receive hold that
// stopped the bulk-in stream has ended. Any lock of the port may be held.
void RestartReceiveStream(PortExtension* port);
