// STUB: replaced by the real code on its branch.
#include "serial/modem_lines.h"

UCHAR EvaluateModemStatus(PortExtension* port) {
    UNREFERENCED_PARAMETER(port);
    return 0;
}

UCHAR ProcessLineStatus(PortExtension* port) {
    UNREFERENCED_PARAMETER(port);
    return 0;
}
