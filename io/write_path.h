// The write path: writes, flushes and xoff-counter requests through the
// write queue, and the immediate character beside it.
//
// A write's data stays in its system buffer until sent; it goes out as
// bulk-out chunks of at most txChunkLimit (and never more than the receive
// buffer holds), one chunk in flight at a time.
#pragma once

#include "io/request_queue.h"
#include "usb/chip_protocol.h"

// Start routines of the write queue.
StartRoutine StartWrite;
StartRoutine StartFlush;
// Take-next routine of the write queue: moves an xoff-counter request whose
// XOFF was sent into currentXoffIrp, completes flushes it reaches.
TakeNextRoutine TakeNextWrite;

// Sends the current write's first chunk, or holds the write while
// transmission is held (writeHeld).
void SendWriteChunk(PortExtension* port);
// A transmit transfer completed successfully while the port is open:
// accounts it to what it carried (only a write chunk advances a write).
void TransmitDone(PortExtension* port, TransmitContent content, ULONG bytes);
// A transmit transfer failed (or completed while the port was closed).
void TransmitFailed(PortExtension* port, TransmitContent content, NTSTATUS status);
// The write side of a completed write chunk.
void WriteChunkDone(PortExtension* port, ULONG bytes);
SynchRoutine TakeWriteBack;
DRIVER_CANCEL CancelCurrentWrite;

// Immediate character (currentImmediateIrp). StartImmediate is called by
// the control-code dispatch once it has made the request current.
NTSTATUS StartImmediate(PortExtension* port);
void GiveImmediateToUsb(PortExtension* port);
TakeNextRoutine TakeNextImmediate;
DRIVER_CANCEL CancelImmediate;

// Xoff counter (currentXoffIrp).
void StartXoffCounter(PortExtension* port);
SynchRoutine TakeXoffBack;
DRIVER_CANCEL CancelXoffCounter;
