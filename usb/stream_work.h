// The per-kind work of StreamComplete (stream_complete.cpp), between the
// free hand-shake and the release of the transfer. Each runs at
// DISPATCH_LEVEL with no spin lock held, for a transfer that completed
// while the port is not being removed.
#pragma once

#include "usb/chip_protocol.h"

// A status message arrived (`length` bytes of `data`): stores the status
// word, evaluates it while the port is open, re-arms the status reader
// when `rearm`, and lets a held write go if its hold has ended.
void StatusMessageDone(PortExtension* port, const UCHAR* data, ULONG length, BOOLEAN rearm);

// Received characters: each through the flow-control and receive-side
// checks into the read path; the events they raise; then the next receive
// transfer when `rearm` and no receive hold keeps the stream stopped
// (stream_receive.cpp).
void ReceivedCharacters(PortExtension* port, const UCHAR* data, ULONG length, BOOLEAN rearm);
