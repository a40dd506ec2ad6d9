// The demo's first steps: the driver loads, a device is plugged in
// (AddDevice) and started (IRP_MN_START_DEVICE, with the chip's
// initialisation on the wire), then the line coding and modem lines are
// exercised on the started port.
#include <cstdio>

#include "driver/driver_globals.h"
#include "harness/demo/demo.h"
#include "harness/kernel/debug_log.h"
#include "harness/kernel/dispatcher.h"
#include "harness/kernel/registry.h"
#include "harness/kernel/status_text.h"
#include "harness/kernel/text.h"
#include "usb/chip_protocol.h"

namespace demo {

void ShowDriverLoad(const harness::pnp::Driver& driver, const Options& options) {
    Heading("Loading the driver");
    std::printf("  driver          %s\n", Driver().Describe().c_str());
    std::printf("  service key     %s\n", harness::ToUtf8(harness::registry::ServiceKeyPath(kService)).c_str());
    std::printf("  ExtBaudrate     %s\n",
                options.extBaudrate ? ("\"" + *options.extBaudrate + "\"").c_str() : "(not set)");
    std::printf("  DriverEntry  -> %s\n", harness::StatusText(driver.entryStatus).c_str());
    std::printf("  kernel debugger output:\n");
    for (const auto& line : harness::debug::Lines()) std::printf("    %s\n", line.c_str());

    const DriverGlobals& globals = Globals();
    std::printf("  ExtBaudrate table: %d entr%s\n", globals.extBaudCount, globals.extBaudCount == 1 ? "y" : "ies");
    for (LONG i = 0; i < globals.extBaudCount; ++i)
        std::printf("    #%d  %ld baud -> rate value %lu (0x%08lX)\n", static_cast<int>(i),
                    static_cast<long>(globals.extBaudTable[i].baudRate),
                    static_cast<unsigned long>(globals.extBaudTable[i].rateValue),
                    static_cast<unsigned long>(globals.extBaudTable[i].rateValue));
}

void ShowPlug(const harness::pnp::Device& device) {
    Heading("Plugging a device: AddDevice");
    std::printf("  bus reports     %s\n", harness::ToUtf8(device.description.instancePath).c_str());
    std::printf("  AddDevice    -> %s\n", harness::StatusText(device.addStatus).c_str());
    if (device.functionDevice == nullptr) return;
    PDEVICE_OBJECT fdo = device.functionDevice;
    const PortExtension* port = PortFromDevice(fdo);
    std::printf("  device object   %s\n", DeviceName(*port).c_str());
    std::printf("    type          0x%02X (FILE_DEVICE_SERIAL_PORT is 0x1B)\n", static_cast<unsigned>(fdo->DeviceType));
    std::printf("    flags         0x%04X  %s\n", static_cast<unsigned>(fdo->Flags),
                harness::DeviceFlagsText(fdo->Flags).c_str());
    std::printf("    stack size    %d, attached above the bus PDO (%s)\n", fdo->StackSize,
                port->lowerDevice == device.pdo ? "lowerDevice is the PDO" : "lowerDevice is another device");
    std::printf("    extension     %zu bytes, pendingIrpCount %d, pendingDpcCount %d\n", sizeof(PortExtension),
                static_cast<int>(port->pendingIrpCount), static_cast<int>(port->pendingDpcCount));
}

void ShowStart(const std::shared_ptr<harness::pnp::Device>& device, const harness::chip::ChipModel& chip) {
    Heading("Starting the device: IRP_MN_START_DEVICE");
    std::printf("  passed down to the bus first, then the chip is detected and initialised\n");
    std::printf("  IRP_MN_START_DEVICE -> %s  (Plug and Play state: %s)\n",
                harness::StatusText(device->startStatus).c_str(), harness::pnp::PnpStateName(device->state));
    std::printf("  the control requests of the start, as the chip saw them:\n");
    PrintControlLog(chip);
}

void ShowDefaults(const PortExtension& port) {
    Heading("Port defaults after the start");
    std::printf("  lineControl     0x%02X  (%s)\n", port.lineControl, LineControlText(port.lineControl).c_str());
    std::printf("  validDataMask   0x%02X\n", port.validDataMask);
    std::printf("  supportedBauds  0x%08X  (75 to 115200 baud and user-defined rates)\n",
                static_cast<unsigned>(port.supportedBauds));
    std::printf("  currentBaud     %u  (no rate applied yet: the chip gets a line coding with the first rate)\n",
                static_cast<unsigned>(port.currentBaud));
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
                static_cast<void*>(DriverStreamPipe(&port, STREAM_STATUS)),
                static_cast<void*>(DriverStreamPipe(&port, STREAM_BULK_OUT)),
                static_cast<void*>(DriverStreamPipe(&port, STREAM_BULK_IN)));
}

// Sets each rate as the baud-rate control code will, and shows what went
// over the wire and what the chip made of it.
void ShowLineCodings(PDEVICE_OBJECT fdo, harness::chip::ChipModel& chip) {
    Heading("Line coding");
    PortExtension* port = PortFromDevice(fdo);
    port->lineControl = 0x03;  // 8 data bits, no parity, one stop bit
    chip.ClearControlLog();
    std::printf("  format 8N1     -> %s  (kept until a rate makes the record whole)\n",
                harness::StatusText(DriverSetLineCodingFormat(port)).c_str());
    // The standard steps, then every rate of the ExtBaudrate table, whose
    // raw value replaces the rate word on this generation.
    std::vector<ULONG> rates = {9600u, 115200u, 230400u, 921600u};
    for (LONG i = 0; i < Globals().extBaudCount; ++i)
        rates.push_back(static_cast<ULONG>(Globals().extBaudTable[i].baudRate));
    for (ULONG rate : rates) {
        chip.ClearControlLog();
        const NTSTATUS status = DriverSetLineCodingRate(fdo, rate);
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

// Drives the modem lines and a break through the driver; the loopback plug
// brings them back to the chip's inputs (RTS to CTS, DTR to DSR and DCD).
void ShowModemLines(PDEVICE_OBJECT fdo, harness::chip::ChipModel& chip) {
    Heading("Modem lines through the loopback plug");
    std::printf("  at start          %s\n", LinesText(chip).c_str());
    DriverSetControlLines(fdo, SET_DTR);
    std::printf("  SET_DTR        -> %s\n", LinesText(chip).c_str());
    DriverSetControlLines(fdo, SET_RTS);
    std::printf("  SET_RTS        -> %s\n", LinesText(chip).c_str());
    std::printf("  break on       -> %s\n", harness::StatusText(DriverSendBreak(fdo, TRUE)).c_str());
    harness::dispatcher::RunFor(2 * harness::dispatcher::kMillisecond);
    std::printf("                    %s, status word 0x%04X\n", LinesText(chip).c_str(), chip.StatusWord());
    std::printf("  break off      -> %s\n", harness::StatusText(DriverSendBreak(fdo, FALSE)).c_str());
    DriverSetControlLines(fdo, CLEAR_RTS);
    DriverSetControlLines(fdo, CLEAR_DTR);
    std::printf("  CLEAR_RTS, CLEAR_DTR -> %s\n", LinesText(chip).c_str());
}

}  // namespace demo
