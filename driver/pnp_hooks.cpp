// The port's WMI registration, set up at the first start and undone at
// UndoStart. The port is not registered: WMI requests pass to the drivers
// below (wmi.cpp).
#include "driver/pnp.h"

void RegisterWithWmi(PDEVICE_OBJECT deviceObject) { UNREFERENCED_PARAMETER(deviceObject); }

void DeregisterFromWmi(PDEVICE_OBJECT deviceObject) { UNREFERENCED_PARAMETER(deviceObject); }
