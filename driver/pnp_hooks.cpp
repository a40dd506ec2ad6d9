// External naming of the port (DOS symbolic link, SERIALCOMM entry, COM-port
// device interface) and its WMI registration, set up at the first start and
// undone at UndoStart. The port gets neither: it keeps only its device
// object name, and WMI requests pass to the drivers below (wmi.cpp).
#include "driver/pnp.h"

void NamePortExternally(PDEVICE_OBJECT deviceObject) { UNREFERENCED_PARAMETER(deviceObject); }

void UndoExternalNaming(PDEVICE_OBJECT deviceObject) { UNREFERENCED_PARAMETER(deviceObject); }

void RegisterWithWmi(PDEVICE_OBJECT deviceObject) { UNREFERENCED_PARAMETER(deviceObject); }

void DeregisterFromWmi(PDEVICE_OBJECT deviceObject) { UNREFERENCED_PARAMETER(deviceObject); }
