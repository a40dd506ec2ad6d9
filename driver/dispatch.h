// The driver's dispatch routines, one per major function it serves.
#pragma once

#include "platform/platform.h"

DRIVER_DISPATCH DispatchCreate;                  // open
DRIVER_DISPATCH DispatchClose;                   // close
DRIVER_DISPATCH DispatchCleanup;                 // cancel what a handle left behind
DRIVER_DISPATCH DispatchRead;
DRIVER_DISPATCH DispatchWrite;
DRIVER_DISPATCH DispatchFlush;
DRIVER_DISPATCH DispatchQueryInformation;
DRIVER_DISPATCH DispatchSetInformation;
DRIVER_DISPATCH DispatchDeviceControl;           // IOCTL_SERIAL_* and the private codes
DRIVER_DISPATCH DispatchInternalDeviceControl;   // codes for other drivers
DRIVER_DISPATCH DispatchPower;
DRIVER_DISPATCH DispatchSystemControl;           // WMI
DRIVER_DISPATCH DispatchPnp;
