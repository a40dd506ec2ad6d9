// Plug and Play life cycle of a port: the IRP_MJ_PNP dispatch and what it
// does at start, stop, surprise removal and removal.
//
// pnpState is written only by these routines (one Plug and Play request at
// a time per device, at PASSIVE_LEVEL). pnpAccept and lifecycleFlags
// change only through SetOrClearFlags, under flagsLock; the admission
// check of every other request reads pnpAccept (io/admission.cpp).
//
// Draining. pendingIrpCount is 1 (the base) plus one per admitted request
// not yet finished. A stop gives back its own count and the base and waits
// on irpsDoneEvent until every other admitted request has finished, then
// takes the base again; a surprise removal does the same without taking
// it again, and a removal gives back the base only if no surprise removal
// did. Requests parked while a stop is pending hold no count.
#pragma once

#include "driver/port_extension.h"

// Sets (set TRUE) or clears the bits of `mask` in pnpAccept or
// lifecycleFlags under flagsLock.
void SetOrClearFlags(PortExtension* port, volatile LONG* word, LONG mask, BOOLEAN set);

// --- Dispatch helpers (pnp_dispatch.cpp) ----------------------------------------
// Each gives back the request's admission count.
NTSTATUS CompletePnpRequest(PortExtension* port, PIRP irp, NTSTATUS status);
NTSTATUS PassDownCopied(PortExtension* port, PIRP irp);   // stack location copied
NTSTATUS PassDownSkipped(PortExtension* port, PIRP irp);  // stack location skipped
// Gives back this request's admission count and, if `baseHeld`, the base
// count, then waits until every other admitted request has finished.
// PASSIVE_LEVEL.
void DrainRequests(PortExtension* port, BOOLEAN baseHeld);

// --- Start (pnp_start.cpp) --------------------------------------------------------
IO_COMPLETION_ROUTINE SignalStartEvent;  // also the capabilities query's
NTSTATUS StartDevice(PDEVICE_OBJECT deviceObject, PIRP irp);
NTSTATUS PnpStartDevice(PDEVICE_OBJECT deviceObject, PIRP irp);
void FinishStart(PDEVICE_OBJECT deviceObject);

// --- Stop and removal (pnp_removal.cpp) -------------------------------------------
NTSTATUS StopDevice(PDEVICE_OBJECT deviceObject, PIRP irp);
NTSTATUS SurpriseRemoveDevice(PDEVICE_OBJECT deviceObject, PIRP irp);
NTSTATUS RemoveDevice(PDEVICE_OBJECT deviceObject, PIRP irp);
// Undoes what the first start set up: timers and DPCs, WMI, the names.
void UndoStart(PDEVICE_OBJECT deviceObject);
// Undoes the start unless a surprise removal did, detaches, frees what
// hangs on the extension and deletes the device object.
void RemovePortDevice(PDEVICE_OBJECT deviceObject);
// Cancels every request the port holds: queued, current, the pending wait
// and the parked ones. Also cleanup's.
void KillAllRequests(PDEVICE_OBJECT deviceObject);

// --- Queries (pnp_queries.cpp) ------------------------------------------------------
NTSTATUS QueryCapabilities(PDEVICE_OBJECT deviceObject, PIRP irp);
NTSTATUS QueryId(PDEVICE_OBJECT deviceObject, PIRP irp);
// Reads the value `valueName` (valueNameSize bytes with its terminator)
// of an open key into `destination` if its data fits destinationSize;
// returns the query's status either way. PASSIVE_LEVEL.
NTSTATUS ReadDeviceRegistryValue(HANDLE key, PCWSTR valueName, ULONG valueNameSize, PVOID destination,
                                 ULONG destinationSize);

// --- External naming (port_naming.cpp) ------------------------------------------------
// The DOS symbolic link, the SERIALCOMM entry and the COM-port interface,
// named from the hardware key's "PortName" (or "Identifier"). At the first
// start only; a failure leaves no name behind and the start goes on.
// PASSIVE_LEVEL.
NTSTATUS DoExternalNaming(PDEVICE_OBJECT deviceObject);
// Takes the names back (UndoStart). The link and SERIALCOMM buffers stay
// until the device object is deleted. PASSIVE_LEVEL.
void UndoExternalNaming(PDEVICE_OBJECT deviceObject);

// --- WMI (pnp_hooks.cpp) ----------------------------------------------------------------
// Called at the first start and at UndoStart.
void RegisterWithWmi(PDEVICE_OBJECT deviceObject);
void DeregisterFromWmi(PDEVICE_OBJECT deviceObject);
