// STUB: replaced by the real code on its branch.
#include "io/deferred_work.h"
#include "serial/modem_lines.h"

void QueueLowerRtsCheck(PortExtension* port) {
    if (QueueDpcCounted(&port->startLowerRtsDpc, nullptr, nullptr, port)) InterlockedIncrement(&port->lowerRtsPending);
}

void LowerRtsCheck(PortExtension* port) { InterlockedDecrement(&port->lowerRtsPending); }
