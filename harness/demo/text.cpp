// Text for the demo's sections: control requests, modem lines, bytes,
// Plug and Play requests and request outcomes as a driver developer reads
// them.
#include <cstdio>

#include "harness/demo/demo.h"
#include "harness/kernel/dispatcher.h"
#include "harness/kernel/status_text.h"
#include "harness/kernel/text.h"
#include "usb/chip_protocol.h"

namespace demo {

void Heading(const char* text) { std::printf("\n== %s\n", text); }

std::string Utf8(const UNICODE_STRING& s) {
    if (s.Buffer == nullptr) return "(none)";
    return harness::ToUtf8(std::u16string(s.Buffer, s.Length / sizeof(WCHAR)));
}

std::string DeviceName(const PortExtension& port) { return Utf8(port.deviceName); }

std::u16string OpenName(const PortExtension& port) {
    const UNICODE_STRING& name = port.dosName.Buffer != nullptr ? port.dosName : port.deviceName;
    return std::u16string(reinterpret_cast<const char16_t*>(name.Buffer), name.Length / sizeof(WCHAR));
}

std::string Hex(const std::vector<uint8_t>& bytes, size_t most) {
    std::string text;
    char byte[4];
    for (size_t i = 0; i < bytes.size() && i < most; ++i) {
        std::snprintf(byte, sizeof(byte), i ? " %02X" : "%02X", bytes[i]);
        text += byte;
    }
    if (bytes.size() > most) text += " ...";
    return text;
}

std::string Printable(const std::vector<uint8_t>& bytes) {
    std::string text;
    for (uint8_t b : bytes) {
        if (b == '\r')
            text += "\\r";
        else if (b == '\n')
            text += "\\n";
        else
            text += (b >= 0x20 && b < 0x7F) ? static_cast<char>(b) : '.';
    }
    return text;
}

std::string LineControlText(UCHAR lineControl) {
    static const char* const kParity[] = {"no", "odd", "no", "even", "no", "mark", "no", "space"};
    const int dataBits = (lineControl & 0x03) + 5;
    const bool parityOn = (lineControl & 0x08) != 0;
    const char* parity = parityOn ? kParity[(lineControl >> 3) & 0x07] : "no";
    const char* stop = (lineControl & 0x04) ? (dataBits == 5 ? "1.5" : "2") : "1";
    char text[96];
    std::snprintf(text, sizeof(text), "%d data bits, %s parity, %s stop bit%s", dataBits, parity, stop,
                  (lineControl & 0x04) ? "s" : "");
    return text;
}

std::string LinesText(const harness::chip::ChipModel& chip) {
    const auto out = chip.Outputs();
    const auto& in = chip.Inputs();
    char text[128];
    std::snprintf(text, sizeof(text), "DTR %d RTS %d break %d | CTS %d DSR %d DCD %d RI %d", out.dtr, out.rts, out.brk,
                  in.cts, in.dsr, in.dcd, in.ri);
    return text;
}

namespace {

std::string DescribeVendorOut(unsigned value, unsigned index, char* text, size_t size) {
    if (value < CONTROL_REGISTER_COUNT)
        std::snprintf(text, size, "write control register %u = 0x%02X", value, index);
    else if (value == 0x0404)
        std::snprintf(text, size, "select memory address 0x%02X", index);
    else if (value == 0x0303)
        std::snprintf(text, size, "write memory 0x%02X = 0x%02X", index & 0xFF, index >> 8);
    else
        std::snprintf(text, size, "write register %u = 0x%04X", value & 0xFF, index);
    return text;
}

std::string DescribeVendorIn(unsigned value, const std::vector<uint8_t>& dataIn, char* text, size_t size) {
    const std::string got = Hex(dataIn);
    if (value >= 0x80 && value < 0x80 + CONTROL_REGISTER_COUNT)
        std::snprintf(text, size, "read control register %u -> %s", value - 0x80, got.c_str());
    else if (value == 0x8484)
        std::snprintf(text, size, "read memory status -> %s", got.c_str());
    else if (value == 0x8383)
        std::snprintf(text, size, "read memory byte -> %s", got.c_str());
    else
        std::snprintf(text, size, "read register %u -> %s", (value & 0xFF) - 0x80, got.c_str());
    return text;
}

}  // namespace

std::string DescribeRequest(const harness::chip::ControlRecord& r) {
    const auto& s = r.setup;
    char text[160];
    const unsigned value = s.value, index = s.index;
    if (s.requestType == 0x80 && s.request == 6) {
        static const char* const kTypes[] = {"?", "device", "configuration", "string"};
        const unsigned type = value >> 8;
        std::snprintf(text, sizeof(text), "GET_DESCRIPTOR %s%s (asked %u, got %zu bytes)",
                      type < 4 ? kTypes[type] : "?",
                      type == 3 ? (" " + std::to_string(value & 0xFF)).c_str() : "", s.length, r.dataIn.size());
    } else if (s.requestType == 0x00 && s.request == 9) {
        std::snprintf(text, sizeof(text), "SET_CONFIGURATION %u", value);
    } else if (s.requestType == 0x00 && s.request == 3) {
        std::snprintf(text, sizeof(text), "SET_FEATURE %s", value == 1 ? "DEVICE_REMOTE_WAKEUP" : "?");
    } else if (s.requestType == 0x21 && s.request == CDC_SET_LINE_CODING && r.dataOut.size() == 7) {
        const auto& d = r.dataOut;
        const unsigned word = d[0] | (d[1] << 8) | (d[2] << 16) | (static_cast<unsigned>(d[3]) << 24);
        std::snprintf(text, sizeof(text), "SET_LINE_CODING rate word 0x%08X, stop %u, parity %u, data %u", word, d[4],
                      d[5], d[6]);
    } else if (s.requestType == 0x21 && s.request == CDC_SET_CONTROL_LINE_STATE) {
        std::snprintf(text, sizeof(text), "SET_CONTROL_LINE_STATE DTR %s, RTS %s", (value & 1) ? "on" : "off",
                      (value & 2) ? "on" : "off");
    } else if (s.requestType == 0x21 && s.request == CDC_SEND_BREAK) {
        std::snprintf(text, sizeof(text), "SEND_BREAK %s", value ? "on" : "off");
    } else if (s.requestType == 0x40 && s.request == CHIP_VENDOR_REQUEST) {
        DescribeVendorOut(value, index, text, sizeof(text));
    } else if (s.requestType == 0xC0 && s.request == CHIP_VENDOR_REQUEST) {
        DescribeVendorIn(value, r.dataIn, text, sizeof(text));
    } else {
        std::snprintf(text, sizeof(text), "request %02X %02X %04X %04X", s.requestType, s.request, value, index);
    }
    std::string line = text;
    if (r.outcome != harness::chip::ControlOutcome::Answered)
        line += std::string("  [") + harness::chip::OutcomeName(r.outcome) + "]";
    return line;
}

void PrintControlLog(const harness::chip::ChipModel& chip, const char* indent) {
    if (chip.ControlLog().empty()) {
        std::printf("%s(no control requests)\n", indent);
        return;
    }
    std::printf("%s%-12s %-8s %s\n", indent, "time", "setup", "request");
    for (const auto& r : chip.ControlLog()) {
        char setup[16];
        std::snprintf(setup, sizeof(setup), "%02X %02X", r.setup.requestType, r.setup.request);
        std::printf("%s%-12s %-8s %s\n", indent, harness::dispatcher::FormatTime(r.time).c_str(), setup,
                    DescribeRequest(r).c_str());
    }
}

namespace {

const char* PnpMinorName(UCHAR minor) {
    switch (minor) {
    case IRP_MN_START_DEVICE: return "IRP_MN_START_DEVICE";
    case IRP_MN_QUERY_REMOVE_DEVICE: return "IRP_MN_QUERY_REMOVE_DEVICE";
    case IRP_MN_REMOVE_DEVICE: return "IRP_MN_REMOVE_DEVICE";
    case IRP_MN_CANCEL_REMOVE_DEVICE: return "IRP_MN_CANCEL_REMOVE_DEVICE";
    case IRP_MN_STOP_DEVICE: return "IRP_MN_STOP_DEVICE";
    case IRP_MN_QUERY_STOP_DEVICE: return "IRP_MN_QUERY_STOP_DEVICE";
    case IRP_MN_CANCEL_STOP_DEVICE: return "IRP_MN_CANCEL_STOP_DEVICE";
    case IRP_MN_SURPRISE_REMOVAL: return "IRP_MN_SURPRISE_REMOVAL";
    default: return "IRP_MN_(other)";
    }
}

}  // namespace

std::string PnpRequestsText(const std::vector<UCHAR>& minorFunctions, size_t from) {
    std::string text;
    for (size_t i = from; i < minorFunctions.size(); ++i) {
        if (!text.empty()) text += ", ";
        text += PnpMinorName(minorFunctions[i]);
    }
    return text.empty() ? "(none)" : text;
}

std::string RequestText(const harness::app::Request& request) {
    if (!request.Done()) return "STATUS_PENDING (in flight)";
    return harness::StatusText(request.Status()) + ", " + std::to_string(request.Information()) + " bytes";
}

}  // namespace demo
