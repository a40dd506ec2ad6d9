// The parties that may end a waiting read (its buffer filling, the
// interval and total time-outs, a cancel) running in every order, with
// their DPCs held back and run one at a time. Whatever the order, the read
// completes exactly once (the verifier), no DPC or timer count is left over
// (the fixture), and no character is lost: it is either delivered or, for
// a cancelled read, back in the receive buffer ahead of later ones.
#include <gtest/gtest.h>

#include <algorithm>

#include "read_test_port.h"

namespace {

using namespace read_test;

enum class Party { Interval, Total, Filled, Cancel };
using Order = std::vector<Party>;

std::vector<Order> EveryOrder(Order parties) {
    std::sort(parties.begin(), parties.end());
    std::vector<Order> orders;
    do orders.push_back(parties);
    while (std::next_permutation(parties.begin(), parties.end()));
    return orders;
}

std::string OrderName(const ::testing::TestParamInfo<Order>& info) {
    static const char* names[] = {"Interval", "Total", "Filled", "Cancel"};
    std::string name;
    for (Party p : info.param) name += names[static_cast<int>(p)];
    return name;
}

class ReadRaceTest : public ReadPortTest, public ::testing::WithParamInterface<Order> {
protected:
    void Act(Party party, const Request& read) {
        switch (party) {
        case Party::Interval:
            return RunDpcNow(&port_->readIntervalTimeoutDpc);
        case Party::Total:
            return RunDpcNow(&port_->readTotalTimeoutDpc);
        case Party::Filled:
            return RunDpcNow(&port_->completeReadDpc);
        case Party::Cancel:
            harness::app::Cancel(*read);  // a no-op once another party removed the cancel routine
            return;
        }
    }
    static size_t IndexOf(const Order& order, Party party) {
        return std::find(order.begin(), order.end(), party) - order.begin();
    }
};

// The read has filled ("abc") while both of its time-outs had already fired
// and a cancel arrives: the data is the read's whoever comes last, and the
// status is that of the last DPC to run (a cancel always finds a DPC behind it).
class FilledReadRaceTestHostBuildOnly : public ReadRaceTest {};

TEST_P(FilledReadRaceTestHostBuildOnly, DeliversEveryCharacterOnce) {
    const Order& order = GetParam();
    SetTimeouts(5, 0, 20);
    Request read = Read(3);
    Feed("ab");
    ManualDpcs();
    harness::dispatcher::AdvanceClock(20 * kMillisecond);  // both timers expire, their DPCs wait
    Feed("c");                                             // the read is full: completeReadDpc waits too
    for (Party party : order) Act(party, read);
    harness::dispatcher::RunDpcs();

    ASSERT_TRUE(read->Done());
    const bool totalLast = IndexOf(order, Party::Total) > IndexOf(order, Party::Filled);
    EXPECT_EQ(read->Status(), totalLast ? STATUS_TIMEOUT : STATUS_SUCCESS);
    EXPECT_EQ(Text(read), "abc");
    EXPECT_EQ(Buffered(), "");
}

INSTANTIATE_TEST_SUITE_P(EveryOrder, FilledReadRaceTestHostBuildOnly,
                         ::testing::ValuesIn(EveryOrder({Party::Interval, Party::Total, Party::Filled, Party::Cancel})),
                         OrderName);

// The read holds "ab" and waits for more; its interval has elapsed, its
// total time-out (if it has one) fired, and a cancel arrives. The first
// party takes the read back, and "c" arrives right after: it must land in
// the receive buffer, never in the read. A total time-out DPC that is
// already queued always has the last word, so the read ends cancelled only
// when the cancel comes first and no total time-out is behind it.
class TakenBackReadRaceTestHostBuildOnly : public ReadRaceTest {};

TEST_P(TakenBackReadRaceTestHostBuildOnly, NeverStoresIntoATakenBackRead) {
    const Order& order = GetParam();
    const bool withTotal = IndexOf(order, Party::Total) < order.size();
    SetTimeouts(5, 0, withTotal ? 20 : 0);
    Request read = Read(4);
    Feed("ab");
    RunFor(kMillisecond);  // the interval check sees "ab"
    ManualDpcs();
    harness::dispatcher::AdvanceClock(19 * kMillisecond);
    for (size_t i = 0; i < order.size(); ++i) {
        Act(order[i], read);
        if (i == 0) Feed("c");
    }
    harness::dispatcher::RunDpcs();

    ASSERT_TRUE(read->Done());
    const bool cancelled = order.front() == Party::Cancel && !withTotal;
    EXPECT_EQ(read->Status(), cancelled ? STATUS_CANCELLED : STATUS_TIMEOUT);
    EXPECT_EQ(Text(read), cancelled ? "" : "ab");
    EXPECT_EQ(Buffered(), cancelled ? "abc" : "c");
}

INSTANTIATE_TEST_SUITE_P(EveryOrder, TakenBackReadRaceTestHostBuildOnly,
                         ::testing::ValuesIn(EveryOrder({Party::Interval, Party::Total, Party::Cancel})), OrderName);
INSTANTIATE_TEST_SUITE_P(WithoutTotal, TakenBackReadRaceTestHostBuildOnly,
                         ::testing::ValuesIn(EveryOrder({Party::Interval, Party::Cancel})), OrderName);

using ReadQueueTest = ReadPortTest;

// The queue-size change waits its turn behind the read and, when the read
// ends, takes its new buffer out before anything could write the read
// path's reference word over it (the same field on Windows).
// Reaches into the host build (see support/driver_build.h).
using ReadQueueTestHostBuildOnly = ReadQueueTest;

TEST_F(ReadQueueTestHostBuildOnly, QueueSizeChangeQueuedBehindAWaitingReadAppliesAfterIt) {
    Request read = Read(3);
    Request resize = SetQueueSize(8192);
    EXPECT_EQ(resize->DispatchStatus(), STATUS_PENDING);
    Feed("abcxyz");
    ASSERT_TRUE(read->Done() && resize->Done());
    EXPECT_EQ(Text(read), "abc");
    EXPECT_EQ(resize->Status(), STATUS_SUCCESS);
    EXPECT_EQ(port_->rxBufferSize, 8192u);
    EXPECT_EQ(Buffered(), "xyz");
}

TEST_F(ReadQueueTestHostBuildOnly, ACancelledReadGivesItsCharactersToTheNextRequest) {
    Request read = Read(5);
    Request resize = SetQueueSize(8192);
    Feed("ab");
    harness::app::Cancel(*read);
    Feed("c");
    ASSERT_TRUE(read->Done() && resize->Done());
    EXPECT_EQ(read->Status(), STATUS_CANCELLED);
    EXPECT_EQ(port_->rxBufferSize, 8192u);
    SetTimeouts(MAXULONG, 0, 0);
    EXPECT_EQ(harness::app::Read(handle_, 10).output, (std::vector<uint8_t>{'a', 'b', 'c'}));
}

}  // namespace
