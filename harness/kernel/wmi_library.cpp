// The WMI library (WMILIB.SYS): WmiSystemControl decodes a WMI request for
// the driver and calls its callbacks; WmiCompleteRequest builds the WNODE
// answer around what the callback wrote and completes the request.
//
// Behaviour as Microsoft documents it for WmiSystemControl and
// WmiCompleteRequest: a request whose ProviderId is another device object
// is IrpForward; registration requests are answered here and left to the
// driver to complete (IrpNotCompleted), as are requests the library
// refuses (unknown GUID, instance or buffer); a callback's
// STATUS_BUFFER_TOO_SMALL becomes a WNODE_TOO_SMALL naming the size
// needed, and the request then succeeds. Where the documentation is
// silent the choices are marked "harness choice".
//
// Stricter than Windows where Windows would corrupt memory later instead
// of stopping: a callback that claims more bytes than the buffer holds is
// reported at once (WMI_BUFFER_OVERRUN), as is an instance length larger
// than the data the callback says it wrote (WMI_INSTANCE_LENGTH_BEYOND_DATA).
#include <algorithm>
#include <cstddef>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "harness/kernel/harness_lock.h"
#include "harness/kernel/kernel.h"
#include "harness/kernel/verifier.h"
#include "harness/km/wdm.h"

namespace {

// What WmiCompleteRequest needs to know of a request a callback holds.
struct HeldRequest {
    UCHAR minor = 0;
    ULONG dataOffset = 0;            // where the callback's data starts in the WNODE
    std::vector<ULONG> lengths;      // the callback's instance lengths
};

std::map<PIRP, HeldRequest>& Held() {
    static std::map<PIRP, HeldRequest> held;
    return held;
}
void Reset() { Held().clear(); }
harness::ResetRegistration reset(harness::kResetWmi, &Reset);

// A callback of the driver, run with the harness lock set down.
template <typename Call>
NTSTATUS InDriver(Call call) {
    harness::DriverCallScope driverCode;
    return call();
}

constexpr ULONG AlignUp8(ULONG n) { return (n + 7) & ~7u; }

PUCHAR BufferOf(PIO_STACK_LOCATION stack) { return static_cast<PUCHAR>(stack->Parameters.WMI.Buffer); }

NTSTATUS NotCompleted(PIRP irp, NTSTATUS status, ULONG_PTR information, PSYSCTL_IRP_DISPOSITION disposition) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    *disposition = IrpNotCompleted;
    return status;
}

// The GUID's index in the driver's list, or -1.
LONG FindGuid(const WMILIB_CONTEXT* context, const GUID* guid) {
    if (guid == nullptr) return -1;
    for (ULONG i = 0; i < context->GuidCount; ++i)
        if (IsEqualGUID(*context->GuidList[i].Guid, *guid)) return static_cast<LONG>(i);
    return -1;
}

void PutCountedString(PUCHAR base, ULONG offset, const UNICODE_STRING& text) {
    const USHORT length = text.Length;
    std::memcpy(base + offset, &length, sizeof(length));
    if (length != 0) std::memcpy(base + offset + sizeof(USHORT), text.Buffer, length);
}

ULONG CountedSize(const UNICODE_STRING* text) {
    return text == nullptr || text->Length == 0 ? 0 : sizeof(USHORT) + text->Length;
}

void WriteTooSmall(PIO_STACK_LOCATION stack, ULONG sizeNeeded) {
    auto* tooSmall = reinterpret_cast<PWNODE_TOO_SMALL>(BufferOf(stack));
    tooSmall->WnodeHeader.BufferSize = sizeof(WNODE_TOO_SMALL);
    tooSmall->WnodeHeader.Flags |= WNODE_FLAG_TOO_SMALL;
    tooSmall->SizeNeeded = sizeNeeded;
}

// IRP_MN_REGINFO(_EX): one WMIREGINFO with the driver's GUIDs, then the
// registry path and the MOF resource name as counted strings.
NTSTATUS RegInfo(PWMILIB_CONTEXT context, PDEVICE_OBJECT device, PIRP irp, PSYSCTL_IRP_DISPOSITION disposition) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG regFlags = 0;
    UNICODE_STRING instanceName{};
    UNICODE_STRING mofName{};
    PUNICODE_STRING registryPath = nullptr;
    PDEVICE_OBJECT pdo = nullptr;
    if (context->QueryWmiRegInfo == nullptr) return NotCompleted(irp, STATUS_INVALID_DEVICE_REQUEST, 0, disposition);
    const NTSTATUS status = InDriver([&] { return context->QueryWmiRegInfo(device, &regFlags, &instanceName, &registryPath, &mofName, &pdo); });
    if (!NT_SUCCESS(status)) return NotCompleted(irp, status, 0, disposition);

    const ULONG guidsEnd = offsetof(WMIREGINFO, WmiRegGuid) + context->GuidCount * sizeof(WMIREGGUIDW);
    const ULONG pathOffset = guidsEnd;
    const ULONG mofOffset = pathOffset + CountedSize(registryPath);
    const ULONG total = mofOffset + CountedSize(&mofName);
    const ULONG size = stack->Parameters.WMI.BufferSize;
    if (BufferOf(stack) == nullptr || size < sizeof(WNODE_TOO_SMALL))
        return NotCompleted(irp, STATUS_BUFFER_TOO_SMALL, 0, disposition);
    if (size < total) {
        WriteTooSmall(stack, total);
        return NotCompleted(irp, STATUS_SUCCESS, sizeof(WNODE_TOO_SMALL), disposition);
    }
    PUCHAR base = BufferOf(stack);
    std::memset(base, 0, total);
    auto* info = reinterpret_cast<PWMIREGINFO>(base);
    info->BufferSize = total;
    info->GuidCount = context->GuidCount;
    info->RegistryPath = CountedSize(registryPath) != 0 ? pathOffset : 0;
    info->MofResourceName = CountedSize(&mofName) != 0 ? mofOffset : 0;
    for (ULONG i = 0; i < context->GuidCount; ++i) {
        WMIREGGUIDW& entry = info->WmiRegGuid[i];
        entry.Guid = *context->GuidList[i].Guid;
        entry.Flags = context->GuidList[i].Flags | regFlags;
        entry.InstanceCount = context->GuidList[i].InstanceCount;
        if (entry.Flags & WMIREG_FLAG_INSTANCE_PDO) entry.Pdo = reinterpret_cast<ULONG_PTR>(pdo);
    }
    if (info->RegistryPath != 0) PutCountedString(base, pathOffset, *registryPath);
    if (info->MofResourceName != 0) PutCountedString(base, mofOffset, mofName);
    return NotCompleted(irp, STATUS_SUCCESS, total, disposition);
}

NTSTATUS QueryAllData(PWMILIB_CONTEXT context, PDEVICE_OBJECT device, PIRP irp, ULONG index,
                      PSYSCTL_IRP_DISPOSITION disposition) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const ULONG size = stack->Parameters.WMI.BufferSize;
    if (BufferOf(stack) == nullptr || size < sizeof(WNODE_TOO_SMALL))
        return NotCompleted(irp, STATUS_BUFFER_TOO_SMALL, 0, disposition);
    const ULONG count = context->GuidList[index].InstanceCount;
    HeldRequest held;
    held.minor = IRP_MN_QUERY_ALL_DATA;
    held.dataOffset = AlignUp8(offsetof(WNODE_ALL_DATA, OffsetInstanceDataAndLength) +
                               count * sizeof(OFFSETINSTANCEDATAANDLENGTH));
    held.lengths.assign(count, 0);
    const ULONG avail = size > held.dataOffset ? size - held.dataOffset : 0;
    // Harness choice: no room, no pointer; a callback that writes anyway
    // faults here instead of corrupting the pool.
    PUCHAR data = avail != 0 ? BufferOf(stack) + held.dataOffset : nullptr;
    PULONG lengths = (Held()[irp] = std::move(held)).lengths.data();
    *disposition = IrpProcessed;
    return InDriver([&] { return context->QueryWmiDataBlock(device, irp, index, 0, count, lengths, avail, data); });
}

// The instance a single-instance request names. The port's blocks are
// named after its PDO, so WMI addresses them by index
// (WNODE_FLAG_STATIC_INSTANCE_NAMES); harness choice: dynamic names are
// refused.
bool InstanceOf(const WMILIB_CONTEXT* context, ULONG index, PWNODE_HEADER header, ULONG instanceIndex) {
    return (header->Flags & WNODE_FLAG_STATIC_INSTANCE_NAMES) != 0 &&
           instanceIndex < context->GuidList[index].InstanceCount;
}

template <typename Wnode>
bool DataFits(PIO_STACK_LOCATION stack, const Wnode* wnode) {
    const ULONG size = stack->Parameters.WMI.BufferSize;
    return size >= offsetof(Wnode, VariableData) && wnode->DataBlockOffset >= offsetof(Wnode, VariableData) &&
           wnode->DataBlockOffset <= size;
}

NTSTATUS QuerySingle(PWMILIB_CONTEXT context, PDEVICE_OBJECT device, PIRP irp, ULONG index,
                     PSYSCTL_IRP_DISPOSITION disposition) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    auto* wnode = reinterpret_cast<PWNODE_SINGLE_INSTANCE>(BufferOf(stack));
    if (wnode == nullptr || stack->Parameters.WMI.BufferSize < sizeof(WNODE_TOO_SMALL))
        return NotCompleted(irp, STATUS_BUFFER_TOO_SMALL, 0, disposition);
    if (!DataFits(stack, wnode)) return NotCompleted(irp, STATUS_INVALID_PARAMETER, 0, disposition);
    if (!InstanceOf(context, index, &wnode->WnodeHeader, wnode->InstanceIndex))
        return NotCompleted(irp, STATUS_WMI_INSTANCE_NOT_FOUND, 0, disposition);
    HeldRequest held;
    held.minor = IRP_MN_QUERY_SINGLE_INSTANCE;
    held.dataOffset = wnode->DataBlockOffset;
    held.lengths.assign(1, 0);
    const ULONG avail = stack->Parameters.WMI.BufferSize - held.dataOffset;
    PUCHAR data = avail != 0 ? BufferOf(stack) + held.dataOffset : nullptr;
    PULONG lengths = (Held()[irp] = std::move(held)).lengths.data();
    *disposition = IrpProcessed;
    return InDriver([&] { return context->QueryWmiDataBlock(device, irp, index, wnode->InstanceIndex, 1, lengths, avail, data); });
}

NTSTATUS ChangeSingle(PWMILIB_CONTEXT context, PDEVICE_OBJECT device, PIRP irp, ULONG index,
                      PSYSCTL_IRP_DISPOSITION disposition) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    auto* wnode = reinterpret_cast<PWNODE_SINGLE_INSTANCE>(BufferOf(stack));
    if (wnode == nullptr || !DataFits(stack, wnode) ||
        wnode->SizeDataBlock > stack->Parameters.WMI.BufferSize - wnode->DataBlockOffset)
        return NotCompleted(irp, STATUS_INVALID_PARAMETER, 0, disposition);
    if (!InstanceOf(context, index, &wnode->WnodeHeader, wnode->InstanceIndex))
        return NotCompleted(irp, STATUS_WMI_INSTANCE_NOT_FOUND, 0, disposition);
    // Harness choice: a driver without the callback refuses every set.
    if (context->SetWmiDataBlock == nullptr) return NotCompleted(irp, STATUS_INVALID_DEVICE_REQUEST, 0, disposition);
    Held()[irp].minor = IRP_MN_CHANGE_SINGLE_INSTANCE;
    *disposition = IrpProcessed;
    return InDriver([&] { return context->SetWmiDataBlock(device, irp, index, wnode->InstanceIndex, wnode->SizeDataBlock,
                                    BufferOf(stack) + wnode->DataBlockOffset); });
}

NTSTATUS ChangeItem(PWMILIB_CONTEXT context, PDEVICE_OBJECT device, PIRP irp, ULONG index,
                    PSYSCTL_IRP_DISPOSITION disposition) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    auto* wnode = reinterpret_cast<PWNODE_SINGLE_ITEM>(BufferOf(stack));
    if (wnode == nullptr || !DataFits(stack, wnode) ||
        wnode->SizeDataItem > stack->Parameters.WMI.BufferSize - wnode->DataBlockOffset)
        return NotCompleted(irp, STATUS_INVALID_PARAMETER, 0, disposition);
    if (!InstanceOf(context, index, &wnode->WnodeHeader, wnode->InstanceIndex))
        return NotCompleted(irp, STATUS_WMI_INSTANCE_NOT_FOUND, 0, disposition);
    if (context->SetWmiDataItem == nullptr) return NotCompleted(irp, STATUS_INVALID_DEVICE_REQUEST, 0, disposition);
    Held()[irp].minor = IRP_MN_CHANGE_SINGLE_ITEM;
    *disposition = IrpProcessed;
    return InDriver([&] { return context->SetWmiDataItem(device, irp, index, wnode->InstanceIndex, wnode->ItemId, wnode->SizeDataItem,
                                   BufferOf(stack) + wnode->DataBlockOffset); });
}

NTSTATUS ExecuteMethod(PWMILIB_CONTEXT context, PDEVICE_OBJECT device, PIRP irp, ULONG index,
                       PSYSCTL_IRP_DISPOSITION disposition) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    auto* wnode = reinterpret_cast<PWNODE_METHOD_ITEM>(BufferOf(stack));
    if (wnode == nullptr || stack->Parameters.WMI.BufferSize < sizeof(WNODE_TOO_SMALL) || !DataFits(stack, wnode) ||
        wnode->SizeDataBlock > stack->Parameters.WMI.BufferSize - wnode->DataBlockOffset)
        return NotCompleted(irp, STATUS_INVALID_PARAMETER, 0, disposition);
    if (!InstanceOf(context, index, &wnode->WnodeHeader, wnode->InstanceIndex))
        return NotCompleted(irp, STATUS_WMI_INSTANCE_NOT_FOUND, 0, disposition);
    if (context->ExecuteWmiMethod == nullptr) return NotCompleted(irp, STATUS_INVALID_DEVICE_REQUEST, 0, disposition);
    HeldRequest& held = Held()[irp];
    held.minor = IRP_MN_EXECUTE_METHOD;
    held.dataOffset = wnode->DataBlockOffset;
    *disposition = IrpProcessed;
    return InDriver([&] { return context->ExecuteWmiMethod(device, irp, index, wnode->InstanceIndex, wnode->MethodId, wnode->SizeDataBlock,
                                     stack->Parameters.WMI.BufferSize - wnode->DataBlockOffset,
                                     BufferOf(stack) + wnode->DataBlockOffset); });
}

NTSTATUS FunctionControl(PWMILIB_CONTEXT context, PDEVICE_OBJECT device, PIRP irp, ULONG index,
                         PSYSCTL_IRP_DISPOSITION disposition) {
    const UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    // Documented: without the callback the library answers success itself.
    if (context->WmiFunctionControl == nullptr) return NotCompleted(irp, STATUS_SUCCESS, 0, disposition);
    const bool events = minor == IRP_MN_ENABLE_EVENTS || minor == IRP_MN_DISABLE_EVENTS;
    const bool enable = minor == IRP_MN_ENABLE_EVENTS || minor == IRP_MN_ENABLE_COLLECTION;
    Held()[irp].minor = minor;
    *disposition = IrpProcessed;
    return InDriver([&] { return context->WmiFunctionControl(device, irp, index, events ? WmiEventControl : WmiDataBlockControl,
                                       enable ? TRUE : FALSE); });
}

// The answer of a query once the callback has written its data.
NTSTATUS FinishQuery(PIRP irp, const HeldRequest& held, NTSTATUS status, ULONG used) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const ULONG size = stack->Parameters.WMI.BufferSize;
    irp->IoStatus.Information = 0;
    if (status == STATUS_BUFFER_TOO_SMALL) {
        WriteTooSmall(stack, held.dataOffset + used);
        irp->IoStatus.Information = sizeof(WNODE_TOO_SMALL);
        return STATUS_SUCCESS;
    }
    if (!NT_SUCCESS(status)) return status;
    if (used > size - std::min(size, held.dataOffset)) {
        harness::BugCheck("WMI_BUFFER_OVERRUN", "WmiCompleteRequest",
                          "the callback reports " + std::to_string(used) + " bytes of data where the request's buffer has room for " +
                              std::to_string(size - std::min(size, held.dataOffset)));
        return status;
    }
    ULONG claimed = 0;
    for (ULONG length : held.lengths) claimed = AlignUp8(claimed) + length;
    if (claimed > used)
        harness::BugCheck("WMI_INSTANCE_LENGTH_BEYOND_DATA", "WmiCompleteRequest",
                          "instance lengths add up to " + std::to_string(claimed) + " bytes, but only " +
                              std::to_string(used) + " were written");
    auto* header = reinterpret_cast<PWNODE_HEADER>(BufferOf(stack));
    header->BufferSize = held.dataOffset + used;
    if (held.minor == IRP_MN_QUERY_ALL_DATA) {
        auto* all = reinterpret_cast<PWNODE_ALL_DATA>(header);
        all->DataBlockOffset = held.dataOffset;
        all->InstanceCount = static_cast<ULONG>(held.lengths.size());
        all->OffsetInstanceNameOffsets = 0;
        header->Flags |= WNODE_FLAG_ALL_DATA;
        if (held.lengths.size() == 1) {
            header->Flags |= WNODE_FLAG_FIXED_INSTANCE_SIZE;
            all->FixedInstanceSize = held.lengths[0];
        } else {
            ULONG offset = held.dataOffset;
            for (size_t i = 0; i < held.lengths.size(); ++i) {
                all->OffsetInstanceDataAndLength[i].OffsetInstanceData = offset;
                all->OffsetInstanceDataAndLength[i].LengthInstanceData = held.lengths[i];
                offset = AlignUp8(offset + held.lengths[i]);
            }
        }
    } else if (held.minor == IRP_MN_QUERY_SINGLE_INSTANCE) {
        reinterpret_cast<PWNODE_SINGLE_INSTANCE>(header)->SizeDataBlock = used;
    } else {
        reinterpret_cast<PWNODE_METHOD_ITEM>(header)->SizeDataBlock = used;
    }
    irp->IoStatus.Information = held.dataOffset + used;
    return status;
}

}  // namespace

NTSTATUS NTAPI WmiSystemControl(PWMILIB_CONTEXT WmiLibInfo, PDEVICE_OBJECT DeviceObject, PIRP Irp,
                                PSYSCTL_IRP_DISPOSITION IrpDisposition) {
    harness::HarnessScope harnessState;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    const UCHAR minor = stack->MinorFunction;
    if (minor > IRP_MN_REGINFO_EX || minor == IRP_MN_REGINFO_EX - 1) {
        *IrpDisposition = IrpNotWmi;
        return Irp->IoStatus.Status;
    }
    if (stack->Parameters.WMI.ProviderId != reinterpret_cast<ULONG_PTR>(DeviceObject)) {
        *IrpDisposition = IrpForward;
        return Irp->IoStatus.Status;
    }
    if (minor == IRP_MN_REGINFO || minor == IRP_MN_REGINFO_EX) return RegInfo(WmiLibInfo, DeviceObject, Irp, IrpDisposition);

    const LONG found = FindGuid(WmiLibInfo, static_cast<const GUID*>(stack->Parameters.WMI.DataPath));
    if (found < 0) return NotCompleted(Irp, STATUS_WMI_GUID_NOT_FOUND, 0, IrpDisposition);
    const ULONG index = static_cast<ULONG>(found);
    switch (minor) {
    case IRP_MN_QUERY_ALL_DATA: return QueryAllData(WmiLibInfo, DeviceObject, Irp, index, IrpDisposition);
    case IRP_MN_QUERY_SINGLE_INSTANCE: return QuerySingle(WmiLibInfo, DeviceObject, Irp, index, IrpDisposition);
    case IRP_MN_CHANGE_SINGLE_INSTANCE: return ChangeSingle(WmiLibInfo, DeviceObject, Irp, index, IrpDisposition);
    case IRP_MN_CHANGE_SINGLE_ITEM: return ChangeItem(WmiLibInfo, DeviceObject, Irp, index, IrpDisposition);
    case IRP_MN_EXECUTE_METHOD: return ExecuteMethod(WmiLibInfo, DeviceObject, Irp, index, IrpDisposition);
    default: return FunctionControl(WmiLibInfo, DeviceObject, Irp, index, IrpDisposition);
    }
}

NTSTATUS NTAPI WmiCompleteRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp, NTSTATUS Status, ULONG BufferUsed,
                                  CCHAR PriorityBoost) {
    harness::HarnessScope harnessState;
    UNREFERENCED_PARAMETER(DeviceObject);
    auto it = Held().find(Irp);
    if (it == Held().end()) {
        // Documented: the registration callback must not call it, and only
        // requests handed to a callback are completed through it.
        harness::BugCheck("WMI_COMPLETE_WITHOUT_CALLBACK", "WmiCompleteRequest",
                          "the request was not handed to a WMI callback by WmiSystemControl");
    } else {
        const HeldRequest held = std::move(it->second);
        Held().erase(it);
        const bool query = held.minor == IRP_MN_QUERY_ALL_DATA || held.minor == IRP_MN_QUERY_SINGLE_INSTANCE ||
                           held.minor == IRP_MN_EXECUTE_METHOD;
        if (query) Status = FinishQuery(Irp, held, Status, BufferUsed);
        else Irp->IoStatus.Information = 0;
    }
    Irp->IoStatus.Status = Status;
    IoCompleteRequest(Irp, PriorityBoost);
    return Status;
}
