#include "harness/kernel/pnp_manager.h"

#include <algorithm>
#include <string>

#include "harness/kernel/bus_driver.h"
#include "harness/kernel/io_internal.h"
#include "harness/kernel/io_manager.h"
#include "harness/kernel/kernel.h"
#include "harness/kernel/pool.h"
#include "harness/kernel/registry.h"
#include "harness/kernel/verifier.h"
#include "harness/usb/usb_bus.h"

namespace harness::pnp {
namespace {

struct PnpState {
    std::vector<std::shared_ptr<Driver>> drivers;
    std::vector<std::shared_ptr<Device>> devices;
    std::u16string registryPathText;  // kept alive for the loaded driver
};

PnpState& State() {
    static PnpState state;
    return state;
}

void Reset() { State() = PnpState{}; }
ResetRegistration reset(kResetPnp, &Reset);

NTSTATUS NTAPI SignalRequestDone(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends an IRP the manager built to the top of a stack and waits for it.
NTSTATUS SendAndWait(PDEVICE_OBJECT top, PIRP irp) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, SignalRequestDone, &done, TRUE, TRUE, TRUE);
    if (IoCallDriver(top, irp) == STATUS_PENDING)
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    return irp->IoStatus.Status;
}

// What the I/O verifier checks once AddDevice has returned: each device the
// driver attached has left its initialisation (0x243) and inherited
// DO_POWER_PAGABLE from the device below (0x23F).
void CheckAddedDevices(PDEVICE_OBJECT pdo) {
    for (PDEVICE_OBJECT below = pdo; below->AttachedDevice != nullptr; below = below->AttachedDevice) {
        PDEVICE_OBJECT device = below->AttachedDevice;
        if (device->Flags & DO_DEVICE_INITIALIZING)
            BugCheck("DEVICE_INITIALIZING_AFTER_ADD_DEVICE", "AddDevice",
                     io::detail::DescribeDevice(device) + " still has DO_DEVICE_INITIALIZING set after AddDevice returned");
        if ((below->Flags & DO_POWER_PAGABLE) && !(device->Flags & DO_POWER_PAGABLE))
            BugCheck("POWER_PAGABLE_NOT_INHERITED", "AddDevice",
                     io::detail::DescribeDevice(device) + " lacks DO_POWER_PAGABLE, which " + io::detail::DescribeDevice(below) +
                         " it is attached to has");
    }
}

// After IRP_MN_REMOVE_DEVICE the function driver must have detached its
// device from the PDO (0x21D) and deleted it (0x21E).
void CheckRemovedDevice(PDEVICE_OBJECT pdo, PDEVICE_OBJECT functionDevice) {
    if (pdo->AttachedDevice != nullptr)
        BugCheck("REMOVE_WITHOUT_DETACH", "IRP_MN_REMOVE_DEVICE",
                 io::detail::DescribeDevice(pdo->AttachedDevice) + " is still attached to the PDO " + io::detail::DescribeDevice(pdo) +
                     " after the remove request");
    if (functionDevice != nullptr && io::IsLiveDevice(functionDevice) && !io::IsDeletePending(functionDevice))
        BugCheck("REMOVE_WITHOUT_DELETE", "IRP_MN_REMOVE_DEVICE",
                 io::detail::DescribeDevice(functionDevice) + " was not deleted (IoDeleteDevice) on the remove request");
}

UNICODE_STRING Counted(std::u16string& text) {
    UNICODE_STRING s;
    s.Buffer = text.data();
    s.Length = static_cast<USHORT>(text.size() * sizeof(WCHAR));
    s.MaximumLength = static_cast<USHORT>(s.Length + sizeof(WCHAR));
    return s;
}

}  // namespace

std::shared_ptr<Driver> LoadDriver(std::u16string serviceName, PDRIVER_INITIALIZE entry) {
    auto driver = std::make_shared<Driver>();
    driver->serviceName = serviceName;
    State().registryPathText = registry::ServiceKeyPath(serviceName);
    registry::CreateKey(State().registryPathText);

    driver->object = io::CreateDriverObject(u"\\Driver\\" + serviceName);
    UNICODE_STRING registryPath = Counted(State().registryPathText);
    driver->entryStatus = entry(driver->object, &registryPath);
    if (!NT_SUCCESS(driver->entryStatus)) {
        io::DeleteDriverObject(driver->object);
        driver->object = nullptr;
        return driver;
    }
    State().drivers.push_back(driver);
    return driver;
}

void UnloadDriver(std::shared_ptr<Driver> driver) {
    if (!driver || driver->object == nullptr) return;
    if (driver->object->DeviceObject != nullptr)
        BugCheck("DRIVER_UNLOADED_WITH_DEVICES", "DriverUnload",
                 "the driver still has device objects; remove every device before unloading it");
    if (driver->object->DriverUnload != nullptr) driver->object->DriverUnload(driver->object);
    // Pool the driver allocated itself, and string buffers the run-time
    // library allocated on its behalf.
    pool::CheckLeaks(pool::Tag("COMX"), "DriverUnload");
    pool::CheckLeaks(pool::Tag("Strg"), "DriverUnload");
    registry::CheckHandleLeaks("DriverUnload");
    io::DeleteDriverObject(driver->object);
    driver->object = nullptr;
    auto& drivers = State().drivers;
    drivers.erase(std::remove(drivers.begin(), drivers.end(), driver), drivers.end());
}

std::shared_ptr<Device> PlugDevice(const std::shared_ptr<Driver>& driver, DeviceDescription description,
                                   bool start) {
    auto device = std::make_shared<Device>();
    device->description = description;
    device->pdo = bus::CreatePhysicalDevice(description.instancePath, description.hardwareIds, description.usbDevice);
    if (device->pdo == nullptr) {
        device->addStatus = STATUS_INSUFFICIENT_RESOURCES;
        device->removed = true;
        return device;
    }
    io::SetDeviceInstancePath(device->pdo, description.instancePath);
    registry::BindDeviceInstance(device->pdo, description.instancePath);
    registry::CreateKey(registry::DeviceParametersPath(description.instancePath));
    State().devices.push_back(device);

    PDRIVER_ADD_DEVICE addDevice = driver->object->DriverExtension->AddDevice;
    device->addStatus = addDevice(driver->object, device->pdo);
    if (!NT_SUCCESS(device->addStatus)) return device;
    device->functionDevice = device->pdo->AttachedDevice;
    CheckAddedDevices(device->pdo);
    if (start) device->startStatus = StartDevice(device);
    return device;
}

PDEVICE_OBJECT TopOfStack(const std::shared_ptr<Device>& device) { return io::GetAttachedDevice(device->pdo); }

NTSTATUS SendPnp(const std::shared_ptr<Device>& device, UCHAR minorFunction) {
    PDEVICE_OBJECT top = TopOfStack(device);
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = IRP_MJ_PNP;
    stack->MinorFunction = minorFunction;
    const NTSTATUS status = SendAndWait(top, irp);
    IoFreeIrp(irp);
    return status;
}

NTSTATUS StartDevice(const std::shared_ptr<Device>& device) {
    device->startStatus = SendPnp(device, IRP_MN_START_DEVICE);
    return device->startStatus;
}

namespace {

void FinishRemoval(const std::shared_ptr<Device>& device) {
    SendPnp(device, IRP_MN_REMOVE_DEVICE);
    CheckRemovedDevice(device->pdo, device->functionDevice);
    registry::UnbindDeviceInstance(device->pdo);
    bus::DeletePhysicalDevice(device->pdo);
    device->removed = true;
    device->functionDevice = nullptr;
    auto& devices = State().devices;
    devices.erase(std::remove(devices.begin(), devices.end(), device), devices.end());
}

}  // namespace

NTSTATUS RemoveDevice(const std::shared_ptr<Device>& device) {
    const NTSTATUS query = SendPnp(device, IRP_MN_QUERY_REMOVE_DEVICE);
    if (!NT_SUCCESS(query)) {
        SendPnp(device, IRP_MN_CANCEL_REMOVE_DEVICE);
        return query;
    }
    FinishRemoval(device);
    return STATUS_SUCCESS;
}

void SurpriseRemoveDevice(const std::shared_ptr<Device>& device) {
    SendPnp(device, IRP_MN_SURPRISE_REMOVAL);
    FinishRemoval(device);
}

void UnplugDevice(const std::shared_ptr<Device>& device) {
    if (device->removed) return;
    usb::Unplug(device->pdo);
    SurpriseRemoveDevice(device);
}

}  // namespace harness::pnp
