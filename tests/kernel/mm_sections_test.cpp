// Pageable section locking and the system size.
#include "harness/kernel/memory_manager.h"
#include "platform/platform.h"
#include "support/kernel_test.h"

namespace {

int sectionAnchor;
int otherAnchor;

int pageableRuns = 0;
PORT_PAGEABLE_CODE void PageableRoutine() {
    PAGED_CODE();
    ++pageableRuns;
}
void ResidentRoutine() {}

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

TEST_F(MmSections, PageableRoutineEnteredAboveApcLevelIsAPageFault) {
    KIRQL old;
    PageableRoutine();
    KeRaiseIrql(APC_LEVEL, &old);
    PageableRoutine();
    KeLowerIrql(old);
    EXPECT_TRUE(harness::RecordedViolations().empty());

    KeRaiseIrql(DISPATCH_LEVEL, &old);
    PageableRoutine();
    KeLowerIrql(old);
    ASSERT_EQ(harness::RecordedViolations().size(), 1u);
    const harness::Violation v = harness::RecordedViolations()[0];
    EXPECT_EQ(v.routine, "PageableRoutine");
    EXPECT_NE(v.message.find("IRQL 2"), std::string::npos) << v.message;
    EXPECT_EQ(TakeViolations("IRQL_NOT_LESS_OR_EQUAL"), 1);
    EXPECT_EQ(pageableRuns, 3);  // the report lets the machine go on
}

TEST_F(MmSections, PageableCodeLiesInASectionOfItsOwn) {
    EXPECT_TRUE(harness::mm::IsPageableCode(reinterpret_cast<const void*>(&PageableRoutine)));
    EXPECT_FALSE(harness::mm::IsPageableCode(reinterpret_cast<const void*>(&ResidentRoutine)));
    EXPECT_FALSE(harness::mm::IsPageableCode(&sectionAnchor));
}

TEST_F(MmSections, SystemSizeIsLargeUntilConfigured) {
    EXPECT_EQ(MmQuerySystemSize(), MmLargeSystem);
    harness::mm::SetSystemSize(MmSmallSystem);
    EXPECT_EQ(MmQuerySystemSize(), MmSmallSystem);
    harness::ResetKernel();
    EXPECT_EQ(MmQuerySystemSize(), MmLargeSystem);
}

}  // namespace
