// PAGED_CODE() on the host build.
//
// Windows pages out the code of sections whose names begin with "PAGE"
// whenever it likes (Driver Verifier does so on every raise of the IRQL),
// and a page fault above APC_LEVEL stops the machine with
// IRQL_NOT_LESS_OR_EQUAL. A routine placed in such a section starts with
// PAGED_CODE(), which a checked build of Windows turns into an IRQL check.
// Here it is always that check: entered above APC_LEVEL, the routine is
// reported through the verifier as IRQL_NOT_LESS_OR_EQUAL, named by
// __func__. (The DDK's own PAGED_CODE() is used on the Windows builds.)
#pragma once

#include "ntdef.h"

// Implemented in harness/kernel/paged_code.cpp.
VOID HarnessCheckPagedCode(PCSTR routine);

#define PAGED_CODE() HarnessCheckPagedCode(__func__)
