// USBD status codes: how the USB stack turns a URB's status into the
// completion status of the IRP that carried it, and names for messages.
#include <cstdio>

#include "harness/usb/host_controller.h"

namespace harness::usb::detail {

NTSTATUS NtStatusFromUsbd(USBD_STATUS status) {
    switch (status) {
    case USBD_STATUS_SUCCESS:
        return STATUS_SUCCESS;
    case USBD_STATUS_CANCELED:
        return STATUS_CANCELLED;
    case USBD_STATUS_DEVICE_GONE:
        return STATUS_DEVICE_NOT_CONNECTED;
    case USBD_STATUS_INVALID_PARAMETER:
    case USBD_STATUS_INVALID_URB_FUNCTION:
    case USBD_STATUS_INVALID_PIPE_HANDLE:
    case USBD_STATUS_BUFFER_TOO_SMALL:
    case USBD_STATUS_INTERFACE_NOT_FOUND:
    case USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR:
    case USBD_STATUS_BAD_DESCRIPTOR:
        return STATUS_INVALID_PARAMETER;
    case USBD_STATUS_INSUFFICIENT_RESOURCES:
    case USBD_STATUS_NO_MEMORY:
        return STATUS_INSUFFICIENT_RESOURCES;
    case USBD_STATUS_NOT_SUPPORTED:
        return STATUS_NOT_SUPPORTED;
    case USBD_STATUS_ERROR_BUSY:
        return STATUS_DEVICE_BUSY;
    default:
        return STATUS_UNSUCCESSFUL;
    }
}

USBD_STATUS UsbdStatusFromTransfer(TransferStatus status) {
    switch (status) {
    case TransferStatus::Success:
        return USBD_STATUS_SUCCESS;
    case TransferStatus::Stall:
        return USBD_STATUS_STALL_PID;
    case TransferStatus::Error:
        return USBD_STATUS_XACT_ERROR;
    case TransferStatus::Cancelled:
        return USBD_STATUS_CANCELED;
    case TransferStatus::DeviceGone:
        return USBD_STATUS_DEVICE_GONE;
    case TransferStatus::Babble:
        return USBD_STATUS_BABBLE_DETECTED;
    }
    return USBD_STATUS_INTERNAL_HC_ERROR;
}

std::string Hex(uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
    return text;
}

std::string UrbFunctionName(USHORT function) {
    switch (function) {
    case URB_FUNCTION_SELECT_CONFIGURATION: return "URB_FUNCTION_SELECT_CONFIGURATION";
    case URB_FUNCTION_SELECT_INTERFACE: return "URB_FUNCTION_SELECT_INTERFACE";
    case URB_FUNCTION_ABORT_PIPE: return "URB_FUNCTION_ABORT_PIPE";
    case URB_FUNCTION_GET_CURRENT_FRAME_NUMBER: return "URB_FUNCTION_GET_CURRENT_FRAME_NUMBER";
    case URB_FUNCTION_CONTROL_TRANSFER: return "URB_FUNCTION_CONTROL_TRANSFER";
    case URB_FUNCTION_CONTROL_TRANSFER_EX: return "URB_FUNCTION_CONTROL_TRANSFER_EX";
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: return "URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER";
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: return "URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE";
    case URB_FUNCTION_SET_FEATURE_TO_DEVICE: return "URB_FUNCTION_SET_FEATURE_TO_DEVICE";
    case URB_FUNCTION_GET_STATUS_FROM_DEVICE: return "URB_FUNCTION_GET_STATUS_FROM_DEVICE";
    case URB_FUNCTION_VENDOR_DEVICE: return "URB_FUNCTION_VENDOR_DEVICE";
    case URB_FUNCTION_VENDOR_INTERFACE: return "URB_FUNCTION_VENDOR_INTERFACE";
    case URB_FUNCTION_CLASS_DEVICE: return "URB_FUNCTION_CLASS_DEVICE";
    case URB_FUNCTION_CLASS_INTERFACE: return "URB_FUNCTION_CLASS_INTERFACE";
    default: return "URB function " + Hex(function);
    }
}

}  // namespace harness::usb::detail
