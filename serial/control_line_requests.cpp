// DTR and RTS changes decided at any level.
//
// The lines change only through SET_CONTROL_LINE_STATE, a control request
// that waits for the chip, so only at PASSIVE_LEVEL. The receive side (DTR
// handshake) and the transmit-toggle check decide line changes at
// DISPATCH_LEVEL; those are recorded in lineChangesWanted, the latest
// request for each line replacing an older one, and a work item sends them
// at PASSIVE_LEVEL.
//
// The same work item resets pipes that a failed transfer left halted
// (usb/pipe_recovery.cpp): that request also waits for the device; and it
// puts the chip's settings back after a return from sleep (restoreWanted,
// set when the D0 request has gone through, at any level).
//
// One work item, allocated with the device and reused, so that a change
// decided at DISPATCH_LEVEL never depends on pool being there (a lost DTR
// raise would hold the far end off for good): whoever sets lineWorkQueued
// from 0 to 1 queues it, and the routine sends until it finds nothing
// wanted, clears the flag and looks once more, so that a request made
// while it was finishing (which saw the flag still set) is not left
// behind. The queued or running work item holds a count in
// pendingDpcCount, so close's drain waits for it. It sends nothing once the port is closed (portOpen clear): close sets the
// lines itself, and FlushControlLineChanges lets it wait for a change that
// is being sent.
//
// A request made at PASSIVE_LEVEL is sent at once and takes an older
// deferred request for the same line out of lineChangesWanted, so that the
// older one cannot override it later.
#include "driver/power.h"
#include "io/deferred_work.h"
#include "serial/modem_lines.h"

namespace {

constexpr LONG LINE_WANT_DTR_ON = 0x1;
constexpr LONG LINE_WANT_DTR_OFF = 0x2;
constexpr LONG LINE_WANT_RTS_ON = 0x4;
constexpr LONG LINE_WANT_RTS_OFF = 0x8;
constexpr LONG LINE_WANT_DTR = LINE_WANT_DTR_ON | LINE_WANT_DTR_OFF;
constexpr LONG LINE_WANT_RTS = LINE_WANT_RTS_ON | LINE_WANT_RTS_OFF;

// How often FlushControlLineChanges looks again: 1 ms, relative.
constexpr LONGLONG kFlushPollInterval = -10000;

LONG WantBit(ControlLineAction action) {
    switch (action) {
    case SET_DTR:
        return LINE_WANT_DTR_ON;
    case CLEAR_DTR:
        return LINE_WANT_DTR_OFF;
    case SET_RTS:
        return LINE_WANT_RTS_ON;
    default:
        return LINE_WANT_RTS_OFF;
    }
}

LONG LineOf(ControlLineAction action) { return (action == SET_DTR || action == CLEAR_DTR) ? LINE_WANT_DTR : LINE_WANT_RTS; }

void RecordWanted(PortExtension* port, ControlLineAction action) {
    const LONG line = LineOf(action);
    const LONG bit = WantBit(action);
    LONG seen = ReadShared(&port->lineChangesWanted);
    for (;;) {
        const LONG previous = InterlockedCompareExchange(&port->lineChangesWanted, (seen & ~line) | bit, seen);
        if (previous == seen) return;
        seen = previous;
    }
}

void SendWanted(PortExtension* port, LONG wanted) {
    if (!PortIsOpen(port)) return;
    PDEVICE_OBJECT device = port->deviceObject;
    if (wanted & LINE_WANT_DTR_ON) SetControlLines(device, SET_DTR);
    if (wanted & LINE_WANT_DTR_OFF) SetControlLines(device, CLEAR_DTR);
    if (wanted & LINE_WANT_RTS_ON) SetControlLines(device, SET_RTS);
    if (wanted & LINE_WANT_RTS_OFF) SetControlLines(device, CLEAR_RTS);
}

IO_WORKITEM_ROUTINE SendLineChanges;

}  // namespace

void QueuePortWork(PortExtension* port) {
    if (InterlockedExchange(&port->lineWorkQueued, 1) != 0) return;  // the queued one will send it
    InterlockedIncrement(&port->pendingDpcCount);
    // The routine clears lineWorkQueued before it returns and touches the
    // item no more: queuing it again from then on is allowed.
    IoQueueWorkItem(port->lineWorkItem, SendLineChanges, DelayedWorkQueue, nullptr);
}

namespace {

VOID NTAPI SendLineChanges(PDEVICE_OBJECT deviceObject, PVOID context) {
    UNREFERENCED_PARAMETER(context);
    PortExtension* port = PortFromDevice(deviceObject);
    for (;;) {
        ResetHaltedPipes(port);
        if (InterlockedExchange(&port->restoreWanted, 0) != 0) RestoreChipAfterSleep(port);
        for (LONG wanted; (wanted = InterlockedExchange(&port->lineChangesWanted, 0)) != 0;) SendWanted(port, wanted);
        InterlockedExchange(&port->lineWorkQueued, 0);
        if ((ReadShared(&port->lineChangesWanted) == 0 && ReadShared(&port->pipesHalted) == 0 &&
             ReadShared(&port->restoreWanted) == 0) ||
            InterlockedExchange(&port->lineWorkQueued, 1) != 0)
            break;
    }
    EndDpcCounted(port);
}

}  // namespace

void RequestControlLine(PortExtension* port, ControlLineAction action) {
    if (KeGetCurrentIrql() == PASSIVE_LEVEL) {
        InterlockedAnd(&port->lineChangesWanted, ~LineOf(action));
        SetControlLines(port->deviceObject, action);
        return;
    }
    RecordWanted(port, action);
    QueuePortWork(port);
}

BOOLEAN AllocateLineWork(PortExtension* port) {
    port->lineWorkItem = IoAllocateWorkItem(port->deviceObject);
    return port->lineWorkItem != nullptr ? TRUE : FALSE;
}

void FreeLineWork(PortExtension* port) {
    if (port->lineWorkItem == nullptr) return;
    FlushControlLineChanges(port);
    IoFreeWorkItem(port->lineWorkItem);
    port->lineWorkItem = nullptr;
}

void FlushControlLineChanges(PortExtension* port) {
    while (ReadShared(&port->lineWorkQueued) != 0) {
        LARGE_INTEGER interval;
        interval.QuadPart = kFlushPollInterval;
        KeDelayExecutionThread(KernelMode, FALSE, &interval);
    }
}
