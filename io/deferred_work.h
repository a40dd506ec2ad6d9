// Counted DPCs and timers, and the drain protocol built on them.
//
// pendingDpcCount is 1 (the base) plus one for every DPC queued and not yet
// finished and every timer armed whose DPC has not yet finished. Every queue
// or arm adds one; every DPC's end, successful timer cancellation or DPC
// removal takes one away. Close drops the base and waits on dpcsDoneEvent,
// which is set when the count reaches 0: then nothing of the port is
// queued, running or armed.
#pragma once

#include "driver/port_extension.h"

BOOLEAN QueueDpcCounted(PKDPC dpc, PVOID argument1, PVOID argument2, PortExtension* port);
// Arms `timer` to queue `dpc`. Returns TRUE when the new expiry replaced an
// earlier one, still armed or expired with `dpc` not yet run (that queued
// run is taken back: the new expiry does its work); the count is then
// unchanged. `dpc` must be queued only by this timer.
BOOLEAN SetTimerCounted(PKTIMER timer, LARGE_INTEGER dueTime, PKDPC dpc, PortExtension* port);
BOOLEAN CancelTimerCounted(PKTIMER timer, PortExtension* port);
// Every DPC routine of the port ends with this, on every path.
void EndDpcCounted(PortExtension* port);
// Stop and removal of a started device: cancels the six timers, takes the
// thirteen DPCs out of the DPC queue and waits until no DPC of the port is
// running (and nothing it armed or queued meanwhile is left). PASSIVE_LEVEL.
void CancelAllTimersAndDpcs(PortExtension* port);
// Waits until no DPC of the port is queued or running and no timer armed:
// the base count is dropped for the wait and taken again. Close and
// CancelAllTimersAndDpcs. PASSIVE_LEVEL.
void DrainDpcs(PortExtension* port);

// One character time at the current line settings, in 100 ns units.
// controlLock held by the caller. A currentBaud of 0 is taken as 9600 (and
// stored).
LONGLONG CharacterTime(PortExtension* port);
