// The second port: opened with a read, a write and a wait-on-mask in
// flight, then pulled out of its USB port. The surprise removal fails the
// requests; the remove request follows the close of the last handle, as
// Windows sends it.
#include <cstdio>

#include "harness/demo/demo.h"
#include "harness/kernel/dispatcher.h"
#include "harness/kernel/status_text.h"
#include "harness/kernel/text.h"
#include "harness/usb/usb_bus.h"

namespace demo {

namespace {

constexpr ULONG kReadLength = 64;
constexpr size_t kWriteLength = 1024;  // about 1.1 s on the line at 9600 8N1
constexpr ULONG kWaitMask = SERIAL_EV_RXCHAR | SERIAL_EV_CTS | SERIAL_EV_DSR;

void PrintRequests(const PendingSession& session) {
    std::printf("    read  %4u bytes  -> %s\n", kReadLength, RequestText(*session.read).c_str());
    std::printf("    write %4zu bytes  -> %s\n", kWriteLength, RequestText(*session.write).c_str());
    std::printf("    wait on mask      -> %s\n", RequestText(*session.wait).c_str());
}

}  // namespace

PendingSession ShowSecondPortBusy(const std::shared_ptr<harness::pnp::Device>& device) {
    Heading("A second port, nothing in its serial connector: plugged, opened, requests in flight");
    PendingSession session;
    PortExtension* port = PortFromDevice(device->functionDevice);
    session.name = OpenName(*port);
    std::printf("  bus reports     %s\n", harness::ToUtf8(device->description.instancePath).c_str());
    std::printf("  AddDevice    -> %s, device object %s\n", harness::StatusText(device->addStatus).c_str(),
                DeviceName(*port).c_str());
    std::printf("  IRP_MN_START_DEVICE -> %s\n", harness::StatusText(device->startStatus).c_str());
    const NTSTATUS open = harness::app::Open(session.name, &session.handle);
    std::printf("  open %s (%s) -> %s\n", harness::ToUtf8(session.name).c_str(), DeviceName(*port).c_str(),
                harness::StatusText(open).c_str());
    if (!NT_SUCCESS(open)) return session;

    // 9600 8N1; reads without time-outs wait for all their bytes.
    SetLine(session.handle, 9600, 0);
    const auto mask = harness::app::Ioctl(session.handle, IOCTL_SERIAL_SET_WAIT_MASK, harness::app::AsBytes(kWaitMask), 0);
    std::printf("  line 9600 8N1, no time-outs; wait mask RXCHAR | CTS | DSR -> %s\n",
                harness::StatusText(mask.status).c_str());
    const std::vector<uint8_t> data(kWriteLength, 'U');
    session.read = harness::app::ReadAsync(session.handle, kReadLength);
    session.write = harness::app::WriteAsync(session.handle, data);
    session.wait = harness::app::IoctlAsync(session.handle, IOCTL_SERIAL_WAIT_ON_MASK, {}, sizeof(ULONG));
    harness::dispatcher::RunFor(20 * harness::dispatcher::kMillisecond);
    std::printf("  20 ms later (nothing arrives; the write drains at 9600 baud):\n");
    PrintRequests(session);
    std::printf("  characters on the line so far: %u\n", static_cast<unsigned>(port->perfStats.TransmittedCount));
    return session;
}

void ShowSurpriseRemoval(const std::shared_ptr<harness::pnp::Device>& device, PendingSession& session) {
    Heading("Pulling the second port out: surprise removal");
    const size_t before = device->sent.size();
    harness::pnp::UnplugDevice(device);
    // The driver ends them from its surprise-removal handler; the bound
    // only keeps a demo run short should one be stranded.
    for (auto* request : {session.read.get(), session.write.get(), session.wait.get()})
        harness::app::Wait(*request, harness::dispatcher::kSecond);
    std::printf("  the bus fails the device's transfers (USBD_STATUS_DEVICE_GONE), then Plug and Play sends:\n");
    std::printf("    %s  (state: %s)\n", PnpRequestsText(device->sent, before).c_str(),
                harness::pnp::PnpStateName(device->state));
    std::printf("  the requests that were in flight:\n");
    PrintRequests(session);
    std::printf("  the handle is still open (%zu), so the remove request waits for its close\n",
                harness::pnp::OpenFileCount(device));
}

void ShowClosingRemovedPort(const std::shared_ptr<harness::pnp::Device>& device, PendingSession& session) {
    Heading("Closing the removed port's handle");
    const size_t before = device->sent.size();
    std::printf("  close -> %s\n", harness::StatusText(harness::app::Close(session.handle)).c_str());
    harness::app::RunDeferredWork();
    std::printf("  then Plug and Play sends: %s  (state: %s; the device object is deleted)\n",
                PnpRequestsText(device->sent, before).c_str(), harness::pnp::PnpStateName(device->state));
    harness::app::Handle again;
    const NTSTATUS reopen = harness::app::Open(session.name, &again);
    std::printf("  open %s again -> %s (its name went with it)\n", harness::ToUtf8(session.name).c_str(),
                harness::StatusText(reopen).c_str());
    if (NT_SUCCESS(reopen)) harness::app::Close(again);
}

}  // namespace demo
