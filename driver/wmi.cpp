// WMI requests. The port publishes no WMI data blocks yet, so every system
// control request belongs to the drivers below.
#include "driver/dispatch.h"
#include "driver/port_extension.h"

NTSTATUS NTAPI DispatchSystemControl(PDEVICE_OBJECT deviceObject, PIRP irp) {
    PortExtension* port = PortFromDevice(deviceObject);
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(port->lowerDevice, irp);
}
