// The memory manager as a driver sees it: the system size, and the locking
// of pageable image sections. The emulation pages nothing out; it counts
// locks per section so that a driver's lock and unlock calls must balance:
//   SECTION_UNLOCK_UNBALANCED  an unlock with no lock outstanding, or of a
//                              handle MmLockPagableDataSection never returned
//   SECTION_HANDLE_INVALID     MmLockPagableSectionByHandle with such a handle
//   IRQL_NOT_LESS_OR_EQUAL     any of these routines above APC_LEVEL, or a
//                              routine starting with PAGED_CODE() entered
//                              above APC_LEVEL (paged_code.cpp)
#pragma once

#include <cstdint>

#include "harness/km/ex.h"

namespace harness::mm {

// What MmQuerySystemSize returns; MmLargeSystem after reset.
void SetSystemSize(MM_SYSTEMSIZE size);

// Locks outstanding on the section `handle` (0 for an unknown handle).
int LockCount(PVOID sectionHandle);
// Locks outstanding on all sections together.
int TotalLocks();
// Lock operations (MmLockPagableDataSection and MmLockPagableSectionByHandle)
// since reset, whether or not they were undone since.
std::uint64_t LockOperations();

// True if `address` lies in the driver's pageable code (PORT_PAGEABLE_CODE,
// which the host build places in a section of its own, as Windows does).
bool IsPageableCode(const void* address);

}  // namespace harness::mm
