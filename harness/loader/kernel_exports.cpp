// The harness's export table: for each kernel module a driver imports from,
// the names it exports and the harness routine behind each. Every entry is
// checked at compile time to have the calling convention Windows gives it
// (NTAPI, or FASTCALL where x86 Windows declares the routine __fastcall),
// so an image's call lands in a routine that reads its arguments where the
// image put them and leaves the stack as the image expects.
//
// Only names Windows exports appear here, and only for the processor and
// the module that export them (the toolchain's import libraries list the
// same). On x64 the IRQL routines (KeGetCurrentIrql, KeRaiseIrql,
// KeLowerIrql, KeRaiseIrqlToDpcLevel) are inline in wdm.h and compile to
// CR8 accesses (privileged_instructions.cpp), KeInitializeSpinLock is
// inline and the clocks (KeQuerySystemTime, KeQueryTickCount,
// KeQueryInterruptTime) are macros reading the shared user data page;
// ntoskrnl.exe does not export them there, and the stall and performance
// counter come from HAL.dll. ExInitializeFastMutex and IoSizeOfIrp are
// inline or macros on both processors. On x86 the IRQL routines, the spin
// locks' raising routines, the fast mutexes and the stall and performance
// counter come from HAL.dll (hal_exports.cpp), and ntoskrnl.exe exports
// neither KeAcquireSpinLockRaiseToDpc nor KeReleaseSpinLock (x86 wdm.h maps
// KeAcquireSpinLock and KeReleaseSpinLock to the HAL's KfAcquireSpinLock
// and KfReleaseSpinLock).
#include <cctype>
#include <type_traits>

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
#if !defined(KM_X64)
// On x64 FASTCALL is NTAPI, and these would be the same templates again.
template <typename R, typename... A>
constexpr ExportEntry Routine(const char* name, R(FASTCALL* routine)(A...)) {
    return {name, reinterpret_cast<const void*>(routine)};
}
#endif

#if defined(KM_X64)
#define EXPORT(name) Routine(#name, &name)
#else
// A structure or union returned by value comes back in EAX (EDX:EAX) from
// a Microsoft x86 compiler and through a hidden pointer from GCC on Linux
// (ntdef.h): such a routine is exported through a wrapper that returns the
// value as an integer (hal_exports.cpp), and this stops the build if a
// routine that needs one is exported directly.
template <typename R, typename... A>
constexpr bool ScalarReturn(R(NTAPI*)(A...)) { return !std::is_class_v<R> && !std::is_union_v<R>; }
template <typename R, typename... A>
constexpr bool ScalarReturn(R(NTAPI*)(A..., ...)) { return !std::is_class_v<R> && !std::is_union_v<R>; }
template <typename R, typename... A>
constexpr bool ScalarReturn(R(FASTCALL*)(A...)) { return !std::is_class_v<R> && !std::is_union_v<R>; }
#define EXPORT(name)                                                                                  \
    [] {                                                                                              \
        static_assert(ScalarReturn(&name), #name " returns a structure; export it through a wrapper"); \
        return Routine(#name, &name);                                                                 \
    }()
#endif

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
            EXPORT(IoWMIRegistrationControl),
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
            EXPORT(KeQueryTimeIncrement),
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
#if defined(KM_X64)
        t.insert(t.end(), {
            EXPORT(PoSetPowerState),
            EXPORT(KeAcquireSpinLockRaiseToDpc),
            EXPORT(KeReleaseSpinLock),
            EXPORT(ExAcquireFastMutex),
            EXPORT(ExReleaseFastMutex),
            EXPORT(ExTryToAcquireFastMutex),
        });
#else
        // Inline or macros reading the shared user data page on x64, exported
        // routines on x86.
        t.insert(t.end(), {
            EXPORT(KeInitializeSpinLock),
            EXPORT(KeQuerySystemTime),
            EXPORT(KeQueryTickCount),
            EXPORT(KeQueryInterruptTime),
        });
        const auto& x86 = X86NtoskrnlExports();
        t.insert(t.end(), x86.begin(), x86.end());
#endif
        const auto& crt = CrtExports();
        t.insert(t.end(), crt.begin(), crt.end());
        return t;
    }();
    return table;
}

#if defined(KM_X64)
// What an x64 driver for Windows 7 imports from HAL.dll (later versions of
// Windows forward these from HAL.dll to ntoskrnl.exe, so the HAL import
// loads everywhere, while the ntoskrnl.exe one would not load on Windows 7).
const std::vector<ExportEntry>& Hal64() {
    static const std::vector<ExportEntry> table = {
        EXPORT(KeQueryPerformanceCounter),
        EXPORT(KeStallExecutionProcessor),
    };
    return table;
}
#endif

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
#if defined(KM_X64)
                                          : SameName(dll, "HAL.dll")      ? &Hal64()
#else
                                          : SameName(dll, "HAL.dll")      ? &HalExports()
#endif
                                                                          : nullptr;
    if (table == nullptr) return nullptr;
    for (const ExportEntry& entry : *table)
        if (name == entry.name) return entry.address;  // routine names are case-sensitive
    return nullptr;
}

}  // namespace harness::loader
