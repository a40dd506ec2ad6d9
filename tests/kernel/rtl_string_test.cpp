// Counted strings and the C-library conversions of the run-time library.
#include <string>

#include "harness/kernel/pool.h"
#include "harness/km/wdm.h"
#include "support/kernel_test.h"

namespace {

std::u16string Text(const UNICODE_STRING& s) { return std::u16string(s.Buffer, s.Length / sizeof(WCHAR)); }

class RtlStrings : public KernelTest {};

TEST_F(RtlStrings, InitCountsWithoutTheTerminator) {
    UNICODE_STRING u;
    RtlInitUnicodeString(&u, u"COM12");
    EXPECT_EQ(u.Length, 10);
    EXPECT_EQ(u.MaximumLength, 12);
    RtlInitUnicodeString(&u, nullptr);
    EXPECT_EQ(u.Length, 0);
    EXPECT_EQ(u.MaximumLength, 0);
    EXPECT_EQ(u.Buffer, nullptr);
    ANSI_STRING a;
    RtlInitAnsiString(&a, "abc");
    EXPECT_EQ(a.Length, 3);
    EXPECT_EQ(a.MaximumLength, 4);
}

TEST_F(RtlStrings, AppendTerminatesOnlyWhenThereIsRoom) {
    WCHAR storage[6];
    for (WCHAR& c : storage) c = u'#';
    UNICODE_STRING s{0, 8, storage};  // four characters, no room for a terminator after them
    ASSERT_EQ(RtlAppendUnicodeToString(&s, u"CO"), STATUS_SUCCESS);
    EXPECT_EQ(storage[2], 0);
    ASSERT_EQ(RtlAppendUnicodeToString(&s, u"M1"), STATUS_SUCCESS);
    EXPECT_EQ(Text(s), u"COM1");
    EXPECT_EQ(storage[4], u'#');  // full: nothing written past MaximumLength
    EXPECT_EQ(RtlAppendUnicodeToString(&s, u"0"), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(s.Length, 8);

    UNICODE_STRING tail;
    RtlInitUnicodeString(&tail, u"9");
    s.MaximumLength = 10;
    ASSERT_EQ(RtlAppendUnicodeStringToString(&s, &tail), STATUS_SUCCESS);
    EXPECT_EQ(Text(s), u"COM19");
    EXPECT_EQ(storage[5], u'#');
}

TEST_F(RtlStrings, CopyTruncatesToTheDestination) {
    WCHAR storage[4] = {u'#', u'#', u'#', u'#'};
    UNICODE_STRING destination{0, 6, storage};
    UNICODE_STRING source;
    RtlInitUnicodeString(&source, u"COM10");
    RtlCopyUnicodeString(&destination, &source);
    EXPECT_EQ(Text(destination), u"COM");
    EXPECT_EQ(storage[3], u'#');
    RtlCopyUnicodeString(&destination, nullptr);
    EXPECT_EQ(destination.Length, 0);
}

TEST_F(RtlStrings, IntegerToStringBasesAndOverflow) {
    WCHAR storage[4];
    UNICODE_STRING s{0, sizeof storage, storage};
    ASSERT_EQ(RtlIntegerToUnicodeString(255, 16, &s), STATUS_SUCCESS);
    EXPECT_EQ(Text(s), u"FF");
    EXPECT_EQ(storage[2], 0);
    ASSERT_EQ(RtlIntegerToUnicodeString(5, 2, &s), STATUS_SUCCESS);
    EXPECT_EQ(Text(s), u"101");
    ASSERT_EQ(RtlIntegerToUnicodeString(1234, 0, &s), STATUS_SUCCESS);  // four digits fill it exactly
    EXPECT_EQ(Text(s), u"1234");
    EXPECT_EQ(RtlIntegerToUnicodeString(12345, 10, &s), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(RtlIntegerToUnicodeString(1, 7, &s), STATUS_INVALID_PARAMETER);
}

TEST_F(RtlStrings, StringToIntegerPrefixesSignsAndWrap) {
    auto parse = [](const char16_t* text, ULONG base) {
        UNICODE_STRING s;
        RtlInitUnicodeString(&s, text);
        ULONG value = 0xDEAD;
        const NTSTATUS status = RtlUnicodeStringToInteger(&s, base, &value);
        return std::make_pair(status, value);
    };
    EXPECT_EQ(parse(u"  115200", 0).second, 115200u);
    EXPECT_EQ(parse(u"0x1F", 0).second, 31u);
    EXPECT_EQ(parse(u"0b101", 0).second, 5u);
    EXPECT_EQ(parse(u"0x1F", 16).second, 0u);  // a prefix only counts with base 0
    EXPECT_EQ(parse(u"-1", 10).second, 0xFFFFFFFFu);
    EXPECT_EQ(parse(u"96OO", 10).second, 96u);  // stops at the first non-digit
    EXPECT_EQ(parse(u"4294967297", 10).second, 1u);
    EXPECT_EQ(parse(u"12", 3).first, STATUS_INVALID_PARAMETER);
}

TEST_F(RtlStrings, AnsiConversionsAllocateFromPagedPool) {
    UNICODE_STRING source;
    RtlInitUnicodeString(&source, u"Caf\u00e9");
    ANSI_STRING ansi;
    ASSERT_EQ(RtlUnicodeStringToAnsiString(&ansi, &source, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(std::string(ansi.Buffer), "Caf?");
    EXPECT_EQ(ansi.Length, 4);
    EXPECT_EQ(ansi.MaximumLength, 5);
    harness::pool::BlockInfo block;
    ASSERT_TRUE(harness::pool::FindBlock(ansi.Buffer, &block));
    EXPECT_TRUE(block.paged);

    UNICODE_STRING back;
    ASSERT_EQ(RtlAnsiStringToUnicodeString(&back, &ansi, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(Text(back), u"Caf?");
    EXPECT_EQ(back.MaximumLength, 10);
    RtlFreeAnsiString(&ansi);
    RtlFreeUnicodeString(&back);
    EXPECT_EQ(ansi.Buffer, nullptr);
    EXPECT_EQ(harness::pool::BlocksInUse(), 0u);

    harness::pool::FailNthAllocation(1);
    EXPECT_EQ(RtlUnicodeStringToAnsiString(&ansi, &source, TRUE), STATUS_NO_MEMORY);
}

TEST_F(RtlStrings, AnsiIntoAShortBufferIsTruncatedAndTerminated) {
    UNICODE_STRING source;
    RtlInitUnicodeString(&source, u"COM10");
    char storage[4];
    ANSI_STRING ansi{0, sizeof storage, storage};
    EXPECT_EQ(RtlUnicodeStringToAnsiString(&ansi, &source, FALSE), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(std::string(storage), "COM");

    WCHAR wide[5];
    UNICODE_STRING unicode{0, sizeof wide, wide};
    ANSI_STRING five;
    RtlInitAnsiString(&five, "COM10");
    EXPECT_EQ(RtlAnsiStringToUnicodeString(&unicode, &five, FALSE), STATUS_BUFFER_OVERFLOW);
}

TEST_F(RtlStrings, CompareIgnoresCaseOnRequest) {
    UNICODE_STRING a;
    UNICODE_STRING b;
    RtlInitUnicodeString(&a, u"com5");
    RtlInitUnicodeString(&b, u"COM5");
    EXPECT_TRUE(RtlEqualUnicodeString(&a, &b, TRUE));
    EXPECT_FALSE(RtlEqualUnicodeString(&a, &b, FALSE));
    EXPECT_GT(RtlCompareUnicodeString(&a, &b, FALSE), 0);
    RtlInitUnicodeString(&b, u"COM50");
    EXPECT_LT(RtlCompareUnicodeString(&a, &b, TRUE), 0);
}

TEST(KernelAtol, CSemanticsWithA32BitResult) {
    EXPECT_EQ(atol(" \t-42abc"), -42);
    EXPECT_EQ(atol("+7"), 7);
    EXPECT_EQ(atol("x1"), 0);
    EXPECT_EQ(atol(""), 0);
    EXPECT_EQ(atol("2147483647"), 2147483647);
    EXPECT_EQ(atol("2147483648"), INT32_MIN);  // wraps instead of overflowing
    EXPECT_EQ(atol("-2147483648"), INT32_MIN);
    EXPECT_EQ(atol("99999999999999999999"), 1661992959);  // modulo 2^32, far past any 64-bit range
}

}  // namespace
