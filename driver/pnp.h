// Plug and Play life cycle of a port.
#pragma once

#include "driver/port_extension.h"

// Sets (set TRUE) or clears the bits of `mask` in pnpAccept or
// lifecycleFlags under flagsLock.
void SetOrClearFlags(PortExtension* port, volatile LONG* word, LONG mask, BOOLEAN set);

IO_COMPLETION_ROUTINE SignalStartEvent;
NTSTATUS PnpStartDevice(PDEVICE_OBJECT deviceObject, PIRP irp);
void FinishStart(PDEVICE_OBJECT deviceObject);
void RemovePortDevice(PDEVICE_OBJECT deviceObject);
