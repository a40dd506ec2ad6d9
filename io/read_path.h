// The read path and the receive buffer.
//
// Received characters go into the port's circular receive buffer, or,
// while a read waits for data, straight into that read's buffer (direct
// mode). Reads take characters out and wait for more under the port's
// SERIAL_TIMEOUTS. Reads and queue-size changes share readQueue and
// currentReadIrp; purges have purgeQueue and currentPurgeIrp.
//
// Locks: the receive pointers change under rxLock, and under controlLock
// too except when a waiting read is taken back (lock order: controlLock,
// cancel spin lock, rxLock). ReleaseReceiveHold is only ever called with
// controlLock held and rxLock free.
//
// Characters a read held when it ends cancelled are not lost: they go back
// to the front of the receive buffer, ahead of anything that arrived later,
// unless a receive purge discarded them meanwhile (receive_buffer.cpp).
#pragma once

#include "io/request_queue.h"

// Receive-buffer sizes chosen at open by the size of the system.
constexpr ULONG RX_BUFFER_LARGE = 4096;
constexpr ULONG RX_BUFFER_MEDIUM = 1024;
constexpr ULONG RX_BUFFER_SMALL = 128;

// --- The receive buffer (receive_buffer.cpp) ----------------------------------
// Open: allocates the receive buffer by system size (falling back to the
// smaller sizes), sets the pointers, the 80 % mark and the handshake limits
// (XoffLimit an eighth, XonLimit half of the size). STATUS_INSUFFICIENT_RESOURCES
// when not even the smallest buffer can be had. PASSIVE_LEVEL.
NTSTATUS AllocateReceiveBuffer(PortExtension* port);
// Close: frees the receive buffer; rxBufferSize becomes 0. Characters that
// arrive while there is no buffer are dropped.
void FreeReceiveBuffer(PortExtension* port);

// Copies what the current read can take from the receive buffer into it;
// advances rxGet but does not change rxCount. controlLock held.
ULONG CopyFromReceiveBuffer(PortExtension* port);
// Forgets `count` copied characters and lets the far end send again once
// the buffer has drained far enough. controlLock held, rxLock free.
void ConsumeCopied(PortExtension* port, ULONG count);
// Puts the current read into direct mode, forgetting the `copied`
// characters the read start took from the buffer (the caller calls
// ReleaseReceiveHold once rxLock is free). controlLock, cancel spin lock
// and rxLock held.
void SwitchReadToDirect(PortExtension* port, ULONG copied);
// The buffer side of storing one received character. controlLock and
// rxLock held.
void StoreReceivedChar(PortExtension* port, UCHAR character);
// SERIAL_PURGE_RXCLEAR: empties the receive buffer. A waiting read keeps
// what it has (those characters are the read's), but will not give them
// back should it end cancelled. No lock held.
void ClearReceiveBuffer(PortExtension* port);
// Serves a current IOCTL_SERIAL_SET_QUEUE_SIZE request; returns its status.
NTSTATUS ResizeReceiveBuffer(PortExtension* port);
// A read that held characters ended cancelled: puts them back in front of
// the receive buffer's unread characters (as many as fit; the oldest of
// the others are counted as a queue overrun). No lock held.
void ReturnCancelledReadCharacters(PortExtension* port, PIRP read);

// --- Reads (read_dispatch.cpp) ----------------------------------------------
// Start routine of the read queue (reads and queue-size changes).
StartRoutine StartRead;

// --- The parties that finish a waiting read (read_completion.cpp) ---------------
// Takes a waiting read back from direct mode (time-out, cancel): its
// Information becomes the characters it holds. Cancel spin lock held.
SynchRoutine TakeReadBack;
// Take-next routine of the read queue: gives a cancelled read's characters
// back to the receive buffer, then takes the next request.
TakeNextRoutine TakeNextRead;
DRIVER_CANCEL CancelCurrentRead;

// --- Purge (purge.cpp) ----------------------------------------------------------
// Start routine of the purge queue.
StartRoutine StartPurge;
