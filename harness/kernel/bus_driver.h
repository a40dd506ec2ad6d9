// The emulated bus driver: owns the physical device objects of the devices
// that the Plug and Play manager enumerates, and answers the Plug and Play
// and power requests that reach the bottom of their stacks.
#pragma once

#include <string>
#include <vector>

#include "harness/km/wdm.h"

namespace harness::bus {

struct PhysicalDevice {
    std::u16string instancePath;
    std::vector<std::u16string> hardwareIds;
    DEVICE_POWER_STATE powerState = PowerDeviceD0;
    bool started = false;
};

// Creates a physical device object for a newly enumerated device.
PDEVICE_OBJECT CreatePhysicalDevice(std::u16string instancePath, std::vector<std::u16string> hardwareIds);

// Deletes it once its stack has been torn down.
void DeletePhysicalDevice(PDEVICE_OBJECT pdo);

PhysicalDevice* Describe(PDEVICE_OBJECT pdo);

}  // namespace harness::bus
