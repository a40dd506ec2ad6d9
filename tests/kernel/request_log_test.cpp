// The request log of the application's side of a port: serial records
// decoded by name, data shown up to the chosen length, and one entry per
// request with its handle, times, status and what came back.
#include <cstring>

#include "harness/app/request_log.h"
#include "harness/app/serial_decode.h"
#include "harness/app/user_io.h"
#include "harness/kernel/dispatcher.h"
#include "io_test_driver.h"

namespace app = harness::app;
namespace dispatcher = harness::dispatcher;

// --- Decoding the serial records ------------------------------------------

TEST(SerialDecodeTest, LineControlReadsAsWordLengthParityAndStopBits) {
    EXPECT_EQ(app::LineControlText({STOP_BIT_1, NO_PARITY, 8}), "8N1");
    EXPECT_EQ(app::LineControlText({STOP_BITS_1_5, EVEN_PARITY, 5}), "5E1.5");
    EXPECT_EQ(app::LineControlText({STOP_BITS_2, SPACE_PARITY, 7}), "7S2");
    EXPECT_EQ(app::LineControlText({STOP_BIT_1, MARK_PARITY, 6}), "6M1");
    // Values no application should send stay visible rather than look valid.
    EXPECT_EQ(app::LineControlText({3, 5, 9}), "9?5??3?");
}

TEST(SerialDecodeTest, HandflowNamesTheControlFieldsAndBitsAndKeepsUnknownBitsInHex) {
    EXPECT_EQ(app::HandflowText({SERIAL_DTR_CONTROL | SERIAL_CTS_HANDSHAKE, SERIAL_RTS_CONTROL | SERIAL_AUTO_TRANSMIT,
                                 2048, 512}),
              "ControlHandShake=SERIAL_DTR_CONTROL|SERIAL_CTS_HANDSHAKE "
              "FlowReplace=SERIAL_RTS_CONTROL|SERIAL_AUTO_TRANSMIT XonLimit=2048 XoffLimit=512");
    // The RTS field's third value is its own mode, not RTS_CONTROL|RTS_HANDSHAKE.
    EXPECT_EQ(app::HandflowText({SERIAL_DTR_HANDSHAKE | SERIAL_ERROR_ABORT, SERIAL_TRANSMIT_TOGGLE, 0, 0}),
              "ControlHandShake=SERIAL_DTR_HANDSHAKE|SERIAL_ERROR_ABORT FlowReplace=SERIAL_TRANSMIT_TOGGLE "
              "XonLimit=0 XoffLimit=0");
    EXPECT_EQ(app::HandflowText({SERIAL_DTR_MASK | 0x100, SERIAL_AUTO_RECEIVE | SERIAL_XOFF_CONTINUE, -1, 10}),
              "ControlHandShake=0x3|0x100 FlowReplace=SERIAL_AUTO_RECEIVE|SERIAL_XOFF_CONTINUE XonLimit=-1 XoffLimit=10");
    EXPECT_EQ(app::HandflowText({}), "ControlHandShake=0 FlowReplace=0 XonLimit=0 XoffLimit=0");
}

TEST(SerialDecodeTest, TimeoutsListAllFiveWithMaxulongByName) {
    EXPECT_EQ(app::TimeoutsText({MAXULONG, 0, 0, 10, 500}), "RI=MAXULONG RM=0 RC=0 WM=10 WC=500");
    EXPECT_EQ(app::TimeoutsText({50, 2, 1000, MAXULONG, 0}), "RI=50 RM=2 RC=1000 WM=MAXULONG WC=0");
}

TEST(SerialDecodeTest, MasksNameEachBit) {
    EXPECT_EQ(app::WaitMaskText(SERIAL_EV_RXCHAR | SERIAL_EV_CTS | SERIAL_EV_RING), "SERIAL_EV_RXCHAR|SERIAL_EV_CTS|SERIAL_EV_RING");
    EXPECT_EQ(app::WaitMaskText(SERIAL_EV_TXEMPTY | 0x8000), "SERIAL_EV_TXEMPTY|0x8000");
    EXPECT_EQ(app::WaitMaskText(0), "0");
    EXPECT_EQ(app::PurgeMaskText(SERIAL_PURGE_TXABORT | SERIAL_PURGE_RXCLEAR), "SERIAL_PURGE_TXABORT|SERIAL_PURGE_RXCLEAR");
    EXPECT_EQ(app::ModemStatusText(0x10 | 0x20 | 0x08), "SERIAL_MSR_CTS|SERIAL_MSR_DSR|SERIAL_MSR_DDCD");
    EXPECT_EQ(app::DtrRtsText(SERIAL_DTR_STATE | SERIAL_RTS_STATE), "SERIAL_DTR_STATE|SERIAL_RTS_STATE");
}

TEST(SerialDecodeTest, ControlCodesByNameInternalOnesApartUnknownInHex) {
    EXPECT_EQ(app::ControlCodeName(IOCTL_SERIAL_SET_BAUD_RATE), "IOCTL_SERIAL_SET_BAUD_RATE");
    EXPECT_EQ(app::ControlCodeName(IOCTL_SERIAL_SET_FIFO_CONTROL), "IOCTL_SERIAL_SET_FIFO_CONTROL");
    EXPECT_EQ(app::ControlCodeName(IOCTL_SERIAL_INTERNAL_DO_WAIT_WAKE, true), "IOCTL_SERIAL_INTERNAL_DO_WAIT_WAKE");
    EXPECT_EQ(app::ControlCodeName(0x001b0fff), "IOCTL 0x001b0fff");
}

TEST(SerialDecodeTest, ControlBuffersDecodeByTheirCodeAndShortOnesShowTheirBytes) {
    const SERIAL_LINE_CONTROL line{STOP_BIT_1, ODD_PARITY, 7};
    EXPECT_EQ(app::DecodeControlInput(IOCTL_SERIAL_SET_LINE_CONTROL, false, app::AsBytes(line)), "7O1");
    const ULONG purge = SERIAL_PURGE_RXABORT;
    EXPECT_EQ(app::DecodeControlInput(IOCTL_SERIAL_PURGE, false, app::AsBytes(purge)), "SERIAL_PURGE_RXABORT");
    const SERIAL_QUEUE_SIZE sizes{4096, 1024};
    EXPECT_EQ(app::DecodeControlInput(IOCTL_SERIAL_SET_QUEUE_SIZE, false, app::AsBytes(sizes)), "InSize=4096 OutSize=1024");
    const SERIAL_CHARS chars{0x1a, 0, 0, 0x7e, 0x11, 0x13};
    EXPECT_EQ(app::DecodeControlInput(IOCTL_SERIAL_SET_CHARS, false, app::AsBytes(chars)),
              "Eof=0x1a Error=0x00 Break=0x00 Event=0x7e Xon=0x11 Xoff=0x13");
    const ULONG events = SERIAL_EV_RXFLAG;
    EXPECT_EQ(app::DecodeControlOutput(IOCTL_SERIAL_WAIT_ON_MASK, false, app::AsBytes(events)), "SERIAL_EV_RXFLAG");
    const ULONG msr = 0x80;
    EXPECT_EQ(app::DecodeControlOutput(IOCTL_SERIAL_GET_MODEMSTATUS, false, app::AsBytes(msr)), "SERIAL_MSR_DCD");
    const uint8_t two[] = {0x00, 0xc2};
    EXPECT_EQ(app::DecodeControlInput(IOCTL_SERIAL_SET_BAUD_RATE, false, two), "2 bytes: 00 c2 |..|");
    EXPECT_EQ(app::DecodeControlInput(IOCTL_SERIAL_SET_DTR, false, {}), "");
}

TEST(SerialDecodeTest, BytesShowHexAndPrintableUpToTheChosenLength) {
    const uint8_t data[] = {'H', 'i', '\r', '\n', 0xff, 'x'};
    EXPECT_EQ(app::BytesText(data, 16), "6 bytes: 48 69 0d 0a ff 78 |Hi...x|");
    EXPECT_EQ(app::BytesText(data, 2), "6 bytes: 48 69 ... (+4) |Hi|");
    EXPECT_EQ(app::BytesText(data, 0), "6 bytes ... (+6)");
    EXPECT_EQ(app::BytesText(std::span<const uint8_t>(data, 1), 4), "1 byte: 48 |H|");
}

// --- Entries of a port's requests ------------------------------------------

class RequestLogTest : public IoTest {
protected:
    // A serial-like port reachable as COM9: the baud rate can be set and
    // read back, reads complete 2 ms later with "Hi\r\n" unless they ask for
    // more than 4 bytes (those wait, cancellable), writes take every byte.
    void Port() {
        AddDevice([this](PDEVICE_OBJECT, PIRP irp) { return Dispatch(irp); }, u"\\Device\\Port0");
        UNICODE_STRING link;
        UNICODE_STRING target;
        RtlInitUnicodeString(&link, u"\\DosDevices\\COM9");
        RtlInitUnicodeString(&target, u"\\Device\\Port0");
        EXPECT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
    }

    static const app::RequestLogEntry& Last() { return app::RequestLog().back(); }

    ULONG baud_ = 9600;

private:
    NTSTATUS Dispatch(PIRP irp) {
        PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
        switch (location->MajorFunction) {
        case IRP_MJ_READ: return Read(irp, location->Parameters.Read.Length);
        case IRP_MJ_WRITE: return iotest::Complete(irp, STATUS_SUCCESS, location->Parameters.Write.Length);
        case IRP_MJ_DEVICE_CONTROL: break;
        default: return iotest::Complete(irp, STATUS_SUCCESS);
        }
        auto* buffer = static_cast<ULONG*>(irp->AssociatedIrp.SystemBuffer);
        switch (location->Parameters.DeviceIoControl.IoControlCode) {
        case IOCTL_SERIAL_SET_BAUD_RATE: baud_ = *buffer; return iotest::Complete(irp, STATUS_SUCCESS);
        case IOCTL_SERIAL_GET_BAUD_RATE: *buffer = baud_; return iotest::Complete(irp, STATUS_SUCCESS, sizeof(ULONG));
        default: return iotest::Complete(irp, STATUS_INVALID_PARAMETER);
        }
    }

    static NTSTATUS Read(PIRP irp, ULONG length) {
        IoMarkIrpPending(irp);
        if (length > 4) {
            IoSetCancelRoutine(irp, [](PDEVICE_OBJECT, PIRP irp) NTAPI {
                IoReleaseCancelSpinLock(irp->CancelIrql);
                iotest::Complete(irp, STATUS_CANCELLED);
            });
            return STATUS_PENDING;
        }
        dispatcher::ScheduleAfter(2 * dispatcher::kMillisecond, [irp, length] {
            std::memcpy(irp->AssociatedIrp.SystemBuffer, "Hi\r\n", length);
            iotest::Complete(irp, STATUS_SUCCESS, length);
        }, "test port read data");
        return STATUS_PENDING;
    }
};

TEST_F(RequestLogTest, IsOffUntilEnabledAndTheKernelResetTurnsItOffAndEmptiesIt) {
    Port();
    app::Handle port;
    ASSERT_EQ(app::Open(u"COM9", &port), STATUS_SUCCESS);
    EXPECT_FALSE(app::RequestLogEnabled());
    EXPECT_TRUE(app::RequestLog().empty());
    app::EnableRequestLog();
    app::Close(port);
    EXPECT_EQ(app::RequestLog().size(), 2u);  // cleanup and close
    harness::ResetKernel();
    EXPECT_FALSE(app::RequestLogEnabled());
    EXPECT_TRUE(app::RequestLog().empty());
}

TEST_F(RequestLogTest, AControlRequestShowsItsDecodedInputStatusAndOutput) {
    Port();
    app::EnableRequestLog();
    app::Handle port;
    ASSERT_EQ(app::Open(u"COM9", &port), STATUS_SUCCESS);
    const ULONG rate = 115200;
    app::Ioctl(port, IOCTL_SERIAL_SET_BAUD_RATE, app::AsBytes(rate), 0);
    EXPECT_EQ(Last().operation, "IOCTL_SERIAL_SET_BAUD_RATE");
    EXPECT_EQ(Last().controlCode, ULONG(IOCTL_SERIAL_SET_BAUD_RATE));
    EXPECT_EQ(Last().inputText, "115200");
    EXPECT_EQ(Last().status, STATUS_SUCCESS);
    EXPECT_EQ(Last().line, "#2  0.000000 s -> 0.000000 s  h1  IOCTL_SERIAL_SET_BAUD_RATE 115200 -> STATUS_SUCCESS");

    baud_ = 9600;
    app::Ioctl(port, IOCTL_SERIAL_GET_BAUD_RATE, {}, sizeof(ULONG));
    EXPECT_EQ(Last().output, (std::vector<uint8_t>{0x80, 0x25, 0, 0}));
    EXPECT_EQ(Last().outputText, "9600");
    EXPECT_TRUE(Last().line.ends_with("IOCTL_SERIAL_GET_BAUD_RATE -> STATUS_SUCCESS 9600"));

    app::Ioctl(port, 0x001b0fff, {}, 0);
    EXPECT_TRUE(Last().line.ends_with("IOCTL 0x001b0fff -> STATUS_INVALID_PARAMETER"));
    app::Close(port);
    EXPECT_EQ(app::RequestLog().front().operation, "IRP_MJ_CREATE");
}

TEST_F(RequestLogTest, AReadAndAWriteShowTheirBytesAndTimesOnTheVirtualClock) {
    Port();
    app::EnableRequestLog(3);
    app::Handle port;
    ASSERT_EQ(app::Open(u"COM9", &port), STATUS_SUCCESS);
    dispatcher::RunFor(dispatcher::kSecond);
    const uint8_t data[] = {'A', 'T', 'Z', '\r'};
    app::Write(port, data);
    EXPECT_EQ(Last().input, (std::vector<uint8_t>{'A', 'T', 'Z', '\r'}));
    EXPECT_EQ(Last().information, 4u);
    EXPECT_EQ(Last().line, "#2  1.000000 s -> 1.000000 s  h1  IRP_MJ_WRITE 4 bytes: 41 54 5a ... (+1) |ATZ| "
                           "-> STATUS_SUCCESS 4 written");

    app::Read(port, 4);
    EXPECT_EQ(Last().entered, dispatcher::kSecond);
    EXPECT_EQ(Last().completed, dispatcher::kSecond + 2 * dispatcher::kMillisecond);
    EXPECT_EQ(Last().output, (std::vector<uint8_t>{'H', 'i', '\r', '\n'}));  // the whole data, whatever is shown
    EXPECT_EQ(Last().line, "#3  1.000000 s -> 1.002000 s  h1  IRP_MJ_READ 4 -> STATUS_SUCCESS "
                           "4 bytes: 48 69 0d ... (+1) |Hi.|");
    app::Close(port);
}

TEST_F(RequestLogTest, ACancelledRequestShowsWhenItWasCancelledAndItsStatus) {
    Port();
    app::EnableRequestLog();
    app::Handle port;
    ASSERT_EQ(app::Open(u"COM9", &port), STATUS_SUCCESS);
    auto read = app::ReadAsync(port, 16);
    EXPECT_FALSE(Last().completed.has_value());
    EXPECT_EQ(Last().status, STATUS_PENDING);
    EXPECT_EQ(Last().line, "#2  0.000000 s -> in flight  h1  IRP_MJ_READ 16");
    app::Wait(*read, 250 * dispatcher::kMillisecond);
    app::Cancel(*read);
    const app::RequestLogEntry& e = app::RequestLog()[1];
    EXPECT_EQ(e.cancelled, 250 * dispatcher::kMillisecond);
    EXPECT_EQ(e.status, STATUS_CANCELLED);
    EXPECT_TRUE(e.output.empty());
    EXPECT_EQ(e.line, "#2  0.000000 s -> 0.250000 s  h1  IRP_MJ_READ 16 (cancelled at 0.250000 s) "
                      "-> STATUS_CANCELLED");
    app::Close(port);
}

TEST_F(RequestLogTest, EachOpenIsItsOwnHandleAndTheListenerSeesEachCompletion) {
    Port();
    app::EnableRequestLog();
    std::vector<std::string> heard;
    app::SetRequestLogListener([&](const app::RequestLogEntry& e) { heard.push_back(e.operation); });
    app::Handle first;
    app::Handle second;
    ASSERT_EQ(app::Open(u"COM9", &first), STATUS_SUCCESS);
    ASSERT_EQ(app::Open(u"COM9", &second), STATUS_SUCCESS);
    app::Ioctl(second, IOCTL_SERIAL_GET_BAUD_RATE, {}, sizeof(ULONG));
    EXPECT_EQ(Last().handle, 2);
    EXPECT_EQ(Last().fileObject, second.fileObject);
    app::Close(first);
    app::Close(second);
    ASSERT_EQ(app::Open(u"COM9", &first), STATUS_SUCCESS);
    EXPECT_EQ(Last().handle, 3);
    app::Close(first);
    EXPECT_EQ(heard.size(), app::RequestLog().size());
    EXPECT_EQ(heard[2], "IOCTL_SERIAL_GET_BAUD_RATE");
    app::SetRequestLogListener(nullptr);
}
