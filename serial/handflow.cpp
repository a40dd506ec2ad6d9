// STUB: replaced by the real code on its branch.
#include "serial/modem_lines.h"

void ApplyHandFlow(PortExtension* port, const SERIAL_HANDFLOW* handFlow) { port->handFlow = *handFlow; }
