// Wait-on-mask and event reporting.
//
// IOCTL_SERIAL_SET_WAIT_MASK and IOCTL_SERIAL_WAIT_ON_MASK pass through
// maskQueue/currentMaskIrp in arrival order; a wait that has to wait moves
// to currentWaitIrp. The parts of the driver that notice events raise them
// here; events watched by waitMask collect in eventHistory until a wait
// takes them. waitMask, eventHistory and waitResultSlot change only under
// eventLock, the innermost of the port's locks.
#pragma once

#include "io/request_queue.h"

StartRoutine StartMask;
// A new mask arrived (current mask-queue request): ends an armed wait with
// an event mask of 0, then adopts the mask.
void FinishOldWait(PortExtension* port);
// A wait became current in currentWaitIrp: completes it at once if events
// are waiting, else arms it. Cancel spin lock held.
void ArmWait(PortExtension* port);
// Adds the watched ones of `events` to eventHistory and reports them to an
// armed wait. Any level up to DISPATCH_LEVEL, any lock of the port held.
void RaiseEvents(PortExtension* port, ULONG events);
// Reports eventHistory to an armed wait, if both are there.
void ReportEvents(PortExtension* port);
SynchRoutine TakeWaitBack;
DRIVER_CANCEL CancelWait;
