// What the status evaluation puts into the receive stream: the line-status
// escape sequence, ErrorChar and BreakChar, and the modem status on a line
// change (IOCTL_SERIAL_LSRMST_INSERT), read back from the receive buffer.
#include "io/read_path.h"
#include "modem_test_port.h"

namespace {

class InsertionTestHostBuildOnly : public ModemPortTest {
protected:
    void SetUp() override {
        ModemPortTest::SetUp();
        OpenPort();
        if (!StoresCharacters()) GTEST_SKIP() << "the receive buffer does not store characters in this tree";
    }
    // The receive buffer's own routine, probed once.
    bool StoresCharacters() {
        AtDispatch([&] {
            KeAcquireSpinLockAtDpcLevel(&ext_->controlLock);
            KeAcquireSpinLockAtDpcLevel(&ext_->rxLock);
            StoreReceivedChar(ext_, 'p');
            KeReleaseSpinLockFromDpcLevel(&ext_->rxLock);
            KeReleaseSpinLockFromDpcLevel(&ext_->controlLock);
        });
        const bool stored = ext_->rxCount == 1;
        ext_->rxCount = 0;
        ext_->rxGet = ext_->rxPut = ext_->rxBuffer;
        return stored;
    }
    std::vector<uint8_t> Buffered() const { return {ext_->rxGet, ext_->rxGet + ext_->rxCount}; }
};

TEST_F(InsertionTestHostBuildOnly, AFramingErrorIsEscapedWithItsLineStatusAndFollowedByTheErrorChar) {
    SetEscapeChar(*port_, 0xFF);
    ext_->handFlow.FlowReplace |= SERIAL_ERROR_CHAR;
    ext_->specialChars.ErrorChar = '?';
    NewStatusWord(UART_STATE_FRAMING);
    EXPECT_EQ(Buffered(), (std::vector<uint8_t>{0xFF, SERIAL_LSRMST_LSR_NODATA, LSR_FRAMING, '?'}));
}

TEST_F(InsertionTestHostBuildOnly, ABreakPutsTheBreakCharIntoTheStream) {
    ext_->handFlow.FlowReplace |= SERIAL_BREAK_CHAR | SERIAL_ERROR_CHAR;
    ext_->specialChars.BreakChar = 0xEE;
    NewStatusWord(UART_STATE_BREAK | UART_STATE_PARITY);
    EXPECT_EQ(Buffered(), std::vector<uint8_t>{0xEE}) << "no ErrorChar for the parity error under the break";
}

TEST_F(InsertionTestHostBuildOnly, ALineChangeIsInsertedAsTheModemStatusRegisterOnce) {
    SetEscapeChar(*port_, 0xFF);
    NewStatusWord(UART_STATE_CTS);
    NewStatusWord(UART_STATE_CTS);
    EXPECT_EQ(Buffered(), (std::vector<uint8_t>{0xFF, SERIAL_LSRMST_MST, MSR_CTS | MSR_DCTS}));
}

TEST_F(InsertionTestHostBuildOnly, ALookAtTheLinesFromAControlCodeStoresWhatItInsertsLikeTheReceivePath) {
    SetEscapeChar(*port_, 0xFF);
    // DSR came up in a word not yet evaluated; IOCTL_SERIAL_GET_MODEMSTATUS
    // looks at the lines at PASSIVE_LEVEL, holding no lock.
    ext_->uartState = UART_STATE_DSR;
    EXPECT_EQ(RefreshModemStatus(ext_), MSR_DSR);
    EXPECT_EQ(Buffered(), (std::vector<uint8_t>{0xFF, SERIAL_LSRMST_MST, MSR_DSR | MSR_DDSR}));
}

}  // namespace
