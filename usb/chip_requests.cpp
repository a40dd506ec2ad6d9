// The common shape of every control request the driver sends on the
// default pipe, one small builder per request family: allocate one request
// block of the family's URB layout from non-paged pool, zero it, fill in the
// header and the setup fields, send it synchronously, read back the byte
// count of an IN transfer, free the block. Fields a request does not name
// stay zero (no MDL, no linked URB, no reserved request-type bits), and no
// control request accepts a short transfer.
//
// The USB stack derives the setup packet from the URB: a vendor request to
// the device is bmRequestType 0x40 (0xC0 when IN), a class request to
// interface 0 is 0x21, GET_DESCRIPTOR is 0x80 with bRequest 6, SET_FEATURE
// to the device is 0x00 with bRequest 3.
#include "driver/driver_globals.h"
#include "usb/chip_protocol.h"

namespace {

// A zeroed request block of layout T with its header filled in, or null.
template <typename T>
T* AllocateControlUrb(USHORT function) {
    T* urb = static_cast<T*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(T), PORT_POOL_TAG));
    if (urb == nullptr) return nullptr;
    RtlZeroMemory(urb, sizeof(T));
    urb->Hdr.Length = static_cast<USHORT>(sizeof(T));
    urb->Hdr.Function = function;
    return urb;
}

template <typename T>
NTSTATUS SendAndFree(PDEVICE_OBJECT deviceObject, T* urb, PULONG received) {
    const NTSTATUS status = SubmitUrbSync(deviceObject, reinterpret_cast<PURB>(urb));
    if (received != nullptr) *received = NT_SUCCESS(status) ? urb->TransferBufferLength : 0;
    ExFreePoolWithTag(urb, PORT_POOL_TAG);
    return status;
}

BOOLEAN VendorOrClassRequest(PDEVICE_OBJECT deviceObject, USHORT function, ULONG direction, UCHAR request,
                             USHORT value, USHORT index, PVOID buffer, ULONG length, NTSTATUS* status,
                             PULONG received) {
    auto* urb = AllocateControlUrb<struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST>(function);
    if (urb == nullptr) return FALSE;
    urb->TransferFlags = direction;
    urb->TransferBufferLength = length;
    urb->TransferBuffer = length != 0 ? buffer : nullptr;
    urb->Request = request;
    urb->Value = value;
    urb->Index = index;
    *status = SendAndFree(deviceObject, urb, received);
    return TRUE;
}

}  // namespace

BOOLEAN VendorWrite(PDEVICE_OBJECT deviceObject, USHORT value, USHORT index, NTSTATUS* status) {
    return VendorOrClassRequest(deviceObject, URB_FUNCTION_VENDOR_DEVICE, USBD_TRANSFER_DIRECTION_OUT,
                                CHIP_VENDOR_REQUEST, value, index, nullptr, 0, status, nullptr);
}

BOOLEAN VendorRead(PDEVICE_OBJECT deviceObject, USHORT value, PVOID buffer, ULONG length, NTSTATUS* status,
                   PULONG received) {
    return VendorOrClassRequest(deviceObject, URB_FUNCTION_VENDOR_DEVICE, USBD_TRANSFER_DIRECTION_IN,
                                CHIP_VENDOR_REQUEST, value, 0, buffer, length, status, received);
}

// Class requests go to interface 0, the communication interface in both
// layouts.
BOOLEAN ClassRequest(PDEVICE_OBJECT deviceObject, UCHAR request, USHORT value, PVOID data, ULONG length,
                     NTSTATUS* status) {
    return VendorOrClassRequest(deviceObject, URB_FUNCTION_CLASS_INTERFACE, USBD_TRANSFER_DIRECTION_OUT, request,
                                value, 0, data, length, status, nullptr);
}

BOOLEAN GetDescriptor(PDEVICE_OBJECT deviceObject, UCHAR descriptorType, UCHAR index, USHORT languageId,
                      PVOID buffer, ULONG length, NTSTATUS* status, PULONG received) {
    auto* urb = AllocateControlUrb<struct _URB_CONTROL_DESCRIPTOR_REQUEST>(URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE);
    if (urb == nullptr) return FALSE;
    urb->TransferBufferLength = length;
    urb->TransferBuffer = buffer;
    urb->DescriptorType = descriptorType;
    urb->Index = index;
    urb->LanguageId = languageId;
    *status = SendAndFree(deviceObject, urb, received);
    return TRUE;
}

BOOLEAN SetDeviceFeature(PDEVICE_OBJECT deviceObject, USHORT featureSelector, NTSTATUS* status) {
    auto* urb = AllocateControlUrb<struct _URB_CONTROL_FEATURE_REQUEST>(URB_FUNCTION_SET_FEATURE_TO_DEVICE);
    if (urb == nullptr) return FALSE;
    urb->FeatureSelector = featureSelector;
    urb->Index = 0;
    *status = SubmitUrbSync(deviceObject, reinterpret_cast<PURB>(urb));
    ExFreePoolWithTag(urb, PORT_POOL_TAG);
    return TRUE;
}

// The diagnostic tool's pipe transfers: one bulk or interrupt transfer on
// the pipe of a stream kind, sent and awaited like a control request. In
// the one-interface layout the three pipes of the interface are the status,
// bulk-out and bulk-in pipes in that order; the two-interface layout has
// the same three pipes spread over its two interfaces, and the transfer
// goes to the pipe of the same role there rather than to a pipe the first
// interface does not have.
BOOLEAN PipeTransfer(PDEVICE_OBJECT deviceObject, StreamKind kind, ULONG transferFlags, PVOID buffer, ULONG length,
                     NTSTATUS* status, PULONG transferred) {
    if (transferred != nullptr) *transferred = 0;
    USBD_PIPE_HANDLE pipe = StreamPipe(PortFromDevice(deviceObject), kind);
    if (pipe == nullptr) {
        *status = STATUS_INVALID_DEVICE_STATE;  // no configuration, or no copy of its pipes
        return TRUE;
    }
    auto* urb = static_cast<struct _URB_BULK_OR_INTERRUPT_TRANSFER*>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), PORT_POOL_TAG));
    if (urb == nullptr) return FALSE;
    RtlZeroMemory(urb, sizeof(*urb));
    urb->Hdr.Length = static_cast<USHORT>(sizeof(*urb));
    urb->Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    urb->PipeHandle = pipe;
    urb->TransferFlags = transferFlags;
    urb->TransferBufferLength = length;
    urb->TransferBuffer = length != 0 ? buffer : nullptr;
    *status = SendAndFree(deviceObject, urb, transferred);
    return TRUE;
}
