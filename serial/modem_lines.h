// Modem-control lines and flow-control emulation.
#pragma once

#include "driver/port_extension.h"

// The transmit-toggle check: drops RTS once nothing is being transmitted,
// or looks again one character time later. Runs in the lower-RTS DPC; ends
// one pending check (lowerRtsPending).
void LowerRtsCheck(PortExtension* port);
