#include "harness/app/wmi_client.h"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstring>
#include <memory>

#include "harness/kernel/dispatcher.h"
#include "harness/kernel/harness_lock.h"
#include "harness/kernel/kernel.h"
#include "harness/kernel/verifier.h"
#include "harness/kernel/wmi_registration.h"

namespace harness::app::wmi {
namespace {

constexpr ULONG AlignUp8(ULONG n) { return (n + 7) & ~7u; }

constexpr ULONG kSingleDataOffset = AlignUp8(offsetof(WNODE_SINGLE_INSTANCE, VariableData));
constexpr ULONG kItemDataOffset = AlignUp8(offsetof(WNODE_SINGLE_ITEM, VariableData));
// The first WNODE of a query leaves this much room for the data; larger
// blocks come back as WNODE_TOO_SMALL and are asked for again.
constexpr ULONG kFirstDataRoom = 8;
// Bytes after the WNODE that nothing may write.
constexpr size_t kGuardBytes = 64;
constexpr uint8_t kGuardFill = 0xA5;

template <typename T>
T Read(const std::vector<uint8_t>& buffer, size_t offset) {
    T value{};
    if (offset + sizeof(T) <= buffer.size()) std::memcpy(&value, buffer.data() + offset, sizeof(T));
    return value;
}

std::vector<uint8_t> Slice(const std::vector<uint8_t>& buffer, size_t offset, size_t length) {
    if (offset > buffer.size()) return {};
    length = std::min(length, buffer.size() - offset);
    return std::vector<uint8_t>(buffer.begin() + offset, buffer.begin() + offset + length);
}

std::u16string CountedString(const std::vector<uint8_t>& buffer, ULONG offset) {
    if (offset == 0) return u"";
    const auto bytes = Read<USHORT>(buffer, offset);
    std::vector<uint8_t> text = Slice(buffer, offset + sizeof(USHORT), bytes);
    return std::u16string(reinterpret_cast<const char16_t*>(text.data()), text.size() / sizeof(char16_t));
}

struct Completion {
    // Set by the completion on any processor; read by the wait's condition,
    // which runs without the harness lock.
    std::atomic<bool> done{false};
    std::vector<uint8_t> abandonedBuffer;  // the WNODE of a request that never came back
};
// Completion records of requests that never came back (a hang was
// reported): their routine may still run later, so they outlive Send and
// go with the machine's reset.
std::vector<std::unique_ptr<Completion>>& Abandoned() {
    static std::vector<std::unique_ptr<Completion>> abandoned;
    return abandoned;
}
void ForgetAbandoned() { Abandoned().clear(); }
ResetRegistration resetAbandoned(kResetWmi, &ForgetAbandoned);
NTSTATUS NTAPI RequestDone(PDEVICE_OBJECT, PIRP, PVOID context) {
    static_cast<Completion*>(context)->done.store(true, std::memory_order_release);
    dispatcher::NotifyWaiters();
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// WMI knows a provider only while it is registered.
bool Registered(PDEVICE_OBJECT provider) { return ::harness::wmi::IsRegistered(provider); }

Answer NotRegistered() {
    Answer answer;
    answer.status = STATUS_WMI_GUID_NOT_FOUND;
    return answer;
}

void ReadTooSmall(const std::vector<uint8_t>& wnode, Answer* answer) {
    const auto header = Read<WNODE_HEADER>(wnode, 0);
    answer->tooSmall = NT_SUCCESS(answer->status) && (header.Flags & WNODE_FLAG_TOO_SMALL) != 0;
    if (answer->tooSmall) answer->sizeNeeded = Read<ULONG>(wnode, offsetof(WNODE_TOO_SMALL, SizeNeeded));
}

std::vector<uint8_t> SingleInstanceWnode(const GUID& guid, ULONG instanceIndex, ULONG size) {
    std::vector<uint8_t> wnode(size, 0);
    WNODE_SINGLE_INSTANCE head{};
    head.WnodeHeader.BufferSize = size;
    head.WnodeHeader.Guid = guid;
    head.WnodeHeader.Flags = WNODE_FLAG_SINGLE_INSTANCE | WNODE_FLAG_STATIC_INSTANCE_NAMES;
    head.InstanceIndex = instanceIndex;
    head.DataBlockOffset = kSingleDataOffset;
    std::memcpy(wnode.data(), &head, std::min<size_t>(size, offsetof(WNODE_SINGLE_INSTANCE, VariableData)));
    return wnode;
}

Answer QuerySingleOnce(PDEVICE_OBJECT provider, const GUID& guid, ULONG instanceIndex, ULONG size) {
    std::vector<uint8_t> wnode = SingleInstanceWnode(guid, instanceIndex, size);
    GUID path = guid;
    const Outcome outcome =
        Send(provider, reinterpret_cast<ULONG_PTR>(provider), IRP_MN_QUERY_SINGLE_INSTANCE, &path, wnode);
    Answer answer;
    answer.status = outcome.status;
    answer.information = outcome.information;
    answer.requests = 1;
    answer.dataOffset = kSingleDataOffset;
    ReadTooSmall(wnode, &answer);
    if (NT_SUCCESS(answer.status) && !answer.tooSmall) {
        const auto head = Read<WNODE_SINGLE_INSTANCE>(wnode, 0);
        answer.instances.push_back(Slice(wnode, head.DataBlockOffset, head.SizeDataBlock));
    }
    return answer;
}

Answer QueryAllOnce(PDEVICE_OBJECT provider, const GUID& guid, ULONG size) {
    std::vector<uint8_t> wnode(size, 0);
    WNODE_HEADER head{};
    head.BufferSize = size;
    head.Guid = guid;
    std::memcpy(wnode.data(), &head, std::min<size_t>(size, sizeof(head)));
    GUID path = guid;
    const Outcome outcome = Send(provider, reinterpret_cast<ULONG_PTR>(provider), IRP_MN_QUERY_ALL_DATA, &path, wnode);
    Answer answer;
    answer.status = outcome.status;
    answer.information = outcome.information;
    answer.requests = 1;
    ReadTooSmall(wnode, &answer);
    if (!NT_SUCCESS(answer.status) || answer.tooSmall) return answer;
    const auto all = Read<WNODE_ALL_DATA>(wnode, 0);
    answer.dataOffset = all.DataBlockOffset;
    const bool fixed = (all.WnodeHeader.Flags & WNODE_FLAG_FIXED_INSTANCE_SIZE) != 0;
    ULONG offset = all.DataBlockOffset;
    for (ULONG i = 0; i < all.InstanceCount && i < 64; ++i) {
        const size_t entry = offsetof(WNODE_ALL_DATA, OffsetInstanceDataAndLength) + i * sizeof(OFFSETINSTANCEDATAANDLENGTH);
        const auto where = Read<OFFSETINSTANCEDATAANDLENGTH>(wnode, entry);
        const ULONG length = fixed ? all.FixedInstanceSize : where.LengthInstanceData;
        answer.instances.push_back(Slice(wnode, fixed ? offset : where.OffsetInstanceData, length));
        offset = AlignUp8(offset + length);
    }
    return answer;
}

template <typename Query>
Answer WithRetry(ULONG firstSize, std::optional<ULONG> wnodeSize, Query query) {
    if (wnodeSize) return query(*wnodeSize);
    Answer answer = query(firstSize);
    if (!answer.tooSmall || answer.sizeNeeded <= firstSize) return answer;
    Answer again = query(answer.sizeNeeded);
    again.requests += answer.requests;
    return again;
}

NTSTATUS SendChange(PDEVICE_OBJECT provider, const GUID& guid, UCHAR minor, std::vector<uint8_t> wnode) {
    if (!Registered(provider)) return STATUS_WMI_GUID_NOT_FOUND;
    GUID path = guid;
    return Send(provider, reinterpret_cast<ULONG_PTR>(provider), minor, &path, wnode).status;
}

}  // namespace

const std::vector<uint8_t>& Answer::Data() const {
    static const std::vector<uint8_t> none;
    return instances.empty() ? none : instances.front();
}

std::vector<PDEVICE_OBJECT> Providers() {
    HarnessScope harnessState;
    return ::harness::wmi::Providers();
}

ULONG SingleInstanceWnodeSize(ULONG dataBytes) { return kSingleDataOffset + dataBytes; }

Outcome Send(PDEVICE_OBJECT device, ULONG_PTR providerId, UCHAR minor, PVOID dataPath, std::vector<uint8_t>& buffer) {
    HarnessScope harnessState;
    PDEVICE_OBJECT top = IoGetAttachedDevice(device);
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->RequestorMode = KernelMode;
    // The WMI service's own buffer, with guard bytes behind it.
    std::vector<uint8_t> kernel(buffer.size() + kGuardBytes, kGuardFill);
    std::copy(buffer.begin(), buffer.end(), kernel.begin());
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = IRP_MJ_SYSTEM_CONTROL;
    stack->MinorFunction = minor;
    stack->Parameters.WMI.ProviderId = providerId;
    stack->Parameters.WMI.DataPath = dataPath;
    stack->Parameters.WMI.BufferSize = static_cast<ULONG>(buffer.size());
    stack->Parameters.WMI.Buffer = buffer.empty() ? nullptr : kernel.data();
    auto completion = std::make_unique<Completion>();
    IoSetCompletionRoutine(irp, RequestDone, completion.get(), TRUE, TRUE, TRUE);
    Outcome outcome;
    outcome.dispatched = IoCallDriver(top, irp);
    // A WMI request nobody completes blocks the WMI service's thread for
    // good: reported as WAIT_HANG.
    dispatcher::RunUntil([&] { return completion->done.load(std::memory_order_acquire); }, std::nullopt, "harness::app::wmi::Send",
                         "completion of a WMI request (IRP_MJ_SYSTEM_CONTROL)");
    if (!completion->done.load(std::memory_order_acquire)) {
        // The IRP, its buffer and its completion record stay with whoever
        // holds the request.
        completion->abandonedBuffer = std::move(kernel);
        Abandoned().push_back(std::move(completion));
        return outcome;
    }
    outcome.status = irp->IoStatus.Status;
    outcome.information = irp->IoStatus.Information;
    IoFreeIrp(irp);
    if (std::any_of(kernel.begin() + buffer.size(), kernel.end(), [](uint8_t b) { return b != kGuardFill; }))
        BugCheck("WMI_BUFFER_OVERRUN", "IRP_MJ_SYSTEM_CONTROL",
                 "bytes after the " + std::to_string(buffer.size()) + "-byte WNODE buffer were written");
    std::copy(kernel.begin(), kernel.begin() + buffer.size(), buffer.begin());
    return outcome;
}

Registration QueryRegistration(PDEVICE_OBJECT provider) {
    HarnessScope harnessState;
    Registration registration;
    if (!Registered(provider)) {
        registration.status = STATUS_WMI_GUID_NOT_FOUND;
        return registration;
    }
    ULONG size = sizeof(WNODE_TOO_SMALL);
    std::vector<uint8_t> info;
    for (int attempt = 0; attempt < 2; ++attempt) {
        info.assign(size, 0);
        const Outcome outcome = Send(provider, reinterpret_cast<ULONG_PTR>(provider), IRP_MN_REGINFO,
                                     reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(WMIREGISTER)), info);
        ++registration.requests;
        registration.status = outcome.status;
        if (!NT_SUCCESS(outcome.status)) return registration;
        const auto header = Read<WNODE_HEADER>(info, 0);
        if (outcome.information != sizeof(WNODE_TOO_SMALL) || !(header.Flags & WNODE_FLAG_TOO_SMALL)) break;
        size = Read<ULONG>(info, offsetof(WNODE_TOO_SMALL, SizeNeeded));
    }
    const ULONG count = Read<ULONG>(info, offsetof(WMIREGINFO, GuidCount));
    for (ULONG i = 0; i < count && i < 64; ++i) {
        const auto entry = Read<WMIREGGUIDW>(info, offsetof(WMIREGINFO, WmiRegGuid) + i * sizeof(WMIREGGUIDW));
        registration.guids.push_back({entry.Guid, entry.Flags, entry.InstanceCount,
                                      (entry.Flags & WMIREG_FLAG_INSTANCE_PDO) ? reinterpret_cast<PDEVICE_OBJECT>(entry.Pdo) : nullptr});
    }
    registration.registryPath = CountedString(info, Read<ULONG>(info, offsetof(WMIREGINFO, RegistryPath)));
    registration.mofResourceName = CountedString(info, Read<ULONG>(info, offsetof(WMIREGINFO, MofResourceName)));
    return registration;
}

Answer QuerySingleInstance(PDEVICE_OBJECT provider, const GUID& guid, ULONG instanceIndex,
                           std::optional<ULONG> wnodeSize) {
    HarnessScope harnessState;
    if (!Registered(provider)) return NotRegistered();
    return WithRetry(SingleInstanceWnodeSize(kFirstDataRoom), wnodeSize,
                     [&](ULONG size) { return QuerySingleOnce(provider, guid, instanceIndex, size); });
}

Answer QueryAllData(PDEVICE_OBJECT provider, const GUID& guid, std::optional<ULONG> wnodeSize) {
    HarnessScope harnessState;
    if (!Registered(provider)) return NotRegistered();
    return WithRetry(static_cast<ULONG>(sizeof(WNODE_ALL_DATA)) + kFirstDataRoom, wnodeSize,
                     [&](ULONG size) { return QueryAllOnce(provider, guid, size); });
}

NTSTATUS SetSingleInstance(PDEVICE_OBJECT provider, const GUID& guid, ULONG instanceIndex,
                           std::span<const uint8_t> data) {
    HarnessScope harnessState;
    std::vector<uint8_t> wnode = SingleInstanceWnode(guid, instanceIndex, SingleInstanceWnodeSize(static_cast<ULONG>(data.size())));
    const ULONG size = static_cast<ULONG>(data.size());
    std::memcpy(wnode.data() + offsetof(WNODE_SINGLE_INSTANCE, SizeDataBlock), &size, sizeof(size));
    std::copy(data.begin(), data.end(), wnode.begin() + kSingleDataOffset);
    return SendChange(provider, guid, IRP_MN_CHANGE_SINGLE_INSTANCE, std::move(wnode));
}

NTSTATUS SetSingleItem(PDEVICE_OBJECT provider, const GUID& guid, ULONG instanceIndex, ULONG itemId,
                       std::span<const uint8_t> data) {
    HarnessScope harnessState;
    std::vector<uint8_t> wnode(kItemDataOffset + data.size(), 0);
    WNODE_SINGLE_ITEM head{};
    head.WnodeHeader.BufferSize = static_cast<ULONG>(wnode.size());
    head.WnodeHeader.Guid = guid;
    head.WnodeHeader.Flags = WNODE_FLAG_SINGLE_ITEM | WNODE_FLAG_STATIC_INSTANCE_NAMES;
    head.InstanceIndex = instanceIndex;
    head.ItemId = itemId;
    head.DataBlockOffset = kItemDataOffset;
    head.SizeDataItem = static_cast<ULONG>(data.size());
    std::memcpy(wnode.data(), &head, offsetof(WNODE_SINGLE_ITEM, VariableData));
    std::copy(data.begin(), data.end(), wnode.begin() + kItemDataOffset);
    return SendChange(provider, guid, IRP_MN_CHANGE_SINGLE_ITEM, std::move(wnode));
}

}  // namespace harness::app::wmi
