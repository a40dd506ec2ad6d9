// Power requests. Until the port follows system and device power states
// itself, every power request goes down the stack unchanged, to the bus
// driver that owns the device's power.
#include "driver/dispatch.h"
#include "driver/port_extension.h"

NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT deviceObject, PIRP irp) {
    PortExtension* port = PortFromDevice(deviceObject);
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(port->lowerDevice, irp);
}
