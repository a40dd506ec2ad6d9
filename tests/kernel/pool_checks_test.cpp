// The pool's verifier checks: tags, frees, IRQL rules and leak reports.
#include <cstring>

#include "harness/kernel/dispatcher.h"
#include "harness/kernel/pool.h"
#include "support/kernel_test.h"

using harness::pool::Tag;

namespace {

class PoolChecks : public KernelTest {
protected:
    const ULONG comx = Tag("COMX");

    std::string LastMessage() {
        const auto& all = harness::RecordedViolations();
        return all.empty() ? std::string() : all.back().message;
    }
};

TEST_F(PoolChecks, TagsSpellTheirBytesInMemoryOrder) {
    EXPECT_EQ(comx, 0x584D4F43u);
    EXPECT_EQ(harness::pool::TagName(comx), "COMX");
    EXPECT_EQ(harness::pool::TagName(Tag("Bus")), "Bus ");
}

TEST_F(PoolChecks, BlocksAreFilledAndAccountedPerTag) {
    auto* a = static_cast<unsigned char*>(ExAllocatePoolWithTag(NonPagedPool, 24, comx));
    auto* b = ExAllocatePoolWithTag(PagedPool, 100, Tag("Othr"));
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    for (int i = 0; i < 24; ++i) EXPECT_EQ(a[i], 0xA5) << "byte " << i;

    EXPECT_EQ(harness::pool::BytesInUse(comx), 24u);
    EXPECT_EQ(harness::pool::BytesInUse(), 124u);
    const auto blocks = harness::pool::Blocks(Tag("Othr"));
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_TRUE(blocks[0].paged);
    EXPECT_EQ(blocks[0].size, 100u);
    EXPECT_EQ(blocks[0].sequence, 2u);
    EXPECT_NE(harness::pool::Report().find("Othr  paged"), std::string::npos);

    ExFreePoolWithTag(a, comx);
    ExFreePool(b);  // any tag
    EXPECT_EQ(harness::pool::BlocksInUse(), 0u);
    EXPECT_EQ(harness::pool::PeakBytesInUse(comx), 24u);
}

TEST_F(PoolChecks, ZeroTagOrZeroBytesIsABadCaller) {
    void* p = ExAllocatePoolWithTag(NonPagedPool, 8, 0);
    EXPECT_EQ(TakeViolations("BAD_POOL_CALLER"), 1);
    ExFreePool(p);
    void* empty = ExAllocatePoolWithTag(PagedPool, 0, comx);
    EXPECT_NE(LastMessage().find("zero bytes"), std::string::npos) << LastMessage();
    EXPECT_EQ(TakeViolations("BAD_POOL_CALLER"), 1);
    ExFreePool(empty);
}

TEST_F(PoolChecks, FreeingWithAnotherTagNamesBothTags) {
    void* p = ExAllocatePoolWithTag(NonPagedPool, 16, comx);
    ExFreePoolWithTag(p, Tag("COMY"));
    const std::string message = LastMessage();
    EXPECT_EQ(TakeViolations("BAD_POOL_CALLER"), 1);
    EXPECT_NE(message.find("'COMY'"), std::string::npos) << message;
    EXPECT_NE(message.find("'COMX'"), std::string::npos) << message;
    EXPECT_EQ(harness::pool::BlocksInUse(), 0u);
}

TEST_F(PoolChecks, BadFreesAreToldApart) {
    auto* p = static_cast<char*>(ExAllocatePoolWithTag(NonPagedPool, 32, comx));
    ExFreePool(p + 8);
    EXPECT_NE(LastMessage().find("8 bytes into pool block"), std::string::npos) << LastMessage();
    ExFreePoolWithTag(p, comx);
    ExFreePoolWithTag(p, comx);
    EXPECT_NE(LastMessage().find("double free"), std::string::npos) << LastMessage();
    ExFreePool(nullptr);
    int onStack = 0;
    ExFreePool(&onStack);
    EXPECT_NE(LastMessage().find("not a pool block"), std::string::npos) << LastMessage();
    EXPECT_EQ(TakeViolations("BAD_POOL_FREE"), 4);
}

TEST_F(PoolChecks, PagedPoolOnlyUpToApcLevel) {
    KIRQL old;
    KeRaiseIrql(APC_LEVEL, &old);
    ExFreePool(ExAllocatePoolWithTag(PagedPool, 8, comx));
    EXPECT_EQ(TakeViolations("PAGED_POOL_AT_RAISED_IRQL"), 0);
    KeLowerIrql(old);

    void* paged = ExAllocatePoolWithTag(PagedPool, 8, comx);
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    void* nonPaged = ExAllocatePoolWithTag(NonPagedPool, 8, comx);
    void* pagedAtDispatch = ExAllocatePoolWithTag(PagedPool, 8, comx);
    EXPECT_EQ(TakeViolations("PAGED_POOL_AT_RAISED_IRQL"), 1);
    ExFreePool(nonPaged);
    ExFreePool(paged);
    EXPECT_EQ(TakeViolations("PAGED_POOL_AT_RAISED_IRQL"), 1);
    KeLowerIrql(old);
    ExFreePool(pagedAtDispatch);
}

TEST_F(PoolChecks, FreeingMemoryThatHoldsAQueuedDpcIsCaught) {
    auto* dpc = static_cast<PKDPC>(ExAllocatePoolWithTag(NonPagedPool, sizeof(KDPC), comx));
    KeInitializeDpc(dpc, [](PKDPC, PVOID, PVOID, PVOID) NTAPI {}, nullptr);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    KeInsertQueueDpc(dpc, nullptr, nullptr);
    ExFreePool(dpc);
    EXPECT_EQ(TakeViolations("TIMER_OR_DPC_INVALID"), 1);
    KeLowerIrql(old);  // the DPC runs from memory the pool kept aside
}

TEST_F(PoolChecks, FreeingTheDpcOfATimerArmedElsewhereIsCaught) {
    // The timer lives on, outside the block; at its expiry it would queue the
    // freed DPC.
    KTIMER timer;
    KeInitializeTimer(&timer);
    auto* dpc = static_cast<PKDPC>(ExAllocatePoolWithTag(NonPagedPool, sizeof(KDPC), comx));
    KeInitializeDpc(dpc, [](PKDPC, PVOID, PVOID, PVOID) NTAPI {}, nullptr);
    LARGE_INTEGER due;
    due.QuadPart = -10 * harness::dispatcher::kMillisecond;
    KeSetTimer(&timer, due, dpc);
    ExFreePool(dpc);
    ASSERT_EQ(harness::RecordedViolations().size(), 1u);
    EXPECT_NE(harness::RecordedViolations()[0].message.find("of armed timer"), std::string::npos)
        << harness::RecordedViolations()[0].message;
    EXPECT_EQ(TakeViolations("TIMER_OR_DPC_INVALID"), 1);
    harness::dispatcher::RunFor(20 * harness::dispatcher::kMillisecond);  // it runs from memory kept aside
}

TEST_F(PoolChecks, LeakReportNamesRoutineSizesAndIsNotRepeated) {
    void* a = ExAllocatePoolWithTag(NonPagedPool, 40, comx);
    void* b = ExAllocatePoolWithTag(PagedPool, 7, comx);
    void* other = ExAllocatePoolWithTag(NonPagedPool, 3, Tag("Othr"));

    EXPECT_EQ(harness::pool::CheckLeaks(comx, "DriverUnload"), 2u);
    ASSERT_EQ(harness::RecordedViolations().size(), 1u);
    const harness::Violation v = harness::RecordedViolations()[0];
    EXPECT_EQ(v.check, "POOL_LEAK");
    EXPECT_EQ(v.routine, "DriverUnload");
    EXPECT_NE(v.message.find("2 blocks (47 bytes) of pool tag 'COMX'"), std::string::npos) << v.message;
    EXPECT_NE(v.message.find("40 bytes non-paged"), std::string::npos) << v.message;
    EXPECT_NE(v.message.find("7 bytes paged"), std::string::npos) << v.message;
    EXPECT_EQ(TakeViolations("POOL_LEAK"), 1);

    // The end-of-test check reports only what was not reported yet.
    harness::VerifyQuiescent();
    ASSERT_EQ(harness::RecordedViolations().size(), 1u);
    EXPECT_NE(LastMessage().find("'Othr'"), std::string::npos);
    EXPECT_EQ(TakeViolations("POOL_LEAK"), 1);
    ExFreePool(a);
    ExFreePool(b);
    ExFreePool(other);
}

}  // namespace
