// What an x86 driver image imports from HAL.dll, and the fastcall routines
// the x86 ntoskrnl.exe exports in place of the x64 ones. x86 wdm.h turns
// KeAcquireSpinLock, KeReleaseSpinLock, KeRaiseIrql and KeLowerIrql into
// calls of the HAL's __fastcall KfAcquireSpinLock, KfReleaseSpinLock,
// KfRaiseIrql and KfLowerIrql, KeAcquireSpinLockAtDpcLevel into ntoskrnl's
// __fastcall KefAcquireSpinLockAtDpcLevel; KeGetCurrentIrql, the fast
// mutexes, KeStallExecutionProcessor and KeQueryPerformanceCounter live in
// the HAL there. Each entry here is the harness's routine itself where its
// declaration already has the x86 convention, or a small routine with the
// x86 convention that does what the harness's routine of the x64 name does
// (the verifier then names that routine in its reports: "KeReleaseSpinLock"
// for the image's KfReleaseSpinLock).
#include <cstring>

#include "harness/km/wdm.h"
#include "harness/loader/loader_internal.h"

#if !defined(KM_X64)

namespace harness::loader {
namespace {

KIRQL FASTCALL KfAcquireSpinLock(PKSPIN_LOCK SpinLock) { return KeAcquireSpinLockRaiseToDpc(SpinLock); }
VOID FASTCALL KfReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) { KeReleaseSpinLock(SpinLock, NewIrql); }
VOID FASTCALL KefAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) { KeAcquireSpinLockAtDpcLevel(SpinLock); }
VOID FASTCALL KefReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) { KeReleaseSpinLockFromDpcLevel(SpinLock); }

KIRQL FASTCALL KfRaiseIrql(KIRQL NewIrql) {
    KIRQL old;
    KeRaiseIrql(NewIrql, &old);
    return old;
}
VOID FASTCALL KfLowerIrql(KIRQL NewIrql) { KeLowerIrql(NewIrql); }

// Structures returned by value: a Microsoft compiler's caller expects one of
// up to 8 bytes in EAX or EDX:EAX, where GCC on Linux returns it through a
// hidden pointer that the callee pops (found by the x86 image's
// PoSetPowerState call, which left the stack 8 bytes off). An integer of
// the same size comes back in the same registers from both.
ULONGLONG NTAPI HalQueryPerformanceCounter(PLARGE_INTEGER PerformanceFrequency) {
    return static_cast<ULONGLONG>(KeQueryPerformanceCounter(PerformanceFrequency).QuadPart);
}

// POWER_STATE is a union: the same, as a 32-bit integer.
static_assert(sizeof(POWER_STATE) == sizeof(ULONG));
ULONG NTAPI X86PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type, POWER_STATE State) {
    const POWER_STATE old = PoSetPowerState(DeviceObject, Type, State);
    ULONG value;
    std::memcpy(&value, &old, sizeof value);
    return value;
}

template <typename R, typename... A>
ExportEntry Stdcall(const char* name, R(NTAPI* routine)(A...)) {
    return {name, reinterpret_cast<const void*>(routine)};
}
template <typename R, typename... A>
ExportEntry Fastcall(const char* name, R(FASTCALL* routine)(A...)) {
    return {name, reinterpret_cast<const void*>(routine)};
}

}  // namespace

const std::vector<ExportEntry>& HalExports() {
    static const std::vector<ExportEntry> table = {
        Stdcall("KeGetCurrentIrql", &KeGetCurrentIrql),
        Fastcall("KfRaiseIrql", &KfRaiseIrql),
        Fastcall("KfLowerIrql", &KfLowerIrql),
        Stdcall("KeRaiseIrqlToDpcLevel", &KeRaiseIrqlToDpcLevel),
        Fastcall("KfAcquireSpinLock", &KfAcquireSpinLock),
        Fastcall("KfReleaseSpinLock", &KfReleaseSpinLock),
        Fastcall("ExAcquireFastMutex", &ExAcquireFastMutex),
        Fastcall("ExReleaseFastMutex", &ExReleaseFastMutex),
        Fastcall("ExTryToAcquireFastMutex", &ExTryToAcquireFastMutex),
        Stdcall("KeStallExecutionProcessor", &KeStallExecutionProcessor),
        Stdcall("KeQueryPerformanceCounter", &HalQueryPerformanceCounter),
    };
    return table;
}

const std::vector<ExportEntry>& X86NtoskrnlExports() {
    static const std::vector<ExportEntry> table = {
        Fastcall("KefAcquireSpinLockAtDpcLevel", &KefAcquireSpinLockAtDpcLevel),
        Fastcall("KefReleaseSpinLockFromDpcLevel", &KefReleaseSpinLockFromDpcLevel),
        Stdcall("PoSetPowerState", &X86PoSetPowerState),
    };
    return table;
}

}  // namespace harness::loader

#endif  // !KM_X64
