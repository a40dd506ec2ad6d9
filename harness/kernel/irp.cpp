// I/O request packets: allocation, initialisation, reuse and freeing, and
// the record the I/O manager keeps of every live IRP (who owns it, where it
// was sent, whether it was completed) for its checks.
#include <cstdio>
#include <cstring>

#include "harness/kernel/harness_lock.h"
#include "harness/kernel/io_internal.h"
#include "harness/kernel/kernel.h"
#include "harness/kernel/verifier.h"

namespace harness::io {
namespace detail {
namespace {

struct IrpTable {
    std::map<const IRP*, IrpRecordPtr> live;
    std::set<const IRP*> freed;
    uint64_t nextSerial = 1;
    bool failNextAllocation = false;
};

IrpTable& State() {
    static IrpTable state;
    return state;
}

// Windows IoInitializeIrp: everything zero, the current stack location one
// past the last one, so that the first IoCallDriver moves onto the last.
void InitializeIrp(PIRP irp, USHORT packetSize, CCHAR stackSize) {
    std::memset(static_cast<void*>(irp), 0, packetSize);
    irp->Type = IO_TYPE_IRP;
    irp->Size = packetSize;
    irp->StackCount = stackSize;
    irp->CurrentLocation = CHAR(stackSize + 1);
    InitializeListHead(&irp->ThreadListEntry);
    irp->Tail.Overlay.CurrentStackLocation = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + stackSize;
}

void ResetTracking(IrpRecord& record) {
    record.inDriver = false;
    record.completed = false;
    record.generation++;
    record.lastTarget = nullptr;
    record.lastDriver = nullptr;
    record.locations.assign(size_t(record.irp->StackCount) + 2, LocationCheck{});
}

std::string Holder(const IrpRecord& record) {
    if (record.lastTarget == nullptr) return "never sent";
    return "last sent to " + DescribeDevice(record.lastTarget);
}

// Requests still alive at the end: an I/O manager request nobody completed,
// an IRP a driver sent and never got back, or one it allocated and never freed.
void CheckIrpsQuiescent() {
    for (auto& [irp, record] : State().live) {
        if (record->abandoned) continue;
        const std::string what = DescribeIrp(irp) + ", " + Holder(*record);
        if (record->origin == IrpOrigin::IoManager) {
            BugCheck("IRP_NEVER_COMPLETED", "VerifyQuiescent",
                     what + (record->inDriver ? ", was never completed"
                                              : ", is held by a driver after its completion routine returned "
                                                "STATUS_MORE_PROCESSING_REQUIRED and was never completed"));
        } else if (record->inDriver) {
            BugCheck("IRP_NEVER_COMPLETED", "VerifyQuiescent", what + ", was never completed");
        } else if (record->origin == IrpOrigin::Driver) {
            BugCheck("IRP_LEAKED", "VerifyQuiescent", what + ", was allocated with IoAllocateIrp and never freed");
        }
        record->abandoned = true;  // reported once
    }
}

void ResetIrps() { State() = IrpTable{}; }
ResetRegistration g_reset(kResetIo, &ResetIrps);
QuiesceCheckRegistration g_quiesce(&CheckIrpsQuiescent);

bool ConsumeAllocationFault() {
    bool fail = State().failNextAllocation;
    State().failNextAllocation = false;
    return fail;
}

}  // namespace

IrpRecordPtr FindIrp(const IRP* irp) {
    auto& live = State().live;
    auto it = live.find(irp);
    return it == live.end() ? nullptr : it->second;
}

bool WasFreed(const IRP* irp) { return State().freed.count(irp) != 0; }

PIRP NewIrp(CCHAR stackSize, IrpOrigin origin, std::string purpose) {
    if (stackSize < 1) stackSize = 1;
    const USHORT size = IoSizeOfIrp(stackSize);
    auto record = std::make_shared<IrpRecord>();
    record->memory.reset(new std::byte[size]);
    record->memorySize = size;
    PIRP irp = reinterpret_cast<PIRP>(record->memory.get());
    InitializeIrp(irp, size, stackSize);
    record->irp = irp;
    record->origin = origin;
    record->purpose = std::move(purpose);
    record->serial = State().nextSerial++;
    ResetTracking(*record);
    State().freed.erase(irp);
    State().live[irp] = std::move(record);
    return irp;
}

void ReleaseIrp(const IrpRecordPtr& record) {
    const IRP* irp = record->irp;
    record->freed = true;
    record->onComplete = nullptr;
    record->systemBuffer.reset();
    record->memory.reset();
    auto& state = State();
    state.live.erase(irp);
    state.freed.insert(irp);
}


bool TakeIrpAllocationFault() { return ConsumeAllocationFault(); }

}  // namespace detail

// --- Harness API ----------------------------------------------------------------

void FailNextIrpAllocation() { detail::State().failNextAllocation = true; }

PIRP AllocateIoManagerIrp(CCHAR stackSize, std::string purpose) {
    harness::HarnessScope harnessState;
    return detail::NewIrp(stackSize, IrpOrigin::IoManager, std::move(purpose));
}

PVOID AttachSystemBuffer(PIRP irp, ULONG size, const void* input, ULONG inputLength) {
    detail::IrpRecordPtr record = detail::FindIrp(irp);
    if (!record || size == 0) return nullptr;
    record->systemBuffer.reset(new uint8_t[size]);
    uint8_t* buffer = record->systemBuffer.get();
    std::memset(buffer, 0xA5, size);
    if (input != nullptr && inputLength > 0) std::memcpy(buffer, input, inputLength < size ? inputLength : size);
    irp->AssociatedIrp.SystemBuffer = buffer;
    return buffer;
}

void SetIoManagerCompletion(PIRP irp, PVOID userBuffer, ULONG userBufferLength,
                            std::function<void(PIRP)> onComplete, bool checkInformation) {
    detail::IrpRecordPtr record = detail::FindIrp(irp);
    if (!record) return;
    record->userBuffer = userBuffer;
    record->userBufferLength = userBufferLength;
    record->checkInformation = checkInformation;
    record->onComplete = std::move(onComplete);
}

bool IsLiveIrp(const IRP* irp) { return detail::FindIrp(irp) != nullptr; }

size_t LiveIrpCount() { return detail::State().live.size(); }

namespace {

// The stack location an IRP is at, or the one it will be sent with next.
const IO_STACK_LOCATION* InterestingLocation(const IRP* irp) {
    if (irp->CurrentLocation >= 1 && irp->CurrentLocation <= irp->StackCount)
        return irp->Tail.Overlay.CurrentStackLocation;
    if (irp->CurrentLocation == irp->StackCount + 1 && irp->StackCount >= 1)
        return irp->Tail.Overlay.CurrentStackLocation - 1;
    return nullptr;
}

}  // namespace

std::vector<IrpState> LiveIrps() {
    std::vector<IrpState> out;
    for (auto& [irp, record] : detail::State().live) {
        UCHAR major = record->lastMajor;
        if (record->lastTarget == nullptr) {
            const IO_STACK_LOCATION* location = InterestingLocation(irp);
            major = location ? location->MajorFunction : 0;
        }
        out.push_back(IrpState{record->irp, record->origin, record->purpose, record->inDriver, record->completed,
                               major, record->lastTarget});
    }
    return out;
}

std::string DescribeIrp(const IRP* irp) {
    detail::IrpRecordPtr record = detail::FindIrp(irp);
    std::string text = "IRP " + detail::PointerText(irp);
    if (!record) return text + (detail::WasFreed(irp) ? " (freed)" : " (not an IRP)");
    UCHAR major = record->lastMajor;
    ULONG code = record->lastIoControlCode;
    if (record->lastTarget == nullptr) {
        const IO_STACK_LOCATION* location = InterestingLocation(irp);
        major = location ? location->MajorFunction : 0;
        code = location ? location->Parameters.DeviceIoControl.IoControlCode : 0;
    }
    text += std::string(" (") + MajorFunctionName(major);
    if (major == IRP_MJ_DEVICE_CONTROL || major == IRP_MJ_INTERNAL_DEVICE_CONTROL)
        text += " code " + detail::Hex(code);
    return text + ", " + record->purpose + ")";
}

const char* MajorFunctionName(UCHAR major) {
    static const char* const kNames[] = {
        "IRP_MJ_CREATE",          "IRP_MJ_CREATE_NAMED_PIPE",
        "IRP_MJ_CLOSE",           "IRP_MJ_READ",
        "IRP_MJ_WRITE",           "IRP_MJ_QUERY_INFORMATION",
        "IRP_MJ_SET_INFORMATION", "IRP_MJ_QUERY_EA",
        "IRP_MJ_SET_EA",          "IRP_MJ_FLUSH_BUFFERS",
        "IRP_MJ_QUERY_VOLUME_INFORMATION", "IRP_MJ_SET_VOLUME_INFORMATION",
        "IRP_MJ_DIRECTORY_CONTROL", "IRP_MJ_FILE_SYSTEM_CONTROL",
        "IRP_MJ_DEVICE_CONTROL",  "IRP_MJ_INTERNAL_DEVICE_CONTROL",
        "IRP_MJ_SHUTDOWN",        "IRP_MJ_LOCK_CONTROL",
        "IRP_MJ_CLEANUP",         "IRP_MJ_CREATE_MAILSLOT",
        "IRP_MJ_QUERY_SECURITY",  "IRP_MJ_SET_SECURITY",
        "IRP_MJ_POWER",           "IRP_MJ_SYSTEM_CONTROL",
        "IRP_MJ_DEVICE_CHANGE",   "IRP_MJ_QUERY_QUOTA",
        "IRP_MJ_SET_QUOTA",       "IRP_MJ_PNP",
    };
    return major < RTL_NUMBER_OF(kNames) ? kNames[major] : "IRP_MJ_(invalid)";
}

namespace detail {

std::string PointerText(const void* p) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "0x%llx", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(p)));
    return buffer;
}

std::string Hex(uint64_t value) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "0x%llx", static_cast<unsigned long long>(value));
    return buffer;
}

void CheckIrql(KIRQL maximum, const char* routine) {
    KIRQL irql = KeGetCurrentIrql();
    if (irql > maximum) {
        BugCheck("IRQL_NOT_LESS_OR_EQUAL", routine,
                 std::string(routine) + " called at IRQL " + std::to_string(irql) + "; allowed up to " +
                     std::to_string(maximum));
    }
}

}  // namespace detail
}  // namespace harness::io

// Kernel routines, at global scope as drivers link against them.
using namespace harness::io;
using harness::BugCheck;

// --- Kernel routines ----------------------------------------------------------

USHORT IoSizeOfIrp(CCHAR StackSize) { return USHORT(sizeof(IRP) + StackSize * sizeof(IO_STACK_LOCATION)); }

PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota) {
    harness::HarnessScope harnessState;
    UNREFERENCED_PARAMETER(ChargeQuota);
    detail::CheckIrql(DISPATCH_LEVEL, "IoAllocateIrp");
    if (detail::TakeIrpAllocationFault()) return nullptr;
    return detail::NewIrp(StackSize, IrpOrigin::Driver, "IoAllocateIrp");
}

VOID IoInitializeIrp(PIRP Irp, USHORT PacketSize, CCHAR StackSize) {
    harness::HarnessScope harnessState;
    if (PacketSize < IoSizeOfIrp(StackSize)) {
        BugCheck("IRP_TOO_SMALL", "IoInitializeIrp",
                 std::to_string(PacketSize) + " bytes at " + detail::PointerText(Irp) + " cannot hold an IRP of " +
                     std::to_string(int(StackSize)) + " stack locations (IoSizeOfIrp = " +
                     std::to_string(IoSizeOfIrp(StackSize)) + ")");
        return;
    }
    detail::IrpRecordPtr record = detail::FindIrp(Irp);
    if (record && record->inDriver) {
        BugCheck("IRP_REUSED_WHILE_IN_USE", "IoInitializeIrp",
                 DescribeIrp(Irp) + " is still owned by " + detail::DescribeDevice(record->lastTarget));
        return;
    }
    if (record && record->memory && PacketSize > record->memorySize) {
        BugCheck("IRP_TOO_SMALL", "IoInitializeIrp",
                 DescribeIrp(Irp) + " was allocated with " + std::to_string(record->memorySize) +
                     " bytes, not " + std::to_string(PacketSize));
        return;
    }
    detail::InitializeIrp(Irp, PacketSize, StackSize);
    if (!record) {
        // An IRP in the driver's own memory: tracked so that it can be sent
        // and completed, never freed by IoFreeIrp.
        record = std::make_shared<detail::IrpRecord>();
        record->irp = Irp;
        record->origin = IrpOrigin::DriverMemory;
        record->purpose = "IoInitializeIrp on driver memory";
        auto& state = detail::State();
        record->serial = state.nextSerial++;
        state.freed.erase(Irp);
        state.live[Irp] = record;
    }
    detail::ResetTracking(*record);
}

VOID IoReuseIrp(PIRP Irp, NTSTATUS Iostatus) {
    harness::HarnessScope harnessState;
    detail::IrpRecordPtr record = detail::FindIrp(Irp);
    if (!record) {
        BugCheck("INVALID_IRP", "IoReuseIrp",
                 detail::PointerText(Irp) + (detail::WasFreed(Irp) ? " was already freed" : " is not an IRP"));
        return;
    }
    if (record->inDriver || Irp->CancelRoutine != nullptr || record->origin == IrpOrigin::IoManager) {
        BugCheck("IRP_REUSED_WHILE_IN_USE", "IoReuseIrp",
                 DescribeIrp(Irp) + (record->origin == IrpOrigin::IoManager
                                         ? " belongs to the I/O manager"
                                         : record->inDriver ? " was sent and has not been completed"
                                                            : " still has a cancel routine"));
        return;
    }
    const UCHAR allocationFlags = Irp->AllocationFlags;
    detail::InitializeIrp(Irp, Irp->Size, Irp->StackCount);
    Irp->AllocationFlags = allocationFlags;
    Irp->IoStatus.Status = Iostatus;
    detail::ResetTracking(*record);
}

VOID IoFreeIrp(PIRP Irp) {
    harness::HarnessScope harnessState;
    detail::CheckIrql(DISPATCH_LEVEL, "IoFreeIrp");
    detail::IrpRecordPtr record = detail::FindIrp(Irp);
    if (!record) {
        BugCheck("IRP_FREED_TWICE", "IoFreeIrp",
                 detail::PointerText(Irp) +
                     (detail::WasFreed(Irp) ? " was already freed" : " is not an IRP from IoAllocateIrp"));
        return;
    }
    if (record->origin == IrpOrigin::DriverMemory) {
        BugCheck("IRP_FREED_TWICE", "IoFreeIrp",
                 DescribeIrp(Irp) + " lives in the driver's own memory (IoInitializeIrp), not in an IoAllocateIrp block");
        return;
    }
    std::string why;
    if (record->origin == IrpOrigin::IoManager)
        why = " belongs to the I/O manager (" + record->purpose + "), which frees it when it is completed";
    else if (record->inDriver)
        why = " was sent to " + detail::DescribeDevice(record->lastTarget) + " and has not been completed";
    else if (Irp->CancelRoutine != nullptr)
        why = " still has cancel routine " + detail::PointerText(reinterpret_cast<const void*>(Irp->CancelRoutine));
    if (!why.empty()) {
        BugCheck("IRP_FREED_WHILE_IN_USE", "IoFreeIrp", DescribeIrp(Irp) + why);
        record->abandoned = true;  // reported; kept until reset
        return;
    }
    detail::ReleaseIrp(record);
}
