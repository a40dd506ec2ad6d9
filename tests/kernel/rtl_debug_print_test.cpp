// DbgPrint's line log.
#include "harness/kernel/debug_log.h"
#include "harness/km/wdm.h"
#include "support/kernel_test.h"

namespace {

class DebugPrint : public KernelTest {};

TEST_F(DebugPrint, FormatsAndSplitsIntoLines) {
    EXPECT_EQ(DbgPrint("port %s: %d bytes\nsecond ", "COM5", 12), 0u);
    EXPECT_EQ(DbgPrint("half\n"), 0u);
    const auto lines = harness::debug::Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "port COM5: 12 bytes");
    EXPECT_EQ(lines[1], "second half");
    EXPECT_TRUE(harness::debug::Contains("12 bytes"));
    harness::debug::Clear();
    EXPECT_FALSE(harness::debug::Contains("12 bytes"));
}

TEST_F(DebugPrint, UnfinishedLineIsVisible) {
    DbgPrint("no newline yet");
    EXPECT_EQ(harness::debug::Lines().back(), "no newline yet");
}

}  // namespace
