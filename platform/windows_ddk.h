// The kernel, USB and WMI interface of the Windows driver builds: the DDK
// headers of the mingw-w64 toolchain, plus what those headers lack or
// spell differently from the kernel's own names and values.
//
// Included only through platform/platform.h. Driver code includes nothing
// from the DDK directly, so every fix-up below is made once, here.
#pragma once

#if !defined(_WIN32)
#error "windows_ddk.h is for the Windows driver builds; the host build uses harness/km/wdm.h"
#endif

// wdm.h defines InterlockedBitTestAndSet/InterlockedBitTestAndReset as
// static inline functions, and the intrinsics header it includes defines
// them again; C++ rejects the second definition. Marking the intrinsic
// versions as already defined keeps wdm.h's, which do the same locked
// bit-test-and-set/-reset.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset

// ntddk.h and wdm.h, wmilib.h and ntddser.h declare their routines inside
// extern "C" themselves; the USB headers do not, and without it the USBD
// library routines would be looked up under C++ names that USBD.SYS does
// not export.
#include <ntddk.h>
#include <ntddser.h>
#include <wmilib.h>
#include <wmistr.h>
#include <wmidata.h>
extern "C" {
#include <usb.h>
#include <usbdi.h>
#include <usbioctl.h>
#include <usbdlib.h>
}

// --- Acquire loads -----------------------------------------------------------
// ReadAcquire and ReadPointerAcquire came with the Windows 10 wdm.h; the
// mingw-w64 headers lack them. On x86 and x64 an aligned load already has
// acquire order: the compiler only must not move accesses across it.
inline LONG ReadAcquire(LONG const volatile* source) { return __atomic_load_n(source, __ATOMIC_ACQUIRE); }
inline PVOID ReadPointerAcquire(PVOID const volatile* source) { return __atomic_load_n(source, __ATOMIC_ACQUIRE); }

// --- Spin locks --------------------------------------------------------------
// Driver code writes KeAcquireSpinLock/KeReleaseSpinLock on both processors.
// On x86 wdm.h maps them to the HAL's fastcall KfAcquireSpinLock and
// KfReleaseSpinLock (imported from HAL.dll); on x64 to ntoskrnl's
// KeAcquireSpinLockRaiseToDpc and KeReleaseSpinLock. Stop the build if a
// future header drops either spelling.
#if !defined(KeAcquireSpinLock)
#error "the DDK headers no longer define KeAcquireSpinLock as a macro"
#endif
// The x64 kernel exports KeAcquireSpinLockRaiseToDpc; on x86 the HAL's
// KfAcquireSpinLock does the same (raise to DISPATCH_LEVEL, return the old
// IRQL), and mingw-w64 declares no x86 spelling of the name.
#if defined(_X86_) && !defined(KeAcquireSpinLockRaiseToDpc)
#define KeAcquireSpinLockRaiseToDpc(SpinLock) KfAcquireSpinLock(SpinLock)
#endif

// --- Pool ----------------------------------------------------------------
// Without POOL_TAGGING wdm.h turns ExAllocatePoolWithQuotaTag and
// ExAllocatePoolWithTag into macros that drop the tag and call the untagged
// routines. ntoskrnl exports the tagged routines (the import libraries
// carry them on both processors) and wdm.h declares them, so always call
// the real ones: every allocation then carries the driver's tag.
#if defined(ExAllocatePoolWithQuotaTag)
#undef ExAllocatePoolWithQuotaTag
#endif
#if defined(ExAllocatePoolWithTag)
#undef ExAllocatePoolWithTag
#endif
#if !defined(POOL_QUOTA_FAIL_INSTEAD_OF_RAISE)
#define POOL_QUOTA_FAIL_INSTEAD_OF_RAISE 8
#endif

// --- Registry --------------------------------------------------------------
// Type checking of RTL_QUERY_REGISTRY_DIRECT values (Windows Vista SP1 and
// later): with RTL_QUERY_REGISTRY_TYPECHECK set, the expected REG_* type
// sits in the top byte of DefaultType, and a value of another type fails
// the query instead of overrunning the caller's buffer.
#if !defined(RTL_QUERY_REGISTRY_TYPECHECK)
#define RTL_QUERY_REGISTRY_TYPECHECK 0x00000100
#endif
#if !defined(RTL_QUERY_REGISTRY_TYPECHECK_SHIFT)
#define RTL_QUERY_REGISTRY_TYPECHECK_SHIFT 24
#endif

// wdm.h declares only the pointer type of a query routine; drivers declare
// their routines with the routine type, as for every other callback.
typedef NTSTATUS NTAPI RTL_QUERY_REGISTRY_ROUTINE(PWSTR ValueName, ULONG ValueType, PVOID ValueData,
                                                   ULONG ValueLength, PVOID Context, PVOID EntryContext);

// --- Serial port control codes -------------------------------------------
// Missing from mingw-w64's ntddser.h (the last one is only in its user-mode
// winioctl.h); values as the serial port interface defines them.
#if !defined(IOCTL_SERIAL_GET_COMMCONFIG)
#define IOCTL_SERIAL_GET_COMMCONFIG CTL_CODE(FILE_DEVICE_SERIAL_PORT, 33, METHOD_BUFFERED, FILE_ANY_ACCESS)
#endif
#if !defined(IOCTL_SERIAL_SET_COMMCONFIG)
#define IOCTL_SERIAL_SET_COMMCONFIG CTL_CODE(FILE_DEVICE_SERIAL_PORT, 34, METHOD_BUFFERED, FILE_ANY_ACCESS)
#endif
#if !defined(IOCTL_SERENUM_EXPOSE_HARDWARE)
#define IOCTL_SERENUM_EXPOSE_HARDWARE CTL_CODE(FILE_DEVICE_SERENUM, 128, METHOD_BUFFERED, FILE_ANY_ACCESS)
#endif

// --- Routine types --------------------------------------------------------
// wdm.h declares only the pointer type of an APC routine.
typedef VOID NTAPI IO_APC_ROUTINE(PVOID ApcContext, PIO_STATUS_BLOCK IoStatusBlock, ULONG Reserved);

// --- File information ---------------------------------------------------
// The record of FileAllocationInformation, which a serial port accepts and
// ignores; mingw-w64 declares it only in ntifs.h, which cannot be included
// together with ntddk.h.
typedef struct _FILE_ALLOCATION_INFORMATION {
    LARGE_INTEGER AllocationSize;
} FILE_ALLOCATION_INFORMATION, *PFILE_ALLOCATION_INFORMATION;

// --- Device interface class of COM ports -------------------------------------
// ntddser.h only declares GUID_DEVINTERFACE_COMPORT. Define it here as a
// selectany constant, so that every translation unit may refer to it and
// the image keeps one copy: re-including guiddef.h with INITGUID turns
// DEFINE_GUID into a definition, and the second re-include turns it back.
#include <initguid.h>
DEFINE_GUID(GUID_DEVINTERFACE_COMPORT, 0x86e0d1e0, 0x8089, 0x11d0, 0x9c, 0xe4, 0x08, 0x00, 0x3e, 0x30, 0x1f,
            0x73);
#undef INITGUID
#include <guiddef.h>
