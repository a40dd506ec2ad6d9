// Pageable section locking and the system size.
#include "harness/kernel/memory_manager.h"
#include "support/kernel_test.h"

namespace {

int sectionAnchor;
int otherAnchor;

class MmSections : public KernelTest {};

TEST_F(MmSections, LocksAndUnlocksMustBalance) {
    PVOID handle = MmLockPagableDataSection(&sectionAnchor);
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(MmLockPagableCodeSection(&sectionAnchor), handle);  // same section, same handle
    EXPECT_NE(MmLockPagableDataSection(&otherAnchor), handle);
    MmLockPagableSectionByHandle(handle);
    EXPECT_EQ(harness::mm::LockCount(handle), 3);
    EXPECT_EQ(harness::mm::TotalLocks(), 4);

    for (int i = 0; i < 3; ++i) MmUnlockPagableImageSection(handle);
    EXPECT_EQ(harness::mm::LockCount(handle), 0);
    EXPECT_EQ(TakeViolations("SECTION_UNLOCK_UNBALANCED"), 0);
    MmUnlockPagableImageSection(handle);
    EXPECT_EQ(TakeViolations("SECTION_UNLOCK_UNBALANCED"), 1);
    EXPECT_EQ(harness::mm::LockCount(handle), 0);
}

TEST_F(MmSections, UnknownHandlesAreReported) {
    MmUnlockPagableImageSection(&sectionAnchor);
    EXPECT_EQ(TakeViolations("SECTION_UNLOCK_UNBALANCED"), 1);
    MmLockPagableSectionByHandle(&sectionAnchor);
    EXPECT_EQ(TakeViolations("SECTION_HANDLE_INVALID"), 1);
}

TEST_F(MmSections, OnlyBelowDispatchLevel) {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    PVOID handle = MmLockPagableDataSection(&sectionAnchor);
    KeLowerIrql(old);
    EXPECT_EQ(TakeViolations("IRQL_NOT_LESS_OR_EQUAL"), 1);
    MmUnlockPagableImageSection(handle);
}

TEST_F(MmSections, SystemSizeIsLargeUntilConfigured) {
    EXPECT_EQ(MmQuerySystemSize(), MmLargeSystem);
    harness::mm::SetSystemSize(MmSmallSystem);
    EXPECT_EQ(MmQuerySystemSize(), MmSmallSystem);
    harness::ResetKernel();
    EXPECT_EQ(MmQuerySystemSize(), MmLargeSystem);
}

}  // namespace
