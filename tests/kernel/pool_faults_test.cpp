// Pool fault injection and quota allocations.
#include <vector>

#include "harness/kernel/pool.h"
#include "support/kernel_test.h"

using harness::pool::Tag;

namespace {

class PoolFaults : public KernelTest {
protected:
    const ULONG comx = Tag("COMX");

    // An operation with three allocations of two tags that undoes its work
    // when one of them fails, as driver code must.
    static NTSTATUS BuildThree(std::vector<void*>* out) {
        const ULONG tags[] = {Tag("COMX"), Tag("Othr"), Tag("COMX")};
        for (ULONG tag : tags) {
            void* p = ExAllocatePoolWithTag(NonPagedPool, 16, tag);
            if (p == nullptr) {
                for (void* q : *out) ExFreePool(q);
                out->clear();
                return STATUS_INSUFFICIENT_RESOURCES;
            }
            out->push_back(p);
        }
        return STATUS_SUCCESS;
    }
};

TEST_F(PoolFaults, EachAllocationOfAnOperationCanBeFailedInTurn) {
    const auto before = harness::pool::AllocationCount();
    std::vector<void*> blocks;
    ASSERT_EQ(BuildThree(&blocks), STATUS_SUCCESS);
    for (void* p : blocks) ExFreePool(p);
    const auto count = harness::pool::AllocationCount() - before;
    ASSERT_EQ(count, 3u);

    for (std::uint64_t n = 1; n <= count; ++n) {
        blocks.clear();
        harness::pool::FailNthAllocation(n);
        EXPECT_EQ(BuildThree(&blocks), STATUS_INSUFFICIENT_RESOURCES) << "failing allocation " << n;
        EXPECT_EQ(harness::pool::BlocksInUse(), 0u);
        // One-shot: the next run succeeds.
        ASSERT_EQ(BuildThree(&blocks), STATUS_SUCCESS);
        for (void* p : blocks) ExFreePool(p);
    }
    EXPECT_EQ(harness::pool::FailedAllocationCount(), 3u);
}

TEST_F(PoolFaults, TagAndSizeFaultsLastUntilCleared) {
    harness::pool::FailAllocationsOfTag(comx, true);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 8, comx), nullptr);
    EXPECT_EQ(ExAllocatePoolWithTag(PagedPool, 8, comx), nullptr);
    void* other = ExAllocatePoolWithTag(NonPagedPool, 8, Tag("Othr"));
    EXPECT_NE(other, nullptr);
    ExFreePool(other);
    harness::pool::FailAllocationsOfTag(comx, false);
    void* p = ExAllocatePoolWithTag(NonPagedPool, 8, comx);
    EXPECT_NE(p, nullptr);
    ExFreePool(p);

    harness::pool::FailAllocationsLargerThan(64);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 65, comx), nullptr);
    p = ExAllocatePoolWithTag(NonPagedPool, 64, comx);
    EXPECT_NE(p, nullptr);
    ExFreePool(p);
    harness::pool::ClearFaults();
    p = ExAllocatePoolWithTag(NonPagedPool, 65, comx);
    EXPECT_NE(p, nullptr);
    ExFreePool(p);
}

TEST_F(PoolFaults, ResetForgetsFaultsAndBlocks) {
    harness::pool::FailAllocationsOfTag(comx, true);
    ExAllocatePoolWithTag(NonPagedPool, 8, Tag("Othr"));
    harness::ResetKernel();
    EXPECT_EQ(harness::pool::BlocksInUse(), 0u);
    EXPECT_EQ(harness::pool::AllocationCount(), 0u);
    void* p = ExAllocatePoolWithTag(NonPagedPool, 8, comx);
    EXPECT_NE(p, nullptr);
    ExFreePool(p);
}

TEST_F(PoolFaults, QuotaFailureRaisesUnlessAskedNotTo) {
    void* p = ExAllocatePoolWithQuotaTag(NonPagedPool, 8, comx);
    ASSERT_NE(p, nullptr);
    ExFreePoolWithTag(p, comx);

    harness::pool::FailAllocationsOfTag(comx, true);
    EXPECT_EQ(ExAllocatePoolWithQuotaTag(static_cast<POOL_TYPE>(NonPagedPool | POOL_QUOTA_FAIL_INSTEAD_OF_RAISE), 8,
                                         comx),
              nullptr);
    EXPECT_EQ(TakeViolations("QUOTA_ALLOCATION_RAISED"), 0);
    EXPECT_EQ(ExAllocatePoolWithQuotaTag(NonPagedPool, 8, comx), nullptr);
    EXPECT_EQ(TakeViolations("QUOTA_ALLOCATION_RAISED"), 1);
}

TEST_F(PoolFaults, QuotaFlagIsNotPartOfThePoolType) {
    void* p = ExAllocatePoolWithQuotaTag(static_cast<POOL_TYPE>(PagedPool | POOL_QUOTA_FAIL_INSTEAD_OF_RAISE), 8,
                                         comx);
    harness::pool::BlockInfo info;
    ASSERT_TRUE(harness::pool::FindBlock(p, &info));
    EXPECT_TRUE(info.paged);
    EXPECT_EQ(info.type, PagedPool);
    ExFreePool(p);
}

TEST_F(PoolFaults, UntaggedAllocationsUseTheNoneTag) {
    void* p = ExAllocatePool(NonPagedPool, 4);
    EXPECT_EQ(harness::pool::BlocksInUse(Tag("None")), 1u);
    ExFreePoolWithTag(p, Tag("None"));
}

}  // namespace
