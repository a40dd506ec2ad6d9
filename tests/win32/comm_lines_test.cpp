// Modem lines through the plug, break, the immediate character, purge, and
// what ClearCommError reports: queue counts, hold reasons and errors, each
// error reported once.
#include "comm_test_port.h"

namespace {

using comm_test::CommPortTest;
using comm_test::kCeilingMs;
using comm_test::NowMs;
using comm_test::Pending;

class CommLines : public CommPortTest {
protected:
    // The modem status once the lines in `mask` read `expected` (a line
    // change crosses the bus before the port sees it), or the last status.
    DWORD ModemStatusOnce(DWORD mask, DWORD expected) {
        DWORD status = 0;
        const int64_t end = NowMs() + kCeilingMs;
        while (NowMs() < end) {
            EXPECT_TRUE(GetCommModemStatus(port_, &status));
            if ((status & mask) == expected) break;
            Sleep(2);
        }
        return status & mask;
    }

    // The CE_ bits once some error has been reported, or 0.
    DWORD ErrorsOnce() {
        const int64_t end = NowMs() + kCeilingMs;
        DWORD errors = 0;
        while (NowMs() < end) {
            EXPECT_TRUE(ClearCommError(port_, &errors, nullptr));
            if (errors != 0) break;
            Sleep(2);
        }
        return errors;
    }
};

constexpr DWORD kLines = MS_CTS_ON | MS_DSR_ON | MS_RING_ON | MS_RLSD_ON;

TEST_F(CommLines, ModemLinesFollowDtrAndRtsThroughThePlug) {
    EXPECT_EQ(ModemStatusOnce(kLines, MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON),
              static_cast<DWORD>(MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON));
    ASSERT_TRUE(EscapeCommFunction(port_, CLRRTS));
    EXPECT_EQ(ModemStatusOnce(kLines, MS_DSR_ON | MS_RLSD_ON), static_cast<DWORD>(MS_DSR_ON | MS_RLSD_ON));
    ASSERT_TRUE(EscapeCommFunction(port_, CLRDTR));
    EXPECT_EQ(ModemStatusOnce(kLines, 0), 0u);
    ASSERT_TRUE(EscapeCommFunction(port_, SETRTS));
    EXPECT_EQ(ModemStatusOnce(kLines, MS_CTS_ON), static_cast<DWORD>(MS_CTS_ON));
    ASSERT_TRUE(EscapeCommFunction(port_, SETDTR));
    EXPECT_EQ(ModemStatusOnce(kLines, MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON),
              static_cast<DWORD>(MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON));
}

// Under handshake the port owns the line, and setting it by hand is refused.
TEST_F(CommLines, LineUnderHandshakeCannotBeSetByHand) {
    DCB dcb = {};
    ASSERT_TRUE(GetCommState(port_, &dcb));
    dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    ASSERT_TRUE(SetCommState(port_, &dcb));
    EXPECT_FALSE(EscapeCommFunction(port_, CLRRTS));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

// A break on the transmit line comes back as a break error, reported once.
TEST_F(CommLines, BreakComesBackAsABreakErrorReportedOnce) {
    ASSERT_TRUE(SetCommBreak(port_));
    EXPECT_EQ(ErrorsOnce() & CE_BREAK, static_cast<DWORD>(CE_BREAK));
    ASSERT_TRUE(ClearCommBreak(port_));
    DWORD errors = 0xffff;
    Sleep(20);
    ASSERT_TRUE(ClearCommError(port_, &errors, nullptr));
    EXPECT_EQ(errors & CE_BREAK, 0u);

    ASSERT_TRUE(EscapeCommFunction(port_, SETBREAK));
    EXPECT_EQ(ErrorsOnce() & CE_BREAK, static_cast<DWORD>(CE_BREAK));
    ASSERT_TRUE(EscapeCommFunction(port_, CLRBREAK));
}

// With fAbortOnError an error ends the pending read and the port refuses
// reads and writes until ClearCommError has reported it.
TEST_F(CommLines, AbortOnErrorHoldsTheDataPathUntilTheErrorIsCleared) {
    DCB dcb = {};
    ASSERT_TRUE(GetCommState(port_, &dcb));
    dcb.fAbortOnError = TRUE;
    ASSERT_TRUE(SetCommState(port_, &dcb));
    SetTimeouts(MAXDWORD, MAXDWORD, 5000, 0, 0);
    Pending io;
    char byte = 0;
    DWORD done = 0;
    ASSERT_FALSE(ReadFile(port_, &byte, 1, &done, &io.overlapped));
    ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    ASSERT_TRUE(SetCommBreak(port_));
    ASSERT_TRUE(io.Done(kCeilingMs));
    EXPECT_FALSE(GetOverlappedResult(port_, &io.overlapped, &done, FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));

    BOOL ok = TRUE;
    Read(1, &ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    DWORD errors = 0;
    ASSERT_TRUE(ClearCommError(port_, &errors, nullptr));
    EXPECT_NE(errors & CE_BREAK, 0u);
    ASSERT_TRUE(ClearCommBreak(port_));
    // The end of the break may raise an error of its own; report it too.
    Sleep(20);
    ASSERT_TRUE(ClearCommError(port_, &errors, nullptr));
    ASSERT_EQ(Write("k"), 1u);
    EXPECT_EQ(Read(1, &ok), "k");
    EXPECT_TRUE(ok);
}

TEST_F(CommLines, TransmitCommCharSendsAheadAndComesBack) {
    ASSERT_TRUE(TransmitCommChar(port_, 'Z')) << GetLastError();
    ASSERT_TRUE(WaitForInQueue(1));
    EXPECT_EQ(Read(4), "Z");
}

TEST_F(CommLines, ClearCommErrorCountsBothQueuesAndTheHold) {
    ASSERT_EQ(Write("12345"), 5u);
    ASSERT_TRUE(WaitForInQueue(5));
    DWORD errors = 0xffff;
    COMSTAT stat = {};
    ASSERT_TRUE(ClearCommError(port_, &errors, &stat));
    EXPECT_EQ(errors, 0u);
    EXPECT_EQ(stat.cbInQue, 5u);
    EXPECT_EQ(stat.cbOutQue, 0u);
    EXPECT_FALSE(stat.fCtsHold);

    HoldTransmitter();
    Pending io;
    DWORD done = 0;
    ASSERT_FALSE(WriteFile(port_, "waiting", 7, &done, &io.overlapped));
    ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    ASSERT_TRUE(ClearCommError(port_, &errors, &stat));
    EXPECT_TRUE(stat.fCtsHold);
    EXPECT_EQ(stat.cbOutQue, 7u);
    EXPECT_EQ(stat.cbInQue, 5u);
    ASSERT_TRUE(PurgeComm(port_, PURGE_TXABORT | PURGE_TXCLEAR));
    ASSERT_TRUE(io.Done(kCeilingMs));
}

// One byte more than the receive queue holds, with no flow control and
// nothing read: the queue overruns, reported once as CE_RXOVER, and the
// queue stays full. (One byte over, so that nothing arrives after the
// error has been read.)
TEST_F(CommLines, ReceiveQueueOverrunIsReportedAsRxOver) {
    COMMPROP prop = {};
    ASSERT_TRUE(GetCommProperties(port_, &prop));
    ASSERT_LE(prop.dwCurrentRxQueue, 16384u) << "too large a queue to overrun in a test";
    const std::string flood(prop.dwCurrentRxQueue + 1, 'o');
    ASSERT_EQ(Write(flood), flood.size());
    EXPECT_EQ(ErrorsOnce(), static_cast<DWORD>(CE_RXOVER));
    COMSTAT stat = {};
    DWORD errors = 0xffff;
    ASSERT_TRUE(ClearCommError(port_, &errors, &stat));
    EXPECT_EQ(errors, 0u);
    EXPECT_EQ(stat.cbInQue, prop.dwCurrentRxQueue);
}

TEST_F(CommLines, PurgeAbortsPendingRequestsAndEmptiesTheQueues) {
    ASSERT_EQ(Write("abc"), 3u);
    ASSERT_TRUE(WaitForInQueue(3));
    ASSERT_TRUE(PurgeComm(port_, PURGE_RXCLEAR));
    COMSTAT stat = {};
    ASSERT_TRUE(ClearCommError(port_, nullptr, &stat));
    EXPECT_EQ(stat.cbInQue, 0u);
    EXPECT_EQ(Read(3), "");

    SetTimeouts(0, 0, 0, 0, 0);
    Pending read;
    char buffer[4];
    DWORD done = 0;
    ASSERT_FALSE(ReadFile(port_, buffer, 4, &done, &read.overlapped));
    HoldTransmitter();
    Pending write;
    ASSERT_FALSE(WriteFile(port_, "stuck", 5, &done, &write.overlapped));
    ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));

    ASSERT_TRUE(PurgeComm(port_, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR));
    ASSERT_TRUE(read.Done(kCeilingMs));
    ASSERT_TRUE(write.Done(kCeilingMs));
    EXPECT_FALSE(GetOverlappedResult(port_, &read.overlapped, &done, FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_FALSE(GetOverlappedResult(port_, &write.overlapped, &done, FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    ASSERT_TRUE(ClearCommError(port_, nullptr, &stat));
    EXPECT_EQ(stat.cbOutQue, 0u);

    EXPECT_FALSE(PurgeComm(port_, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(PurgeComm(port_, 0x10));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

}  // namespace
