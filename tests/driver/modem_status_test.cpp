// The chip's status word: the modem-status image, line-change events, ring
// on the two kinds of chip, line errors counted once per word, and the
// holds that follow the lines.
#include <cstring>

#include "modem_test_port.h"

namespace {

using harness::dispatcher::DpcDelivery;
using harness::dispatcher::SetDpcDelivery;

constexpr USHORT kCts = UART_STATE_CTS;
constexpr USHORT kDsr = UART_STATE_DSR;
constexpr USHORT kDcd = UART_STATE_DCD;
constexpr USHORT kRing = UART_STATE_RING;

class ModemStatusTestHostBuildOnly : public ModemPortTest {
protected:
    UCHAR Refresh() {
        UCHAR image = 0;
        AtDispatch([&] { image = RefreshModemStatus(ext_); });
        return image;
    }
    // A wait armed for the modem events; Done() tells whether any arrived.
    std::shared_ptr<harness::app::Request> WaitForLines() {
        EXPECT_EQ(SetWaitMask(SERIAL_EV_CTS | SERIAL_EV_DSR | SERIAL_EV_RLSD | SERIAL_EV_RING), STATUS_SUCCESS);
        return WaitOnMask();
    }
};

TEST_F(ModemStatusTestHostBuildOnly, ALineChangeRaisesItsEventOnceHoweverOftenTheLinesAreLookedAt) {
    OpenPort();
    auto wait = WaitForLines();
    EXPECT_EQ(NewStatusWord(kCts), MSR_CTS);
    ASSERT_TRUE(wait->Done());
    EXPECT_EQ(Events(*wait), ULONG{SERIAL_EV_CTS});

    auto quiet = WaitOnMask();
    EXPECT_EQ(NewStatusWord(kCts), MSR_CTS);
    EXPECT_EQ(Refresh(), MSR_CTS);
    EXPECT_FALSE(quiet->Done()) << "no line changed";

    EXPECT_EQ(NewStatusWord(kCts | kDsr | kDcd), MSR_CTS | MSR_DSR | MSR_DCD);
    ASSERT_TRUE(quiet->Done());
    EXPECT_EQ(Events(*quiet), ULONG{SERIAL_EV_DSR | SERIAL_EV_RLSD});
}

TEST_F(ModemStatusTestHostBuildOnly, OnAGeneration1ChipEachWordWithTheRingBitIsOneRing) {
    OpenPort(1);
    auto wait = WaitForLines();
    EXPECT_EQ(NewStatusWord(kRing), MSR_RI);
    ASSERT_TRUE(wait->Done());
    EXPECT_EQ(Events(*wait), ULONG{SERIAL_EV_RING});

    auto next = WaitOnMask();
    EXPECT_EQ(Refresh(), MSR_RI) << "IOCTL_SERIAL_GET_MODEMSTATUS reports the ring";
    EXPECT_FALSE(next->Done()) << "looking again is not another ring";
    ext_->uartState = static_cast<USHORT>(ext_->uartState & ~kRing);  // what IOCTL_SERIAL_GET_MODEMSTATUS does on these chips
    EXPECT_EQ(Refresh(), 0);

    EXPECT_EQ(NewStatusWord(kRing), MSR_RI);
    ASSERT_TRUE(next->Done()) << "the chip reported the next ring";
    EXPECT_EQ(Events(*next), ULONG{SERIAL_EV_RING});
}

TEST_F(ModemStatusTestHostBuildOnly, OnAGeneration2ChipRingIsALevelWithAnEventOnEachChange) {
    OpenPort(2);
    auto wait = WaitForLines();
    EXPECT_EQ(NewStatusWord(kRing), MSR_RI);
    ASSERT_TRUE(wait->Done());

    auto next = WaitOnMask();
    EXPECT_EQ(NewStatusWord(kRing), MSR_RI) << "reported for as long as the chip holds it";
    EXPECT_EQ(Refresh(), MSR_RI);
    EXPECT_FALSE(next->Done());
    EXPECT_EQ(NewStatusWord(0), 0);
    ASSERT_TRUE(next->Done());
    EXPECT_EQ(Events(*next), ULONG{SERIAL_EV_RING});
}

TEST_F(ModemStatusTestHostBuildOnly, AWordsLineErrorsAreCountedOnceAndEachNewWordCountsAgain) {
    OpenPort();
    NewStatusWord(kCts | UART_STATE_FRAMING);
    EXPECT_EQ(ext_->perfStats.FrameErrorCount, 1u);
    EXPECT_EQ(ext_->errorWord, ULONG{SERIAL_ERROR_FRAMING});

    Refresh();
    Refresh();
    EXPECT_EQ(ext_->perfStats.FrameErrorCount, 1u) << "looking at the lines again counts nothing";

    NewStatusWord(kCts | UART_STATE_FRAMING);
    EXPECT_EQ(ext_->perfStats.FrameErrorCount, 2u) << "the chip reported a second error";
}

TEST_F(ModemStatusTestHostBuildOnly, ABreakCountsNoParityOrFramingErrorButOverrunStillCounts) {
    OpenPort();
    NewStatusWord(UART_STATE_BREAK | UART_STATE_PARITY | UART_STATE_FRAMING);
    EXPECT_EQ(ext_->errorWord, ULONG{SERIAL_ERROR_BREAK});
    EXPECT_EQ(ext_->perfStats.ParityErrorCount, 0u);
    EXPECT_EQ(ext_->perfStats.FrameErrorCount, 0u);

    ext_->errorWord = 0;
    NewStatusWord(UART_STATE_OVERRUN | UART_STATE_PARITY);
    EXPECT_EQ(ext_->errorWord, ULONG{SERIAL_ERROR_OVERRUN | SERIAL_ERROR_PARITY});
    EXPECT_EQ(ext_->perfStats.SerialOverrunErrorCount, 1u);
    EXPECT_EQ(ext_->perfStats.ParityErrorCount, 1u);
}

TEST_F(ModemStatusTestHostBuildOnly, ALineErrorUnderErrorAbortQueuesTheErrorDpc) {
    OpenPort();
    ext_->handFlow.ControlHandShake |= SERIAL_ERROR_ABORT;
    SetDpcDelivery(DpcDelivery::Manual);
    NewStatusWord(kCts);
    EXPECT_FALSE(harness::dispatcher::IsQueued(&ext_->commErrorDpc));
    NewStatusWord(UART_STATE_OVERRUN);
    EXPECT_TRUE(harness::dispatcher::IsQueued(&ext_->commErrorDpc));
}

TEST_F(ModemStatusTestHostBuildOnly, TransmitHoldsFollowCtsAndDsrOnlyUnderTheChipsFlowControl) {
    OpenPort();
    NewStatusWord(0);
    EXPECT_EQ(ext_->txHolding, 0);
    ext_->ctsFlowEnabled = 1;
    ext_->dsrFlowEnabled = 1;
    NewStatusWord(kDsr);
    EXPECT_EQ(ext_->txHolding, TX_HOLD_CTS);
    NewStatusWord(kCts);
    EXPECT_EQ(ext_->txHolding, TX_HOLD_DSR);
    NewStatusWord(kCts | kDsr);
    EXPECT_EQ(ext_->txHolding, 0);
}

TEST_F(ModemStatusTestHostBuildOnly, UnderDsrSensitivityCharactersAreDroppedWhileDsrIsLow) {
    OpenPort();
    ext_->handFlow.ControlHandShake |= SERIAL_DSR_SENSITIVITY;
    ext_->xoffCountRemaining = 10;  // counts the characters that get through
    NewStatusWord(0);
    EXPECT_EQ(ext_->rxHolding, RX_HOLD_DSR);
    Receive('a', 0);
    EXPECT_EQ(ext_->xoffCountRemaining, 10u) << "dropped without a trace";

    // DSR has come up in a word the status stream has not evaluated yet:
    // the character looks at the lines itself.
    ext_->uartState = kDsr;
    Receive('b', 0);
    EXPECT_EQ(ext_->rxHolding, 0);
    EXPECT_EQ(ext_->xoffCountRemaining, 9u);
}

TEST_F(ModemStatusTestHostBuildOnly, InsertedCharactersDoNotStartAnotherEvaluationOfTheirWord) {
    OpenPort();
    ext_->handFlow.ControlHandShake |= SERIAL_DSR_SENSITIVITY;
    ext_->handFlow.FlowReplace |= SERIAL_ERROR_CHAR | SERIAL_BREAK_CHAR;
    ext_->escapeChar = 0xFF;
    ext_->xoffCountRemaining = 100;
    NewStatusWord(kDsr | UART_STATE_OVERRUN | UART_STATE_PARITY | UART_STATE_FRAMING);
    EXPECT_EQ(ext_->perfStats.SerialOverrunErrorCount, 1u);
    EXPECT_EQ(ext_->perfStats.ParityErrorCount, 1u);
    EXPECT_EQ(ext_->perfStats.FrameErrorCount, 1u);
    // Escape, MST and the modem status for DSR coming up; escape, LSR_NODATA
    // and the line status; one ErrorChar for each of the three errors.
    EXPECT_EQ(ext_->xoffCountRemaining, 100u - 3 - 3 - 3);
}

TEST_F(ModemStatusTestHostBuildOnly, WithoutAnEscapeCharacterNothingIsInserted) {
    OpenPort();
    ext_->xoffCountRemaining = 100;
    NewStatusWord(kDsr | UART_STATE_FRAMING);
    EXPECT_EQ(ext_->xoffCountRemaining, 100u);
    ext_->handFlow.FlowReplace |= SERIAL_BREAK_CHAR;
    NewStatusWord(kDsr | UART_STATE_BREAK);
    EXPECT_EQ(ext_->xoffCountRemaining, 99u) << "only the BreakChar";
}

}  // namespace
