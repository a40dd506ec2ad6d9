// The application sets its port up the way a Win32 program's SetCommState,
// SetCommTimeouts and SetCommMask do, through serial control codes, and
// reads back what the port reports about itself. Each request is shown as
// the request log records it: times, handle, code, decoded record, status.
#include <cstdio>

#include "harness/app/request_log.h"
#include "harness/demo/demo.h"
#include "harness/kernel/status_text.h"

namespace demo {

namespace {

template <typename Record>
std::vector<uint8_t> Bytes(const Record& record, size_t length = sizeof(Record)) {
    const auto* p = reinterpret_cast<const uint8_t*>(&record);
    return std::vector<uint8_t>(p, p + length);
}

// Sends one control code and prints the log entries it made. The log is
// on for the call if the command line left it off.
harness::app::Result Send(harness::app::Handle handle, ULONG code, const std::vector<uint8_t>& input,
                          ULONG outputLength) {
    const bool wasLogging = harness::app::RequestLogEnabled();
    if (!wasLogging) harness::app::EnableRequestLog();
    const size_t before = harness::app::RequestLog().size();
    harness::app::Result result = harness::app::Ioctl(handle, code, input, outputLength);
    const auto& log = harness::app::RequestLog();
    for (size_t i = before; i < log.size(); ++i)
        std::printf("  %s\n", harness::app::FormatRequestLogEntry(log[i], 16).c_str());
    if (!wasLogging) harness::app::DisableRequestLog();
    return result;
}

bool SetAll(harness::app::Handle handle, const std::vector<std::pair<ULONG, std::vector<uint8_t>>>& settings) {
    bool ok = true;
    for (const auto& [code, input] : settings) ok = NT_SUCCESS(Send(handle, code, input, 0).status) && ok;
    return ok;
}

SERIAL_LINE_CONTROL EightNoneOne() {
    SERIAL_LINE_CONTROL line{};
    line.StopBits = STOP_BIT_1;
    line.Parity = NO_PARITY;
    line.WordLength = 8;
    return line;
}

}  // namespace

bool SetLine(harness::app::Handle handle, ULONG baud, ULONG readTotalTimeoutMs) {
    SERIAL_BAUD_RATE rate{baud};
    SERIAL_TIMEOUTS timeouts{0, 0, readTotalTimeoutMs, 0, 0};
    bool ok = NT_SUCCESS(harness::app::Ioctl(handle, IOCTL_SERIAL_SET_BAUD_RATE, Bytes(rate), 0).status);
    ok = NT_SUCCESS(harness::app::Ioctl(handle, IOCTL_SERIAL_SET_LINE_CONTROL, Bytes(EightNoneOne(), 3), 0).status) && ok;
    ok = NT_SUCCESS(harness::app::Ioctl(handle, IOCTL_SERIAL_SET_TIMEOUTS, Bytes(timeouts), 0).status) && ok;
    return ok;
}

bool ShowConfiguration(harness::app::Handle handle, PortExtension* port, harness::chip::ChipModel& chip) {
    Heading("Configuring the port through serial control codes (as SetCommState, SetCommTimeouts, SetCommMask)");
    chip.ClearControlLog();
    SERIAL_BAUD_RATE rate{115200};
    SERIAL_HANDFLOW handFlow{};
    handFlow.ControlHandShake = SERIAL_DTR_CONTROL | SERIAL_CTS_HANDSHAKE;
    handFlow.FlowReplace = SERIAL_RTS_HANDSHAKE;
    handFlow.XonLimit = static_cast<LONG>(port->rxBufferSize / 4);
    handFlow.XoffLimit = static_cast<LONG>(port->rxBufferSize / 4);
    SERIAL_TIMEOUTS timeouts{0, 0, 1000, 0, 0};  // a read waits up to a second for all its bytes
    const ULONG waitMask = SERIAL_EV_RXCHAR | SERIAL_EV_TXEMPTY | SERIAL_EV_CTS | SERIAL_EV_DSR;
    const bool ok = SetAll(handle, {{IOCTL_SERIAL_SET_BAUD_RATE, Bytes(rate)},
                                    {IOCTL_SERIAL_SET_LINE_CONTROL, Bytes(EightNoneOne(), 3)},
                                    {IOCTL_SERIAL_SET_HANDFLOW, Bytes(handFlow)},
                                    {IOCTL_SERIAL_SET_TIMEOUTS, Bytes(timeouts)},
                                    {IOCTL_SERIAL_SET_WAIT_MASK, Bytes(waitMask)}});
    std::printf("  the chip requests they made:\n");
    PrintControlLog(chip, "    ");

    std::printf("  read back:\n");
    Send(handle, IOCTL_SERIAL_GET_BAUD_RATE, {}, sizeof(SERIAL_BAUD_RATE));
    Send(handle, IOCTL_SERIAL_GET_LINE_CONTROL, {}, 3);
    Send(handle, IOCTL_SERIAL_GET_HANDFLOW, {}, sizeof(SERIAL_HANDFLOW));
    Send(handle, IOCTL_SERIAL_GET_TIMEOUTS, {}, sizeof(SERIAL_TIMEOUTS));

    std::printf("  refused, and the setting left as it was:\n");
    SERIAL_LINE_CONTROL fiveTwo{STOP_BITS_2, NO_PARITY, 5};  // two stop bits do not exist for 5-bit characters
    Send(handle, IOCTL_SERIAL_SET_LINE_CONTROL, Bytes(fiveTwo, 3), 0);
    SERIAL_BAUD_RATE odd{100000};
    Send(handle, IOCTL_SERIAL_SET_BAUD_RATE, Bytes(odd), 0);
    std::printf("  (a rate the chip has no divisor for is rounded to its nearest:)\n");
    Send(handle, IOCTL_SERIAL_GET_BAUD_RATE, {}, sizeof(SERIAL_BAUD_RATE));
    Send(handle, IOCTL_SERIAL_SET_BAUD_RATE, Bytes(rate), 0);
    std::printf("  lines now       %s\n", LinesText(chip).c_str());
    return ok;
}

void ShowPortReports(harness::app::Handle handle) {
    Heading("What the port reports: modem status, comm status, statistics, properties");
    Send(handle, IOCTL_SERIAL_GET_MODEMSTATUS, {}, sizeof(ULONG));
    Send(handle, IOCTL_SERIAL_GET_DTRRTS, {}, sizeof(ULONG));
    Send(handle, IOCTL_SERIAL_GET_COMMSTATUS, {}, sizeof(SERIAL_STATUS));
    Send(handle, IOCTL_SERIAL_GET_STATS, {}, sizeof(SERIALPERF_STATS));
    Send(handle, IOCTL_SERIAL_GET_PROPERTIES, {}, 64);
    Send(handle, IOCTL_SERIAL_CLEAR_STATS, {}, 0);
    Send(handle, IOCTL_SERIAL_GET_STATS, {}, sizeof(SERIALPERF_STATS));
}

}  // namespace demo
