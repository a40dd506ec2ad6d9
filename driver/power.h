// Power: the IRP_MJ_POWER dispatch and the power requests the port makes
// of the power manager.
//
// The port is the power policy owner of its stack: a system set-power
// request becomes a device set-power request for the bus (working state
// D0, every sleeping state D3), asked for with PoRequestPowerIrp. Going to
// sleep, the system request is held until the device request has gone
// through and is passed down from its callback. Returning to the working
// state, the dispatch waits for the device request too, then puts the
// chip's settings back: a bus-powered chip has lost them with its power.
//
// Every power request calls PoStartNextPowerIrp before it is passed down or
// completed, and holds one admission count (io/request_queue.h) from its
// admission until it has been passed down or completed.
#pragma once

#include "driver/port_extension.h"

// --- Requests the port makes (power_request.cpp) ----------------------------------
// Asks the power manager for a device set-power request to `state` on the
// device's stack and waits until it has gone through. Returns the failure
// of PoRequestPowerIrp, else STATUS_SUCCESS. PASSIVE_LEVEL.
NTSTATUS RequestDevicePowerAndWait(PDEVICE_OBJECT pdo, PortExtension* port, DEVICE_POWER_STATE state);

// --- System set-power (system_power.cpp) -------------------------------------------
// Admission count held on entry; given back exactly once on every path.
NTSTATUS SystemSetPower(PortExtension* port, PIRP irp);
// Callback of the device request a system request caused; context: the
// port's device object. Passes the held system request down.
VOID NTAPI SystemPowerRequestDone(PDEVICE_OBJECT deviceObject, UCHAR minorFunction, POWER_STATE powerState,
                                  PVOID context, PIO_STATUS_BLOCK ioStatus);

// --- Device set-power (device_power.cpp) -------------------------------------------
// Admission count held on entry; given back here, or for D0 by
// DevicePowerUpDone.
NTSTATUS DeviceSetPower(PortExtension* port, PIRP irp);
NTSTATUS NTAPI DevicePowerUpDone(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID context);

// --- The chip after a return to the working state (power_restore.cpp) ---------------
// Puts the port's settings back into a chip that may have lost its power:
// default registers if its configuration memory holds none, DTR and RTS,
// the line coding, the chip's flow control, the status and receive
// streams. Skipped while the port is not started or is being removed, and
// while the device is not at full power. Holds its own admission count
// and the settings mutex while it runs. PASSIVE_LEVEL, no lock held.
void RestoreChipAfterSleep(PortExtension* port);
