#include "harness/app/serial_decode.h"

#include <cstdio>
#include <cstddef>
#include <cstring>

namespace harness::app {
namespace {

struct Named {
    ULONG value;
    const char* name;
};

#define NAMED(x) {ULONG(x), #x}

std::string Hex(ULONG value, int digits = 0) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*x", digits, unsigned(value));
    return text;
}

// Named bits joined by '|', the bits no name covers as hex at the end.
std::string BitsText(ULONG value, std::span<const Named> names) {
    std::string text;
    ULONG rest = value;
    for (const Named& n : names) {
        if ((value & n.value) != n.value || (rest & n.value) == 0) continue;
        if (!text.empty()) text += '|';
        text += n.name;
        rest &= ~n.value;
    }
    if (rest != 0) text += (text.empty() ? "" : "|") + Hex(rest);
    return text.empty() ? "0" : text;
}

// A field of several bits whose values have names (the DTR and RTS
// control fields of the handshake record), then the remaining bits.
std::string FieldThenBits(ULONG value, ULONG fieldMask, std::span<const Named> fieldNames,
                          std::span<const Named> bitNames) {
    std::string text;
    const ULONG field = value & fieldMask;
    for (const Named& n : fieldNames)
        if (field == n.value) text = n.name;
    if (field != 0 && text.empty()) text = Hex(field);
    const ULONG rest = value & ~fieldMask;
    if (rest != 0 || text.empty()) {
        const std::string bits = BitsText(rest, bitNames);
        if (text.empty()) return bits;
        if (bits != "0") text += "|" + bits;
    }
    return text;
}

constexpr Named kPublicCodes[] = {
    NAMED(IOCTL_SERIAL_SET_BAUD_RATE),     NAMED(IOCTL_SERIAL_SET_QUEUE_SIZE),  NAMED(IOCTL_SERIAL_SET_LINE_CONTROL),
    NAMED(IOCTL_SERIAL_SET_BREAK_ON),      NAMED(IOCTL_SERIAL_SET_BREAK_OFF),   NAMED(IOCTL_SERIAL_IMMEDIATE_CHAR),
    NAMED(IOCTL_SERIAL_SET_TIMEOUTS),      NAMED(IOCTL_SERIAL_GET_TIMEOUTS),    NAMED(IOCTL_SERIAL_SET_DTR),
    NAMED(IOCTL_SERIAL_CLR_DTR),           NAMED(IOCTL_SERIAL_RESET_DEVICE),    NAMED(IOCTL_SERIAL_SET_RTS),
    NAMED(IOCTL_SERIAL_CLR_RTS),           NAMED(IOCTL_SERIAL_SET_XOFF),        NAMED(IOCTL_SERIAL_SET_XON),
    NAMED(IOCTL_SERIAL_GET_WAIT_MASK),     NAMED(IOCTL_SERIAL_SET_WAIT_MASK),   NAMED(IOCTL_SERIAL_WAIT_ON_MASK),
    NAMED(IOCTL_SERIAL_PURGE),             NAMED(IOCTL_SERIAL_GET_BAUD_RATE),   NAMED(IOCTL_SERIAL_GET_LINE_CONTROL),
    NAMED(IOCTL_SERIAL_GET_CHARS),         NAMED(IOCTL_SERIAL_SET_CHARS),       NAMED(IOCTL_SERIAL_GET_HANDFLOW),
    NAMED(IOCTL_SERIAL_SET_HANDFLOW),      NAMED(IOCTL_SERIAL_GET_MODEMSTATUS), NAMED(IOCTL_SERIAL_GET_COMMSTATUS),
    NAMED(IOCTL_SERIAL_XOFF_COUNTER),      NAMED(IOCTL_SERIAL_GET_PROPERTIES),  NAMED(IOCTL_SERIAL_GET_DTRRTS),
    NAMED(IOCTL_SERIAL_LSRMST_INSERT),     NAMED(IOCTL_SERENUM_EXPOSE_HARDWARE), NAMED(IOCTL_SERIAL_CONFIG_SIZE),
    NAMED(IOCTL_SERIAL_GET_COMMCONFIG),    NAMED(IOCTL_SERIAL_SET_COMMCONFIG),  NAMED(IOCTL_SERIAL_GET_STATS),
    NAMED(IOCTL_SERIAL_CLEAR_STATS),       NAMED(IOCTL_SERIAL_GET_MODEM_CONTROL), NAMED(IOCTL_SERIAL_SET_MODEM_CONTROL),
    NAMED(IOCTL_SERIAL_SET_FIFO_CONTROL),
};

constexpr Named kInternalCodes[] = {
    NAMED(IOCTL_SERIAL_INTERNAL_DO_WAIT_WAKE),
    NAMED(IOCTL_SERIAL_INTERNAL_CANCEL_WAIT_WAKE),
    NAMED(IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS),
    NAMED(IOCTL_SERIAL_INTERNAL_RESTORE_SETTINGS),
};

constexpr Named kDtrField[] = {NAMED(SERIAL_DTR_CONTROL), NAMED(SERIAL_DTR_HANDSHAKE)};
constexpr Named kControlHandShakeBits[] = {
    NAMED(SERIAL_CTS_HANDSHAKE),   NAMED(SERIAL_DSR_HANDSHAKE), NAMED(SERIAL_DCD_HANDSHAKE),
    NAMED(SERIAL_DSR_SENSITIVITY), NAMED(SERIAL_ERROR_ABORT),
};
constexpr Named kRtsField[] = {NAMED(SERIAL_RTS_CONTROL), NAMED(SERIAL_RTS_HANDSHAKE), NAMED(SERIAL_TRANSMIT_TOGGLE)};
constexpr Named kFlowReplaceBits[] = {
    NAMED(SERIAL_AUTO_TRANSMIT), NAMED(SERIAL_AUTO_RECEIVE), NAMED(SERIAL_ERROR_CHAR),
    NAMED(SERIAL_NULL_STRIPPING), NAMED(SERIAL_BREAK_CHAR), NAMED(SERIAL_XOFF_CONTINUE),
};

constexpr Named kEvents[] = {
    NAMED(SERIAL_EV_RXCHAR), NAMED(SERIAL_EV_RXFLAG), NAMED(SERIAL_EV_TXEMPTY), NAMED(SERIAL_EV_CTS),
    NAMED(SERIAL_EV_DSR),    NAMED(SERIAL_EV_RLSD),   NAMED(SERIAL_EV_BREAK),   NAMED(SERIAL_EV_ERR),
    NAMED(SERIAL_EV_RING),   NAMED(SERIAL_EV_PERR),   NAMED(SERIAL_EV_RX80FULL), NAMED(SERIAL_EV_EVENT1),
    NAMED(SERIAL_EV_EVENT2),
};

constexpr Named kPurges[] = {
    NAMED(SERIAL_PURGE_TXABORT), NAMED(SERIAL_PURGE_RXABORT), NAMED(SERIAL_PURGE_TXCLEAR), NAMED(SERIAL_PURGE_RXCLEAR),
};

// The 16550 modem-status register, whose image GET_MODEMSTATUS returns;
// the names are the ones Windows serial drivers give its bits.
constexpr Named kModemStatus[] = {
    {0x10, "SERIAL_MSR_CTS"},  {0x20, "SERIAL_MSR_DSR"},  {0x40, "SERIAL_MSR_RI"},   {0x80, "SERIAL_MSR_DCD"},
    {0x01, "SERIAL_MSR_DCTS"}, {0x02, "SERIAL_MSR_DDSR"}, {0x04, "SERIAL_MSR_TERI"}, {0x08, "SERIAL_MSR_DDCD"},
};

constexpr Named kLineStates[] = {
    NAMED(SERIAL_DTR_STATE), NAMED(SERIAL_RTS_STATE), NAMED(SERIAL_CTS_STATE),
    NAMED(SERIAL_DSR_STATE), NAMED(SERIAL_RI_STATE),  NAMED(SERIAL_DCD_STATE),
};

// Modem-control register bits of GET/SET_MODEM_CONTROL (ntddser.h SERIAL_IOC_MCR_*).
constexpr Named kModemControl[] = {
    {0x01, "SERIAL_IOC_MCR_DTR"},  {0x02, "SERIAL_IOC_MCR_RTS"}, {0x04, "SERIAL_IOC_MCR_OUT1"},
    {0x08, "SERIAL_IOC_MCR_OUT2"}, {0x10, "SERIAL_IOC_MCR_LOOP"},
};

constexpr Named kErrors[] = {
    NAMED(SERIAL_ERROR_BREAK), NAMED(SERIAL_ERROR_FRAMING), NAMED(SERIAL_ERROR_OVERRUN),
    NAMED(SERIAL_ERROR_QUEUEOVERRUN), NAMED(SERIAL_ERROR_PARITY),
};

constexpr Named kHoldReasons[] = {
    NAMED(SERIAL_TX_WAITING_FOR_CTS),   NAMED(SERIAL_TX_WAITING_FOR_DSR),  NAMED(SERIAL_TX_WAITING_FOR_DCD),
    NAMED(SERIAL_TX_WAITING_FOR_XON),   NAMED(SERIAL_TX_WAITING_XOFF_SENT), NAMED(SERIAL_TX_WAITING_ON_BREAK),
    NAMED(SERIAL_RX_WAITING_FOR_DSR),
};

// SERIAL_COMMPROP's capability masks, by the rate or feature each bit stands for.
constexpr Named kBauds[] = {
    {SERIAL_BAUD_075, "75"},       {SERIAL_BAUD_110, "110"},     {SERIAL_BAUD_134_5, "134.5"},
    {SERIAL_BAUD_150, "150"},      {SERIAL_BAUD_300, "300"},     {SERIAL_BAUD_600, "600"},
    {SERIAL_BAUD_1200, "1200"},    {SERIAL_BAUD_1800, "1800"},   {SERIAL_BAUD_2400, "2400"},
    {SERIAL_BAUD_4800, "4800"},    {SERIAL_BAUD_7200, "7200"},   {SERIAL_BAUD_9600, "9600"},
    {SERIAL_BAUD_14400, "14400"},  {SERIAL_BAUD_19200, "19200"}, {SERIAL_BAUD_38400, "38400"},
    {SERIAL_BAUD_56K, "56K"},      {SERIAL_BAUD_57600, "57600"}, {SERIAL_BAUD_115200, "115200"},
    {SERIAL_BAUD_128K, "128K"},    {SERIAL_BAUD_USER, "USER"},
};
constexpr Named kCapabilities[] = {
    {SERIAL_PCF_DTRDSR, "DTRDSR"},       {SERIAL_PCF_RTSCTS, "RTSCTS"},
    {SERIAL_PCF_CD, "CD"},               {SERIAL_PCF_PARITY_CHECK, "PARITY_CHECK"},
    {SERIAL_PCF_XONXOFF, "XONXOFF"},     {SERIAL_PCF_SETXCHAR, "SETXCHAR"},
    {SERIAL_PCF_TOTALTIMEOUTS, "TOTALTIMEOUTS"}, {SERIAL_PCF_INTTIMEOUTS, "INTTIMEOUTS"},
    {SERIAL_PCF_SPECIALCHARS, "SPECIALCHARS"},   {SERIAL_PCF_16BITMODE, "16BITMODE"},
};
constexpr Named kSettableParams[] = {
    {SERIAL_SP_PARITY, "PARITY"},     {SERIAL_SP_BAUD, "BAUD"},
    {SERIAL_SP_DATABITS, "DATABITS"}, {SERIAL_SP_STOPBITS, "STOPBITS"},
    {SERIAL_SP_HANDSHAKING, "HANDSHAKING"}, {SERIAL_SP_PARITY_CHECK, "PARITY_CHECK"},
    {SERIAL_SP_CARRIER_DETECT, "CARRIER_DETECT"},
};
constexpr Named kDataBits[] = {
    {SERIAL_DATABITS_5, "5"}, {SERIAL_DATABITS_6, "6"}, {SERIAL_DATABITS_7, "7"}, {SERIAL_DATABITS_8, "8"},
    {SERIAL_DATABITS_16, "16"}, {SERIAL_DATABITS_16X, "16X"},
};
constexpr Named kStopParity[] = {
    {SERIAL_STOPBITS_10, "1"},     {SERIAL_STOPBITS_15, "1.5"},  {SERIAL_STOPBITS_20, "2"},
    {SERIAL_PARITY_NONE, "N"},     {SERIAL_PARITY_ODD, "O"},     {SERIAL_PARITY_EVEN, "E"},
    {SERIAL_PARITY_MARK, "M"},     {SERIAL_PARITY_SPACE, "S"},
};

#undef NAMED

std::string Millis(ULONG ms) { return ms == MAXULONG ? "MAXULONG" : std::to_string(ms); }

std::string Char(UCHAR c) { return Hex(c, 2); }

// Reads a record of type T from the front of a buffer at least that long.
template <typename T>
bool Take(std::span<const uint8_t> bytes, T* out) {
    if (bytes.size() < sizeof(T)) return false;
    std::memcpy(out, bytes.data(), sizeof(T));
    return true;
}

enum class Record { None, Ulong, Uchar, Baud, LineControl, Timeouts, QueueSize, Chars, Handflow, WaitMask, Purge,
                    ModemStatus, DtrRts, ModemControl, CommStatus, XoffCounter, Stats, Properties, BasicSettings };

Record RecordOf(ULONG code, bool internal, bool output) {
    if (internal) {
        if (code == IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS && output) return Record::BasicSettings;
        return Record::None;
    }
    switch (code) {
    case IOCTL_SERIAL_SET_BAUD_RATE: case IOCTL_SERIAL_GET_BAUD_RATE: return Record::Baud;
    case IOCTL_SERIAL_SET_LINE_CONTROL: case IOCTL_SERIAL_GET_LINE_CONTROL: return Record::LineControl;
    case IOCTL_SERIAL_SET_TIMEOUTS: case IOCTL_SERIAL_GET_TIMEOUTS: return Record::Timeouts;
    case IOCTL_SERIAL_SET_QUEUE_SIZE: return Record::QueueSize;
    case IOCTL_SERIAL_SET_CHARS: case IOCTL_SERIAL_GET_CHARS: return Record::Chars;
    case IOCTL_SERIAL_SET_HANDFLOW: case IOCTL_SERIAL_GET_HANDFLOW: return Record::Handflow;
    case IOCTL_SERIAL_SET_WAIT_MASK: case IOCTL_SERIAL_GET_WAIT_MASK: case IOCTL_SERIAL_WAIT_ON_MASK:
        return Record::WaitMask;
    case IOCTL_SERIAL_PURGE: return Record::Purge;
    case IOCTL_SERIAL_GET_MODEMSTATUS: return Record::ModemStatus;
    case IOCTL_SERIAL_GET_DTRRTS: return Record::DtrRts;
    case IOCTL_SERIAL_GET_MODEM_CONTROL: case IOCTL_SERIAL_SET_MODEM_CONTROL: return Record::ModemControl;
    case IOCTL_SERIAL_GET_COMMSTATUS: return Record::CommStatus;
    case IOCTL_SERIAL_XOFF_COUNTER: return output ? Record::None : Record::XoffCounter;
    case IOCTL_SERIAL_GET_STATS: return Record::Stats;
    case IOCTL_SERIAL_GET_PROPERTIES: return Record::Properties;
    case IOCTL_SERIAL_IMMEDIATE_CHAR: case IOCTL_SERIAL_LSRMST_INSERT: return Record::Uchar;
    case IOCTL_SERIAL_CONFIG_SIZE: case IOCTL_SERIAL_SET_FIFO_CONTROL: return Record::Ulong;
    default: return Record::None;
    }
}

template <typename T, typename F>
std::string As(std::span<const uint8_t> bytes, F format) {
    T value{};
    return Take(bytes, &value) ? format(value) : BytesText(bytes, 32);
}

std::string Decode(Record record, std::span<const uint8_t> bytes) {
    if (bytes.empty()) return "";
    switch (record) {
    case Record::Ulong: return As<ULONG>(bytes, [](ULONG v) { return std::to_string(v); });
    case Record::Uchar: return As<UCHAR>(bytes, Char);
    case Record::Baud: return As<SERIAL_BAUD_RATE>(bytes, [](auto b) { return std::to_string(b.BaudRate); });
    case Record::LineControl: return As<SERIAL_LINE_CONTROL>(bytes, LineControlText);
    case Record::Timeouts: return As<SERIAL_TIMEOUTS>(bytes, TimeoutsText);
    case Record::QueueSize: return As<SERIAL_QUEUE_SIZE>(bytes, QueueSizeText);
    case Record::Chars: return As<SERIAL_CHARS>(bytes, CharsText);
    case Record::Handflow: return As<SERIAL_HANDFLOW>(bytes, HandflowText);
    case Record::WaitMask: return As<ULONG>(bytes, WaitMaskText);
    case Record::Purge: return As<ULONG>(bytes, PurgeMaskText);
    case Record::ModemStatus: return As<ULONG>(bytes, ModemStatusText);
    case Record::DtrRts: return As<ULONG>(bytes, DtrRtsText);
    case Record::ModemControl: return As<ULONG>(bytes, ModemControlText);
    case Record::CommStatus: return As<SERIAL_STATUS>(bytes, CommStatusText);
    case Record::XoffCounter: return As<SERIAL_XOFF_COUNTER>(bytes, XoffCounterText);
    case Record::Stats: return As<SERIALPERF_STATS>(bytes, StatsText);
    case Record::Properties:
        // The record without its provider characters: 64 bytes.
        if (bytes.size() < offsetof(SERIAL_COMMPROP, ProvChar)) break;
        {
            SERIAL_COMMPROP p{};
            std::memcpy(&p, bytes.data(), std::min(bytes.size(), sizeof(p)));
            return PropertiesText(p);
        }
    case Record::BasicSettings:
        return As<SERIAL_BASIC_SETTINGS>(bytes, [](const SERIAL_BASIC_SETTINGS& s) {
            return TimeoutsText(s.Timeouts) + " " + HandflowText(s.HandFlow) + " RxFifo=" + std::to_string(s.RxFifo) +
                   " TxFifo=" + std::to_string(s.TxFifo);
        });
    case Record::None: break;
    }
    return BytesText(bytes, 32);
}

}  // namespace

std::string ControlCodeName(ULONG code, bool internal) {
    for (const Named& n : internal ? std::span<const Named>(kInternalCodes) : std::span<const Named>(kPublicCodes))
        if (n.value == code) return n.name;
    return (internal ? "internal IOCTL " : "IOCTL ") + Hex(code, 8);
}

std::string LineControlText(const SERIAL_LINE_CONTROL& line) {
    static const char kParity[] = "NOEMS";
    static const char* const kStop[] = {"1", "1.5", "2"};
    std::string text = std::to_string(line.WordLength);
    text += line.Parity < 5 ? std::string(1, kParity[line.Parity]) : "?" + std::to_string(line.Parity) + "?";
    text += line.StopBits < 3 ? std::string(kStop[line.StopBits]) : "?" + std::to_string(line.StopBits) + "?";
    return text;
}

std::string HandflowText(const SERIAL_HANDFLOW& h) {
    return "ControlHandShake=" + FieldThenBits(h.ControlHandShake, SERIAL_DTR_MASK, kDtrField, kControlHandShakeBits) +
           " FlowReplace=" + FieldThenBits(h.FlowReplace, SERIAL_RTS_MASK, kRtsField, kFlowReplaceBits) +
           " XonLimit=" + std::to_string(h.XonLimit) + " XoffLimit=" + std::to_string(h.XoffLimit);
}

std::string TimeoutsText(const SERIAL_TIMEOUTS& t) {
    return "RI=" + Millis(t.ReadIntervalTimeout) + " RM=" + Millis(t.ReadTotalTimeoutMultiplier) +
           " RC=" + Millis(t.ReadTotalTimeoutConstant) + " WM=" + Millis(t.WriteTotalTimeoutMultiplier) +
           " WC=" + Millis(t.WriteTotalTimeoutConstant);
}

std::string QueueSizeText(const SERIAL_QUEUE_SIZE& s) {
    return "InSize=" + std::to_string(s.InSize) + " OutSize=" + std::to_string(s.OutSize);
}

std::string CharsText(const SERIAL_CHARS& c) {
    return "Eof=" + Char(c.EofChar) + " Error=" + Char(c.ErrorChar) + " Break=" + Char(c.BreakChar) +
           " Event=" + Char(c.EventChar) + " Xon=" + Char(c.XonChar) + " Xoff=" + Char(c.XoffChar);
}

std::string CommStatusText(const SERIAL_STATUS& s) {
    return "Errors=" + BitsText(s.Errors, kErrors) + " HoldReasons=" + BitsText(s.HoldReasons, kHoldReasons) +
           " InQueue=" + std::to_string(s.AmountInInQueue) + " OutQueue=" + std::to_string(s.AmountInOutQueue) +
           (s.EofReceived ? " EofReceived" : "") + (s.WaitForImmediate ? " WaitForImmediate" : "");
}

std::string XoffCounterText(const SERIAL_XOFF_COUNTER& c) {
    return "Timeout=" + std::to_string(c.Timeout) + " Counter=" + std::to_string(c.Counter) +
           " XoffChar=" + Char(c.XoffChar);
}

std::string StatsText(const SERIALPERF_STATS& s) {
    return "Received=" + std::to_string(s.ReceivedCount) + " Transmitted=" + std::to_string(s.TransmittedCount) +
           " FrameErrors=" + std::to_string(s.FrameErrorCount) +
           " SerialOverruns=" + std::to_string(s.SerialOverrunErrorCount) +
           " BufferOverruns=" + std::to_string(s.BufferOverrunErrorCount) +
           " ParityErrors=" + std::to_string(s.ParityErrorCount);
}

std::string PropertiesText(const SERIAL_COMMPROP& p) {
    return "PacketLength=" + std::to_string(p.PacketLength) + " Version=" + std::to_string(p.PacketVersion) +
           " MaxTxQueue=" + std::to_string(p.MaxTxQueue) + " MaxRxQueue=" + std::to_string(p.MaxRxQueue) +
           " MaxBaud=" + BitsText(p.MaxBaud, kBauds) + " ProvSubType=" + std::to_string(p.ProvSubType) +
           " Capabilities=" + BitsText(p.ProvCapabilities, kCapabilities) +
           " Settable=" + BitsText(p.SettableParams, kSettableParams) + " Bauds=" + BitsText(p.SettableBaud, kBauds) +
           " DataBits=" + BitsText(p.SettableData, kDataBits) +
           " StopParity=" + BitsText(p.SettableStopParity, kStopParity) +
           " CurrentTxQueue=" + std::to_string(p.CurrentTxQueue) + " CurrentRxQueue=" + std::to_string(p.CurrentRxQueue);
}

std::string WaitMaskText(ULONG mask) { return BitsText(mask, kEvents); }
std::string PurgeMaskText(ULONG mask) { return BitsText(mask, kPurges); }
std::string ModemStatusText(ULONG msr) { return BitsText(msr, kModemStatus); }
std::string DtrRtsText(ULONG lines) { return BitsText(lines, kLineStates); }
std::string ModemControlText(ULONG mcr) { return BitsText(mcr, kModemControl); }

std::string DecodeControlInput(ULONG code, bool internal, std::span<const uint8_t> input) {
    return Decode(RecordOf(code, internal, false), input);
}

std::string DecodeControlOutput(ULONG code, bool internal, std::span<const uint8_t> output) {
    return Decode(RecordOf(code, internal, true), output);
}

std::string BytesText(std::span<const uint8_t> bytes, size_t most) {
    const size_t shown = std::min(bytes.size(), most);
    std::string hex;
    std::string printable;
    char two[4];
    for (size_t i = 0; i < shown; ++i) {
        std::snprintf(two, sizeof two, "%02x", bytes[i]);
        hex += (i ? " " : "") + std::string(two);
        printable += (bytes[i] >= 0x20 && bytes[i] < 0x7f) ? char(bytes[i]) : '.';
    }
    std::string text = std::to_string(bytes.size()) + (bytes.size() == 1 ? " byte" : " bytes");
    if (shown) text += ": " + hex;
    if (shown < bytes.size()) text += " ... (+" + std::to_string(bytes.size() - shown) + ")";
    if (shown) text += " |" + printable + "|";
    return text;
}

}  // namespace harness::app
