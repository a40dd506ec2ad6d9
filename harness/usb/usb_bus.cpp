// The emulated hub and its ports: which devices are plugged in, the
// internal device-control requests their PDOs serve, bus settings and
// bus-level fault injection.
#include "harness/usb/usb_bus.h"


#include <map>

#include "harness/kernel/harness_lock.h"
#include "harness/kernel/kernel.h"
#include "harness/kernel/verifier.h"
#include "harness/usb/host_controller.h"

namespace harness::usb {
namespace detail {
namespace {

struct StreamFaultRule {
    uint32_t count;
    uint8_t endpoint;
    USBD_STATUS status;
};

struct ControlFaultRule {
    uint32_t count;
    ControlMatch match;
    ControlFault kind;
};

struct BusState {
    std::map<const DEVICE_OBJECT*, Port> ports;
    BusSettings settings;
    uint8_t nextAddress = 1;
    uint32_t nextHandle = 1;
    std::vector<StreamFaultRule> streamFaults;
    std::vector<ControlFaultRule> controlFaults;
    // The fault plan: URB numbers (0: none) and the URB being submitted.
    uint64_t urbCount = 0;
    uint64_t unplugAt = 0;
    uint64_t stallAt = 0;
    bool stallThisUrb = false;
};

BusState& State() {
    static BusState state;
    return state;
}

void Reset() {
    ResetHostController();
    State() = BusState{};
}
ResetRegistration reset(kResetUsb, &Reset);

}  // namespace

Port* FindPort(const DEVICE_OBJECT* pdo) {
    auto& ports = State().ports;
    auto it = ports.find(pdo);
    return it == ports.end() ? nullptr : &it->second;
}

const BusSettings& Settings() { return State().settings; }

PVOID NewHandle() {
    // Kernel-looking addresses that nothing ever dereferences: system space
    // of the processor the build stands in for.
    const uintptr_t base = static_cast<uintptr_t>(sizeof(void*) == 8 ? 0xFFFFB80000000000ull : 0x8A000000ull);
    return reinterpret_cast<PVOID>(base + static_cast<uintptr_t>(State().nextHandle++) * 0x40);
}

bool TakeStreamFault(uint8_t endpoint, USBD_STATUS* status) {
    for (auto& rule : State().streamFaults) {
        if (rule.count == 0 || (rule.endpoint != kAnyEndpoint && rule.endpoint != endpoint)) continue;
        if (rule.count != kUntilCleared) --rule.count;
        *status = rule.status;
        return true;
    }
    return false;
}

ControlFault TakeControlFault(const SetupPacket& setup) {
    for (auto& rule : State().controlFaults) {
        if (rule.count == 0 || (rule.match && !rule.match(setup))) continue;
        if (rule.count != kUntilCleared) --rule.count;
        return rule.kind;
    }
    return ControlFault::None;
}

bool TakeUrbStall() {
    const bool stall = State().stallThisUrb;
    State().stallThisUrb = false;
    return stall;
}

namespace {

std::string UrbText(const URB* urb) {
    return UrbFunctionName(urb->UrbHeader.Function) + " URB " + Hex(reinterpret_cast<uintptr_t>(urb));
}

TransferPtr NewHostTransfer(PIRP irp, PURB urb, Port& port) {
    auto t = std::make_shared<Transfer>();
    t->irp = irp;
    t->urb = urb;
    t->pdo = port.pdo;
    t->function = urb->UrbHeader.Function;
    return t;
}

// Pipe requests: abort, reset, clear stall.
NTSTATUS PipeRequest(PIRP irp, PURB urb, Port& port) {
    USBD_PIPE_HANDLE handle = urb->UrbPipeRequest.PipeHandle;
    auto pipe = port.pipes.find(handle);
    if (pipe == port.pipes.end()) return CompleteUrbAtOnce(irp, urb, port.pdo, USBD_STATUS_INVALID_PIPE_HANDLE);
    const USHORT function = urb->UrbHeader.Function;
    // Resetting the pipe restarts the host side of the endpoint; clearing
    // the stall alone only tells the device.
    if (function != URB_FUNCTION_ABORT_PIPE && function != URB_FUNCTION_SYNC_CLEAR_STALL)
        pipe->second.halted = false;
    if (function == URB_FUNCTION_ABORT_PIPE) {
        AbortPipeTransfers(port.pdo, handle, USBD_STATUS_CANCELED);
        return CompleteUrbAtOnce(irp, urb, port.pdo, USBD_STATUS_SUCCESS);
    }
    if (function == URB_FUNCTION_SYNC_RESET_PIPE) {
        // Only the host side of the pipe (its data toggle) is reset.
        return CompleteUrbAtOnce(irp, urb, port.pdo, USBD_STATUS_SUCCESS);
    }
    // Clearing a halt is CLEAR_FEATURE(ENDPOINT_HALT) sent to the endpoint.
    TransferPtr t = NewHostTransfer(irp, urb, port);
    t->transferType = kTransferControl;
    t->setup.requestType = 0x02;
    t->setup.request = USB_REQUEST_CLEAR_FEATURE;
    t->setup.value = USB_FEATURE_ENDPOINT_STALL;
    t->setup.index = pipe->second.endpointAddress;
    return StartTransfer(t);
}

NTSTATUS SubmitUrbNow(PIRP irp, PURB urb, Port& port) {
    if (urb == nullptr) {
        BugCheck("USB_INVALID_URB", "IOCTL_INTERNAL_USB_SUBMIT_URB",
                 "IRP " + Hex(reinterpret_cast<uintptr_t>(irp)) + " carries no URB (Parameters.Others.Argument1 is null)");
        return CompleteUrbAtOnce(irp, nullptr, port.pdo, USBD_STATUS_INVALID_PARAMETER);
    }
    if (TransferPtr earlier = FindTransferOfUrb(urb)) {
        BugCheck("USB_URB_IN_USE", "IOCTL_INTERNAL_USB_SUBMIT_URB",
                 UrbText(urb) + " submitted with IRP " + Hex(reinterpret_cast<uintptr_t>(irp)) +
                     " while still in flight with IRP " + Hex(reinterpret_cast<uintptr_t>(earlier->irp)));
        return CompleteUrbAtOnce(irp, nullptr, port.pdo, USBD_STATUS_ERROR_BUSY);
    }
    const USHORT function = urb->UrbHeader.Function;
    const size_t minimum = MinimumUrbLength(function);
    if (minimum == 0) return CompleteUrbAtOnce(irp, urb, port.pdo, USBD_STATUS_INVALID_URB_FUNCTION);
    if (urb->UrbHeader.Length < minimum) {
        BugCheck("USB_INVALID_URB", "IOCTL_INTERNAL_USB_SUBMIT_URB",
                 UrbText(urb) + " has Hdr.Length " + std::to_string(urb->UrbHeader.Length) +
                     "; its function needs at least " + std::to_string(minimum));
        return CompleteUrbAtOnce(irp, urb, port.pdo, USBD_STATUS_INVALID_PARAMETER);
    }
    if (port.unplugged) return CompleteUrbAtOnce(irp, urb, port.pdo, USBD_STATUS_DEVICE_GONE);
    // A suspended port carries no packets: nothing answers the transaction.
    if (port.suspended) return CompleteUrbAtOnce(irp, urb, port.pdo, USBD_STATUS_DEV_NOT_RESPONDING);
    urb->UrbHeader.Status = USBD_STATUS_PENDING;

    USBD_STATUS status = USBD_STATUS_SUCCESS;
    TransferPtr t;
    switch (function) {
    case URB_FUNCTION_SELECT_CONFIGURATION:
        return SelectConfiguration(irp, urb, port);
    case URB_FUNCTION_ABORT_PIPE:
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
    case URB_FUNCTION_SYNC_RESET_PIPE:
    case URB_FUNCTION_SYNC_CLEAR_STALL:
        return PipeRequest(irp, urb, port);
    case URB_FUNCTION_GET_CURRENT_FRAME_NUMBER: {
        const int64_t frame = Settings().frame > 0 ? Settings().frame : dispatcher::kMillisecond;
        urb->UrbGetCurrentFrameNumber.FrameNumber = static_cast<ULONG>(dispatcher::Now() / frame);
        return CompleteUrbAtOnce(irp, urb, port.pdo, USBD_STATUS_SUCCESS);
    }
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
        t = DecodeStreamUrb(urb, port, &status);
        break;
    default:
        t = DecodeControlUrb(urb, port, &status);
        break;
    }
    if (t == nullptr) return CompleteUrbAtOnce(irp, urb, port.pdo, status);
    t->irp = irp;
    t->pdo = port.pdo;
    return StartTransfer(t);
}

// The device is pulled out while the URB that triggered it is in flight: the
// model stops at once, the transfers end from the next completion pass (a
// host controller reports the disconnection from its DPC, never inside the
// submitter's call).
void UnplugFromPlan(PDEVICE_OBJECT pdo) {
    Port* port = FindPort(pdo);
    if (port == nullptr || port->unplugged) return;
    port->unplugged = true;
    std::shared_ptr<UsbDevice> device = port->device;
    device->Unplug();
    dispatcher::ScheduleAfter(
        0, [pdo] { if (FindPort(pdo) != nullptr) AbortTransfers(pdo, USBD_STATUS_DEVICE_GONE); },
        "USB disconnection of " + device->Describe());
}

NTSTATUS SubmitUrb(PIRP irp, PURB urb, Port& port) {
    BusState& state = State();
    const uint64_t number = ++state.urbCount;
    state.stallThisUrb = number == state.stallAt;
    const bool unplug = number == state.unplugAt;
    PDEVICE_OBJECT pdo = port.pdo;
    const NTSTATUS status = SubmitUrbNow(irp, urb, port);
    state.stallThisUrb = false;  // spent, whether it applied or not
    if (unplug) UnplugFromPlan(pdo);
    return status;
}

NTSTATUS CompleteIrp(PIRP irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

}  // namespace
}  // namespace detail

using namespace detail;

void SetBusSettings(const BusSettings& settings) { detail::State().settings = settings; }
BusSettings GetBusSettings() { return detail::State().settings; }

void ConnectDevice(PDEVICE_OBJECT pdo, std::shared_ptr<UsbDevice> device) {
    auto& state = detail::State();
    Port port;
    port.pdo = pdo;
    port.device = std::move(device);
    port.address = state.nextAddress++;
    state.ports[pdo] = std::move(port);
}

void DisconnectDevice(PDEVICE_OBJECT pdo) {
    Port* port = FindPort(pdo);
    if (port == nullptr) return;
    AbortTransfers(pdo, port->unplugged ? USBD_STATUS_DEVICE_GONE : USBD_STATUS_CANCELED);
    detail::State().ports.erase(pdo);
}

bool IsUsbDevice(const DEVICE_OBJECT* pdo) { return FindPort(pdo) != nullptr; }

NTSTATUS DispatchInternalDeviceControl(PDEVICE_OBJECT pdo, PIRP irp) {
    harness::HarnessScope harnessState;
    Port* port = FindPort(pdo);
    if (port == nullptr) return CompleteIrp(irp, STATUS_NOT_SUPPORTED);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_INTERNAL_USB_SUBMIT_URB:
        return SubmitUrb(irp, static_cast<PURB>(stack->Parameters.Others.Argument1), *port);
    case IOCTL_INTERNAL_USB_GET_PORT_STATUS:
        if (auto* portStatus = static_cast<PULONG>(stack->Parameters.Others.Argument1))
            *portStatus = port->unplugged ? 0 : (USBD_PORT_ENABLED | USBD_PORT_CONNECTED);
        return CompleteIrp(irp, STATUS_SUCCESS);
    default:
        return CompleteIrp(irp, STATUS_NOT_SUPPORTED);
    }
}

void RemoveDevice(PDEVICE_OBJECT pdo) {
    Port* port = FindPort(pdo);
    if (port == nullptr) return;
    const USBD_STATUS status = port->unplugged ? USBD_STATUS_DEVICE_GONE : USBD_STATUS_CANCELED;
    AbortTransfers(pdo, status);
    ClosePipes(*port, status);
    port->configurationValue = 0;
    port->configurationHandle = nullptr;
}

void Unplug(PDEVICE_OBJECT pdo) {
    Port* port = FindPort(pdo);
    if (port == nullptr || port->unplugged) return;
    port->unplugged = true;
    std::shared_ptr<UsbDevice> device = port->device;
    device->Unplug();
    AbortTransfers(pdo, USBD_STATUS_DEVICE_GONE);
}

void SuspendPort(PDEVICE_OBJECT pdo) {
    Port* port = FindPort(pdo);
    if (port == nullptr || port->unplugged || port->suspended) return;
    port->suspended = true;
    AbortTransfers(pdo, USBD_STATUS_CANCELED);
}

void CutBusPower(PDEVICE_OBJECT pdo) {
    Port* port = FindPort(pdo);
    if (port == nullptr || port->unplugged || port->powerLost) return;
    // A device left in D0 over a sleep is suspended with the whole bus.
    SuspendPort(pdo);
    port->powerLost = true;
    std::shared_ptr<UsbDevice> device = port->device;
    device->PowerLost();
}

void ResumePort(PDEVICE_OBJECT pdo) {
    Port* port = FindPort(pdo);
    if (port == nullptr || port->unplugged || !port->suspended) return;
    port->suspended = false;
    if (port->powerLost) {
        port->powerLost = false;
        // Reset-resume: the hub resets the port, sets the same address and
        // the same configuration; the pipe handles the function driver holds
        // stay valid, their endpoints start afresh.
        for (auto& [handle, pipe] : port->pipes) pipe.halted = false;
        std::shared_ptr<UsbDevice> device = port->device;
        device->PowerRestored(port->configurationValue);
    }
}

bool IsPortSuspended(const DEVICE_OBJECT* pdo) {
    const Port* port = FindPort(pdo);
    return port != nullptr && port->suspended;
}

bool IsUnplugged(const DEVICE_OBJECT* pdo) {
    const Port* port = FindPort(pdo);
    return port != nullptr && port->unplugged;
}

void FailStreamTransfers(uint32_t count, uint8_t endpoint, USBD_STATUS status) {
    detail::State().streamFaults.push_back({count, endpoint, status});
}

void HangControlRequests(uint32_t count, ControlMatch match) {
    detail::State().controlFaults.push_back({count, std::move(match), ControlFault::Hang});
}

void StallControlRequests(uint32_t count, ControlMatch match) {
    detail::State().controlFaults.push_back({count, std::move(match), ControlFault::Stall});
}

void ClearFaults() {
    detail::State().streamFaults.clear();
    detail::State().controlFaults.clear();
    detail::State().unplugAt = 0;
    detail::State().stallAt = 0;
}

uint64_t SubmittedUrbCount() { return detail::State().urbCount; }

void UnplugAtUrb(uint64_t n) { detail::State().unplugAt = n == 0 ? 0 : detail::State().urbCount + n; }

void StallAtUrb(uint64_t n) { detail::State().stallAt = n == 0 ? 0 : detail::State().urbCount + n; }

bool IsPipeHalted(const DEVICE_OBJECT* pdo, USBD_PIPE_HANDLE pipe) {
    const Port* port = FindPort(pdo);
    if (port == nullptr) return false;
    auto it = port->pipes.find(pipe);
    return it != port->pipes.end() && it->second.halted;
}

size_t PendingTransferCount() { return CountTransfers(nullptr); }

size_t PendingTransferCount(const DEVICE_OBJECT* pdo) { return pdo == nullptr ? 0 : CountTransfers(pdo); }

uint8_t DeviceAddress(const DEVICE_OBJECT* pdo) {
    const Port* port = FindPort(pdo);
    return port != nullptr ? port->address : 0;
}

uint8_t ConfigurationValue(const DEVICE_OBJECT* pdo) {
    const Port* port = FindPort(pdo);
    return port != nullptr ? port->configurationValue : 0;
}

std::vector<OpenPipe> OpenPipes(const DEVICE_OBJECT* pdo) {
    std::vector<OpenPipe> pipes;
    if (const Port* port = FindPort(pdo))
        for (const auto& [handle, p] : port->pipes)
            pipes.push_back({p.handle, p.endpointAddress, p.type, p.maximumPacketSize, p.interval, p.interfaceNumber});
    return pipes;
}

}  // namespace harness::usb
