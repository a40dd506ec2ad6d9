// The status and receive streams as their completion runs them: the
// status word, re-arming and stopping, the receive walk's flow-control
// characters, counting and the receive holds, and what a removal leaves.
// What the walk stores is read back through the read path where it is
// served.
#include "tests/driver/write_test_port.h"

namespace {

using namespace write_test;

class StreamCompleteTest : public WritePortTest {
protected:
    size_t InSubmissions() const { return Submissions(kBulkIn); }
    void Settle() { harness::dispatcher::RunFor(40 * kMillisecond); }
    bool ReadPathServedNow() {
        // The port is open: its buffer is already there when reads are served.
        return Ext()->rxBuffer != nullptr;
    }
    // Everything received so far, through a read.
    std::vector<uint8_t> ReadAll(ULONG most = 64) {
        SetTimeouts(*port_, StreamingTimeouts(50));
        auto result = harness::app::Read(Handle(), most);
        EXPECT_TRUE(NT_SUCCESS(result.status));
        return result.output;
    }
};

TEST_F(StreamCompleteTest, TheStatusWordIsKeptAndTheStatusStreamReArmed) {
    OpenScriptedPort(115200);
    peer_->SetDsr(true);
    peer_->SetCts(true);
    Settle();
    EXPECT_EQ(Ext()->uartState, port_->chip->StatusWord());
    EXPECT_EQ(Ext()->uartState & (UART_STATE_DSR | UART_STATE_CTS), UART_STATE_DSR | UART_STATE_CTS);
    EXPECT_TRUE(StreamOutstanding(Ext(), STREAM_STATUS));
    peer_->SetCts(false);
    Settle();
    EXPECT_EQ(Ext()->uartState & UART_STATE_CTS, 0);
    EXPECT_TRUE(StreamOutstanding(Ext(), STREAM_STATUS));
}

// Reaches into the host build (see support/driver_build.h).
using StreamCompleteTestHostBuildOnly = StreamCompleteTest;

TEST_F(StreamCompleteTestHostBuildOnly, AClosedPortsStatusStreamStillKeepsTheWordAndReArms) {
    TestPort& port = PlugScriptedPort(2);
    port_ = &port;
    ASSERT_EQ(port.ext->openCount, 0);
    ASSERT_EQ(StartReaders(port.ext), STATUS_SUCCESS);
    peer_->SetDcd(true);
    Settle();
    EXPECT_EQ(port.ext->uartState & UART_STATE_DCD, UART_STATE_DCD);
    EXPECT_TRUE(StreamOutstanding(port.ext, STREAM_STATUS));
    // Characters arriving while closed stop the receive stream instead.
    peer_->Send("xy");
    Settle();
    EXPECT_FALSE(StreamOutstanding(port.ext, STREAM_BULK_IN));
    EXPECT_EQ(port.ext->perfStats.ReceivedCount, 0u);
    CancelAllStreams(port.ext);
    Settle();
}

// A transfer that fails on the bus leaves its pipe halted in the host
// controller (a transaction error on a noisy cable): the driver resets the
// pipe and the stream goes on, with nothing lost that the chip still held.
TEST_F(StreamCompleteTest, AFailedStatusOrReceiveTransferIsFollowedByAPipeResetAndTheStreamGoesOn) {
    OpenScriptedPort(115200);
    // The transfers outstanding now complete normally; their successors fail.
    harness::usb::FailStreamTransfers(1, kStatusIn);
    harness::usb::FailStreamTransfers(1, kBulkIn);
    peer_->SetDsr(true);
    peer_->Send("a");
    Settle();
    EXPECT_TRUE(StreamOutstanding(Ext(), STREAM_STATUS));
    EXPECT_TRUE(StreamOutstanding(Ext(), STREAM_BULK_IN));
    EXPECT_EQ(Ext()->pipesHalted, 0);
    peer_->Send("bc");
    peer_->SetCts(true);
    Settle();
    EXPECT_EQ(ReadAll(), std::vector<uint8_t>({'a', 'b', 'c'}));
    EXPECT_NE(Ext()->uartState & UART_STATE_CTS, 0) << "the status stream reads on";
}

// A pipe that fails again after every reset is left stopped after a few
// resets, as a failed stream was before; the next open starts it again.
TEST_F(StreamCompleteTestHostBuildOnly, APipeThatKeepsFailingIsLeftStoppedUntilTheNextStart) {
    OpenScriptedPort(115200);
    harness::usb::FailStreamTransfers(1000, kBulkIn);
    peer_->Send("a");
    Settle();
    const size_t submitted = InSubmissions();
    EXPECT_FALSE(StreamOutstanding(Ext(), STREAM_BULK_IN));
    EXPECT_LE(submitted, 10u) << "resets and restarts without end";
    Settle();
    EXPECT_EQ(InSubmissions(), submitted);
    harness::usb::ClearFaults();
    ASSERT_EQ(StartReaders(Ext()), STATUS_SUCCESS);
    Settle();
    peer_->Send("b");
    Settle();
    EXPECT_EQ(ReadAll(), std::vector<uint8_t>({'a', 'b'}));
}

TEST_F(StreamCompleteTestHostBuildOnly, TheReceiveStreamStaysStoppedWhileTheFarEndIsHeldOff) {
    OpenScriptedPort(115200);
    for (LONG hold : {RX_HOLD_XOFF, RX_HOLD_RTS}) {
        InterlockedOr(&Ext()->rxHolding, hold);
        peer_->Send("abc");
        Settle();
        EXPECT_FALSE(StreamOutstanding(Ext(), STREAM_BULK_IN)) << hold;
        InterlockedAnd(&Ext()->rxHolding, ~hold);
        ASSERT_EQ(StartReaders(Ext()), STATUS_SUCCESS);
    }
    // The other holds do not stop it.
    InterlockedOr(&Ext()->rxHolding, RX_HOLD_DTR | RX_HOLD_DSR);
    peer_->Send("abc");
    Settle();
    EXPECT_TRUE(StreamOutstanding(Ext(), STREAM_BULK_IN));
    InterlockedAnd(&Ext()->rxHolding, 0);
    EXPECT_EQ(Ext()->perfStats.ReceivedCount, 9u);
}

TEST_F(StreamCompleteTest, WhenXonAndXoffAreTheSameCharacterItActsAsXoff) {
    OpenScriptedPort(115200);
    SERIAL_CHARS chars{};
    chars.XonChar = kXoff;
    chars.XoffChar = kXoff;
    SetChars(*port_, chars);
    SERIAL_HANDFLOW handFlow = Ext()->handFlow;
    handFlow.FlowReplace = SERIAL_AUTO_TRANSMIT;
    SetHandFlow(*port_, handFlow);
    for (int i = 0; i < 2; ++i) {
        peer_->Send(std::vector<uint8_t>{kXoff});
        Settle();
        EXPECT_EQ(Ext()->xoffReceived, 1) << i;
        EXPECT_NE(Ext()->txHolding & TX_HOLD_XON, 0) << i;
    }
}

TEST_F(StreamCompleteTestHostBuildOnly, AnXonEndsAReceivedXoffEvenAfterTheHoldBitWasCleared) {
    OpenScriptedPort(115200);
    UseXonXoff(SERIAL_AUTO_TRANSMIT);
    peer_->Send(std::vector<uint8_t>{kXoff});
    Settle();
    ASSERT_EQ(Ext()->xoffReceived, 1);
    auto held = Write(Bytes("w"));
    Settle();
    ASSERT_FALSE(held->Done());
    // IOCTL_SERIAL_SET_XON's part: the hold bit only.
    InterlockedAnd(&Ext()->txHolding, ~TX_HOLD_XON);
    peer_->Send(std::vector<uint8_t>{kXon});
    ASSERT_TRUE(Wait(*held, kSecond));
    EXPECT_EQ(Ext()->xoffReceived, 0);
}

TEST_F(StreamCompleteTestHostBuildOnly, AnXoffInTransmitToggleModeQueuesTheLowerRtsCheck) {
    OpenScriptedPort(115200);
    SERIAL_CHARS chars{};
    chars.XonChar = kXon;
    chars.XoffChar = kXoff;
    SetChars(*port_, chars);
    // Stored directly: the toggle mode's line changes are not what is tested.
    KIRQL irql;
    KeAcquireSpinLock(&Ext()->controlLock, &irql);
    Ext()->handFlow.FlowReplace = SERIAL_AUTO_TRANSMIT | SERIAL_TRANSMIT_TOGGLE;
    KeReleaseSpinLock(&Ext()->controlLock, irql);
    harness::dispatcher::SetDpcDelivery(harness::dispatcher::DpcDelivery::Manual);
    peer_->Send(std::vector<uint8_t>{kXoff});
    harness::dispatcher::AdvanceClock(40 * kMillisecond);
    EXPECT_EQ(Ext()->xoffReceived, 1);
    EXPECT_TRUE(harness::dispatcher::IsQueued(&Ext()->startLowerRtsDpc));
    EXPECT_GE(Ext()->lowerRtsPending, 1);
    KeAcquireSpinLock(&Ext()->controlLock, &irql);
    Ext()->handFlow.FlowReplace = SERIAL_AUTO_TRANSMIT;
    KeReleaseSpinLock(&Ext()->controlLock, irql);
    harness::dispatcher::SetDpcDelivery(harness::dispatcher::DpcDelivery::Immediate);
    Settle();
}

TEST_F(StreamCompleteTest, EveryReceivedByteCountsIncludingStrippedAndFlowCharacters) {
    OpenScriptedPort(115200);
    UseXonXoff(SERIAL_AUTO_TRANSMIT | SERIAL_NULL_STRIPPING);
    peer_->Send(std::vector<uint8_t>{'a', 0, kXoff, 'b', 0, kXon, 'c'});
    Settle();
    EXPECT_EQ(Ext()->perfStats.ReceivedCount, 7u);
    if (!ReadPathServedNow()) GTEST_SKIP() << "the read path does not store characters yet";
    EXPECT_EQ(ReadAll(), Bytes("abc"));
}

TEST_F(StreamCompleteTestHostBuildOnly, BytesAreMaskedToTheWordLengthAndNulsKeptWithoutStripping) {
    OpenScriptedPort(115200);
    if (!ReadPathServedNow()) GTEST_SKIP() << "the read path does not store characters yet";
    // The driver's mask for 7-bit words, with the chip still passing 8 bits.
    KIRQL irql;
    KeAcquireSpinLock(&Ext()->controlLock, &irql);
    Ext()->validDataMask = 0x7F;
    KeReleaseSpinLock(&Ext()->controlLock, irql);
    peer_->Send(std::vector<uint8_t>{0xC1, 0x00, 0xFF});
    Settle();
    EXPECT_EQ(ReadAll(), (std::vector<uint8_t>{0x41, 0x00, 0x7F}));
}

TEST_F(StreamCompleteTest, TheEscapeCharacterIsPassedOnFollowedByAZero) {
    OpenScriptedPort(115200);
    if (!ReadPathServedNow()) GTEST_SKIP() << "the read path does not store characters yet";
    SetEscapeChar(*port_, 0xFF);
    peer_->Send(std::vector<uint8_t>{'a', 0xFF, 'b'});
    Settle();
    EXPECT_EQ(ReadAll(), (std::vector<uint8_t>{'a', 0xFF, 0x00, 'b'}));
}

TEST_F(StreamCompleteTestHostBuildOnly, ReceivedCharactersRaiseTheirEventsEvenWhileThePortIsNotOpen) {
    OpenScriptedPort(115200);
    if (!EventsKept()) GTEST_SKIP() << "the wait-mask side does not keep events yet";
    SERIAL_CHARS chars{};
    chars.EventChar = '!';
    SetChars(*port_, chars);
    WatchEvents(SERIAL_EV_RXCHAR | SERIAL_EV_RXFLAG);
    peer_->Send("a");
    Settle();
    EXPECT_EQ(TakeEvents(), static_cast<ULONG>(SERIAL_EV_RXCHAR));
    Ext()->portOpen = 0;  // the moment close has begun
    peer_->Send("!");
    Settle();
    EXPECT_EQ(TakeEvents(), static_cast<ULONG>(SERIAL_EV_RXCHAR | SERIAL_EV_RXFLAG));
    Ext()->portOpen = 1;
    EXPECT_EQ(Ext()->perfStats.ReceivedCount, 2u);
}

TEST_F(StreamCompleteTestHostBuildOnly, DuringRemovalCompletionsOnlyReleaseTheirTransfers) {
    OpenScriptedPort(115200);
    KIRQL irql;
    KeAcquireSpinLock(&Ext()->flagsLock, &irql);
    Ext()->pnpAccept = Ext()->pnpAccept | PNP_ACCEPT_SURPRISE_REMOVED;
    KeReleaseSpinLock(&Ext()->flagsLock, irql);
    peer_->Send("abc");
    peer_->SetDsr(true);
    Settle();
    EXPECT_EQ(Ext()->perfStats.ReceivedCount, 0u);
    EXPECT_EQ(Ext()->uartState & UART_STATE_DSR, 0);
    EXPECT_FALSE(StreamOutstanding(Ext(), STREAM_BULK_IN));
    EXPECT_FALSE(StreamOutstanding(Ext(), STREAM_STATUS));
    KeAcquireSpinLock(&Ext()->flagsLock, &irql);
    Ext()->pnpAccept = Ext()->pnpAccept & ~PNP_ACCEPT_SURPRISE_REMOVED;
    KeReleaseSpinLock(&Ext()->flagsLock, irql);
}

}  // namespace
