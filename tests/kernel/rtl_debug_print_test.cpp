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

// DbgPrint formats by the kernel C library's rules, not the host's: the
// driver image passes its arguments by those rules, and a message that
// prints correctly here prints the same on Windows.
TEST_F(DebugPrint, FormatsByTheKernelsRules) {
    auto printed = [](auto... arguments) {
        harness::debug::Clear();
        DbgPrint(arguments...);
        return harness::debug::Lines().back();
    };
    // l is 32 bits (ULONG), ll and I64 64 bits, I the pointer's width.
    EXPECT_EQ(printed("%ld %lx %lu", LONG(-5), ULONG(0xDEADBEEF), ULONG(7)), "-5 deadbeef 7");
    EXPECT_EQ(printed("%I64x %llu %I64d", ULONGLONG(0x123456789A), ULONGLONG(1) << 40, LONGLONG(-2)),
              "123456789a 1099511627776 -2");
    EXPECT_EQ(printed("%Ix|%hd|%hu", ULONG_PTR(0x12345678), 0x12345, 0xFFFF), "12345678|9029|65535");
    // %p is the whole pointer in upper-case hex.
    EXPECT_EQ(printed("%p", reinterpret_cast<PVOID>(ULONG_PTR(0xABC))),
              sizeof(PVOID) == 8 ? "0000000000000ABC" : "00000ABC");
    // Width, precision, flags.
    EXPECT_EQ(printed("[%5d|%-5d|%05d|%+d|%.3d|%#x|%#o]", 42, 42, 42, 42, 7, 255, 8),
              "[   42|42   |00042|+42|007|0xff|010]");
    EXPECT_EQ(printed("[%*d|%.2s|%-4s|%c]", 4, 1, "abcdef", "ab", 'z'), "[   1|ab|ab  |z]");
    // Wide text: %ws, %ls, %S, %wc; counted strings %wZ and %Z.
    const WCHAR wide[] = u"COM5";
    UNICODE_STRING counted;
    RtlInitUnicodeString(&counted, u"\\Device\\Serial0");
    counted.Length -= 2 * sizeof(WCHAR);  // counted: no terminator needed
    ANSI_STRING ansi{3, 3, const_cast<PCHAR>("abcdef")};
    EXPECT_EQ(printed("%ws %ls %S %wc", wide, wide, wide, WCHAR(u'x')), "COM5 COM5 COM5 x");
    EXPECT_EQ(printed("%wZ|%Z", &counted, &ansi), "\\Device\\Seria|abc");
    EXPECT_EQ(printed("%s %ws %wZ", static_cast<PCSTR>(nullptr), static_cast<PCWSTR>(nullptr),
                      static_cast<PUNICODE_STRING>(nullptr)),
              "(null) (null) (null)");
    // Characters outside ASCII narrow to '?'; %% and an unknown conversion print as written.
    EXPECT_EQ(printed("%ws", u"d\u00e9j\u00e0"), "d?j?");
    EXPECT_EQ(printed("100%% %f", 1.5), "100% %f");
}

}  // namespace
