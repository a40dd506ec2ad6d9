// The Plug and Play manager of the emulated kernel: loads a driver image,
// enumerates devices on the emulated bus, builds their device stacks (bus
// physical device object below, the driver's function device above) and
// sends them Plug and Play requests, as the real manager does when a device
// is plugged in, stopped for rebalancing, or pulled out.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "harness/kernel/registry.h"
#include "harness/km/wdm.h"
#include "harness/usb/usb_device.h"

namespace harness::pnp {

// A loaded driver image.
struct Driver {
    std::u16string serviceName;  // "tarnlink"
    PDRIVER_OBJECT object = nullptr;
    NTSTATUS entryStatus = STATUS_UNSUCCESSFUL;
    // What holds the driver's code in memory (a mapped image) for as long
    // as the driver is loaded; empty for code linked into this program.
    std::shared_ptr<const void> code;
};

// Where a driver's code lies, as the kernel records it in the driver
// object (DriverStart, DriverSize), and what keeps it mapped.
struct DriverCodeRange {
    PVOID start = nullptr;
    ULONG size = 0;
    std::shared_ptr<const void> keepMapped;
};

// What the bus reports for a device it enumerates.
struct DeviceDescription {
    std::u16string instancePath = u"USB\\VID_1A2B&PID_0042\\5&1234&0&1";
    std::vector<std::u16string> hardwareIds = {u"USB\\VID_1A2B&PID_0042&REV_0300", u"USB\\VID_1A2B&PID_0042"};
    // The device behind the PDO; with a model, the PDO serves the USB
    // stack's requests (harness/usb/usb_bus.h).
    std::shared_ptr<harness::usb::UsbDevice> usbDevice;
    // Values the device's hardware key ("...\Enum\<instance>\Device
    // Parameters", what IoOpenDeviceRegistryKey(PLUGPLAY_REGKEY_DEVICE)
    // opens) holds before AddDevice: "PortName" as the Ports class
    // installer writes it, for example.
    std::vector<harness::registry::NamedValue> hardwareKeyValues;
};

// Where a device stands in the Plug and Play manager's sequence, as the
// manager tracks it (Windows' documented device states).
enum class PnpState {
    Added,            // AddDevice succeeded; never started, or its first start failed
    Started,
    StopPending,      // IRP_MN_QUERY_STOP_DEVICE succeeded
    Stopped,          // IRP_MN_STOP_DEVICE sent (resources released for a rebalance)
    RemovePending,    // IRP_MN_QUERY_REMOVE_DEVICE succeeded
    SurpriseRemoved,  // IRP_MN_SURPRISE_REMOVAL sent; IRP_MN_REMOVE_DEVICE waits for the last close
    Removed,          // IRP_MN_REMOVE_DEVICE sent; the PDO is gone
};
const char* PnpStateName(PnpState state);

// A device the bus has enumerated, with the stack built on it.
struct Device {
    DeviceDescription description;
    PDEVICE_OBJECT pdo = nullptr;         // the bus driver's physical device object
    PDEVICE_OBJECT functionDevice = nullptr;  // what AddDevice attached above the PDO
    NTSTATUS addStatus = STATUS_UNSUCCESSFUL;
    NTSTATUS startStatus = STATUS_UNSUCCESSFUL;
    PnpState state = PnpState::Added;
    bool removed = false;
    // Every Plug and Play request sent to the stack, by minor function, in
    // the order sent.
    std::vector<UCHAR> sent;
};

// Creates the driver object and service key and calls `entry` as the kernel
// calls DriverEntry. The service key path given to the driver is
// "\Registry\Machine\System\CurrentControlSet\Services\<serviceName>".
// `range` names the image the entry point lies in, when there is one.
std::shared_ptr<Driver> LoadDriver(std::u16string serviceName, PDRIVER_INITIALIZE entry,
                                   const DriverCodeRange& range = {});

// Calls the driver's unload routine and deletes its driver object. Every
// device must have been removed first. Pool still allocated by the driver
// (any tag it used), IRPs it never freed and registry handles it never
// closed are reported by the verifier as leaks, naming DriverUnload.
void UnloadDriver(std::shared_ptr<Driver> driver);

// Enumerates a new device on the bus: creates its physical device object
// and hardware key, calls the driver's AddDevice and, if that succeeds and
// `start` is set, starts it as StartDevice does.
std::shared_ptr<Device> PlugDevice(const std::shared_ptr<Driver>& driver, DeviceDescription description = {},
                                   bool start = true);

// Sends one Plug and Play request with the given minor function to the top
// of the device's stack and waits for it; returns its final status. The
// request starts with STATUS_NOT_SUPPORTED, as the manager sends it. Only
// the request: no follow-up, no change of `state`.
NTSTATUS SendPnp(const std::shared_ptr<Device>& device, UCHAR minorFunction);

// IRP_MN_START_DEVICE. What follows a refused start depends on the state it
// was sent in, as on Windows:
//   Added    (a first start) IRP_MN_REMOVE_DEVICE at once, when the
//            manager's FailedStart setting is Remove (the default, see below)
//   Stopped  (the start after a rebalance) IRP_MN_SURPRISE_REMOVAL, then
//            IRP_MN_REMOVE_DEVICE once every handle is closed
// Sent in any other state (a test restarting a started device), the start
// is sent alone.
NTSTATUS StartDevice(const std::shared_ptr<Device>& device);

// What a first start that fails is followed by. Windows removes the stack
// (IRP_MN_REMOVE_DEVICE), and so does the manager unless a test asks for
// Keep, to look at what the failed start left behind (which Windows never
// allows). Reset to Remove with the kernel.
enum class FailedStart { Keep, Remove };
void SetFailedStartHandling(FailedStart handling);

// --- Stopping for a rebalance ----------------------------------------------
// IRP_MN_QUERY_STOP_DEVICE; a refusal is followed by
// IRP_MN_CANCEL_STOP_DEVICE, as Windows sends it to the stack.
NTSTATUS QueryStopDevice(const std::shared_ptr<Device>& device);
// IRP_MN_CANCEL_STOP_DEVICE after a successful query: the stop is off.
void CancelStopDevice(const std::shared_ptr<Device>& device);
// IRP_MN_STOP_DEVICE after a successful query.
void StopDevice(const std::shared_ptr<Device>& device);
// A rebalance: query-stop, stop, `whileStopped` (requests sent there go to
// the driver; the manager holds nothing back), start. Returns the status of
// the query if refused, else of the start.
NTSTATUS RebalanceDevice(const std::shared_ptr<Device>& device, const std::function<void()>& whileStopped = {});

// --- Removal -----------------------------------------------------------------
// IRP_MN_QUERY_REMOVE_DEVICE; a refusal is followed by
// IRP_MN_CANCEL_REMOVE_DEVICE, as Windows sends it to the stack.
NTSTATUS QueryRemoveDevice(const std::shared_ptr<Device>& device);
// IRP_MN_CANCEL_REMOVE_DEVICE after a successful query.
void CancelRemoveDevice(const std::shared_ptr<Device>& device);

// An orderly removal: QueryRemoveDevice, then IRP_MN_REMOVE_DEVICE (the
// refusal's status is returned if the query is refused). The bus deletes
// the physical device object once the remove request has been served.
NTSTATUS RemoveDevice(const std::shared_ptr<Device>& device);

// The device is gone: IRP_MN_SURPRISE_REMOVAL, then IRP_MN_REMOVE_DEVICE
// once no file object is open on any device of the stack any more: at once
// if none is, else right after the IRP_MJ_CLOSE of the last one (Windows
// sends the remove request only after every handle's close). Then the
// physical device object is deleted. Does nothing for a device that is
// already surprise-removed or removed.
void SurpriseRemoveDevice(const std::shared_ptr<Device>& device);

// A USB device is pulled out of its port: the bus fails every pending URB
// with USBD_STATUS_DEVICE_GONE (STATUS_DEVICE_NOT_CONNECTED) and every later
// one likewise, then the device is surprise-removed as above.
void UnplugDevice(const std::shared_ptr<Device>& device);

// The device object at the top of the device's stack.
PDEVICE_OBJECT TopOfStack(const std::shared_ptr<Device>& device);

// File objects open on the devices of the stack.
size_t OpenFileCount(const std::shared_ptr<Device>& device);

}  // namespace harness::pnp
