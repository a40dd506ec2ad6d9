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
    // The device state its last device set-power request left it in, and
    // the system state of the last system set-power request. A USB device
    // leaving D0 has its hub port suspended; a system sleep cuts its bus
    // power; D0 resumes it (harness/usb/usb_bus.h, "Port power").
    DEVICE_POWER_STATE powerState = PowerDeviceD0;
    SYSTEM_POWER_STATE systemState = PowerSystemWorking;
    // Every set-power request that reached the PDO, as it arrived, and when
    // the last D0 request was completed (virtual time; -1: never).
    struct SetPower {
        int64_t time;
        POWER_STATE_TYPE type;
        POWER_STATE state;
    };
    std::vector<SetPower> setPowerRequests;
    int64_t poweredUpAt = -1;
    bool started = false;
    // While set to a failure, the bus driver fails IRP_MN_START_DEVICE with
    // it (a device that cannot be powered or configured).
    NTSTATUS startFailure = STATUS_SUCCESS;
    std::shared_ptr<harness::usb::UsbDevice> usbDevice;  // null: not a USB device
    // The power part of IRP_MN_QUERY_CAPABILITIES: the device state each
    // system state keeps the device in, and the deepest device state from
    // which it can wake the system. The defaults (a harness choice) are
    // shaped like a USB device with remote wake-up: D2 through S1 to S3,
    // D3 in hibernation and at shutdown, waking from D2. A test may change
    // them before it sends the query.
    DEVICE_POWER_STATE deviceState[PowerSystemMaximum] = {
        PowerDeviceUnspecified, PowerDeviceD0, PowerDeviceD2, PowerDeviceD2,
        PowerDeviceD2,          PowerDeviceD3, PowerDeviceD3};
    DEVICE_POWER_STATE deviceWake = PowerDeviceD2;
};

// Creates a physical device object for a newly enumerated device; with a
// USB device model, plugs the model into a port of the emulated hub.
PDEVICE_OBJECT CreatePhysicalDevice(std::u16string instancePath, std::vector<std::u16string> hardwareIds,
                                    std::shared_ptr<harness::usb::UsbDevice> usbDevice = nullptr);

// Deletes it once its stack has been torn down.
void DeletePhysicalDevice(PDEVICE_OBJECT pdo);

PhysicalDevice* Describe(PDEVICE_OBJECT pdo);

}  // namespace harness::bus
