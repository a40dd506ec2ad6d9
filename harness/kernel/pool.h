// Executive pool of the emulated kernel.
//
// Every block handed out by ExAllocatePoolWithTag is a real heap block of
// exactly the requested size, so AddressSanitizer sees an overrun or a use
// after free as it happens. The pool keeps its bookkeeping (tag, size, pool
// type, allocation sequence number) aside, fills new blocks with 0xA5 so that
// code relying on zeroed memory shows itself, and reports through the
// verifier:
//   PAGED_POOL_AT_RAISED_IRQL  paged pool allocated or freed above APC_LEVEL
//   IRQL_NOT_LESS_OR_EQUAL     any pool allocated or freed above DISPATCH_LEVEL
//   BAD_POOL_CALLER            allocation with a tag of zero or of zero
//                              bytes, or a free whose tag is not the
//                              block's (both tags named)
//   BAD_POOL_FREE              freeing a null pointer, a pointer that is not
//                              the start of a pool block, or a block twice
//   TIMER_OR_DPC_INVALID       a block freed while a DPC queued, a timer
//                              armed or a spin lock held lies inside it (the
//                              memory is then kept until reset, so the
//                              machine can go on)
//   QUOTA_ALLOCATION_RAISED    a quota allocation failed without
//                              POOL_QUOTA_FAIL_INSTEAD_OF_RAISE
//   POOL_LEAK                  blocks still allocated at driver unload
//                              (CheckLeaks) or at the end of a test
//
// Tags are ULONGs whose four bytes, in memory order, spell the tag: the tag
// "COMX" is 'XMOC' in a C character constant, 0x584D4F43.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "harness/km/ex.h"

namespace harness::pool {

// "COMX" -> 0x584D4F43. Shorter names are padded with spaces.
ULONG Tag(std::string_view name);
// 0x584D4F43 -> "COMX". Bytes that are not printable show as '?'.
std::string TagName(ULONG tag);

struct BlockInfo {
    void* address = nullptr;
    std::size_t size = 0;
    ULONG tag = 0;
    POOL_TYPE type = NonPagedPool;  // as the caller passed it, without quota flags
    bool paged = false;
    std::uint64_t sequence = 0;  // 1 for the first allocation after reset
};

// --- Fault injection --------------------------------------------------------
// The n-th allocation from now (1 = the next one) fails; one-shot. Every
// pool allocation counts, whatever its tag or caller.
void FailNthAllocation(std::uint64_t n);
// Every allocation with this tag fails while `fail` is set.
void FailAllocationsOfTag(ULONG tag, bool fail);
// Every allocation of more than `size` bytes fails; SIZE_MAX turns it off.
void FailAllocationsLargerThan(std::size_t size);
void ClearFaults();

// Allocations attempted since reset (failed ones included), so a test can
// run an operation once, count its allocations, then fail each in turn.
std::uint64_t AllocationCount();
// Allocations that returned null since reset.
std::uint64_t FailedAllocationCount();

// --- Statistics ---------------------------------------------------------------
std::size_t BytesInUse();
std::size_t BytesInUse(ULONG tag);
std::size_t BlocksInUse();
std::size_t BlocksInUse(ULONG tag);
std::size_t PeakBytesInUse();
std::size_t PeakBytesInUse(ULONG tag);
// Blocks in use, oldest first.
std::vector<BlockInfo> Blocks();
std::vector<BlockInfo> Blocks(ULONG tag);
// The block that starts at `address`, if it is a live pool block.
bool FindBlock(const void* address, BlockInfo* info);

// Pool in use by tag, one line per tag and pool type, for the demo:
//   "COMX  non-paged   3 blocks   4160 bytes"
std::string Report();

// Reports POOL_LEAK, naming `routine`, if blocks of `tag` are still
// allocated: their count, bytes, and each block's size, type and sequence.
// Returns the number of blocks. Blocks reported here are not reported again
// by the end-of-test check (they stay allocated until reset).
std::size_t CheckLeaks(ULONG tag, const char* routine);

}  // namespace harness::pool
