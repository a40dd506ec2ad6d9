// An application's session on the first port: open, a line through the
// loopback plug and back, close.
#include <cstdio>

#include "harness/demo/demo.h"
#include "harness/kernel/dispatcher.h"
#include "harness/kernel/status_text.h"
#include "harness/kernel/text.h"
#include "harness/usb/usb_bus.h"
#include "harness/usb/usb_trace.h"
#include "usb/chip_protocol.h"

namespace demo {

namespace {

// One stream transfer seen below the driver during the exchange.
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

void PrintStreams(const PortExtension& port) {
    std::printf("  stream transfers on the bus: %zu (status and receive streams each keep one posted)\n",
                harness::usb::PendingTransferCount(port.lowerDevice));
}

}  // namespace

harness::app::Handle ShowOpen(PortExtension* port, harness::chip::ChipModel& chip) {
    Heading("Opening the port: IRP_MJ_CREATE");
    chip.ClearControlLog();
    harness::app::Handle handle;
    const NTSTATUS open = harness::app::Open(OpenName(*port), &handle);
    std::printf("  open %s (%s) -> %s\n", harness::ToUtf8(OpenName(*port)).c_str(), DeviceName(*port).c_str(),
                harness::StatusText(open).c_str());
    if (!NT_SUCCESS(open)) return {};
    std::printf("  receive buffer %u bytes, XonLimit %d, XoffLimit %d\n", static_cast<unsigned>(port->rxBufferSize),
                static_cast<int>(port->handFlow.XonLimit), static_cast<int>(port->handFlow.XoffLimit));
    PrintStreams(*port);
    std::printf("  the chip state re-applied, with the handflow's DTR and RTS:\n");
    PrintControlLog(chip, "    ");
    std::printf("  lines now       %s\n", LinesText(chip).c_str());
    return handle;
}

// Sends a line through the loopback plug and reads it back, showing the
// stream transfers below the driver.
void ShowDataExchange(harness::app::Handle handle, PortExtension* port, harness::chip::ChipModel& chip) {
    Heading("Exchanging data through the loopback plug");
    std::printf("  at 115200 8N1 with RTS/CTS handshake, a read waiting up to a second for all its bytes\n");
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
}

// IRP_MJ_CLEANUP, then IRP_MJ_CLOSE: the close waits out the line, turns
// the chip's flow control off, drops DTR and RTS, frees the receive buffer
// and cancels the streams.
void ShowClose(harness::app::Handle handle, const std::shared_ptr<harness::pnp::Device>& device,
               harness::chip::ChipModel& chip) {
    Heading("Closing the port: IRP_MJ_CLEANUP, IRP_MJ_CLOSE");
    PortExtension* port = PortFromDevice(device->functionDevice);
    chip.ClearControlLog();
    const int64_t start = harness::dispatcher::Now();
    const NTSTATUS close = harness::app::Close(handle);
    harness::app::RunDeferredWork();
    const int64_t took = harness::dispatcher::Now() - start;
    std::printf("  close -> %s after %.3f ms of virtual time\n", harness::StatusText(close).c_str(),
                double(took) / 10000.0);
    std::printf("    (the cleanup pauses, the close lets ten characters' time pass, turns the chip's flow\n"
                "     control off and drops DTR then RTS, frees the receive buffer, drains its DPCs, gives\n"
                "     the chip's own transmit buffer time to empty and cancels the streams)\n");
    std::printf("  the control requests of the close, as the chip saw them:\n");
    PrintControlLog(chip, "    ");
    std::printf("  the chip holds  DTR %s, RTS %s (as the host set them); pins %s\n", chip.Dtr() ? "on" : "off",
                chip.Rts() ? "on" : "off", LinesText(chip).c_str());
    std::printf("  receive buffer  %u bytes (freed); pendingIrpCount %d (the base count: no request inside)\n",
                static_cast<unsigned>(port->rxBufferSize), static_cast<int>(port->pendingIrpCount));
    std::printf("  stream transfers on the bus: %zu (cancelled)\n",
                harness::usb::PendingTransferCount(port->lowerDevice));
}

}  // namespace demo
