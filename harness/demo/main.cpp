// The Tarnlink demo: loads the driver into the emulated kernel, plugs one
// device and shows what a driver developer wants to see at each step.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "driver/driver_globals.h"
#include "driver/port_extension.h"
#include "harness/app/user_io.h"
#include "harness/kernel/debug_log.h"
#include "harness/kernel/dispatcher.h"
#include "harness/kernel/kernel.h"
#include "harness/kernel/pnp_manager.h"
#include "harness/kernel/pool.h"
#include "harness/kernel/registry.h"
#include "harness/kernel/status_text.h"
#include "harness/kernel/text.h"
#include "harness/usb/chip/chip_model.h"
#include "harness/usb/chip/far_end.h"
#include "harness/usb/usb_trace.h"
#include "usb/chip_protocol.h"

namespace {

constexpr char16_t kService[] = u"tarnlink";

struct Options {
    std::optional<std::string> extBaudrate;
    std::optional<std::string> trace;
    std::optional<std::string> wire;
};

void Usage(FILE* out) {
    std::fprintf(out,
                 "usage: tarnlink-demo [--ext-baudrate \"RATE,VALUE ...\"] [--trace FILE] [--wire FILE]\n"
                 "\n"
                 "  --ext-baudrate VALUE   set the driver's ExtBaudrate registry value before it loads,\n"
                 "                         e.g. \"7200,8000 250000,12\" (up to ten pairs)\n"
                 "  --trace FILE           write every USB request of the run to FILE (pcap, USBPcap\n"
                 "                         format: open it with Wireshark or tshark)\n"
                 "  --wire FILE            record the chip's serial pins (TX, RX, modem lines) to FILE\n"
                 "                         (Value Change Dump: open it with GTKWave or PulseView)\n"
                 "  --help                 show this text\n");
}

bool ParseArguments(int argc, char** argv, Options* options) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            Usage(stdout);
            std::exit(0);
        } else if (arg == "--ext-baudrate" && i + 1 < argc) {
            options->extBaudrate = argv[++i];
        } else if (arg == "--trace" && i + 1 < argc) {
            options->trace = argv[++i];
        } else if (arg.rfind("--trace=", 0) == 0) {
            options->trace = arg.substr(std::strlen("--trace="));
        } else if (arg == "--wire" && i + 1 < argc) {
            options->wire = argv[++i];
        } else if (arg.rfind("--wire=", 0) == 0) {
            options->wire = arg.substr(std::strlen("--wire="));
        } else if (arg.rfind("--ext-baudrate=", 0) == 0) {
            options->extBaudrate = arg.substr(std::strlen("--ext-baudrate="));
        } else {
            std::fprintf(stderr, "tarnlink-demo: unknown argument '%s'\n\n", arg.c_str());
            Usage(stderr);
            return false;
        }
    }
    return true;
}

void Heading(const char* text) { std::printf("\n== %s\n", text); }

std::string Utf8(const UNICODE_STRING& s) {
    if (s.Buffer == nullptr) return "(none)";
    return harness::ToUtf8(std::u16string(s.Buffer, s.Length / sizeof(WCHAR)));
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

void ShowDriverLoad(const harness::pnp::Driver& driver, const Options& options) {
    Heading("Loading the driver");
    std::printf("  service key     %s\n", harness::ToUtf8(harness::registry::ServiceKeyPath(kService)).c_str());
    std::printf("  ExtBaudrate     %s\n",
                options.extBaudrate ? ("\"" + *options.extBaudrate + "\"").c_str() : "(not set)");
    std::printf("  DriverEntry  -> %s\n", harness::StatusText(driver.entryStatus).c_str());
    std::printf("  kernel debugger output:\n");
    for (const auto& line : harness::debug::Lines()) std::printf("    %s\n", line.c_str());

    std::printf("  ExtBaudrate table: %d entr%s\n", driverGlobals.extBaudCount,
                driverGlobals.extBaudCount == 1 ? "y" : "ies");
    for (LONG i = 0; i < driverGlobals.extBaudCount; ++i)
        std::printf("    #%d  %ld baud -> rate value %lu (0x%08lX)\n", static_cast<int>(i),
                    static_cast<long>(driverGlobals.extBaudTable[i].baudRate),
                    static_cast<unsigned long>(driverGlobals.extBaudTable[i].rateValue),
                    static_cast<unsigned long>(driverGlobals.extBaudTable[i].rateValue));
}

void ShowDevice(const harness::pnp::Device& device) {
    Heading("Plugging a device");
    std::printf("  bus reports     %s\n", harness::ToUtf8(device.description.instancePath).c_str());
    std::printf("  AddDevice    -> %s\n", harness::StatusText(device.addStatus).c_str());
    if (device.functionDevice == nullptr) return;
    PDEVICE_OBJECT fdo = device.functionDevice;
    const PortExtension* port = PortFromDevice(fdo);
    std::printf("  device object   %s\n", Utf8(port->deviceName).c_str());
    std::printf("    type          0x%02X (FILE_DEVICE_SERIAL_PORT is 0x1B)\n", static_cast<unsigned>(fdo->DeviceType));
    std::printf("    flags         0x%04X  %s\n", static_cast<unsigned>(fdo->Flags),
                harness::DeviceFlagsText(fdo->Flags).c_str());
    std::printf("    stack size    %d, attached above the bus PDO (%s)\n", fdo->StackSize,
                port->lowerDevice == device.pdo ? "lowerDevice is the PDO" : "lowerDevice is another device");
    std::printf("    extension     %zu bytes, pendingIrpCount %d, pendingDpcCount %d\n", sizeof(PortExtension),
                static_cast<int>(port->pendingIrpCount), static_cast<int>(port->pendingDpcCount));
    std::printf("  IRP_MN_START_DEVICE -> %s\n", harness::StatusText(device.startStatus).c_str());
}

void ShowDefaults(const PortExtension& port) {
    Heading("Port defaults after InitPortDefaults");
    std::printf("  lineControl     0x%02X  (%s)\n", port.lineControl, LineControlText(port.lineControl).c_str());
    std::printf("  validDataMask   0x%02X\n", port.validDataMask);
    std::printf("  supportedBauds  0x%08X  (75 to 115200 baud and user-defined rates)\n",
                static_cast<unsigned>(port.supportedBauds));
    std::printf("  currentBaud     %u  (no rate applied yet)\n", static_cast<unsigned>(port.currentBaud));
    std::printf("  handFlow        ControlHandShake 0x%02X (DTR on), FlowReplace 0x%02X (RTS on), "
                "XonLimit %d, XoffLimit %d\n",
                static_cast<unsigned>(port.handFlow.ControlHandShake),
                static_cast<unsigned>(port.handFlow.FlowReplace), static_cast<int>(port.handFlow.XonLimit),
                static_cast<int>(port.handFlow.XoffLimit));
    std::printf("  specialChars    XON 0x%02X, XOFF 0x%02X\n", port.specialChars.XonChar,
                port.specialChars.XoffChar);
    std::printf("  FIFO            rxFifoTrigger 0x%02X, txFifoAmount %u\n",
                static_cast<unsigned>(port.rxFifoTrigger), static_cast<unsigned>(port.txFifoAmount));
    std::printf("  interval polls  short %lld, long %lld, cut-over %lld (100 ns units)\n",
                static_cast<long long>(port.intervalPollShort), static_cast<long long>(port.intervalPollLong),
                static_cast<long long>(port.intervalCutOver));
    std::printf("  receive buffer  none while closed (rxBufferSize %u, rxEightyPercent %u)\n",
                static_cast<unsigned>(port.rxBufferSize), static_cast<unsigned>(port.rxEightyPercent));
    std::printf("  pnpState        %d (started)\n", static_cast<int>(port.pnpState));
    std::printf("  timers          6 initialised, none armed; DPCs 13 initialised, none queued\n");
}


std::string Hex(const std::vector<uint8_t>& bytes, size_t most = 16) {
    std::string text;
    char byte[4];
    for (size_t i = 0; i < bytes.size() && i < most; ++i) {
        std::snprintf(byte, sizeof(byte), i ? " %02X" : "%02X", bytes[i]);
        text += byte;
    }
    if (bytes.size() > most) text += " ...";
    return text;
}

// One control request as a driver developer reads it.
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
        if (value < CONTROL_REGISTER_COUNT)
            std::snprintf(text, sizeof(text), "write control register %u = 0x%02X", value, index);
        else if (value == 0x0404)
            std::snprintf(text, sizeof(text), "select memory address 0x%02X", index);
        else if (value == 0x0303)
            std::snprintf(text, sizeof(text), "write memory 0x%02X = 0x%02X", index & 0xFF, index >> 8);
        else
            std::snprintf(text, sizeof(text), "write register %u = 0x%04X", value & 0xFF, index);
    } else if (s.requestType == 0xC0 && s.request == CHIP_VENDOR_REQUEST) {
        const std::string got = Hex(r.dataIn);
        if (value >= 0x80 && value < 0x80 + CONTROL_REGISTER_COUNT)
            std::snprintf(text, sizeof(text), "read control register %u -> %s", value - 0x80, got.c_str());
        else if (value == 0x8484)
            std::snprintf(text, sizeof(text), "read memory status -> %s", got.c_str());
        else if (value == 0x8383)
            std::snprintf(text, sizeof(text), "read memory byte -> %s", got.c_str());
        else
            std::snprintf(text, sizeof(text), "read register %u -> %s", (value & 0xFF) - 0x80, got.c_str());
    } else {
        std::snprintf(text, sizeof(text), "request %02X %02X %04X %04X", s.requestType, s.request, value, index);
    }
    std::string line = text;
    if (r.outcome != harness::chip::ControlOutcome::Answered)
        line += std::string("  [") + harness::chip::OutcomeName(r.outcome) + "]";
    return line;
}

void ShowUsbConversation(const harness::chip::ChipModel& chip) {
    Heading("USB conversation at start");
    std::printf("  %-12s %-8s %s\n", "time", "setup", "request");
    for (const auto& r : chip.ControlLog()) {
        char setup[16];
        std::snprintf(setup, sizeof(setup), "%02X %02X", r.setup.requestType, r.setup.request);
        std::printf("  %-12s %-8s %s\n", harness::dispatcher::FormatTime(r.time).c_str(), setup,
                    DescribeRequest(r).c_str());
    }
}

void ShowDetection(const PortExtension& port) {
    static const char* const kNames[] = {"CHIP_GEN_CLASS", "CHIP_GEN_BASIC", "CHIP_GEN_EXTENDED",
                                         "CHIP_GEN_EXTENDED_C", "CHIP_GEN_EXTENDED_S"};
    Heading("Chip");
    std::printf("  generation      %d (%s)\n", static_cast<int>(port.chipType),
                port.chipType >= 0 && port.chipType <= 4 ? kNames[port.chipType] : "CHIP_GEN_UNKNOWN");
    std::printf("  layout          %s\n", port.singleInterface ? "one interface" : "two interfaces");
    std::printf("  registers       0x%02X 0x%02X 0x%02X (control registers 0, 1, 2 as read back)\n",
                port.chipRegisterImage[0], port.chipRegisterImage[1], port.chipRegisterImage[2]);
    std::printf("  pipes           status %p, bulk out %p, bulk in %p\n",
                static_cast<void*>(StreamPipe(&port, STREAM_STATUS)), static_cast<void*>(StreamPipe(&port, STREAM_BULK_OUT)),
                static_cast<void*>(StreamPipe(&port, STREAM_BULK_IN)));
}

// Sets each rate as the baud-rate control code will, and shows what went
// over the wire and what the chip made of it.
void ShowLineCodings(PDEVICE_OBJECT fdo, harness::chip::ChipModel& chip) {
    Heading("Line coding");
    PortExtension* port = PortFromDevice(fdo);
    port->lineControl = 0x03;  // 8 data bits, no parity, one stop bit
    chip.ClearControlLog();
    std::printf("  format 8N1     -> %s\n", harness::StatusText(SetLineCodingFormat(port)).c_str());
    // The standard steps, then every rate of the ExtBaudrate table, whose
    // raw value replaces the rate word on this generation.
    std::vector<ULONG> rates = {9600u, 115200u, 230400u, 921600u};
    for (LONG i = 0; i < driverGlobals.extBaudCount; ++i)
        rates.push_back(static_cast<ULONG>(driverGlobals.extBaudTable[i].baudRate));
    for (ULONG rate : rates) {
        chip.ClearControlLog();
        const NTSTATUS status = SetLineCodingRate(fdo, rate);
        std::string wire = "(nothing sent)";
        for (const auto& r : chip.ControlLog())
            if (r.setup.request == CDC_SET_LINE_CODING) wire = Hex(r.dataOut);
        std::printf("  %7lu baud   -> %s\n", static_cast<unsigned long>(rate), harness::StatusText(status).c_str());
        std::printf("                  wire: %s  rate word 0x%08X, currentBaud %u, chip runs at %.0f baud,"
                    " txChunkLimit %u\n",
                    wire.c_str(), static_cast<unsigned>(port->lineCodingRate), static_cast<unsigned>(port->currentBaud),
                    chip.LineRate(), static_cast<unsigned>(port->txChunkLimit));
    }
}

std::string LinesText(const harness::chip::ChipModel& chip) {
    const auto out = chip.Outputs();
    const auto& in = chip.Inputs();
    char text[128];
    std::snprintf(text, sizeof(text), "DTR %d RTS %d break %d | CTS %d DSR %d DCD %d RI %d", out.dtr, out.rts, out.brk,
                  in.cts, in.dsr, in.dcd, in.ri);
    return text;
}

// Drives the modem lines and a break through the driver; the loopback plug
// brings them back to the chip's inputs (RTS to CTS, DTR to DSR and DCD).
void ShowModemLines(PDEVICE_OBJECT fdo, harness::chip::ChipModel& chip) {
    Heading("Modem lines through the loopback plug");
    std::printf("  at start          %s\n", LinesText(chip).c_str());
    SetControlLines(fdo, SET_DTR);
    std::printf("  SET_DTR        -> %s\n", LinesText(chip).c_str());
    SetControlLines(fdo, SET_RTS);
    std::printf("  SET_RTS        -> %s\n", LinesText(chip).c_str());
    std::printf("  break on       -> %s\n", harness::StatusText(SendBreak(fdo, TRUE)).c_str());
    harness::dispatcher::RunFor(2 * harness::dispatcher::kMillisecond);
    std::printf("                    %s, status word 0x%04X\n", LinesText(chip).c_str(), chip.StatusWord());
    std::printf("  break off      -> %s\n", harness::StatusText(SendBreak(fdo, FALSE)).c_str());
    SetControlLines(fdo, CLEAR_RTS);
    SetControlLines(fdo, CLEAR_DTR);
    std::printf("  CLEAR_RTS, CLEAR_DTR -> %s\n", LinesText(chip).c_str());
}

// One stream or control transfer seen below the driver during the exchange.
struct SeenTransfer {
    int64_t time;
    harness::usb::trace::Packet packet;
    std::vector<uint8_t> data;
};

std::string TransferText(const SeenTransfer& t) {
    static const char* const kKinds[] = {"isochronous", "interrupt", "control", "bulk"};
    const auto& p = t.packet;
    const char* kind = p.transfer < 4 ? kKinds[p.transfer] : "irp info";
    const bool in = (p.endpoint & 0x80) != 0;
    char head[160];
    std::snprintf(head, sizeof(head), "%10.3f ms  %-9s %-3s ep 0x%02X  %s", double(t.time) / 10000.0, kind,
                  in ? "IN" : "OUT", p.endpoint, p.completion ? "done" : "sent");
    std::string text = head;
    // A packet carries data only where it moves: OUT at submission, IN at
    // completion.
    if (p.length != 0) text += "  " + std::to_string(p.length) + " bytes";
    if (p.completion && p.status != USBD_STATUS_SUCCESS) {
        char status[32];
        std::snprintf(status, sizeof(status), "  USBD status 0x%08X", static_cast<unsigned>(p.status));
        text += status;
    }
    if (!t.data.empty()) text += "  " + Hex(t.data, 12);
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

// Opens the port through the I/O manager, as an application would, and
// sends a line through the loopback plug and reads it back.
void ShowDataExchange(PortExtension* port, harness::chip::ChipModel& chip) {
    Heading("Exchanging data through the loopback plug");
    const std::u16string name(reinterpret_cast<const char16_t*>(port->deviceName.Buffer),
                              port->deviceName.Length / sizeof(WCHAR));
    harness::app::Handle handle;
    const NTSTATUS open = harness::app::Open(name, &handle);
    std::printf("  open %s -> %s\n", harness::ToUtf8(name).c_str(), harness::StatusText(open).c_str());
    if (!NT_SUCCESS(open)) return;
    std::printf("    receive buffer %u bytes, XonLimit %d, XoffLimit %d\n", static_cast<unsigned>(port->rxBufferSize),
                static_cast<int>(port->handFlow.XonLimit), static_cast<int>(port->handFlow.XoffLimit));

    // 115200 8N1, and a read that waits up to a second for all its bytes:
    // set the way the line-settings control codes set them.
    port->lineControl = 0x03;
    port->validDataMask = 0xFF;
    SetLineCodingFormat(port);
    SetLineCodingRate(port->deviceObject, 115200);
    port->timeouts = SERIAL_TIMEOUTS{0, 0, 1000, 0, 0};
    harness::dispatcher::RunFor(5 * harness::dispatcher::kMillisecond);  // the status reports of the settings settle

    std::vector<SeenTransfer> seen;
    harness::usb::trace::SetObserver([&seen](const harness::usb::trace::Packet& p) {
        if (p.transfer != 1 && p.transfer != 3) return;  // the streams only
        SeenTransfer t{harness::dispatcher::Now(), p, {}};
        if (p.data != nullptr) t.data.assign(p.data, p.data + p.length);
        t.packet.data = nullptr;
        seen.push_back(std::move(t));
    });

    const std::string line = "Hello through the loopback plug\r\n";
    const std::vector<uint8_t> bytes(line.begin(), line.end());
    const int64_t start = harness::dispatcher::Now();
    auto read = harness::app::ReadAsync(handle, static_cast<ULONG>(bytes.size()));
    auto write = harness::app::WriteAsync(handle, bytes);
    harness::app::Wait(*write);
    harness::app::Wait(*read);
    const int64_t took = harness::dispatcher::Now() - start;
    harness::usb::trace::SetObserver(nullptr);

    std::printf("  write %2zu bytes  -> %s, %zu written  \"%s\"\n", bytes.size(),
                harness::StatusText(write->Status()).c_str(), static_cast<size_t>(write->Information()),
                Printable(bytes).c_str());
    std::printf("  read  %2zu bytes  -> %s, %zu read     \"%s\"%s\n", bytes.size(),
                harness::StatusText(read->Status()).c_str(), static_cast<size_t>(read->Information()),
                Printable(read->Output()).c_str(), read->Output() == bytes ? "  (every byte back)" : "  (MISMATCH)");
    std::printf("  round trip      %.3f ms of virtual time (%zu characters at 115200 8N1 take %.3f ms on the line)\n",
                double(took) / 10000.0, bytes.size(), double(bytes.size()) * 10.0 / 115.2);
    const auto outputs = chip.Outputs();
    const auto& inputs = chip.Inputs();
    std::printf("  modem lines     chip drives DTR %s RTS %s; sees CTS %s DSR %s DCD %s RI %s"
                " (loopback: RTS->CTS, DTR->DSR and DCD)\n",
                outputs.dtr ? "on" : "off", outputs.rts ? "on" : "off", inputs.cts ? "on" : "off",
                inputs.dsr ? "on" : "off", inputs.dcd ? "on" : "off", inputs.ri ? "on" : "off");
    std::printf("                  driver's status word 0x%04X\n", static_cast<unsigned>(port->uartState));
    std::printf("  statistics      transmitted %u, received %u\n",
                static_cast<unsigned>(port->perfStats.TransmittedCount),
                static_cast<unsigned>(port->perfStats.ReceivedCount));
    std::printf("  the transfers below the driver (time from the start of the exchange):\n");
    for (auto& t : seen) {
        t.time -= start;
        std::printf("    %s\n", TransferText(t).c_str());
    }

    std::printf("  close -> %s\n", harness::StatusText(harness::app::Close(handle)).c_str());
    harness::app::RunDeferredWork();
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!ParseArguments(argc, argv, &options)) return 2;

    harness::ResetKernel();
    std::printf("Tarnlink on the emulated kernel\n");

    if (options.extBaudrate) {
        const std::u16string key = harness::registry::ServiceKeyPath(kService);
        harness::registry::CreateKey(key);
        harness::registry::SetString(key, u"ExtBaudrate", harness::ToUtf16(*options.extBaudrate));
    }

    if (options.trace) {
        if (!harness::usb::StartTrace(*options.trace)) {
            std::fprintf(stderr, "tarnlink-demo: cannot write the trace to '%s'\n", options.trace->c_str());
            return 1;
        }
    }

    auto driver = harness::pnp::LoadDriver(kService, DriverEntry);
    ShowDriverLoad(*driver, options);
    if (!NT_SUCCESS(driver->entryStatus)) return 1;

    // A generation-2 chip with a loopback plug in its serial connector.
    auto chip = std::make_shared<harness::chip::ChipModel>(harness::chip::ChipConfig::ForGeneration(2));
    if (options.wire && !chip->RecordWire(*options.wire)) {
        std::fprintf(stderr, "tarnlink-demo: cannot write the wire recording to '%s'\n", options.wire->c_str());
        return 1;
    }
    harness::chip::ConnectLoopback(*chip);
    harness::pnp::DeviceDescription description;
    description.usbDevice = chip;
    auto device = harness::pnp::PlugDevice(driver, description);
    ShowDevice(*device);
    if (device->functionDevice == nullptr || !NT_SUCCESS(device->startStatus)) return 1;
    PortExtension* port = PortFromDevice(device->functionDevice);
    ShowDefaults(*port);
    ShowUsbConversation(*chip);
    ShowDetection(*port);
    ShowLineCodings(device->functionDevice, *chip);
    ShowModemLines(device->functionDevice, *chip);
    ShowDataExchange(port, *chip);

    Heading("Pool in use by tag");
    std::printf("%s", harness::pool::Report().c_str());

    Heading("Removing the device and unloading the driver");
    const NTSTATUS removal = harness::pnp::RemoveDevice(device);
    std::printf("  removal      -> %s\n", harness::StatusText(removal).c_str());
    harness::pnp::UnloadDriver(driver);
    if (options.trace) {
        std::printf("  USB trace: %zu packets written to %s\n", harness::usb::TracePacketCount(),
                    options.trace->c_str());
        harness::usb::StopTrace();
    }
    if (options.wire) {
        const size_t characters = chip->Wire()->CharacterCount();
        if (!chip->CloseWire()) {
            std::fprintf(stderr, "tarnlink-demo: writing the wire recording to '%s' failed\n", options.wire->c_str());
            return 1;
        }
        std::printf("  wire recording: %zu characters, modem lines and breaks written to %s\n", characters,
                    options.wire->c_str());
    }
    std::printf("  driver pool after unload: %zu bytes in %zu blocks\n",
                static_cast<size_t>(harness::pool::BytesInUse(harness::pool::Tag("COMX"))),
                static_cast<size_t>(harness::pool::BlocksInUse(harness::pool::Tag("COMX"))));
    std::printf("  virtual time: %s\n", harness::dispatcher::FormatTime(harness::dispatcher::Now()).c_str());
    harness::VerifyQuiescent();
    return 0;
}
