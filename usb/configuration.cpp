// The USB configuration of the chip and the pipes of its three streams.
//
// The chip comes in two layouts: one interface carrying all three
// endpoints (interrupt in, bulk out, bulk in, in that order), or a
// communication interface with the interrupt-in endpoint and a data
// interface with the bulk-out and bulk-in endpoints. At start the driver
// reads the configuration descriptor, selects configuration 1 with it and
// keeps non-paged copies of the resulting interface information, whose
// pipe handles (taken by position, in endpoint-descriptor order) are all it
// uses of them. Nothing selects another configuration or an alternate
// setting later, and no pipe is ever reset or aborted.
#include "driver/driver_globals.h"
#include "usb/chip_protocol.h"

namespace {

constexpr LONG kAny = -1;
constexpr ULONG kConfigurationHeaderLength = sizeof(USB_CONFIGURATION_DESCRIPTOR);

// Classes each interface of the two-interface layout must have: the
// CDC-like generation 0 must look like a CDC ACM device; every later
// generation, and a chip whose generation stayed unknown, is taken with
// any classes (its generation-gated requests are refused anyway, and
// refusing the device would leave a working port unusable).
struct InterfaceFilter {
    LONG interfaceClass;
    LONG subClass;
    LONG protocol;
};
struct LayoutFilter {
    InterfaceFilter communication;  // interface 0
    InterfaceFilter data;           // interface 1
};
const LayoutFilter kClassFilter[2] = {
    {{0x02, 0x02, kAny}, {0x0A, 0x00, 0x00}},
    {{kAny, kAny, kAny}, {kAny, kAny, kAny}},
};

const LayoutFilter& FilterFor(LONG chipType) { return kClassFilter[chipType == CHIP_GEN_CLASS ? 0 : 1]; }

// A non-paged copy of an interface's information after selection, as long
// as its own Length field says; null if the pool is exhausted (the port
// then has no pipe on that interface and keeps going).
PUSBD_INTERFACE_INFORMATION CopyInterfaceInformation(const USBD_INTERFACE_INFORMATION* source) {
    if (source == nullptr || source->Length < FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes)) return nullptr;
    PUSBD_INTERFACE_INFORMATION copy = static_cast<PUSBD_INTERFACE_INFORMATION>(
        ExAllocatePoolWithTag(NonPagedPool, source->Length, PORT_POOL_TAG));
    if (copy != nullptr) RtlCopyMemory(copy, source, source->Length);
    return copy;
}

void ReplaceInterfaceCopy(PUSBD_INTERFACE_INFORMATION* field, PUSBD_INTERFACE_INFORMATION copy) {
    if (*field != nullptr) ExFreePoolWithTag(*field, PORT_POOL_TAG);
    *field = copy;
}

// Pipe `index` of an interface copy; null if there is no copy or no such
// pipe inside the copy.
USBD_PIPE_HANDLE PipeOf(const USBD_INTERFACE_INFORMATION* info, ULONG index) {
    if (info == nullptr || index >= info->NumberOfPipes) return nullptr;
    const ULONG end = FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes) + (index + 1) * sizeof(USBD_PIPE_INFORMATION);
    if (end > info->Length) return nullptr;
    return info->Pipes[index].PipeHandle;
}

USHORT TotalLengthOf(const UCHAR* descriptor) {
    return static_cast<USHORT>(descriptor[2] | (descriptor[3] << 8));
}

}  // namespace

NTSTATUS ReadDeviceConfiguration(PDEVICE_OBJECT deviceObject) {
    // The 9-byte header first, for wTotalLength.
    UCHAR header[kConfigurationHeaderLength];
    ULONG received = 0;
    NTSTATUS status;
    if (!GetDescriptor(deviceObject, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, header, sizeof(header), &status,
                       &received))
        return STATUS_NO_MEMORY;
    if (!NT_SUCCESS(status)) return status;
    // The lengths come from the device: a header that is short or claims
    // less than itself cannot be parsed.
    const ULONG totalLength = TotalLengthOf(header);
    if (received < kConfigurationHeaderLength || totalLength < kConfigurationHeaderLength)
        return STATUS_DEVICE_DATA_ERROR;

    PUCHAR descriptor = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, totalLength, PORT_POOL_TAG));
    if (descriptor == nullptr) return STATUS_NO_MEMORY;
    if (!GetDescriptor(deviceObject, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, descriptor, totalLength, &status,
                       &received)) {
        ExFreePoolWithTag(descriptor, PORT_POOL_TAG);
        return STATUS_NO_MEMORY;
    }
    // The parsers walk wTotalLength bytes of the copy: it must all have
    // arrived, and the device must not claim more the second time.
    if (NT_SUCCESS(status) && (received != totalLength || TotalLengthOf(descriptor) != totalLength))
        status = STATUS_DEVICE_DATA_ERROR;
    if (NT_SUCCESS(status))
        status = SelectConfiguration(deviceObject, reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(descriptor));
    ExFreePoolWithTag(descriptor, PORT_POOL_TAG);  // the descriptor is not kept
    return status;
}

NTSTATUS SelectConfiguration(PDEVICE_OBJECT deviceObject, PUSB_CONFIGURATION_DESCRIPTOR descriptor) {
    if (descriptor == nullptr || descriptor->bNumInterfaces == 0) return STATUS_INVALID_PARAMETER;
    PortExtension* port = PortFromDevice(deviceObject);
    if (descriptor->bNumInterfaces == 1) port->singleInterface = 1;
    return port->singleInterface ? SelectSingleInterface(deviceObject, descriptor)
                                 : SelectTwoInterfaces(deviceObject, descriptor);
}

NTSTATUS SelectSingleInterface(PDEVICE_OBJECT deviceObject, PUSB_CONFIGURATION_DESCRIPTOR descriptor) {
    PortExtension* port = PortFromDevice(deviceObject);
    USHORT size = 0;
    PURB urb = USBD_CreateConfigurationRequest(descriptor, &size);
    if (urb == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    if (USBD_ParseConfigurationDescriptorEx(descriptor, descriptor, kAny, kAny, kAny, kAny, kAny) == nullptr) {
        ExFreePool(urb);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb->UrbHeader.Length = size;
    urb->UrbSelectConfiguration.ConfigurationDescriptor = descriptor;

    // The copy of an earlier start holds handles of that selection: it goes
    // whatever this one gives.
    const NTSTATUS status = SubmitUrbSync(deviceObject, urb);
    ReplaceInterfaceCopy(&port->interfaceInfo0,
                         NT_SUCCESS(status) ? CopyInterfaceInformation(&urb->UrbSelectConfiguration.Interface) : nullptr);
    ExFreePool(urb);  // built by the USB library, untagged
    return status;
}

// One selection for both interfaces; both copies are made after it. (The
// selection is not sent a second time.)
NTSTATUS SelectTwoInterfaces(PDEVICE_OBJECT deviceObject, PUSB_CONFIGURATION_DESCRIPTOR descriptor) {
    PortExtension* port = PortFromDevice(deviceObject);
    const LayoutFilter& filter = FilterFor(port->chipType);

    const ULONG entries = descriptor->bNumInterfaces + 1u;
    const SIZE_T listBytes = entries * sizeof(USBD_INTERFACE_LIST_ENTRY);
    PUSBD_INTERFACE_LIST_ENTRY list =
        static_cast<PUSBD_INTERFACE_LIST_ENTRY>(ExAllocatePoolWithTag(PagedPool, listBytes, PORT_POOL_TAG));
    if (list == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(list, listBytes);  // entry 2 (and any beyond) ends the list

    list[0].InterfaceDescriptor =
        USBD_ParseConfigurationDescriptorEx(descriptor, descriptor, 0, 0, filter.communication.interfaceClass,
                                            filter.communication.subClass, filter.communication.protocol);
    list[1].InterfaceDescriptor = USBD_ParseConfigurationDescriptorEx(
        descriptor, descriptor, 1, 0, filter.data.interfaceClass, filter.data.subClass, filter.data.protocol);
    if (list[0].InterfaceDescriptor == nullptr || list[1].InterfaceDescriptor == nullptr) {
        ExFreePoolWithTag(list, PORT_POOL_TAG);
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    PURB urb = USBD_CreateConfigurationRequestEx(descriptor, list);
    if (urb == nullptr) {
        ExFreePoolWithTag(list, PORT_POOL_TAG);
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    // Copies are taken only from a selection that succeeded (the pipe
    // handles of a failed one mean nothing); a failed selection is reported
    // as STATUS_INSUFFICIENT_RESOURCES.
    NTSTATUS status = SubmitUrbSync(deviceObject, urb);
    const BOOLEAN selected = NT_SUCCESS(status);
    ReplaceInterfaceCopy(&port->interfaceInfo0, selected ? CopyInterfaceInformation(list[0].Interface) : nullptr);
    ReplaceInterfaceCopy(&port->interfaceInfo1, selected ? CopyInterfaceInformation(list[1].Interface) : nullptr);
    if (!selected) status = STATUS_INSUFFICIENT_RESOURCES;
    ExFreePoolWithTag(list, PORT_POOL_TAG);
    ExFreePool(urb);  // built by the USB library, untagged
    return status;
}

USBD_PIPE_HANDLE StreamPipe(const PortExtension* port, StreamKind kind) {
    const BOOLEAN single = port->singleInterface;
    switch (kind) {
    case STREAM_STATUS:
        return PipeOf(port->interfaceInfo0, 0);
    case STREAM_BULK_OUT:
        return single ? PipeOf(port->interfaceInfo0, 1) : PipeOf(port->interfaceInfo1, 0);
    case STREAM_BULK_IN:
        return single ? PipeOf(port->interfaceInfo0, 2) : PipeOf(port->interfaceInfo1, 1);
    }
    return nullptr;
}

void FreeUsbConfiguration(PortExtension* port) {
    ReplaceInterfaceCopy(&port->interfaceInfo0, nullptr);
    ReplaceInterfaceCopy(&port->interfaceInfo1, nullptr);
    if (port->deviceDescriptor != nullptr) {
        ExFreePoolWithTag(port->deviceDescriptor, PORT_POOL_TAG);
        port->deviceDescriptor = nullptr;
    }
}
