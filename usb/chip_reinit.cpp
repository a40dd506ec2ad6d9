// ReinitChip: the port's state put back into the chip, at every open (and,
// with the Plug and Play and power paths, at start and power-up). The chip
// may have lost everything since the port last set it: a reset, a power
// cycle, or another driver's settings.
#include "serial/modem_lines.h"
#include "usb/chip_protocol.h"

namespace {

constexpr UCHAR kReinitRegister = CHIP_REG_REINIT;
constexpr USHORT kReinitValue = 2;
constexpr USHORT kDeviceRemoteWakeup = 1;  // USB feature selector DEVICE_REMOTE_WAKEUP

}  // namespace

void ReinitChip(PortExtension* port) {
    PDEVICE_OBJECT deviceObject = port->deviceObject;
    // A chip whose configuration memory holds no block has only its
    // power-on registers: give it the driver's defaults again.
    if (port->chipType != CHIP_GEN_UNKNOWN && !EepromConfigured(deviceObject)) ProgramDefaultRegisters(deviceObject);

    NTSTATUS status;
    SetDeviceFeature(deviceObject, kDeviceRemoteWakeup, &status);
    SetLineCodingFormat(port);
    ApplyHandFlow(port, &port->handFlow);
    // A look at the lines, not a new status word: errors it may hold were
    // counted when it arrived.
    RefreshModemStatus(port);
    SetLineCodingRate(deviceObject, port->currentBaud);
    // Refused unsent below generation 2.
    WriteDoubledRegister(deviceObject, kReinitRegister, kReinitValue);
    // The status completion clears it under controlLock when it looks at
    // the line status, perhaps on another processor right now.
    KIRQL irql;
    KeAcquireSpinLock(&port->controlLock, &irql);
    port->holdingEmpty = 1;
    KeReleaseSpinLock(&port->controlLock, irql);
}
