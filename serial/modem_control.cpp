// STUB: replaced by the real code on its branch.
#include "serial/modem_lines.h"

void SetModemControl(PortExtension* port, ULONG value) {
    UNREFERENCED_PARAMETER(port);
    UNREFERENCED_PARAMETER(value);
}

void BreakOn(PortExtension* port) { UNREFERENCED_PARAMETER(port); }

void BreakOff(PortExtension* port) { UNREFERENCED_PARAMETER(port); }

void SetXoffHold(PortExtension* port) { UNREFERENCED_PARAMETER(port); }

void ClearXoffHold(PortExtension* port) { UNREFERENCED_PARAMETER(port); }

void SendFlowChar(PortExtension* port, BOOLEAN xon) {
    UNREFERENCED_PARAMETER(port);
    UNREFERENCED_PARAMETER(xon);
}
