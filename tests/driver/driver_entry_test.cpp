// Loading and unloading the driver, and the ExtBaudrate table it reads.
#include <regex>
#include <string>

#include "driver/dispatch.h"
#include "harness/kernel/debug_log.h"
#include "harness/kernel/memory_manager.h"
#include "harness/kernel/pool.h"
#include "support/driver_test.h"

namespace {

class DriverEntryTest : public DriverTest {};

// Reaches into the host build (see support/driver_build.h): compares with
// the host build's routines (image_tests checks the image's table).
using DriverEntryTestHostBuildOnly = DriverEntryTest;

TEST_F(DriverEntryTestHostBuildOnly, LoadsWithoutExtBaudrateAndInstallsItsEntryPoints) {
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    EXPECT_EQ(Globals().extBaudCount, 0);
    EXPECT_EQ(Globals().nextDeviceNumber, 2u);

    PDRIVER_OBJECT object = driver_->object;
    EXPECT_EQ(object->DriverUnload, &DriverUnload);
    EXPECT_EQ(object->DriverExtension->AddDevice, &AddDevice);
    const struct {
        UCHAR major;
        PDRIVER_DISPATCH routine;
    } expected[] = {
        {IRP_MJ_CREATE, DispatchCreate},
        {IRP_MJ_CLOSE, DispatchClose},
        {IRP_MJ_READ, DispatchRead},
        {IRP_MJ_WRITE, DispatchWrite},
        {IRP_MJ_QUERY_INFORMATION, DispatchQueryInformation},
        {IRP_MJ_SET_INFORMATION, DispatchSetInformation},
        {IRP_MJ_FLUSH_BUFFERS, DispatchFlush},
        {IRP_MJ_DEVICE_CONTROL, DispatchDeviceControl},
        {IRP_MJ_INTERNAL_DEVICE_CONTROL, DispatchInternalDeviceControl},
        {IRP_MJ_CLEANUP, DispatchCleanup},
        {IRP_MJ_POWER, DispatchPower},
        {IRP_MJ_SYSTEM_CONTROL, DispatchSystemControl},
        {IRP_MJ_PNP, DispatchPnp},
    };
    for (const auto& entry : expected) EXPECT_EQ(object->MajorFunction[entry.major], entry.routine);
    // Major functions the port does not serve keep the I/O manager's default.
    EXPECT_EQ(object->MajorFunction[IRP_MJ_SHUTDOWN], object->MajorFunction[IRP_MJ_LOCK_CONTROL]);
    EXPECT_NE(object->MajorFunction[IRP_MJ_SHUTDOWN], DispatchCreate);
}

TEST_F(DriverEntryTest, KeepsAZeroFilledCopyOfTheServiceKeyPath) {
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    const UNICODE_STRING& path = Globals().registryPath;
    const std::u16string expected = harness::registry::ServiceKeyPath(kService);
    ASSERT_NE(path.Buffer, nullptr);
    EXPECT_EQ(std::u16string(path.Buffer, path.Length / 2), expected);
    // Same capacity as the string the kernel passed, zero after the text.
    EXPECT_EQ(path.MaximumLength, path.Length + 2);
    EXPECT_EQ(path.Buffer[path.Length / 2], 0);
}

TEST_F(DriverEntryTest, PrintsTheBuildBannerOnce) {
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    const auto& lines = harness::debug::Lines();
    ASSERT_EQ(lines.size(), 1u);
    // "Aug 19 2010" and "10:27:29", as the compiler spells the build date.
    EXPECT_TRUE(std::regex_match(lines[0], std::regex("KALVEX\\.SYS:\t<Build: [A-Z][a-z]{2} [ 0-9]\\d \\d{4} - "
                                                      "\\d{2}:\\d{2}:\\d{2}>")))
        << lines[0];
}

TEST_F(DriverEntryTest, LeavesThePageableSectionUnlockedButKeepsItsHandle) {
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    ASSERT_NE(Globals().pagingHandle, nullptr);
    EXPECT_EQ(harness::mm::LockCount(Globals().pagingHandle), 0);
}

TEST_F(DriverEntryTest, FailsWithNoMemoryWhenThePathCannotBeCopied) {
    harness::pool::FailNthAllocation(1);
    EXPECT_EQ(Load(), STATUS_NO_MEMORY);
    EXPECT_EQ(harness::mm::LockCount(Globals().pagingHandle), 0);
    EXPECT_TRUE(harness::debug::Lines().empty()) << "nothing after the failed copy may run";
}

TEST_F(DriverEntryTest, EveryAllocationFailureAfterThePathCopyStillLoadsWithoutLeaks) {
    SetExtBaudrate(u"7200,8000");
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    harness::pnp::UnloadDriver(driver_);
    const int allocations = harness::pool::AllocationCount();
    ASSERT_GE(allocations, 3);

    for (int n = 2; n <= allocations; ++n) {
        SCOPED_TRACE("allocation " + std::to_string(n) + " fails");
        harness::pool::FailNthAllocation(n);
        ASSERT_EQ(Load(), STATUS_SUCCESS);
        EXPECT_EQ(Globals().extBaudCount, 0);
        harness::pnp::UnloadDriver(driver_);
        EXPECT_EQ(harness::pool::BlocksInUse(harness::pool::Tag("COMX")), 0);
        harness::pool::ClearFaults();
    }
}

struct ParseCase {
    const char* name;
    std::u16string value;
    int count;
    std::vector<std::pair<LONG, ULONG>> entries;
};

void PrintTo(const ParseCase& c, std::ostream* os) { *os << c.name; }

class ExtBaudrateTest : public DriverTest, public ::testing::WithParamInterface<ParseCase> {};

TEST_P(ExtBaudrateTest, ParsesTheValue) {
    const ParseCase& c = GetParam();
    SetExtBaudrate(c.value);
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    ASSERT_EQ(Globals().extBaudCount, c.count);
    for (size_t i = 0; i < c.entries.size(); ++i) {
        EXPECT_EQ(Globals().extBaudTable[i].baudRate, c.entries[i].first) << "entry " << i;
        EXPECT_EQ(Globals().extBaudTable[i].rateValue, c.entries[i].second) << "entry " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Values, ExtBaudrateTest,
    ::testing::Values(
        ParseCase{"Empty", u"", 0, {}},
        ParseCase{"OnePair", u"7200,8000", 1, {{7200, 8000}}},
        ParseCase{"TwoPairsInOrder", u"250000,12 500000,6", 2, {{250000, 12}, {500000, 6}}},
        ParseCase{"DuplicateRatesAreBothKept", u"9600,1 9600,2", 2, {{9600, 1}, {9600, 2}}},
        ParseCase{"ElevenPairsKeepTen",
                  u"1,1 2,2 3,3 4,4 5,5 6,6 7,7 8,8 9,9 10,10 11,11",
                  10,
                  {{1, 1}, {2, 2}, {3, 3}, {4, 4}, {5, 5}, {6, 6}, {7, 7}, {8, 8}, {9, 9}, {10, 10}}},
        ParseCase{"TenPairsAndGarbageKeepTen", u"1,1 2,2 3,3 4,4 5,5 6,6 7,7 8,8 9,9 10,10 junk", 10, {}},
        ParseCase{"LastPairWithoutCommaSpoilsAll", u"1200,5 2400", 0, {}},
        ParseCase{"TrailingSpaceSpoilsAll", u"1200,5 ", 0, {}},
        ParseCase{"RateTokenOf21CharactersIsRead", u"000000000000000009600,5", 1, {{9600, 5}}},
        ParseCase{"RateTokenOf22CharactersSpoilsAll", u"0000000000000000009600,5", 0, {}},
        ParseCase{"ValueTokenOf22CharactersSpoilsAll", u"9600,0000000000000000000005", 0, {}},
        ParseCase{"ValueTokenOf21CharactersIsRead", u"9600,000000000000000000005", 1, {{9600, 5}}},
        ParseCase{"SignsAndLeadingBlanksFollowAtol", u"-300,+7", 1, {{-300, 7}}},
        ParseCase{"NonDigitsStopTheNumber", u"9600x,12y", 1, {{9600, 12}}}),
    [](const ::testing::TestParamInfo<ParseCase>& info) { return std::string(info.param.name); });

TEST_F(DriverEntryTest, AValueThatIsNotAStringIsIgnored) {
    const std::u16string key = harness::registry::ServiceKeyPath(kService);
    harness::registry::CreateKey(key);

    harness::registry::SetDword(key, u"ExtBaudrate", 0x00100010);
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    EXPECT_EQ(Globals().extBaudCount, 0);
    harness::pnp::UnloadDriver(driver_);

    const std::string bytes = "7200,8000 250000,12";
    harness::registry::SetValue(key, u"ExtBaudrate", REG_BINARY,
                                std::vector<uint8_t>(bytes.begin(), bytes.end()));
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    EXPECT_EQ(Globals().extBaudCount, 0);
}

TEST_F(DriverEntryTest, UnloadFreesEverythingTheLoadAllocated) {
    SetExtBaudrate(u"7200,8000");
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    EXPECT_EQ(harness::pool::BlocksInUse(harness::pool::Tag("COMX")), 1) << "only the registry path copy stays";
    harness::pnp::UnloadDriver(driver_);
    EXPECT_EQ(Globals().registryPath.Buffer, nullptr);
    EXPECT_EQ(harness::pool::BlocksInUse(harness::pool::Tag("COMX")), 0);
}

}  // namespace
