#include "harness/kernel/driver_time.h"
#include "harness/kernel/bus_driver.h"

#include <cstring>
#include <map>

#include "harness/kernel/dispatcher.h"
#include "harness/kernel/io_internal.h"
#include "harness/kernel/io_manager.h"
#include "harness/kernel/kernel.h"
#include "harness/kernel/pool.h"
#include "harness/usb/usb_bus.h"

namespace harness::bus {
namespace {

struct BusState {
    PDRIVER_OBJECT driver = nullptr;
    std::map<PDEVICE_OBJECT, PhysicalDevice> devices;
    int nextPdoNumber = 1;
};

BusState& State() {
    static BusState state;
    return state;
}

const ULONG kBusTag = pool::Tag("Bus ");

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// A hardware-ID list is a multi-string: each ID zero-terminated, and one
// more zero character at the end. The caller frees it.
PWCHAR BuildMultiString(const std::vector<std::u16string>& ids) {
    size_t chars = 1;
    for (const auto& id : ids) chars += id.size() + 1;
    auto* list = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, chars * sizeof(WCHAR), kBusTag));
    if (list == nullptr) return nullptr;
    PWCHAR p = list;
    for (const auto& id : ids) {
        std::memcpy(p, id.data(), id.size() * sizeof(WCHAR));
        p += id.size();
        *p++ = 0;
    }
    *p = 0;
    return list;
}

void FillCapabilities(const PhysicalDevice& device, PDEVICE_CAPABILITIES caps) {
    caps->DeviceD1 = 0;
    caps->DeviceD2 = 1;
    caps->Removable = 1;
    caps->SurpriseRemovalOK = 0;
    caps->WakeFromD2 = device.deviceWake >= PowerDeviceD2 ? 1 : 0;
    for (int state = 0; state < PowerSystemMaximum; ++state) caps->DeviceState[state] = device.deviceState[state];
    caps->SystemWake = PowerSystemSleeping3;
    caps->DeviceWake = device.deviceWake;
}

NTSTATUS NTAPI BusDispatchPnp(PDEVICE_OBJECT pdo, PIRP irp) {
    PhysicalDevice* device = Describe(pdo);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
        if (!NT_SUCCESS(device->startFailure)) return Complete(irp, device->startFailure);
        device->started = true;
        return Complete(irp, STATUS_SUCCESS);
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
        device->started = false;
        return Complete(irp, STATUS_SUCCESS);
    case IRP_MN_REMOVE_DEVICE:
        device->started = false;
        if (device->usbDevice) usb::RemoveDevice(pdo);
        return Complete(irp, STATUS_SUCCESS);
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        return Complete(irp, STATUS_SUCCESS);
    case IRP_MN_QUERY_CAPABILITIES:
        FillCapabilities(*device, stack->Parameters.DeviceCapabilities.Capabilities);
        return Complete(irp, STATUS_SUCCESS);
    case IRP_MN_QUERY_ID:
        if (stack->Parameters.QueryId.IdType == BusQueryHardwareIDs) {
            PWCHAR list = BuildMultiString(device->hardwareIds);
            if (list == nullptr) return Complete(irp, STATUS_INSUFFICIENT_RESOURCES);
            return Complete(irp, STATUS_SUCCESS, reinterpret_cast<ULONG_PTR>(list));
        }
        break;
    default:
        break;
    }
    // A bus driver completes what it does not handle with the status and
    // information it found.
    const NTSTATUS status = irp->IoStatus.Status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// A suspended USB device is at full power again only after the hub's
// resume: 20 ms of resume signalling and 10 ms of recovery before the
// device must answer (the USB 2.0 timings TDRSMDN and TRSMRCY).
constexpr int64_t kResumeTime = 30 * dispatcher::kMillisecond;

NTSTATUS SetDevicePower(PDEVICE_OBJECT pdo, PhysicalDevice& device, PIRP irp, DEVICE_POWER_STATE state) {
    const bool usbDevice = device.usbDevice != nullptr;
    if (state != PowerDeviceD0) {
        device.powerState = state;
        if (usbDevice) usb::SuspendPort(pdo);
        return Complete(irp, STATUS_SUCCESS);
    }
    if (!usbDevice || !usb::IsPortSuspended(pdo)) {
        device.powerState = PowerDeviceD0;
        device.poweredUpAt = dispatcher::Now();
        return Complete(irp, STATUS_SUCCESS);
    }
    // Completed from the hub's resume, at DISPATCH_LEVEL, as a bus driver
    // may complete it.
    IoMarkIrpPending(irp);
    dispatcher::ScheduleAfter(
        kResumeTime,
        [pdo, irp] {
            PhysicalDevice* resumed = Describe(pdo);
            if (resumed == nullptr) {
                Complete(irp, STATUS_NO_SUCH_DEVICE);
                return;
            }
            usb::ResumePort(pdo);
            resumed->powerState = PowerDeviceD0;
            resumed->poweredUpAt = dispatcher::Now();
            Complete(irp, STATUS_SUCCESS);
        },
        "USB resume of " + io::detail::DescribeDevice(pdo));
    return STATUS_PENDING;
}

NTSTATUS NTAPI BusDispatchPower(PDEVICE_OBJECT pdo, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    PhysicalDevice* device = Describe(pdo);
    PoStartNextPowerIrp(irp);
    if (stack->MinorFunction == IRP_MN_SET_POWER && device != nullptr) {
        device->setPowerRequests.push_back({dispatcher::Now(), stack->Parameters.Power.Type, stack->Parameters.Power.State});
        if (stack->Parameters.Power.Type == DevicePowerState)
            return SetDevicePower(pdo, *device, irp, stack->Parameters.Power.State.DeviceState);
        device->systemState = stack->Parameters.Power.State.SystemState;
        // A sleeping system powers the bus down: a bus-powered device loses
        // its power until the hub resumes it.
        if (device->systemState != PowerSystemWorking && device->usbDevice) usb::CutBusPower(pdo);
        // A device its driver left in D0 over the sleep comes back with the
        // bus: the hub resumes it (a reset-resume) as the system returns.
        // One in a lower state waits for its D0 request.
        if (device->systemState == PowerSystemWorking && device->usbDevice && device->powerState == PowerDeviceD0)
            usb::ResumePort(pdo);
        return Complete(irp, STATUS_SUCCESS);
    }
    if (stack->MinorFunction == IRP_MN_SET_POWER || stack->MinorFunction == IRP_MN_QUERY_POWER)
        return Complete(irp, STATUS_SUCCESS);
    const NTSTATUS status = irp->IoStatus.Status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS NTAPI BusDispatchSystemControl(PDEVICE_OBJECT, PIRP irp) {
    const NTSTATUS status = irp->IoStatus.Status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// The USB stack's internal requests (URBs, port status) for USB devices.
NTSTATUS NTAPI BusDispatchInternalDeviceControl(PDEVICE_OBJECT pdo, PIRP irp) {
    PhysicalDevice* device = Describe(pdo);
    if (device != nullptr && device->usbDevice) return usb::DispatchInternalDeviceControl(pdo, irp);
    return Complete(irp, STATUS_NOT_SUPPORTED);
}

NTSTATUS NTAPI BusDispatchOther(PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_NOT_SUPPORTED); }

PDRIVER_OBJECT BusDriver() {
    BusState& state = State();
    if (state.driver == nullptr) {
        state.driver = io::CreateDriverObject(u"\\Driver\\TarnBus");
        profile::SetHarnessDriver(state.driver);
        for (auto& entry : state.driver->MajorFunction) entry = BusDispatchOther;
        state.driver->MajorFunction[IRP_MJ_PNP] = BusDispatchPnp;
        state.driver->MajorFunction[IRP_MJ_POWER] = BusDispatchPower;
        state.driver->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = BusDispatchSystemControl;
        state.driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = BusDispatchInternalDeviceControl;
    }
    return state.driver;
}

void Reset() { State() = BusState{}; }
ResetRegistration reset(kResetPnp, &Reset);

}  // namespace

PDEVICE_OBJECT CreatePhysicalDevice(std::u16string instancePath, std::vector<std::u16string> hardwareIds,
                                    std::shared_ptr<harness::usb::UsbDevice> usbDevice) {
    BusState& state = State();
    std::string number = std::to_string(state.nextPdoNumber++);
    std::u16string name = u"\\Device\\TarnBusPdo";
    name.append(number.begin(), number.end());
    UNICODE_STRING unicodeName;
    unicodeName.Buffer = name.data();
    unicodeName.Length = static_cast<USHORT>(name.size() * sizeof(WCHAR));
    unicodeName.MaximumLength = unicodeName.Length;

    PDEVICE_OBJECT pdo = nullptr;
    NTSTATUS status = IoCreateDevice(BusDriver(), 0, &unicodeName, FILE_DEVICE_BUS_EXTENDER,
                                     FILE_DEVICE_SECURE_OPEN, FALSE, &pdo);
    if (!NT_SUCCESS(status)) return nullptr;
    pdo->Flags |= DO_BUS_ENUMERATED_DEVICE | DO_POWER_PAGABLE;
    pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    PhysicalDevice& device = state.devices[pdo];
    device.instancePath = std::move(instancePath);
    device.hardwareIds = std::move(hardwareIds);
    device.usbDevice = usbDevice;
    if (usbDevice) usb::ConnectDevice(pdo, std::move(usbDevice));
    return pdo;
}

void DeletePhysicalDevice(PDEVICE_OBJECT pdo) {
    PhysicalDevice* device = Describe(pdo);
    if (device != nullptr && device->usbDevice) usb::DisconnectDevice(pdo);
    State().devices.erase(pdo);
    IoDeleteDevice(pdo);
}

PhysicalDevice* Describe(PDEVICE_OBJECT pdo) {
    auto& devices = State().devices;
    auto it = devices.find(pdo);
    return it == devices.end() ? nullptr : &it->second;
}

}  // namespace harness::bus
