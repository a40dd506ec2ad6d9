// From URB to bus transaction: the setup packet the host controller sends
// for each control function, and the endpoint of a bulk or interrupt URB.
#include <cstring>

#include "harness/kernel/verifier.h"
#include "harness/usb/host_controller.h"

namespace harness::usb::detail {
namespace {

constexpr uint8_t kDeviceToHost = 0x80;
constexpr uint8_t kTypeClass = 0x20;
constexpr uint8_t kTypeVendor = 0x40;

// The recipient of the Device/Interface/Endpoint/Other forms of a function.
struct FunctionShape {
    USHORT function;
    uint8_t requestType;  // direction (fixed functions), type and recipient
    uint8_t request;      // bRequest of standard requests
};

// Standard requests whose setup packet the stack builds from the URB.
constexpr FunctionShape kDescriptorFunctions[] = {
    {URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, 0x80, USB_REQUEST_GET_DESCRIPTOR},
    {URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE, 0x81, USB_REQUEST_GET_DESCRIPTOR},
    {URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT, 0x82, USB_REQUEST_GET_DESCRIPTOR},
    {URB_FUNCTION_SET_DESCRIPTOR_TO_DEVICE, 0x00, USB_REQUEST_SET_DESCRIPTOR},
    {URB_FUNCTION_SET_DESCRIPTOR_TO_INTERFACE, 0x01, USB_REQUEST_SET_DESCRIPTOR},
    {URB_FUNCTION_SET_DESCRIPTOR_TO_ENDPOINT, 0x02, USB_REQUEST_SET_DESCRIPTOR},
};
constexpr FunctionShape kFeatureFunctions[] = {
    {URB_FUNCTION_SET_FEATURE_TO_DEVICE, 0x00, USB_REQUEST_SET_FEATURE},
    {URB_FUNCTION_SET_FEATURE_TO_INTERFACE, 0x01, USB_REQUEST_SET_FEATURE},
    {URB_FUNCTION_SET_FEATURE_TO_ENDPOINT, 0x02, USB_REQUEST_SET_FEATURE},
    {URB_FUNCTION_SET_FEATURE_TO_OTHER, 0x03, USB_REQUEST_SET_FEATURE},
    {URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE, 0x00, USB_REQUEST_CLEAR_FEATURE},
    {URB_FUNCTION_CLEAR_FEATURE_TO_INTERFACE, 0x01, USB_REQUEST_CLEAR_FEATURE},
    {URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT, 0x02, USB_REQUEST_CLEAR_FEATURE},
    {URB_FUNCTION_CLEAR_FEATURE_TO_OTHER, 0x03, USB_REQUEST_CLEAR_FEATURE},
};
constexpr FunctionShape kStatusFunctions[] = {
    {URB_FUNCTION_GET_STATUS_FROM_DEVICE, 0x80, USB_REQUEST_GET_STATUS},
    {URB_FUNCTION_GET_STATUS_FROM_INTERFACE, 0x81, USB_REQUEST_GET_STATUS},
    {URB_FUNCTION_GET_STATUS_FROM_ENDPOINT, 0x82, USB_REQUEST_GET_STATUS},
    {URB_FUNCTION_GET_STATUS_FROM_OTHER, 0x83, USB_REQUEST_GET_STATUS},
};
// Vendor and class requests: type and recipient; the direction comes from
// TransferFlags and bRequest from the URB.
constexpr FunctionShape kVendorClassFunctions[] = {
    {URB_FUNCTION_VENDOR_DEVICE, kTypeVendor | 0x00, 0},
    {URB_FUNCTION_VENDOR_INTERFACE, kTypeVendor | 0x01, 0},
    {URB_FUNCTION_VENDOR_ENDPOINT, kTypeVendor | 0x02, 0},
    {URB_FUNCTION_VENDOR_OTHER, kTypeVendor | 0x03, 0},
    {URB_FUNCTION_CLASS_DEVICE, kTypeClass | 0x00, 0},
    {URB_FUNCTION_CLASS_INTERFACE, kTypeClass | 0x01, 0},
    {URB_FUNCTION_CLASS_ENDPOINT, kTypeClass | 0x02, 0},
    {URB_FUNCTION_CLASS_OTHER, kTypeClass | 0x03, 0},
};

template <size_t N>
const FunctionShape* Find(const FunctionShape (&table)[N], USHORT function) {
    for (const auto& shape : table)
        if (shape.function == function) return &shape;
    return nullptr;
}

TransferPtr NewControl(PURB urb, USHORT function, uint8_t requestType, uint8_t request, uint16_t value,
                       uint16_t index, PVOID buffer, ULONG length, bool shortOk) {
    auto t = std::make_shared<Transfer>();
    t->urb = urb;
    t->function = function;
    t->transferType = kTransferControl;
    t->in = (requestType & kDeviceToHost) != 0;
    t->buffer = static_cast<PUCHAR>(buffer);
    t->length = length;
    t->shortOk = shortOk;
    t->setup.requestType = requestType;
    t->setup.request = request;
    t->setup.value = value;
    t->setup.index = index;
    t->setup.length = static_cast<uint16_t>(length);
    t->endpoint = t->in ? 0x80 : 0x00;
    return t;
}

bool LengthFitsSetup(ULONG length, USBD_STATUS* status) {
    if (length <= 0xFFFF) return true;
    *status = USBD_STATUS_INVALID_PARAMETER;
    return false;
}

}  // namespace

size_t MinimumUrbLength(USHORT function) {
    if (Find(kDescriptorFunctions, function)) return sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST);
    if (Find(kFeatureFunctions, function)) return sizeof(struct _URB_CONTROL_FEATURE_REQUEST);
    if (Find(kStatusFunctions, function)) return sizeof(struct _URB_CONTROL_GET_STATUS_REQUEST);
    if (Find(kVendorClassFunctions, function)) return sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
    switch (function) {
    case URB_FUNCTION_SELECT_CONFIGURATION:
        return offsetof(struct _URB_SELECT_CONFIGURATION, Interface);
    case URB_FUNCTION_ABORT_PIPE:
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
    case URB_FUNCTION_SYNC_RESET_PIPE:
    case URB_FUNCTION_SYNC_CLEAR_STALL:
        return sizeof(struct _URB_PIPE_REQUEST);
    case URB_FUNCTION_GET_CURRENT_FRAME_NUMBER:
        return sizeof(struct _URB_GET_CURRENT_FRAME_NUMBER);
    case URB_FUNCTION_CONTROL_TRANSFER:
        return sizeof(struct _URB_CONTROL_TRANSFER);
    case URB_FUNCTION_CONTROL_TRANSFER_EX:
        return sizeof(struct _URB_CONTROL_TRANSFER_EX);
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
        return sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
    case URB_FUNCTION_GET_CONFIGURATION:
        return sizeof(struct _URB_CONTROL_GET_CONFIGURATION_REQUEST);
    case URB_FUNCTION_GET_INTERFACE:
        return sizeof(struct _URB_CONTROL_GET_INTERFACE_REQUEST);
    default:
        return 0;
    }
}

bool CheckTransferBuffer(PURB urb, PVOID buffer, PMDL mdl, ULONG length) {
    if (length == 0 || buffer != nullptr) return true;
    const std::string what = UrbFunctionName(urb->UrbHeader.Function) + " URB " + Hex(reinterpret_cast<uintptr_t>(urb));
    if (mdl != nullptr)
        BugCheck("USB_INVALID_URB", "IOCTL_INTERNAL_USB_SUBMIT_URB",
                 what + " describes its " + std::to_string(length) +
                     "-byte buffer only by an MDL (TransferBuffer null); this kernel has no MDLs");
    else
        BugCheck("USB_INVALID_URB", "IOCTL_INTERNAL_USB_SUBMIT_URB",
                 what + " has TransferBufferLength " + std::to_string(length) +
                     " but neither TransferBuffer nor TransferBufferMDL");
    return false;
}

TransferPtr DecodeControlUrb(PURB urb, Port& port, USBD_STATUS* status) {
    const USHORT function = urb->UrbHeader.Function;
    *status = USBD_STATUS_INVALID_PARAMETER;

    if (const FunctionShape* shape = Find(kDescriptorFunctions, function)) {
        auto& r = urb->UrbControlDescriptorRequest;
        if (!CheckTransferBuffer(urb, r.TransferBuffer, r.TransferBufferMDL, r.TransferBufferLength) ||
            !LengthFitsSetup(r.TransferBufferLength, status))
            return nullptr;
        const uint16_t value = static_cast<uint16_t>((r.DescriptorType << 8) | r.Index);
        return NewControl(urb, function, shape->requestType, shape->request, value, r.LanguageId, r.TransferBuffer,
                          r.TransferBufferLength, true);
    }
    if (const FunctionShape* shape = Find(kFeatureFunctions, function)) {
        auto& r = urb->UrbControlFeatureRequest;
        return NewControl(urb, function, shape->requestType, shape->request, r.FeatureSelector, r.Index, nullptr, 0,
                          false);
    }
    if (const FunctionShape* shape = Find(kStatusFunctions, function)) {
        auto& r = urb->UrbControlGetStatusRequest;
        if (!CheckTransferBuffer(urb, r.TransferBuffer, r.TransferBufferMDL, r.TransferBufferLength) ||
            !LengthFitsSetup(r.TransferBufferLength, status))
            return nullptr;
        return NewControl(urb, function, shape->requestType, shape->request, 0, r.Index, r.TransferBuffer,
                          r.TransferBufferLength, true);
    }
    if (const FunctionShape* shape = Find(kVendorClassFunctions, function)) {
        auto& r = urb->UrbControlVendorClassRequest;
        if (!CheckTransferBuffer(urb, r.TransferBuffer, r.TransferBufferMDL, r.TransferBufferLength) ||
            !LengthFitsSetup(r.TransferBufferLength, status))
            return nullptr;
        uint8_t requestType = shape->requestType | r.RequestTypeReservedBits;
        if (USBD_TRANSFER_DIRECTION(r.TransferFlags) == USBD_TRANSFER_DIRECTION_IN) requestType |= kDeviceToHost;
        return NewControl(urb, function, requestType, r.Request, r.Value, r.Index, r.TransferBuffer,
                          r.TransferBufferLength, (r.TransferFlags & USBD_SHORT_TRANSFER_OK) != 0);
    }
    switch (function) {
    case URB_FUNCTION_GET_CONFIGURATION: {
        auto& r = urb->UrbControlGetConfigurationRequest;
        if (!CheckTransferBuffer(urb, r.TransferBuffer, r.TransferBufferMDL, r.TransferBufferLength) ||
            !LengthFitsSetup(r.TransferBufferLength, status))
            return nullptr;
        return NewControl(urb, function, 0x80, USB_REQUEST_GET_CONFIGURATION, 0, 0, r.TransferBuffer,
                          r.TransferBufferLength, true);
    }
    case URB_FUNCTION_GET_INTERFACE: {
        auto& r = urb->UrbControlGetInterfaceRequest;
        if (!CheckTransferBuffer(urb, r.TransferBuffer, r.TransferBufferMDL, r.TransferBufferLength) ||
            !LengthFitsSetup(r.TransferBufferLength, status))
            return nullptr;
        return NewControl(urb, function, 0x81, USB_REQUEST_GET_INTERFACE, 0, r.Interface, r.TransferBuffer,
                          r.TransferBufferLength, true);
    }
    case URB_FUNCTION_CONTROL_TRANSFER:
    case URB_FUNCTION_CONTROL_TRANSFER_EX: {
        // _URB_CONTROL_TRANSFER and _URB_CONTROL_TRANSFER_EX agree up to
        // TransferBufferMDL and in the place of SetupPacket.
        auto& r = urb->UrbControlTransfer;
        if (!CheckTransferBuffer(urb, r.TransferBuffer, r.TransferBufferMDL, r.TransferBufferLength) ||
            !LengthFitsSetup(r.TransferBufferLength, status))
            return nullptr;
        // The default pipe, or a control pipe of the configuration.
        if (r.PipeHandle != nullptr && (r.TransferFlags & USBD_DEFAULT_PIPE_TRANSFER) == 0) {
            auto pipe = port.pipes.find(r.PipeHandle);
            if (pipe == port.pipes.end() || pipe->second.type != UsbdPipeTypeControl) {
                *status = USBD_STATUS_INVALID_PIPE_HANDLE;
                return nullptr;
            }
        }
        const UCHAR* raw = r.SetupPacket;
        uint8_t requestType = raw[0] & 0x7F;
        if (USBD_TRANSFER_DIRECTION(r.TransferFlags) == USBD_TRANSFER_DIRECTION_IN) requestType |= kDeviceToHost;
        auto t = NewControl(urb, function, requestType, raw[1], static_cast<uint16_t>(raw[2] | (raw[3] << 8)),
                            static_cast<uint16_t>(raw[4] | (raw[5] << 8)), r.TransferBuffer, r.TransferBufferLength,
                            (r.TransferFlags & USBD_SHORT_TRANSFER_OK) != 0);
        return t;
    }
    default:
        *status = USBD_STATUS_INVALID_URB_FUNCTION;
        return nullptr;
    }
}

TransferPtr DecodeStreamUrb(PURB urb, Port& port, USBD_STATUS* status) {
    auto& r = urb->UrbBulkOrInterruptTransfer;
    auto found = port.pipes.find(r.PipeHandle);
    if (found == port.pipes.end()) {
        *status = USBD_STATUS_INVALID_PIPE_HANDLE;
        return nullptr;
    }
    const Pipe& pipe = found->second;
    if (pipe.type != UsbdPipeTypeBulk && pipe.type != UsbdPipeTypeInterrupt) {
        *status = USBD_STATUS_INVALID_PARAMETER;
        return nullptr;
    }
    if (!CheckTransferBuffer(urb, r.TransferBuffer, r.TransferBufferMDL, r.TransferBufferLength)) {
        *status = USBD_STATUS_INVALID_PARAMETER;
        return nullptr;
    }
    auto t = std::make_shared<Transfer>();
    t->urb = urb;
    t->function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    t->transferType = pipe.type == UsbdPipeTypeBulk ? kTransferBulk : kTransferInterrupt;
    t->endpoint = pipe.endpointAddress;
    t->maxPacket = pipe.maximumPacketSize;
    t->interval = pipe.interval;
    // The endpoint decides the direction, whatever TransferFlags say.
    t->in = USB_ENDPOINT_DIRECTION_IN(pipe.endpointAddress) != 0;
    t->buffer = static_cast<PUCHAR>(r.TransferBuffer);
    t->length = r.TransferBufferLength;
    t->shortOk = (r.TransferFlags & USBD_SHORT_TRANSFER_OK) != 0;
    t->deviceRequestIsControl = false;
    return t;
}

}  // namespace harness::usb::detail
