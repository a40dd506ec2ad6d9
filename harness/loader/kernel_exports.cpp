// The harness's export table: for each kernel module a driver imports from,
// the names it exports and the harness routine behind each. Every entry is
// checked at compile time to have the Microsoft x64 calling convention
// (NTAPI), so an image's call lands in a routine that reads its arguments
// where the image put them.
//
// Only names Windows exports appear here. On x64 the IRQL routines
// (KeGetCurrentIrql, KeRaiseIrql, KeLowerIrql, KeRaiseIrqlToDpcLevel) are
// inline in wdm.h and compile to CR8 accesses (privileged_instructions.cpp);
// ntoskrnl.exe does not export them.
#include <cctype>

#include "harness/km/usb.h"
#include "harness/km/wdm.h"
#include "harness/km/wmilib.h"
#include "harness/loader/loader_internal.h"

namespace harness::loader {
namespace {

template <typename R, typename... A>
constexpr ExportEntry Routine(const char* name, R(NTAPI* routine)(A...)) {
    return {name, reinterpret_cast<const void*>(routine)};
}
template <typename R, typename... A>
constexpr ExportEntry Routine(const char* name, R(NTAPI* routine)(A..., ...)) {
    return {name, reinterpret_cast<const void*>(routine)};
}
#define EXPORT(name) Routine(#name, &name)

const std::vector<ExportEntry>& Ntoskrnl() {
    static const std::vector<ExportEntry> table = [] {
        std::vector<ExportEntry> t = {
            EXPORT(ExAllocatePoolWithTag),
            EXPORT(ExAllocatePoolWithQuotaTag),
            EXPORT(ExAllocatePool),
            EXPORT(ExFreePoolWithTag),
            EXPORT(ExFreePool),
            EXPORT(MmQuerySystemSize),
            EXPORT(MmLockPagableDataSection),
            EXPORT(MmLockPagableSectionByHandle),
            EXPORT(MmUnlockPagableImageSection),
            EXPORT(DbgPrint),
            EXPORT(IoCreateDevice),
            EXPORT(IoDeleteDevice),
            EXPORT(IoAttachDeviceToDeviceStack),
            EXPORT(IoDetachDevice),
            EXPORT(IoGetAttachedDevice),
            EXPORT(IoCreateSymbolicLink),
            EXPORT(IoDeleteSymbolicLink),
            EXPORT(IoRegisterDeviceInterface),
            EXPORT(IoSetDeviceInterfaceState),
            EXPORT(IoOpenDeviceRegistryKey),
            EXPORT(IoGetConfigurationInformation),
            EXPORT(IofCallDriver),
            EXPORT(IofCompleteRequest),
            EXPORT(IoAllocateIrp),
            EXPORT(IoFreeIrp),
            EXPORT(IoInitializeIrp),
            EXPORT(IoReuseIrp),
            EXPORT(IoSizeOfIrp),
            EXPORT(IoBuildDeviceIoControlRequest),
            EXPORT(IoCancelIrp),
            EXPORT(IoAcquireCancelSpinLock),
            EXPORT(IoReleaseCancelSpinLock),
            EXPORT(IoAllocateWorkItem),
            EXPORT(IoFreeWorkItem),
            EXPORT(IoQueueWorkItem),
            EXPORT(PoCallDriver),
            EXPORT(PoStartNextPowerIrp),
            EXPORT(PoRequestPowerIrp),
            EXPORT(PoSetPowerState),
            EXPORT(IoWMIRegistrationControl),
            EXPORT(KeInitializeSpinLock),
            EXPORT(KeAcquireSpinLockRaiseToDpc),
            EXPORT(KeReleaseSpinLock),
            EXPORT(KeAcquireSpinLockAtDpcLevel),
            EXPORT(KeReleaseSpinLockFromDpcLevel),
            EXPORT(KeInitializeDpc),
            EXPORT(KeInsertQueueDpc),
            EXPORT(KeRemoveQueueDpc),
            EXPORT(KeInitializeTimer),
            EXPORT(KeInitializeTimerEx),
            EXPORT(KeSetTimer),
            EXPORT(KeSetTimerEx),
            EXPORT(KeCancelTimer),
            EXPORT(KeReadStateTimer),
            EXPORT(KeInitializeEvent),
            EXPORT(KeSetEvent),
            EXPORT(KeClearEvent),
            EXPORT(KeResetEvent),
            EXPORT(KeReadStateEvent),
            EXPORT(KeWaitForSingleObject),
            EXPORT(KeDelayExecutionThread),
            EXPORT(KeInitializeMutex),
            EXPORT(KeReleaseMutex),
            EXPORT(KeReadStateMutex),
            EXPORT(ExInitializeFastMutex),
            EXPORT(ExAcquireFastMutex),
            EXPORT(ExReleaseFastMutex),
            EXPORT(ExTryToAcquireFastMutex),
            EXPORT(KeQuerySystemTime),
            EXPORT(KeQueryTickCount),
            EXPORT(KeQueryTimeIncrement),
            EXPORT(KeQueryInterruptTime),
            EXPORT(KeQueryPerformanceCounter),
            EXPORT(KeStallExecutionProcessor),
            EXPORT(RtlInitUnicodeString),
            EXPORT(RtlInitAnsiString),
            EXPORT(RtlInitString),
            EXPORT(RtlAppendUnicodeToString),
            EXPORT(RtlAppendUnicodeStringToString),
            EXPORT(RtlCopyUnicodeString),
            EXPORT(RtlIntegerToUnicodeString),
            EXPORT(RtlUnicodeStringToInteger),
            EXPORT(RtlUnicodeStringToAnsiString),
            EXPORT(RtlAnsiStringToUnicodeString),
            EXPORT(RtlFreeAnsiString),
            EXPORT(RtlFreeUnicodeString),
            EXPORT(RtlCompareUnicodeString),
            EXPORT(RtlEqualUnicodeString),
            EXPORT(RtlQueryRegistryValues),
            EXPORT(RtlWriteRegistryValue),
            EXPORT(RtlDeleteRegistryValue),
            EXPORT(RtlCheckRegistryKey),
            EXPORT(RtlCreateRegistryKey),
            EXPORT(ZwOpenKey),
            EXPORT(ZwQueryValueKey),
            EXPORT(ZwSetValueKey),
            EXPORT(ZwClose),
            EXPORT(ZwCreateKey),
            EXPORT(ZwDeleteValueKey),
        };
        const auto& crt = CrtExports();
        t.insert(t.end(), crt.begin(), crt.end());
        return t;
    }();
    return table;
}

const std::vector<ExportEntry>& Usbd() {
    static const std::vector<ExportEntry> table = {
        EXPORT(USBD_GetUSBDIVersion),
        EXPORT(USBD_ParseDescriptors),
        EXPORT(USBD_ParseConfigurationDescriptorEx),
        EXPORT(USBD_ParseConfigurationDescriptor),
        EXPORT(USBD_CreateConfigurationRequestEx),
        EXPORT(USBD_CreateConfigurationRequest),
        EXPORT(USBD_GetInterfaceLength),
    };
    return table;
}

const std::vector<ExportEntry>& Wmilib() {
    static const std::vector<ExportEntry> table = {
        EXPORT(WmiSystemControl),
        EXPORT(WmiCompleteRequest),
    };
    return table;
}

bool SameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

}  // namespace

const void* FindExport(std::string_view dll, std::string_view name) {
    const std::vector<ExportEntry>* table = SameName(dll, "ntoskrnl.exe") ? &Ntoskrnl()
                                          : SameName(dll, "USBD.SYS")     ? &Usbd()
                                          : SameName(dll, "WMILIB.SYS")   ? &Wmilib()
                                                                          : nullptr;
    if (table == nullptr) return nullptr;
    for (const ExportEntry& entry : *table)
        if (name == entry.name) return entry.address;  // routine names are case-sensitive
    return nullptr;
}

}  // namespace harness::loader
