// The Tarnlink demo: loads the driver into the emulated kernel, plugs one
// device and shows what a driver developer wants to see at each step.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "driver/driver_globals.h"
#include "driver/port_extension.h"
#include "harness/kernel/debug_log.h"
#include "harness/kernel/dispatcher.h"
#include "harness/kernel/kernel.h"
#include "harness/kernel/pnp_manager.h"
#include "harness/kernel/pool.h"
#include "harness/kernel/registry.h"
#include "harness/kernel/status_text.h"
#include "harness/kernel/text.h"

namespace {

constexpr char16_t kService[] = u"tarnlink";

struct Options {
    std::optional<std::string> extBaudrate;
};

void Usage(FILE* out) {
    std::fprintf(out,
                 "usage: tarnlink-demo [--ext-baudrate \"RATE,VALUE ...\"]\n"
                 "\n"
                 "  --ext-baudrate VALUE   set the driver's ExtBaudrate registry value before it loads,\n"
                 "                         e.g. \"7200,8000 250000,12\" (up to ten pairs)\n"
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
    std::printf("  chipType        %d (not detected yet), pnpState %d (started)\n", static_cast<int>(port.chipType),
                static_cast<int>(port.pnpState));
    std::printf("  timers          6 initialised, none armed; DPCs 13 initialised, none queued\n");
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

    auto driver = harness::pnp::LoadDriver(kService, DriverEntry);
    ShowDriverLoad(*driver, options);
    if (!NT_SUCCESS(driver->entryStatus)) return 1;

    auto device = harness::pnp::PlugDevice(driver);
    ShowDevice(*device);
    if (device->functionDevice == nullptr || !NT_SUCCESS(device->startStatus)) return 1;
    ShowDefaults(*PortFromDevice(device->functionDevice));

    Heading("Pool in use by tag");
    std::printf("%s", harness::pool::Report().c_str());

    Heading("Removing the device and unloading the driver");
    const NTSTATUS removal = harness::pnp::RemoveDevice(device);
    std::printf("  removal      -> %s\n", harness::StatusText(removal).c_str());
    harness::pnp::UnloadDriver(driver);
    std::printf("  driver pool after unload: %zu bytes in %zu blocks\n",
                static_cast<size_t>(harness::pool::BytesInUse(harness::pool::Tag("COMX"))),
                static_cast<size_t>(harness::pool::BlocksInUse(harness::pool::Tag("COMX"))));
    std::printf("  virtual time: %s\n", harness::dispatcher::FormatTime(harness::dispatcher::Now()).c_str());
    harness::VerifyQuiescent();
    return 0;
}
