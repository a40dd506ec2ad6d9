// Power requests the port makes of the power manager.
#pragma once

#include "driver/port_extension.h"

// Asks the power manager for a device set-power request to `state` on the
// device's stack and waits until it has gone through. Returns the failure
// of PoRequestPowerIrp, else STATUS_SUCCESS. PASSIVE_LEVEL.
NTSTATUS RequestDevicePowerAndWait(PDEVICE_OBJECT pdo, PortExtension* port, DEVICE_POWER_STATE state);
