// URB_FUNCTION_SELECT_CONFIGURATION: the hub reads the configuration
// descriptor from the device itself, checks every interface of the URB
// against it, sends SET_CONFIGURATION and, once the device has accepted
// it, opens a pipe for every endpoint and fills in the URB's interface and
// pipe information. A null ConfigurationDescriptor deconfigures the device
// (SET_CONFIGURATION 0) and closes every pipe.
#include <cstring>

#include "harness/kernel/verifier.h"
#include "harness/usb/host_controller.h"

namespace harness::usb::detail {
namespace {

struct InterfacePlan {
    PUSBD_INTERFACE_INFORMATION info = nullptr;
    USB_INTERFACE_DESCRIPTOR descriptor{};
    std::vector<USB_ENDPOINT_DESCRIPTOR> endpoints;
};

SetupPacket GetConfigurationDescriptor(uint16_t length) {
    SetupPacket s;
    s.requestType = 0x80;
    s.request = USB_REQUEST_GET_DESCRIPTOR;
    s.value = USB_CONFIGURATION_DESCRIPTOR_TYPE << 8;  // index 0
    s.length = length;
    return s;
}

SetupPacket SetConfiguration(uint8_t value) {
    SetupPacket s;
    s.requestType = 0x00;
    s.request = USB_REQUEST_SET_CONFIGURATION;
    s.value = value;
    return s;
}

void Fail(const TransferPtr& t, USBD_STATUS status) { AnswerTransfer(t, status, {}, 0, Settings().controlLatency); }

// The endpoint descriptors that belong to `interfaceDescriptor`: those
// between it and the next interface descriptor (class-specific descriptors
// in between are skipped).
std::vector<USB_ENDPOINT_DESCRIPTOR> EndpointsOf(const std::vector<uint8_t>& configuration,
                                                 const USB_INTERFACE_DESCRIPTOR* interfaceDescriptor) {
    std::vector<USB_ENDPOINT_DESCRIPTOR> endpoints;
    const uint8_t* p = reinterpret_cast<const uint8_t*>(interfaceDescriptor) + interfaceDescriptor->bLength;
    const uint8_t* end = configuration.data() + configuration.size();
    while (p + 2 <= end && p[0] >= 2 && p + p[0] <= end && p[1] != USB_INTERFACE_DESCRIPTOR_TYPE &&
           endpoints.size() < interfaceDescriptor->bNumEndpoints) {
        if (p[1] == USB_ENDPOINT_DESCRIPTOR_TYPE && p[0] >= sizeof(USB_ENDPOINT_DESCRIPTOR)) {
            USB_ENDPOINT_DESCRIPTOR e;
            std::memcpy(&e, p, sizeof e);
            endpoints.push_back(e);
        }
        p += p[0];
    }
    return endpoints;
}

// Matches the URB's interfaces against the device's configuration.
USBD_STATUS Plan(PURB urb, std::vector<uint8_t>& configuration, std::vector<InterfacePlan>* plan) {
    auto* device = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(configuration.data());
    auto* base = reinterpret_cast<PUCHAR>(urb);
    PUCHAR p = reinterpret_cast<PUCHAR>(&urb->UrbSelectConfiguration.Interface);
    const PUCHAR end = base + urb->UrbHeader.Length;
    for (UCHAR i = 0; i < device->bNumInterfaces; ++i) {
        if (p + offsetof(USBD_INTERFACE_INFORMATION, Pipes) > end) return USBD_STATUS_BUFFER_TOO_SMALL;
        auto* info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(p);
        PUSB_INTERFACE_DESCRIPTOR found = USBD_ParseConfigurationDescriptorEx(
            device, device, info->InterfaceNumber, info->AlternateSetting, -1, -1, -1);
        if (found == nullptr) return USBD_STATUS_INTERFACE_NOT_FOUND;
        const size_t usable = found->bNumEndpoints > 0 ? GET_USBD_INTERFACE_SIZE(found->bNumEndpoints)
                                                       : offsetof(USBD_INTERFACE_INFORMATION, Pipes);
        if (info->Length < usable || p + usable > end) return USBD_STATUS_BUFFER_TOO_SMALL;
        InterfacePlan entry;
        entry.info = info;
        entry.descriptor = *found;
        entry.endpoints = EndpointsOf(configuration, found);
        if (entry.endpoints.size() != found->bNumEndpoints) return USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR;
        plan->push_back(std::move(entry));
        p += info->Length;
    }
    return USBD_STATUS_SUCCESS;
}

// The device accepted SET_CONFIGURATION: open the pipes and tell the caller.
void Commit(const TransferPtr& t, uint8_t value, const std::vector<InterfacePlan>& plan) {
    Port* port = FindPort(t->pdo);
    if (port == nullptr) return Fail(t, USBD_STATUS_DEVICE_GONE);
    ClosePipes(*port, USBD_STATUS_CANCELED);
    port->configurationValue = value;
    port->configurationHandle = NewHandle();
    for (const InterfacePlan& entry : plan) {
        PUSBD_INTERFACE_INFORMATION info = entry.info;
        info->Class = entry.descriptor.bInterfaceClass;
        info->SubClass = entry.descriptor.bInterfaceSubClass;
        info->Protocol = entry.descriptor.bInterfaceProtocol;
        info->Reserved = 0;
        info->InterfaceHandle = NewHandle();
        info->NumberOfPipes = static_cast<ULONG>(entry.endpoints.size());
        for (size_t i = 0; i < entry.endpoints.size(); ++i) {
            const USB_ENDPOINT_DESCRIPTOR& e = entry.endpoints[i];
            Pipe pipe;
            pipe.handle = NewHandle();
            pipe.endpointAddress = e.bEndpointAddress;
            pipe.type = static_cast<USBD_PIPE_TYPE>(e.bmAttributes & USB_ENDPOINT_TYPE_MASK);
            pipe.maximumPacketSize = e.wMaxPacketSize;
            pipe.interval = e.bInterval;
            pipe.interfaceNumber = entry.descriptor.bInterfaceNumber;
            port->pipes[pipe.handle] = pipe;
            USBD_PIPE_INFORMATION& out = info->Pipes[i];
            out.MaximumPacketSize = pipe.maximumPacketSize;
            out.EndpointAddress = pipe.endpointAddress;
            out.Interval = pipe.interval;
            out.PipeType = pipe.type;
            out.PipeHandle = pipe.handle;
            // MaximumTransferSize and PipeFlags are the caller's.
        }
    }
    t->urb->UrbSelectConfiguration.ConfigurationHandle = port->configurationHandle;
    AnswerTransfer(t, USBD_STATUS_SUCCESS, {}, 0, Settings().controlLatency);
}

void SendSetConfiguration(const TransferPtr& t, uint8_t value, std::vector<InterfacePlan> plan) {
    SendControlStep(t, SetConfiguration(value), {}, [t, value, plan = std::move(plan)](const ControlResult& r) {
        if (r.status != TransferStatus::Success) return Fail(t, UsbdStatusFromTransfer(r.status));
        Commit(t, value, plan);
    });
}

void OnWholeDescriptor(const TransferPtr& t, const ControlResult& r, uint16_t totalLength) {
    if (r.status != TransferStatus::Success) return Fail(t, UsbdStatusFromTransfer(r.status));
    if (r.data.size() < totalLength) return Fail(t, USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR);
    t->scratch = r.data;
    t->scratch.resize(totalLength);
    auto* device = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(t->scratch.data());
    PUSB_CONFIGURATION_DESCRIPTOR requested = t->urb->UrbSelectConfiguration.ConfigurationDescriptor;
    if (requested->bConfigurationValue != device->bConfigurationValue)
        return Fail(t, USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR);
    std::vector<InterfacePlan> plan;
    const USBD_STATUS status = Plan(t->urb, t->scratch, &plan);
    if (status != USBD_STATUS_SUCCESS) return Fail(t, status);
    SendSetConfiguration(t, device->bConfigurationValue, std::move(plan));
}

void OnDescriptorHeader(const TransferPtr& t, const ControlResult& r) {
    if (r.status != TransferStatus::Success) return Fail(t, UsbdStatusFromTransfer(r.status));
    if (r.data.size() < sizeof(USB_CONFIGURATION_DESCRIPTOR) || r.data[1] != USB_CONFIGURATION_DESCRIPTOR_TYPE)
        return Fail(t, USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR);
    const uint16_t total = static_cast<uint16_t>(r.data[2] | (r.data[3] << 8));
    if (total < sizeof(USB_CONFIGURATION_DESCRIPTOR)) return Fail(t, USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR);
    SendControlStep(t, GetConfigurationDescriptor(total), {},
                    [t, total](const ControlResult& whole) { OnWholeDescriptor(t, whole, total); });
}

void BeginSelect(const TransferPtr& t) {
    SendControlStep(t, GetConfigurationDescriptor(sizeof(USB_CONFIGURATION_DESCRIPTOR)), {},
                    [t](const ControlResult& r) { OnDescriptorHeader(t, r); });
}

void BeginDeconfigure(const TransferPtr& t) {
    SendControlStep(t, SetConfiguration(0), {}, [t](const ControlResult& r) {
        if (r.status != TransferStatus::Success) return Fail(t, UsbdStatusFromTransfer(r.status));
        if (Port* port = FindPort(t->pdo)) {
            ClosePipes(*port, USBD_STATUS_CANCELED);
            port->configurationValue = 0;
            port->configurationHandle = nullptr;
        }
        t->urb->UrbSelectConfiguration.ConfigurationHandle = nullptr;
        AnswerTransfer(t, USBD_STATUS_SUCCESS, {}, 0, Settings().controlLatency);
    });
}

}  // namespace

NTSTATUS SelectConfiguration(PIRP irp, PURB urb, Port& port) {
    if (KeGetCurrentIrql() > PASSIVE_LEVEL)
        BugCheck("IRQL_NOT_LESS_OR_EQUAL", "IOCTL_INTERNAL_USB_SUBMIT_URB",
                 "URB_FUNCTION_SELECT_CONFIGURATION URB " + Hex(reinterpret_cast<uintptr_t>(urb)) +
                     " submitted at IRQL " + std::to_string(KeGetCurrentIrql()) +
                     "; configurations are selected at PASSIVE_LEVEL only");
    PUSB_CONFIGURATION_DESCRIPTOR descriptor = urb->UrbSelectConfiguration.ConfigurationDescriptor;
    auto t = std::make_shared<Transfer>();
    t->irp = irp;
    t->urb = urb;
    t->pdo = port.pdo;
    t->function = URB_FUNCTION_SELECT_CONFIGURATION;
    t->transferType = kTransferControl;
    t->setup = SetConfiguration(descriptor != nullptr ? descriptor->bConfigurationValue : 0);
    t->begin = descriptor != nullptr ? BeginSelect : BeginDeconfigure;
    return StartTransfer(t);
}

void ClosePipes(Port& port, USBD_STATUS status) {
    std::vector<USBD_PIPE_HANDLE> handles;
    for (const auto& [handle, pipe] : port.pipes) handles.push_back(handle);
    for (USBD_PIPE_HANDLE handle : handles) AbortPipeTransfers(port.pdo, handle, status);
    port.pipes.clear();
}

}  // namespace harness::usb::detail
