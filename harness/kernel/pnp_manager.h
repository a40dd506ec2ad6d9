// The Plug and Play manager of the emulated kernel: loads a driver image,
// enumerates devices on the emulated bus, builds their device stacks (bus
// physical device object below, the driver's function device above) and
// sends them Plug and Play requests, as the real manager does when a device
// is plugged in, stopped for rebalancing, or pulled out.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "harness/km/wdm.h"
#include "harness/usb/usb_device.h"

namespace harness::pnp {

// A loaded driver image.
struct Driver {
    std::u16string serviceName;  // "tarnlink"
    PDRIVER_OBJECT object = nullptr;
    NTSTATUS entryStatus = STATUS_UNSUCCESSFUL;
};

// What the bus reports for a device it enumerates.
struct DeviceDescription {
    std::u16string instancePath = u"USB\\VID_1A2B&PID_0042\\5&1234&0&1";
    std::vector<std::u16string> hardwareIds = {u"USB\\VID_1A2B&PID_0042&REV_0300", u"USB\\VID_1A2B&PID_0042"};
    // The device behind the PDO; with a model, the PDO serves the USB
    // stack's requests (harness/usb/usb_bus.h).
    std::shared_ptr<harness::usb::UsbDevice> usbDevice;
};

// A device the bus has enumerated, with the stack built on it.
struct Device {
    DeviceDescription description;
    PDEVICE_OBJECT pdo = nullptr;         // the bus driver's physical device object
    PDEVICE_OBJECT functionDevice = nullptr;  // what AddDevice attached above the PDO
    NTSTATUS addStatus = STATUS_UNSUCCESSFUL;
    NTSTATUS startStatus = STATUS_UNSUCCESSFUL;
    bool removed = false;
};

// Creates the driver object and service key and calls `entry` as the kernel
// calls DriverEntry. The service key path given to the driver is
// "\Registry\Machine\System\CurrentControlSet\Services\<serviceName>".
std::shared_ptr<Driver> LoadDriver(std::u16string serviceName, PDRIVER_INITIALIZE entry);

// Calls the driver's unload routine and deletes its driver object. Every
// device must have been removed first. Pool still allocated by the driver
// (any tag it used), IRPs it never freed and registry handles it never
// closed are reported by the verifier as leaks, naming DriverUnload.
void UnloadDriver(std::shared_ptr<Driver> driver);

// Enumerates a new device on the bus: creates its physical device object
// and hardware key, calls the driver's AddDevice and, if that succeeds and
// `start` is set, sends IRP_MN_START_DEVICE and waits for it.
std::shared_ptr<Device> PlugDevice(const std::shared_ptr<Driver>& driver, DeviceDescription description = {},
                                   bool start = true);

// Sends a Plug and Play request with the given minor function to the top of
// the device's stack and waits for it; returns its final status. The request
// starts with STATUS_NOT_SUPPORTED, as the manager sends it.
NTSTATUS SendPnp(const std::shared_ptr<Device>& device, UCHAR minorFunction);

NTSTATUS StartDevice(const std::shared_ptr<Device>& device);

// An orderly removal: IRP_MN_QUERY_REMOVE_DEVICE, then IRP_MN_REMOVE_DEVICE
// (or IRP_MN_CANCEL_REMOVE_DEVICE if the query is refused; the refusal's
// status is returned). The bus deletes the physical device object once the
// remove request has been served.
NTSTATUS RemoveDevice(const std::shared_ptr<Device>& device);

// The device is pulled out: IRP_MN_SURPRISE_REMOVAL, then
// IRP_MN_REMOVE_DEVICE, then the physical device object is deleted.
void SurpriseRemoveDevice(const std::shared_ptr<Device>& device);

// A USB device is pulled out of its port: the bus fails every pending URB
// with USBD_STATUS_DEVICE_GONE (STATUS_DEVICE_NOT_CONNECTED) and every later
// one likewise, then the device is surprise-removed as above.
void UnplugDevice(const std::shared_ptr<Device>& device);

// The device object at the top of the device's stack.
PDEVICE_OBJECT TopOfStack(const std::shared_ptr<Device>& device);

}  // namespace harness::pnp
