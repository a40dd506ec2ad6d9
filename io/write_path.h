// The write path: writes, flushes and xoff-counter requests through the
// write queue, and the immediate character beside it.
//
// A write's data stays in its system buffer until sent; it goes out as
// bulk-out chunks of at most txChunkLimit (and never more than the receive
// buffer holds), one chunk in flight at a time.
//
// Who may end the current write (the reference word of request_queue.h):
//   RefCancel      its cancel routine (CancelCurrentWrite)
//   RefTotalTimer  the write total time-out; once its DPC has run, the
//                  completion that follows (the write's own chunk, or the
//                  empty wake-up transfer of a held write) ends the write
//                  on its behalf
//   RefTransfer    the USB side, from the first chunk sent until
//                  completeWriteDpc ends the write (all sent, or a chunk
//                  failed)
// The write state (writeCursor, writeRemaining, txInFlight, writeHeld,
// writeTimedOut and the pipe bookkeeping writeChunk*, writeWakeUp*) changes
// under the cancel spin lock. writeRemaining is 0 once the current write has
// nothing more to send: all sent, failed, or taken back by a cancel or a
// time-out. Transfers are submitted with no spin lock held, so that a USB
// stack that completes a refused transfer inside IoCallDriver finds the
// locks free.
#pragma once

#include "io/request_queue.h"
#include "usb/chip_protocol.h"

// --- The write queue (write_dispatch.cpp) -----------------------------------------
// Start routines of the write queue.
StartRoutine StartWrite;
StartRoutine StartFlush;
// Take-next routine of the write queue: moves an xoff-counter request whose
// XOFF was sent into currentXoffIrp, completes flushes it reaches.
TakeNextRoutine TakeNextWrite;

// --- Chunks and transmit completions (write_chunks.cpp) -----------------------------
// Sends the current write's next chunk unless one is on the pipe, or holds
// the write while transmission is held for CTS or XOFF (writeHeld). Called
// by StartWrite and wherever a hold may have ended (status report, XON
// received); it does nothing when there is nothing to send. No spin lock
// held. At PASSIVE_LEVEL in transmit-toggle mode it raises RTS first.
void SendWriteChunk(PortExtension* port);
// Sends the current write on if it waits on a hold that the caller has
// just ended. No spin lock held.
void RestartHeldWrite(PortExtension* port);
// A transmit transfer completed successfully while the port is open:
// accounts it to what it carried (only a write chunk advances a write).
// Reports SERIAL_EV_TXEMPTY when no write data is left outstanding.
void TransmitDone(PortExtension* port, TransmitContent content, ULONG bytes);
// A transmit transfer failed (or completed while the port was closed). A
// failed write chunk ends its write with `status` and the characters sent
// before it.
void TransmitFailed(PortExtension* port, TransmitContent content, NTSTATUS status, ULONG carried);
// The write side of a completed write chunk.
void WriteChunkDone(PortExtension* port, ULONG bytes);
// Takes the current write back from the USB side (cancel): counts the chunk
// in flight as sent and leaves it to come back on its own. Cancel spin
// lock held.
SynchRoutine TakeWriteBack;
DRIVER_CANCEL CancelCurrentWrite;

// --- Immediate character (immediate_char.cpp) ---------------------------------------
// currentImmediateIrp. StartImmediate is called by the control-code dispatch
// once it has made the request current.
NTSTATUS StartImmediate(PortExtension* port);
void GiveImmediateToUsb(PortExtension* port);
TakeNextRoutine TakeNextImmediate;
DRIVER_CANCEL CancelImmediate;

// --- Xoff counter (xoff_counter.cpp) --------------------------------------------------
// currentXoffIrp. Cancel spin lock held for all three.
// An xoff-counter request whose XOFF character has been sent moves from the
// write slot into currentXoffIrp and counts received characters there
// (cancel routine, time-out, StartXoffCounter). FALSE, nothing changed,
// while an earlier counter is still on its way out of that slot.
BOOLEAN BeginXoffCount(PortExtension* port, PIRP irp);
void StartXoffCounter(PortExtension* port);
SynchRoutine TakeXoffBack;
DRIVER_CANCEL CancelXoffCounter;
