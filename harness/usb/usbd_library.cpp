// The USBD library routines of the host build (USBD.SYS on Windows):
// walking configuration descriptors and building select-configuration URBs.
#include <cstring>

#include "harness/kernel/pool.h"
#include "harness/km/wdm.h"

namespace {

const ULONG kUsbdTag = harness::pool::Tag("USBD");

// Room one interface takes in a select-configuration URB: its pipes, and
// never less than the record itself (an interface without endpoints keeps
// the one pipe slot the record declares).
size_t InterfaceRecordSize(const USB_INTERFACE_DESCRIPTOR* descriptor) {
    return GET_USBD_INTERFACE_SIZE(descriptor->bNumEndpoints > 0 ? descriptor->bNumEndpoints : 1);
}

}  // namespace

VOID NTAPI USBD_GetUSBDIVersion(PUSBD_VERSION_INFORMATION VersionInformation) {
    if (VersionInformation == nullptr) return;
    VersionInformation->USBDI_Version = 0x00000600;  // USBDI of Windows Vista and later
    VersionInformation->Supported_USB_Version = 0x0200;
}

PUSB_COMMON_DESCRIPTOR NTAPI USBD_ParseDescriptors(PVOID DescriptorBuffer, ULONG TotalLength, PVOID StartPosition,
                                                   LONG DescriptorType) {
    auto* p = static_cast<PUCHAR>(StartPosition);
    auto* const begin = static_cast<PUCHAR>(DescriptorBuffer);
    auto* const end = begin + TotalLength;
    if (p == nullptr || p < begin) return nullptr;
    // Every descriptor starts with its length and type; a zero length would
    // never move on, so it ends the walk.
    while (p + sizeof(USB_COMMON_DESCRIPTOR) <= end) {
        auto* descriptor = reinterpret_cast<PUSB_COMMON_DESCRIPTOR>(p);
        if (descriptor->bLength < sizeof(USB_COMMON_DESCRIPTOR) || p + descriptor->bLength > end) return nullptr;
        if (DescriptorType == -1 || descriptor->bDescriptorType == DescriptorType) return descriptor;
        p += descriptor->bLength;
    }
    return nullptr;
}

PUSB_INTERFACE_DESCRIPTOR NTAPI USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PVOID StartPosition, LONG InterfaceNumber,
    LONG AlternateSetting, LONG InterfaceClass, LONG InterfaceSubClass, LONG InterfaceProtocol) {
    if (ConfigurationDescriptor == nullptr) return nullptr;
    const ULONG total = ConfigurationDescriptor->wTotalLength;
    PVOID position = StartPosition;
    while (PUSB_COMMON_DESCRIPTOR found =
               USBD_ParseDescriptors(ConfigurationDescriptor, total, position, USB_INTERFACE_DESCRIPTOR_TYPE)) {
        auto* candidate = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(found);
        position = reinterpret_cast<PUCHAR>(found) + found->bLength;
        if (found->bLength < sizeof(USB_INTERFACE_DESCRIPTOR)) continue;
        if (InterfaceNumber != -1 && candidate->bInterfaceNumber != InterfaceNumber) continue;
        if (AlternateSetting != -1 && candidate->bAlternateSetting != AlternateSetting) continue;
        if (InterfaceClass != -1 && candidate->bInterfaceClass != InterfaceClass) continue;
        if (InterfaceSubClass != -1 && candidate->bInterfaceSubClass != InterfaceSubClass) continue;
        if (InterfaceProtocol != -1 && candidate->bInterfaceProtocol != InterfaceProtocol) continue;
        return candidate;
    }
    return nullptr;
}

PUSB_INTERFACE_DESCRIPTOR NTAPI USBD_ParseConfigurationDescriptor(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                                                 UCHAR InterfaceNumber, UCHAR AlternateSetting) {
    return USBD_ParseConfigurationDescriptorEx(ConfigurationDescriptor, ConfigurationDescriptor, InterfaceNumber,
                                               AlternateSetting, -1, -1, -1);
}

PURB NTAPI USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                             PUSBD_INTERFACE_LIST_ENTRY InterfaceList) {
    if (ConfigurationDescriptor == nullptr || InterfaceList == nullptr) return nullptr;
    size_t size = sizeof(struct _URB_SELECT_CONFIGURATION) - sizeof(USBD_INTERFACE_INFORMATION);
    size_t interfaces = 0;
    for (PUSBD_INTERFACE_LIST_ENTRY entry = InterfaceList; entry->InterfaceDescriptor != nullptr; ++entry) {
        size += InterfaceRecordSize(entry->InterfaceDescriptor);
        ++interfaces;
    }
    if (interfaces == 0) size = sizeof(struct _URB_SELECT_CONFIGURATION);
    if (size > 0xFFFF) return nullptr;  // Hdr.Length is 16 bits

    auto* urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, size, kUsbdTag));
    if (urb == nullptr) return nullptr;
    std::memset(urb, 0, size);
    urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb->UrbHeader.Length = static_cast<USHORT>(size);
    urb->UrbSelectConfiguration.ConfigurationDescriptor = ConfigurationDescriptor;

    auto* place = reinterpret_cast<PUCHAR>(&urb->UrbSelectConfiguration.Interface);
    for (PUSBD_INTERFACE_LIST_ENTRY entry = InterfaceList; entry->InterfaceDescriptor != nullptr; ++entry) {
        PUSB_INTERFACE_DESCRIPTOR descriptor = entry->InterfaceDescriptor;
        auto* info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(place);
        const size_t recordSize = InterfaceRecordSize(descriptor);
        info->Length = static_cast<USHORT>(recordSize);
        info->InterfaceNumber = descriptor->bInterfaceNumber;
        info->AlternateSetting = descriptor->bAlternateSetting;
        info->NumberOfPipes = descriptor->bNumEndpoints;
        for (ULONG i = 0; i < info->NumberOfPipes; ++i) {
            info->Pipes[i].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
            info->Pipes[i].PipeFlags = 0;
        }
        entry->Interface = info;
        place += recordSize;
    }
    return urb;
}

PURB NTAPI USBD_CreateConfigurationRequest(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PUSHORT Siz) {
    if (Siz != nullptr) *Siz = 0;
    PUSB_INTERFACE_DESCRIPTOR first = USBD_ParseConfigurationDescriptorEx(ConfigurationDescriptor, ConfigurationDescriptor,
                                                                          -1, -1, -1, -1, -1);
    if (first == nullptr) return nullptr;
    USBD_INTERFACE_LIST_ENTRY list[2] = {{first, nullptr}, {nullptr, nullptr}};
    PURB urb = USBD_CreateConfigurationRequestEx(ConfigurationDescriptor, list);
    if (urb != nullptr && Siz != nullptr) *Siz = urb->UrbHeader.Length;
    return urb;
}

ULONG NTAPI USBD_GetInterfaceLength(PUSB_INTERFACE_DESCRIPTOR InterfaceDescriptor, PUCHAR BufferEnd) {
    if (InterfaceDescriptor == nullptr) return 0;
    auto* p = reinterpret_cast<PUCHAR>(InterfaceDescriptor);
    ULONG length = 0;
    bool first = true;
    while (p + sizeof(USB_COMMON_DESCRIPTOR) <= BufferEnd) {
        auto* descriptor = reinterpret_cast<PUSB_COMMON_DESCRIPTOR>(p);
        if (descriptor->bLength < sizeof(USB_COMMON_DESCRIPTOR) || p + descriptor->bLength > BufferEnd) break;
        if (!first && descriptor->bDescriptorType == USB_INTERFACE_DESCRIPTOR_TYPE) break;
        first = false;
        length += descriptor->bLength;
        p += descriptor->bLength;
    }
    return length;
}
