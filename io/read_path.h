// The read path and the receive buffer.
//
// Received characters go into the port's circular receive buffer, or,
// while a read waits for data, straight into that read's buffer (direct
// mode). Reads take characters out and wait for more under the port's
// SERIAL_TIMEOUTS. Reads and queue-size changes share readQueue and
// currentReadIrp; purges have purgeQueue and currentPurgeIrp.
//
// Locks: the receive pointers change under controlLock and rxLock
// together (lock order: controlLock, cancel spin lock, rxLock).
#pragma once

#include "io/request_queue.h"

// Receive-buffer sizes chosen at open by the size of the system.
constexpr ULONG RX_BUFFER_LARGE = 4096;
constexpr ULONG RX_BUFFER_MEDIUM = 1024;
constexpr ULONG RX_BUFFER_SMALL = 128;

// Open: allocates the receive buffer by system size (falling back to the
// smaller sizes), sets the pointers, the 80 % mark and the handshake limits
// (XoffLimit an eighth, XonLimit half of the size). STATUS_INSUFFICIENT_RESOURCES
// when not even the smallest buffer can be had. PASSIVE_LEVEL.
NTSTATUS AllocateReceiveBuffer(PortExtension* port);
// Close: frees the receive buffer; rxBufferSize becomes 0.
void FreeReceiveBuffer(PortExtension* port);

// Start routine of the read queue (reads and queue-size changes).
StartRoutine StartRead;
// Start routine of the purge queue.
StartRoutine StartPurge;

// Copies what the current read can take from the receive buffer into it;
// does not change rxCount. controlLock held.
ULONG CopyFromReceiveBuffer(PortExtension* port);
// Forgets `count` copied characters and lets the far end send again once
// the buffer has drained far enough. controlLock held.
void ConsumeCopied(PortExtension* port, ULONG count);
// Puts the current read into direct mode; TRUE when it turned out to be
// finished instead. controlLock, cancel spin lock and rxLock held.
BOOLEAN SwitchReadToDirect(PortExtension* port, ULONG copied);
// Takes a waiting read back from direct mode (time-out, cancel). Cancel
// spin lock held.
SynchRoutine TakeReadBack;
DRIVER_CANCEL CancelCurrentRead;
// Serves a current IOCTL_SERIAL_SET_QUEUE_SIZE request; returns its status.
NTSTATUS ResizeReceiveBuffer(PortExtension* port);
// SERIAL_PURGE_RXCLEAR: empties the receive buffer (buffered mode only).
void ClearReceiveBuffer(PortExtension* port);
// The buffer side of storing one received character. controlLock and
// rxLock held.
void StoreReceivedChar(PortExtension* port, UCHAR character);
