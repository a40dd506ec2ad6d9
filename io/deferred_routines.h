// The port's deferred procedure call routines. Each runs at DISPATCH_LEVEL
// with the port's PortExtension as its context.
#pragma once

#include "platform/platform.h"

KDEFERRED_ROUTINE CompleteWriteDpc;          // last bulk-out chunk of the current write confirmed
KDEFERRED_ROUTINE CompleteReadDpc;           // current read's buffer is full
KDEFERRED_ROUTINE ReadTotalTimeoutDpc;       // readTotalTimer expired
KDEFERRED_ROUTINE ReadIntervalTimeoutDpc;    // readIntervalTimer expired
KDEFERRED_ROUTINE WriteTotalTimeoutDpc;      // writeTotalTimer expired
KDEFERRED_ROUTINE CommErrorDpc;              // error with SERIAL_ERROR_ABORT: cancel reads and writes
KDEFERRED_ROUTINE CompleteImmediateDpc;      // immediate character sent
KDEFERRED_ROUTINE ImmediateTotalTimeoutDpc;  // immediateTotalTimer expired
KDEFERRED_ROUTINE CompleteWaitDpc;           // wait-on-mask satisfied
KDEFERRED_ROUTINE XoffCountTimeoutDpc;       // xoffCountTimer expired
KDEFERRED_ROUTINE XoffCountCompleteDpc;      // xoff counter reached zero
KDEFERRED_ROUTINE StartLowerRtsDpc;          // arms lowerRtsTimer (transmit-toggle RTS)
KDEFERRED_ROUTINE LowerRtsDpc;               // lowerRtsTimer expired: lower RTS when idle
