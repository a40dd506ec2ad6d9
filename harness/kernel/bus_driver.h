// The emulated bus driver: owns the physical device objects of the devices
// that the Plug and Play manager enumerates, and answers the Plug and Play
// and power requests that reach the bottom of their stacks. The PDO of a
// USB device (one that carries a UsbDevice model) also serves the internal
// device-control requests of the USB stack (harness/usb/usb_bus.h).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "harness/km/wdm.h"
#include "harness/usb/usb_device.h"

namespace harness::bus {

struct PhysicalDevice {
    std::u16string instancePath;
    std::vector<std::u16string> hardwareIds;
    DEVICE_POWER_STATE powerState = PowerDeviceD0;
    bool started = false;
    // While set to a failure, the bus driver fails IRP_MN_START_DEVICE with
    // it (a device that cannot be powered or configured).
    NTSTATUS startFailure = STATUS_SUCCESS;
    std::shared_ptr<harness::usb::UsbDevice> usbDevice;  // null: not a USB device
};

// Creates a physical device object for a newly enumerated device; with a
// USB device model, plugs the model into a port of the emulated hub.
PDEVICE_OBJECT CreatePhysicalDevice(std::u16string instancePath, std::vector<std::u16string> hardwareIds,
                                    std::shared_ptr<harness::usb::UsbDevice> usbDevice = nullptr);

// Deletes it once its stack has been torn down.
void DeletePhysicalDevice(PDEVICE_OBJECT pdo);

PhysicalDevice* Describe(PDEVICE_OBJECT pdo);

}  // namespace harness::bus
