#include "harness/kernel/pnp_manager.h"

#include <algorithm>
#include <initializer_list>
#include <string>

#include "harness/kernel/bus_driver.h"
#include "harness/kernel/dispatcher.h"
#include "harness/kernel/harness_lock.h"
#include "harness/kernel/io_internal.h"
#include "harness/kernel/io_manager.h"
#include "harness/kernel/kernel.h"
#include "harness/kernel/pool.h"
#include "harness/kernel/registry.h"
#include "harness/kernel/verifier.h"
#include "harness/usb/usb_bus.h"

namespace harness::pnp {
namespace {

constexpr FailedStart kDefaultFailedStart = FailedStart::Remove;

struct ManagerState {
    std::vector<std::shared_ptr<Driver>> drivers;
    std::vector<std::shared_ptr<Device>> devices;
    std::u16string registryPathText;  // kept alive for the loaded driver
    FailedStart failedStart = kDefaultFailedStart;
};

ManagerState& State() {
    static ManagerState state;
    return state;
}

void OnFileObjectDeleted(PDEVICE_OBJECT device);

void Reset() {
    State() = ManagerState{};
    io::SetFileObjectDeletedHook(&OnFileObjectDeleted);
}
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

// IRP_MN_SURPRISE_REMOVAL leaves the stack in place: the remove request is
// still to come, and is sent to the top of the stack. A driver that detached
// or deleted its device here has it freed under that request (the Static
// Driver Verifier rule PnpSurpriseRemove).
void CheckSurpriseRemovedDevice(PDEVICE_OBJECT pdo, PDEVICE_OBJECT functionDevice) {
    if (functionDevice == nullptr) return;
    const bool live = io::IsLiveDevice(functionDevice);
    if (live && !io::IsDeletePending(functionDevice) && pdo->AttachedDevice == functionDevice) return;
    BugCheck("DEVICE_REMOVED_ON_SURPRISE_REMOVAL", "IRP_MN_SURPRISE_REMOVAL",
             (live ? io::detail::DescribeDevice(functionDevice) : std::string("the function device")) +
                 " was detached or deleted on the surprise-removal request; that waits for IRP_MN_REMOVE_DEVICE");
}

UNICODE_STRING Counted(std::u16string& text) {
    UNICODE_STRING s;
    s.Buffer = text.data();
    s.Length = static_cast<USHORT>(text.size() * sizeof(WCHAR));
    s.MaximumLength = static_cast<USHORT>(s.Length + sizeof(WCHAR));
    return s;
}

}  // namespace

std::shared_ptr<Driver> LoadDriver(std::u16string serviceName, PDRIVER_INITIALIZE entry,
                                   const DriverCodeRange& range) {
    HarnessScope harnessState;
    auto driver = std::make_shared<Driver>();
    driver->serviceName = serviceName;
    driver->code = range.keepMapped;
    State().registryPathText = registry::ServiceKeyPath(serviceName);
    registry::CreateKey(State().registryPathText);

    driver->object = io::CreateDriverObject(u"\\Driver\\" + serviceName);
    driver->object->DriverStart = range.start;
    driver->object->DriverSize = range.size;
    UNICODE_STRING registryPath = Counted(State().registryPathText);
    {
        DriverCallScope driverCode;
        driver->entryStatus = entry(driver->object, &registryPath);
    }
    if (!NT_SUCCESS(driver->entryStatus)) {
        io::DeleteDriverObject(driver->object);
        driver->object = nullptr;
        return driver;
    }
    State().drivers.push_back(driver);
    return driver;
}

void UnloadDriver(std::shared_ptr<Driver> driver) {
    HarnessScope harnessState;
    if (!driver || driver->object == nullptr) return;
    if (driver->object->DeviceObject != nullptr)
        BugCheck("DRIVER_UNLOADED_WITH_DEVICES", "DriverUnload",
                 "the driver still has device objects; remove every device before unloading it");
    if (driver->object->DriverUnload != nullptr) {
        DriverCallScope driverCode;
        driver->object->DriverUnload(driver->object);
    }
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
    HarnessScope harnessState;
    io::SetFileObjectDeletedHook(&OnFileObjectDeleted);
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
    const std::u16string hardwareKey = registry::DeviceParametersPath(description.instancePath);
    registry::CreateKey(hardwareKey);
    for (const auto& value : description.hardwareKeyValues)
        registry::SetValue(hardwareKey, value.name, value.type, value.data);
    State().devices.push_back(device);

    PDRIVER_ADD_DEVICE addDevice = driver->object->DriverExtension->AddDevice;
    {
        DriverCallScope driverCode;
        device->addStatus = addDevice(driver->object, device->pdo);
    }
    if (!NT_SUCCESS(device->addStatus)) return device;
    device->functionDevice = device->pdo->AttachedDevice;
    CheckAddedDevices(device->pdo);
    if (start) device->startStatus = StartDevice(device);
    return device;
}

PDEVICE_OBJECT TopOfStack(const std::shared_ptr<Device>& device) {
    HarnessScope harnessState;
    return io::GetAttachedDevice(device->pdo);
}

const char* PnpStateName(PnpState state) {
    switch (state) {
    case PnpState::Added: return "added";
    case PnpState::Started: return "started";
    case PnpState::StopPending: return "stop-pending";
    case PnpState::Stopped: return "stopped";
    case PnpState::RemovePending: return "remove-pending";
    case PnpState::SurpriseRemoved: return "surprise-removed";
    case PnpState::Removed: return "removed";
    }
    return "?";
}

NTSTATUS SendPnp(const std::shared_ptr<Device>& device, UCHAR minorFunction) {
    HarnessScope harnessState;
    PDEVICE_OBJECT top = TopOfStack(device);
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = IRP_MJ_PNP;
    stack->MinorFunction = minorFunction;
    device->sent.push_back(minorFunction);
    const NTSTATUS status = SendAndWait(top, irp);
    IoFreeIrp(irp);
    return status;
}

size_t OpenFileCount(const std::shared_ptr<Device>& device) {
    HarnessScope harnessState;
    size_t n = 0;
    if (device->removed) return 0;
    for (PDEVICE_OBJECT d = device->pdo; d != nullptr; d = d->AttachedDevice) n += io::FileObjectCount(d);
    return n;
}

void SetFailedStartHandling(FailedStart handling) { State().failedStart = handling; }

namespace {

// A call the manager would never make in this state: a mistake of the test,
// not of the driver.
bool Expect(const std::shared_ptr<Device>& device, std::initializer_list<PnpState> states, const char* what) {
    for (PnpState s : states)
        if (device->state == s) return true;
    BugCheck("PNP_SEQUENCE_MISUSED", what,
             std::string("the Plug and Play manager does not send this to a device that is ") +
                 PnpStateName(device->state));
    return false;
}

void FinishRemoval(const std::shared_ptr<Device>& device) {
    if (device->removed) return;
    SendPnp(device, IRP_MN_REMOVE_DEVICE);
    CheckRemovedDevice(device->pdo, device->functionDevice);
    registry::UnbindDeviceInstance(device->pdo);
    bus::DeletePhysicalDevice(device->pdo);
    device->removed = true;
    device->state = PnpState::Removed;
    device->functionDevice = nullptr;
    auto& devices = State().devices;
    devices.erase(std::remove(devices.begin(), devices.end(), device), devices.end());
}

// The remove request of a surprise-removed stack goes out once its last
// file object is gone.
void RemoveIfClosed(const std::shared_ptr<Device>& device) {
    if (device->state == PnpState::SurpriseRemoved && OpenFileCount(device) == 0) FinishRemoval(device);
}

void OnFileObjectDeleted(PDEVICE_OBJECT closed) {
    std::shared_ptr<Device> owner;
    for (const auto& device : State().devices)
        for (PDEVICE_OBJECT d = device->pdo; d != nullptr; d = d->AttachedDevice)
            if (d == closed) owner = device;
    if (!owner || owner->state != PnpState::SurpriseRemoved) return;
    // The manager sends Plug and Play requests from a system thread at
    // PASSIVE_LEVEL; a close that ends elsewhere hands it over to one.
    if (KeGetCurrentIrql() == PASSIVE_LEVEL)
        RemoveIfClosed(owner);
    else
        dispatcher::QueuePassiveWork([owner] { RemoveIfClosed(owner); },
                                     "Plug and Play manager: IRP_MN_REMOVE_DEVICE after the last close");
}

}  // namespace

NTSTATUS StartDevice(const std::shared_ptr<Device>& device) {
    HarnessScope harnessState;
    const PnpState before = device->state;
    device->startStatus = SendPnp(device, IRP_MN_START_DEVICE);
    if (NT_SUCCESS(device->startStatus)) {
        device->state = PnpState::Started;
    } else if (before == PnpState::Stopped) {
        // A stack that stopped for a rebalance and then cannot start again is
        // surprise-removed (documented for IRP_MN_SURPRISE_REMOVAL).
        device->state = PnpState::Started;
        SurpriseRemoveDevice(device);
    } else if (before == PnpState::Added && State().failedStart == FailedStart::Remove) {
        // Windows 2000 and later remove a stack whose first start failed,
        // without a query (documented for IRP_MN_REMOVE_DEVICE).
        FinishRemoval(device);
    }
    return device->startStatus;
}

NTSTATUS QueryStopDevice(const std::shared_ptr<Device>& device) {
    HarnessScope harnessState;
    if (!Expect(device, {PnpState::Started}, "QueryStopDevice")) return STATUS_INVALID_DEVICE_STATE;
    const NTSTATUS status = SendPnp(device, IRP_MN_QUERY_STOP_DEVICE);
    if (NT_SUCCESS(status)) {
        device->state = PnpState::StopPending;
    } else {
        // A refused query is cancelled on the whole stack, the refusing
        // driver included.
        SendPnp(device, IRP_MN_CANCEL_STOP_DEVICE);
    }
    return status;
}

void CancelStopDevice(const std::shared_ptr<Device>& device) {
    HarnessScope harnessState;
    if (!Expect(device, {PnpState::StopPending}, "CancelStopDevice")) return;
    SendPnp(device, IRP_MN_CANCEL_STOP_DEVICE);
    device->state = PnpState::Started;
}

void StopDevice(const std::shared_ptr<Device>& device) {
    HarnessScope harnessState;
    if (!Expect(device, {PnpState::StopPending}, "StopDevice")) return;
    SendPnp(device, IRP_MN_STOP_DEVICE);
    device->state = PnpState::Stopped;
}

NTSTATUS RebalanceDevice(const std::shared_ptr<Device>& device, const std::function<void()>& whileStopped) {
    HarnessScope harnessState;
    const NTSTATUS query = QueryStopDevice(device);
    if (!NT_SUCCESS(query)) return query;
    StopDevice(device);
    if (whileStopped) whileStopped();
    return StartDevice(device);
}

NTSTATUS QueryRemoveDevice(const std::shared_ptr<Device>& device) {
    HarnessScope harnessState;
    if (!Expect(device, {PnpState::Added, PnpState::Started}, "QueryRemoveDevice")) return STATUS_INVALID_DEVICE_STATE;
    const NTSTATUS status = SendPnp(device, IRP_MN_QUERY_REMOVE_DEVICE);
    if (NT_SUCCESS(status)) {
        device->state = PnpState::RemovePending;
    } else {
        SendPnp(device, IRP_MN_CANCEL_REMOVE_DEVICE);
    }
    return status;
}

void CancelRemoveDevice(const std::shared_ptr<Device>& device) {
    HarnessScope harnessState;
    if (!Expect(device, {PnpState::RemovePending}, "CancelRemoveDevice")) return;
    SendPnp(device, IRP_MN_CANCEL_REMOVE_DEVICE);
    // Back to where the query found it: started, or never started.
    device->state = NT_SUCCESS(device->startStatus) ? PnpState::Started : PnpState::Added;
}

NTSTATUS RemoveDevice(const std::shared_ptr<Device>& device) {
    HarnessScope harnessState;
    const NTSTATUS query = QueryRemoveDevice(device);
    if (!NT_SUCCESS(query)) return query;
    FinishRemoval(device);
    return STATUS_SUCCESS;
}

void SurpriseRemoveDevice(const std::shared_ptr<Device>& device) {
    HarnessScope harnessState;
    if (device->removed || device->state == PnpState::SurpriseRemoved) return;
    SendPnp(device, IRP_MN_SURPRISE_REMOVAL);
    CheckSurpriseRemovedDevice(device->pdo, device->functionDevice);
    device->state = PnpState::SurpriseRemoved;
    RemoveIfClosed(device);
}

void UnplugDevice(const std::shared_ptr<Device>& device) {
    HarnessScope harnessState;
    if (device->removed) return;
    usb::Unplug(device->pdo);
    SurpriseRemoveDevice(device);
}

}  // namespace harness::pnp
