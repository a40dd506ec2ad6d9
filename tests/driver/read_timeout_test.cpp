// The read time-out rules, each as the application sees it: when a read
// ends, with which status and which characters. Times are milliseconds
// after the read was sent; the clock ticks every millisecond.
#include <gtest/gtest.h>

#include "read_test_port.h"

namespace {

using namespace read_test;

constexpr ULONG MAX = MAXULONG;
constexpr int64_t kPending = -1;

struct Feed {
    int64_t atMs;
    const char* characters;
};

struct TimeoutCase {
    const char* name;
    ULONG interval, multiplier, constant;
    const char* buffered;  // in the receive buffer before the read
    ULONG length;
    std::vector<Feed> feeds;
    int64_t endsAtMs;  // kPending: still waiting at the end
    NTSTATUS status;
    const char* delivered;
};

const TimeoutCase kCases[] = {
    {"MaxIntervalNoTotalsReturnsWhatIsBuffered", MAX, 0, 0, "abc", 10, {}, 0, STATUS_SUCCESS, "abc"},
    {"MaxIntervalNoTotalsReturnsNothingAtOnce", MAX, 0, 0, "", 10, {}, 0, STATUS_SUCCESS, ""},
    {"MaxMultiplierReturnsTheFirstCharacterOnly", MAX, MAX, 100, "", 10, {{40, "xyz"}}, 40, STATUS_SUCCESS, "x"},
    {"MaxMultiplierTimesOutAfterTheConstant", MAX, MAX, 100, "", 10, {}, 100, STATUS_TIMEOUT, ""},
    {"MaxMultiplierReturnsWhatIsBuffered", MAX, MAX, 100, "ab", 10, {}, 0, STATUS_SUCCESS, "ab"},
    {"MaxMultiplierZeroConstantTimesOutAtOnce", MAX, MAX, 0, "", 10, {}, 0, STATUS_TIMEOUT, ""},
    {"MaxConstantWaitsForEveryCharacter", MAX, 5, MAX, "", 3, {{50, "ab"}, {9000, "c"}}, 9000, STATUS_SUCCESS,
     "abc"},
    {"MaxIntervalWithTotalsReturnsWhatIsBuffered", MAX, 10, 100, "ab", 10, {}, 0, STATUS_SUCCESS, "ab"},
    {"MaxIntervalWithTotalsWaitsForAllOrTheTotal", MAX, 10, 100, "", 4, {{20, "a"}}, 140, STATUS_TIMEOUT, "a"},
    {"NoTimeoutsWaitForEveryCharacter", 0, 0, 0, "", 5, {{10, "abc"}, {5000, "de"}}, 5000, STATUS_SUCCESS,
     "abcde"},
    {"TotalIsLengthTimesMultiplierPlusConstant", 0, 10, 100, "", 5, {{20, "ab"}}, 150, STATUS_TIMEOUT, "ab"},
    {"IntervalStartsWithTheFirstCharacter", 50, 0, 0, "", 10, {{3000, "a"}}, 3051, STATUS_TIMEOUT, "a"},
    {"IntervalStartsAtOnceWhenTheBufferHadSome", 50, 0, 0, "ab", 10, {}, 50, STATUS_TIMEOUT, "ab"},
    {"IntervalWithoutAnyCharacterNeverEnds", 50, 0, 0, "", 10, {}, kPending, STATUS_PENDING, ""},
    {"IntervalRestartsWithEachCharacter", 50, 0, 0, "", 10, {{0, "a"}, {40, "b"}, {80, "c"}, {120, "d"}}, 171,
     STATUS_TIMEOUT, "abcd"},
    {"TotalEndsAReadWhoseIntervalNeverElapses", 50, 0, 200, "", 10,
     {{0, "a"}, {40, "b"}, {80, "c"}, {120, "d"}, {160, "e"}}, 200, STATUS_TIMEOUT, "abcde"},
    // Below 20 s the interval is checked at every tick: the character is
    // seen at 101 ms. From 20 s on, once a second: it is seen at 1 s.
    {"ShortIntervalsArePolledEveryTick", 19000, 0, 0, "", 10, {{100, "a"}}, 19101, STATUS_TIMEOUT, "a"},
    {"LongIntervalsArePolledEverySecond", 20000, 0, 0, "", 10, {{100, "a"}}, 21000, STATUS_TIMEOUT, "a"},
    // 100000 x 50000 ms does not fit in 32 bits (it would wrap to 705032704).
    {"TotalIsA64BitProduct", 0, 50000, 0, "", 100000, {}, 5000000000LL, STATUS_TIMEOUT, ""},
};

class ReadTimeoutTestHostBuildOnly : public ReadPortTest, public ::testing::WithParamInterface<TimeoutCase> {};

TEST_P(ReadTimeoutTestHostBuildOnly, EndsTheReadAsTheRuleSays) {
    const TimeoutCase& c = GetParam();
    SetTimeouts(c.interval, c.multiplier, c.constant);
    Feed(c.buffered);
    RunFor(harness::dispatcher::TickAtOrAfter(Now()) - Now());  // start on a tick
    const int64_t start = Now();
    Request read = Read(c.length);
    for (const auto& feed : c.feeds) {
        if (harness::app::Wait(*read, start + feed.atMs * kMillisecond - Now())) break;
        Feed(feed.characters);
    }
    const int64_t limit = c.endsAtMs == kPending ? 10 * kSecond : (c.endsAtMs + 1000) * kMillisecond;
    const bool done = harness::app::Wait(*read, start + limit - Now());
    if (c.endsAtMs == kPending) {
        EXPECT_FALSE(done);
        harness::app::Cancel(*read);
        return;
    }
    ASSERT_TRUE(done);
    EXPECT_EQ((Now() - start) / kMillisecond, c.endsAtMs);
    EXPECT_EQ(read->Status(), c.status);
    EXPECT_EQ(Text(read), c.delivered);
}

INSTANTIATE_TEST_SUITE_P(Rules, ReadTimeoutTestHostBuildOnly, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
