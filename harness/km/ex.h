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

PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
PVOID ExAllocatePoolWithQuotaTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
PVOID ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes);
VOID ExFreePoolWithTag(PVOID P, ULONG Tag);
VOID ExFreePool(PVOID P);

typedef enum _MM_SYSTEM_SIZE { MmSmallSystem, MmMediumSystem, MmLargeSystem } MM_SYSTEMSIZE;

MM_SYSTEMSIZE MmQuerySystemSize();
PVOID MmLockPagableDataSection(PVOID AddressWithinSection);
#define MmLockPagableCodeSection(Address) MmLockPagableDataSection(Address)
VOID MmLockPagableSectionByHandle(PVOID ImageSectionHandle);
VOID MmUnlockPagableImageSection(PVOID ImageSectionHandle);

ULONG DbgPrint(PCSTR Format, ...) __attribute__((format(printf, 1, 2)));
