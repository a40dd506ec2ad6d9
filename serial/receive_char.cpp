// STUB: replaced by the real code on its branch.
#include "io/read_path.h"
#include "serial/modem_lines.h"

void ReceiveChar(PortExtension* port, UCHAR character) { StoreReceivedChar(port, character); }

void ReleaseReceiveHold(PortExtension* port) { UNREFERENCED_PARAMETER(port); }
