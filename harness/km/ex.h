// Executive pool and memory-manager interface for the host build.
#pragma once

#include "ke.h"

typedef enum _POOL_TYPE {
    NonPagedPool = 0,
    PagedPool = 1,
    NonPagedPoolMustSucceed = 2,
    NonPagedPoolCacheAligned = 4,
    PagedPoolCacheAligned = 5,
    NonPagedPoolNx = 512,
} POOL_TYPE;

// OR-ed into the pool type of ExAllocatePoolWithQuotaTag: return null
// instead of raising an exception when the quota or the pool is exhausted.
#define POOL_QUOTA_FAIL_INSTEAD_OF_RAISE 8

PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
PVOID NTAPI ExAllocatePoolWithQuotaTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
PVOID NTAPI ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes);
VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag);
VOID NTAPI ExFreePool(PVOID P);

typedef enum _MM_SYSTEM_SIZE { MmSmallSystem, MmMediumSystem, MmLargeSystem } MM_SYSTEMSIZE;

MM_SYSTEMSIZE NTAPI MmQuerySystemSize();
PVOID NTAPI MmLockPagableDataSection(PVOID AddressWithinSection);
#define MmLockPagableCodeSection(Address) MmLockPagableDataSection(Address)
VOID NTAPI MmLockPagableSectionByHandle(PVOID ImageSectionHandle);
VOID NTAPI MmUnlockPagableImageSection(PVOID ImageSectionHandle);

// Formats by the kernel C library's rules (harness/kernel/debug_format.h),
// which differ from the host's printf (%ld is 32 bits, %p is 16 hex digits
// on x64, %ws, %wZ), so the host's format checking is not applied.
ULONG NTAPI DbgPrint(PCSTR Format, ...);
