// Request queues, cancellation and completion.
//
// Every request the port cannot finish at once is held here: a first-in,
// first-out queue per kind of work, one current slot per kind holding the
// request in progress, and on the current request a reference word saying
// which parties may still touch it. Whoever drops the last reference
// completes the request, exactly once. The system-wide cancel spin lock
// guards all of it: queues, current slots, reference words, cancel-routine
// changes and charsQueued.
//
// The admission check that every dispatch routine makes first, the count of
// requests inside the driver (which stop and removal drain), and the queue
// of requests held while a stop is pending live here too.
#pragma once

#include "driver/port_extension.h"

// Parties that may hold a current request. The bits live in the reference
// word of the request's current stack location.
constexpr LONG RefTransfer = 0x01;       // handed to the USB side
constexpr LONG RefCancel = 0x02;         // a current-request cancel routine is installed
constexpr LONG RefTotalTimer = 0x04;     // the total time-out timer is armed
constexpr LONG RefIntervalTimer = 0x08;  // the read interval timer is armed
constexpr LONG RefXoffStart = 0x10;      // the write start is completing a counting xoff-counter request

// The reference word is kept in Parameters.Others.Argument4 of the current
// stack location. Cancel spin lock held for every access.
inline LONG ReferenceWord(PIRP irp) {
    return static_cast<LONG>(reinterpret_cast<ULONG_PTR>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument4));
}
inline void SetReferenceWord(PIRP irp, LONG word) {
    IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument4 =
        reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(static_cast<ULONG>(word)));
}
inline void AddReference(PIRP irp, LONG bits) { SetReferenceWord(irp, ReferenceWord(irp) | bits); }
inline void DropReference(PIRP irp, LONG bits) { SetReferenceWord(irp, ReferenceWord(irp) & ~bits); }

// A request waiting in one of the port's lists is linked through
// Tail.Overlay.ListEntry.
inline PIRP IrpFromListEntry(PLIST_ENTRY entry) { return CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry); }

// Unlinks a request from whatever list holds it and leaves its entry
// pointing at itself, so that a second unlink (by its cancel routine) is
// harmless. Cancel spin lock held.
inline void UnlinkRequest(PIRP irp) {
    RemoveEntryList(&irp->Tail.Overlay.ListEntry);
    InitializeListHead(&irp->Tail.Overlay.ListEntry);
}

// A start routine makes the request in a current slot progress; it returns
// the status of that first request (STATUS_PENDING if it has to wait).
typedef NTSTATUS StartRoutine(PortExtension* port);
// Takes the next request of a queue into its current slot (TakeNextRequest).
typedef void TakeNextRoutine(PIRP* currentSlot, PLIST_ENTRY queue, PIRP* nextOut, BOOLEAN completeCurrent,
                             PortExtension* port);
// Takes the current request back from the USB side, under the cancel lock.
typedef void SynchRoutine(PortExtension* port);

// --- Admission and accounting (admission.cpp) --------------------------------
NTSTATUS AdmitRequest(PIRP irp, PortExtension* port);
// The second half of AdmitRequest for a request it found should wait for a
// pending stop: decides again under the cancel spin lock and parks the
// request in stalledQueue (STATUS_PENDING, admission count given back), or
// returns what the fresh decision says. Admission count held on entry.
NTSTATUS ParkRequest(PIRP irp, PortExtension* port);
void FinishRequest(PortExtension* port);
NTSTATUS FailIfErrorAbort(PDEVICE_OBJECT deviceObject, PIRP irp);
// Both checks, as the read, write and control-code dispatch routines make
// them first: STATUS_SUCCESS to go on; any other status is the dispatch
// routine's result, the request completed (or held, STATUS_PENDING).
NTSTATUS AdmitDataRequest(PDEVICE_OBJECT deviceObject, PIRP irp);
NTSTATUS CallLowerAndFinish(PortExtension* port, PDEVICE_OBJECT lowerDevice, PIRP irp);
NTSTATUS PoCallLowerAndFinish(PortExtension* port, PDEVICE_OBJECT lowerDevice, PIRP irp);

// --- Queues and current requests (request_queue.cpp) ---------------------------
NTSTATUS EnqueueOrStart(PortExtension* port, PIRP irp, PLIST_ENTRY queue, PIRP* currentSlot, StartRoutine* start);
TakeNextRoutine TakeNextRequest;
void TakeNextRequestLocked(PIRP* currentSlot, PLIST_ENTRY queue, PIRP* nextOut, BOOLEAN completeCurrent,
                           PortExtension* port, KIRQL irql);
DRIVER_CANCEL CancelQueuedRequest;
// Cancels every request in `queue`, newest first, by calling its cancel
// routine (`fallback` if it has none). Entered with the cancel spin lock
// held at *irql; returns with it held again.
void CancelEveryQueuedRequest(PDEVICE_OBJECT deviceObject, PLIST_ENTRY queue, PDRIVER_CANCEL fallback, KIRQL* irql);
void CancelQueueAndCurrent(PDEVICE_OBJECT deviceObject, PLIST_ENTRY queue, PIRP* currentSlot);

// --- The completion rule (completion.cpp) -------------------------------------
// Called with the cancel spin lock held (acquired at `irql`); always
// releases it.
void CompleteCurrentIfUnreferenced(PortExtension* port, SynchRoutine* synch, KIRQL irql, NTSTATUS status,
                                   PIRP* currentSlot, PLIST_ENTRY queue, PKTIMER intervalTimer,
                                   PKTIMER totalTimer, StartRoutine* start, TakeNextRoutine* takeNext,
                                   LONG refBit);
// Cancel spin lock held.
void DropTimerAndCancelReferences(PIRP* currentSlot, PKTIMER intervalTimer, PKTIMER totalTimer,
                                  PortExtension* port);

// --- Requests held while a stop is pending (stalled_requests.cpp) ---------------
// A parked request holds no admission count (admission.cpp): cancelling it
// completes it without FinishRequest, and handing it back lets its
// dispatch routine admit it anew. Whoever clears PNP_ACCEPT_STOPPING must
// do so before ResubmitStalledRequests.
DRIVER_CANCEL CancelStalledRequest;
void CancelAllStalledRequests(PDEVICE_OBJECT deviceObject);
void ResubmitStalledRequests(PortExtension* port);
