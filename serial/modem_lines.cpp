// Modem-control lines and flow-control emulation.
//
// So far only the bookkeeping of the transmit-toggle RTS check is here: a
// check that runs ends one pending check, so that close's wait for
// lowerRtsPending to reach 0 ends. Looking at the transmitter and dropping
// RTS arrive with the modem-status logic.
#include "serial/modem_lines.h"

void LowerRtsCheck(PortExtension* port) { InterlockedDecrement(&port->lowerRtsPending); }
