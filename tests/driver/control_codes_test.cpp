// The serial control codes at their edges, as an application meets them:
// buffers too short or absent, every get returning exactly its record, a
// port without an open handle, a pending error abort, codes the port does
// not serve.
#include "tests/driver/control_codes_port.h"

namespace {

using harness::dispatcher::kMillisecond;

class ControlCodes : public ControlCodesPort {
protected:
    static Result Zeros(TestPort& port, ULONG code, size_t inLength, ULONG outLength) {
        const std::vector<uint8_t> input(inLength, 0);
        return Code(port, code, input, outLength);
    }
};

// Each standard code's buffer sizes, and what it says when the request
// carries no buffer at all (both lengths 0: the I/O manager allocates no
// system buffer). Codes that check the length first call that too small.
struct BufferCase {
    const char* name;
    ULONG code;
    ULONG input;   // the record it reads, 0 for none
    ULONG output;  // the record it returns, 0 for none
    NTSTATUS absent;
};

const BufferCase kBufferCases[] = {
    {"SET_BAUD_RATE", IOCTL_SERIAL_SET_BAUD_RATE, 4, 0, STATUS_BUFFER_TOO_SMALL},
    {"SET_QUEUE_SIZE", IOCTL_SERIAL_SET_QUEUE_SIZE, 8, 0, STATUS_INVALID_PARAMETER},
    {"SET_LINE_CONTROL", IOCTL_SERIAL_SET_LINE_CONTROL, 3, 0, STATUS_INVALID_PARAMETER},
    {"IMMEDIATE_CHAR", IOCTL_SERIAL_IMMEDIATE_CHAR, 1, 0, STATUS_BUFFER_TOO_SMALL},
    {"SET_TIMEOUTS", IOCTL_SERIAL_SET_TIMEOUTS, 20, 0, STATUS_INVALID_PARAMETER},
    {"GET_TIMEOUTS", IOCTL_SERIAL_GET_TIMEOUTS, 0, 20, STATUS_INVALID_PARAMETER},
    {"GET_WAIT_MASK", IOCTL_SERIAL_GET_WAIT_MASK, 0, 4, STATUS_BUFFER_TOO_SMALL},
    {"SET_WAIT_MASK", IOCTL_SERIAL_SET_WAIT_MASK, 4, 0, STATUS_BUFFER_TOO_SMALL},
    {"WAIT_ON_MASK", IOCTL_SERIAL_WAIT_ON_MASK, 0, 4, STATUS_BUFFER_TOO_SMALL},
    {"PURGE", IOCTL_SERIAL_PURGE, 4, 0, STATUS_INVALID_PARAMETER},
    {"GET_BAUD_RATE", IOCTL_SERIAL_GET_BAUD_RATE, 0, 4, STATUS_INVALID_PARAMETER},
    {"GET_LINE_CONTROL", IOCTL_SERIAL_GET_LINE_CONTROL, 0, 3, STATUS_INVALID_PARAMETER},
    {"GET_CHARS", IOCTL_SERIAL_GET_CHARS, 0, 6, STATUS_INVALID_PARAMETER},
    {"SET_CHARS", IOCTL_SERIAL_SET_CHARS, 6, 0, STATUS_INVALID_PARAMETER},
    {"GET_HANDFLOW", IOCTL_SERIAL_GET_HANDFLOW, 0, 16, STATUS_INVALID_PARAMETER},
    {"SET_HANDFLOW", IOCTL_SERIAL_SET_HANDFLOW, 16, 0, STATUS_INVALID_PARAMETER},
    {"GET_MODEMSTATUS", IOCTL_SERIAL_GET_MODEMSTATUS, 0, 4, STATUS_INVALID_PARAMETER},
    {"GET_COMMSTATUS", IOCTL_SERIAL_GET_COMMSTATUS, 0, 20, STATUS_INVALID_PARAMETER},
    {"XOFF_COUNTER", IOCTL_SERIAL_XOFF_COUNTER, 12, 0, STATUS_INVALID_PARAMETER},
    {"GET_PROPERTIES", IOCTL_SERIAL_GET_PROPERTIES, 0, 64, STATUS_INVALID_PARAMETER},
    {"GET_DTRRTS", IOCTL_SERIAL_GET_DTRRTS, 0, 4, STATUS_INVALID_PARAMETER},
    {"LSRMST_INSERT", IOCTL_SERIAL_LSRMST_INSERT, 1, 0, STATUS_INVALID_PARAMETER},
    {"CONFIG_SIZE", IOCTL_SERIAL_CONFIG_SIZE, 0, 4, STATUS_INVALID_PARAMETER},
    {"GET_STATS", IOCTL_SERIAL_GET_STATS, 0, 24, STATUS_BUFFER_TOO_SMALL},
    {"GET_MODEM_CONTROL", IOCTL_SERIAL_GET_MODEM_CONTROL, 0, 4, STATUS_INVALID_PARAMETER},
    {"SET_MODEM_CONTROL", IOCTL_SERIAL_SET_MODEM_CONTROL, 4, 0, STATUS_INVALID_PARAMETER},
    {"SET_FIFO_CONTROL", IOCTL_SERIAL_SET_FIFO_CONTROL, 4, 0, STATUS_INVALID_PARAMETER},
};

// A short record is refused as too small and returns nothing; a request
// without any buffer is refused before anything is read through the
// absent pointer. No refusal changes a setting the get codes report.
TEST_F(ControlCodes, ShortAndAbsentBuffersAreRefusedAndReturnNothing) {
    TestPort& port = OpenPort();
    SetBaud(port, 19200);
    const SERIAL_HANDFLOW handFlow = HandFlow(port);
    const SERIAL_CHARS chars = Chars(port);
    for (const BufferCase& c : kBufferCases) {
        SCOPED_TRACE(c.name);
        if (c.input > 1) {
            const Result r = Zeros(port, c.code, c.input - 1, 0);
            EXPECT_EQ(r.status, STATUS_BUFFER_TOO_SMALL) << "input one byte short";
            EXPECT_EQ(r.information, 0u);
        }
        if (c.output > 1) {
            const Result r = Zeros(port, c.code, 0, c.output - 1);
            EXPECT_EQ(r.status, STATUS_BUFFER_TOO_SMALL) << "output one byte short";
            EXPECT_EQ(r.information, 0u);
            EXPECT_TRUE(r.output.empty());
        }
        const Result r = Zeros(port, c.code, 0, 0);
        EXPECT_EQ(r.status, c.absent) << "no buffer";
        EXPECT_EQ(r.information, 0u);
    }
    EXPECT_EQ(Baud(port), 19200u);
    const SERIAL_HANDFLOW handFlowAfter = HandFlow(port);
    EXPECT_EQ(std::memcmp(&handFlow, &handFlowAfter, sizeof handFlow), 0);
    const SERIAL_CHARS after = Chars(port);
    EXPECT_EQ(std::memcmp(&chars, &after, sizeof chars), 0);
}

// Every get returns exactly its record, whether the application's buffer
// is just large enough or larger.
TEST_F(ControlCodes, EveryGetReturnsExactlyItsRecord) {
    struct GetCase {
        const char* name;
        ULONG code;
        ULONG length;
    };
    const GetCase cases[] = {
        {"GET_BAUD_RATE", IOCTL_SERIAL_GET_BAUD_RATE, 4},       {"GET_LINE_CONTROL", IOCTL_SERIAL_GET_LINE_CONTROL, 3},
        {"GET_CHARS", IOCTL_SERIAL_GET_CHARS, 6},               {"GET_HANDFLOW", IOCTL_SERIAL_GET_HANDFLOW, 16},
        {"GET_TIMEOUTS", IOCTL_SERIAL_GET_TIMEOUTS, 20},        {"GET_WAIT_MASK", IOCTL_SERIAL_GET_WAIT_MASK, 4},
        {"GET_MODEMSTATUS", IOCTL_SERIAL_GET_MODEMSTATUS, 4},   {"GET_COMMSTATUS", IOCTL_SERIAL_GET_COMMSTATUS, 20},
        {"GET_PROPERTIES", IOCTL_SERIAL_GET_PROPERTIES, 64},    {"GET_DTRRTS", IOCTL_SERIAL_GET_DTRRTS, 4},
        {"CONFIG_SIZE", IOCTL_SERIAL_CONFIG_SIZE, 4},           {"GET_STATS", IOCTL_SERIAL_GET_STATS, 24},
        {"GET_MODEM_CONTROL", IOCTL_SERIAL_GET_MODEM_CONTROL, 4},
    };
    TestPort& port = OpenPort();
    for (const GetCase& c : cases) {
        for (ULONG out : {c.length, c.length + 9}) {
            const Result r = Code(port, c.code, {}, out);
            EXPECT_EQ(r.status, STATUS_SUCCESS) << c.name << " into " << out;
            EXPECT_EQ(r.information, c.length) << c.name << " into " << out;
        }
    }
    EXPECT_EQ(Get<ULONG>(port, IOCTL_SERIAL_CONFIG_SIZE), 0u);
}

// A kernel-mode client that sends control codes to the device without
// opening it (IoBuildDeviceIoControlRequest) is refused for every code,
// before the request is counted and before the chip hears of it.
TEST_F(ControlCodes, APortWithoutAnOpenHandleRefusesEveryCode) {
    TestPort& port = PlugPort();
    auto send = [&](ULONG code, ULONG inLength, ULONG outLength) {
        std::vector<uint8_t> input(inLength, 0x55), output(outLength, 0xEE);
        if (inLength != 0) input[0] = 0x80;  // 9600 as a rate, a valid mask, a valid character
        KEVENT done;
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        IO_STATUS_BLOCK io{};
        PIRP irp = IoBuildDeviceIoControlRequest(code, port.Fdo(), inLength ? input.data() : nullptr, inLength,
                                                 outLength ? output.data() : nullptr, outLength, FALSE, &done, &io);
        EXPECT_NE(irp, nullptr);
        if (irp == nullptr) return NTSTATUS(STATUS_INSUFFICIENT_RESOURCES);
        const NTSTATUS returned = IoCallDriver(port.Fdo(), irp);
        EXPECT_NE(returned, STATUS_PENDING) << std::hex << code;
        EXPECT_EQ(io.Information, 0u) << std::hex << code;
        return io.Status;
    };
    const struct {
        ULONG code;
        ULONG in, out;
    } codes[] = {
        {IOCTL_SERIAL_GET_PROPERTIES, 0, 64}, {IOCTL_SERIAL_SET_BAUD_RATE, 4, 0}, {IOCTL_SERIAL_SET_DTR, 4, 0},
        {IOCTL_SERIAL_GET_COMMSTATUS, 0, 20}, {IOCTL_SERIAL_SET_BREAK_ON, 4, 0}, {IOCTL_SERIAL_WAIT_ON_MASK, 0, 4},
        {IOCTL_SERIAL_IMMEDIATE_CHAR, 1, 0},  {IOCTL_SERIAL_GET_COMMCONFIG, 0, 64},
    };
    // Never opened, and again once the only handle has been closed.
    for (int round = 0; round < 2; ++round) {
        port.chip->ClearControlLog();
        const LONG counted = port.ext->pendingIrpCount;
        for (const auto& c : codes)
            EXPECT_EQ(send(c.code, c.in, c.out), STATUS_INVALID_DEVICE_REQUEST) << std::hex << c.code << " round " << round;
        EXPECT_EQ(port.ext->pendingIrpCount, counted);
        EXPECT_TRUE(port.chip->ControlLog().empty()) << port.chip->ControlLog().front().ToString();
        if (round == 0) {
            ASSERT_EQ(Open(port), STATUS_SUCCESS);
            ASSERT_EQ(Close(port), STATUS_SUCCESS);
        }
    }
}

// Codes without a row, the comm-config pair among them, are invalid
// parameters, whatever buffer they carry.
TEST_F(ControlCodes, CodesWithoutARowAreInvalidParameters) {
    TestPort& port = OpenPort();
    const ULONG codes[] = {
        CTL_CODE(FILE_DEVICE_SERIAL_PORT, 0, METHOD_BUFFERED, FILE_ANY_ACCESS),   // below the first code
        IOCTL_SERIAL_GET_COMMCONFIG, IOCTL_SERIAL_SET_COMMCONFIG,
        CTL_CODE(FILE_DEVICE_SERIAL_PORT, 40, METHOD_BUFFERED, FILE_ANY_ACCESS),  // past the last
        CTL_CODE(FILE_DEVICE_SERIAL_PORT, 1, METHOD_NEITHER, FILE_ANY_ACCESS),    // a known function, other method
        CTL_CODE(FILE_DEVICE_SERIAL_PORT, 20, METHOD_BUFFERED, FILE_WRITE_ACCESS),
        0x2220B4,  // past the diagnostic codes
    };
    for (ULONG code : codes) {
        const std::vector<uint8_t> input(64, 0);
        for (ULONG out : {0u, 64u}) {
            const Result r = Code(port, code, input, out);
            EXPECT_EQ(r.status, STATUS_INVALID_PARAMETER) << std::hex << code;
            EXPECT_EQ(r.information, 0u) << std::hex << code;
        }
    }
    const Result reset = Code(port, IOCTL_SERIAL_RESET_DEVICE);
    EXPECT_EQ(reset.status, STATUS_SUCCESS);
    EXPECT_EQ(reset.information, 0u);
}

// Under SERIAL_ERROR_ABORT a line error cancels every code but
// GET_COMMSTATUS, which returns the error once and ends the condition.
TEST_F(ControlCodes, AnErrorAbortCancelsEveryCodeUntilTheCommStatusIsRead) {
    TestPort& port = OpenScripted();
    SetBaud(port, 9600);
    SetLineControl(port, 8, EVEN_PARITY, STOP_BIT_1);
    SERIAL_HANDFLOW handFlow = HandFlow(port);
    handFlow.ControlHandShake |= SERIAL_ERROR_ABORT;
    SetHandFlow(port, handFlow);

    peer_->SendWithParityError('x');
    Run(50 * kMillisecond);
    const ULONG codes[] = {IOCTL_SERIAL_GET_BAUD_RATE, IOCTL_SERIAL_SET_BAUD_RATE, IOCTL_SERIAL_GET_PROPERTIES,
                           IOCTL_SERIAL_SET_DTR,       IOCTL_SERIAL_RESET_DEVICE,  IOCTL_SERIAL_GET_COMMCONFIG,
                           IOCTL_SERIAL_WAIT_ON_MASK,  IOCTL_SERIAL_IMMEDIATE_CHAR};
    for (ULONG code : codes) {
        const Result r = Code(port, code, harness::app::AsBytes(ULONG(9600)), 64);
        EXPECT_EQ(r.status, STATUS_CANCELLED) << std::hex << code;
        EXPECT_EQ(r.information, 0u) << std::hex << code;
    }
    EXPECT_EQ(CommStatus(port).Errors, ULONG(SERIAL_ERROR_PARITY));
    EXPECT_EQ(Baud(port), 9600u);
    EXPECT_EQ(CommStatus(port).Errors, 0u);
}

}  // namespace
