// A system sleep in the middle of a transfer on the first port: what the
// power manager and the driver send, what the application's requests see,
// and the chip brought back to the port's settings after the chip lost its
// power.
#include <cstdio>

#include "harness/demo/demo.h"
#include "harness/kernel/dispatcher.h"
#include "harness/kernel/power_manager.h"
#include "harness/kernel/status_text.h"

namespace demo {

namespace {

const char* SystemStateName(SYSTEM_POWER_STATE s) {
    static const char* const kNames[] = {"unspecified", "S0", "S1", "S2", "S3", "S4", "S5"};
    return s < PowerSystemMaximum ? kNames[s] : "?";
}

const char* DeviceStateName(DEVICE_POWER_STATE s) {
    static const char* const kNames[] = {"unspecified", "D0", "D1", "D2", "D3"};
    return s < PowerDeviceMaximum ? kNames[s] : "?";
}

// The power requests sent since `from`, one a line.
void PrintPowerRequests(size_t from) {
    const auto& sent = harness::power::SentRequests();
    for (size_t i = from; i < sent.size(); ++i) {
        const auto& r = sent[i];
        const char* minor = r.minorFunction == IRP_MN_SET_POWER     ? "IRP_MN_SET_POWER"
                            : r.minorFunction == IRP_MN_QUERY_POWER ? "IRP_MN_QUERY_POWER"
                                                                    : "power request";
        const char* state = r.type == SystemPowerState ? SystemStateName(r.state.SystemState)
                                                       : DeviceStateName(r.state.DeviceState);
        std::printf("    %-18s %-6s %s -> %s\n", minor, state,
                    r.requestedByDriver ? "(asked for by the driver)" : "(system)              ",
                    harness::StatusText(r.status).c_str());
    }
}

}  // namespace

void ShowSleepDuringTransfer(harness::app::Handle handle, const std::shared_ptr<harness::pnp::Device>& device,
                             harness::chip::ChipModel& chip) {
    Heading("Sleeping and waking in the middle of a transfer");
    PortExtension* port = PortFromDevice(device->functionDevice);
    if (!SetLine(handle, 9600, 10000)) return;
    std::vector<uint8_t> data(600);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>('a' + i % 26);
    std::printf("  at 9600 8N1 a read waits up to 10 s for %zu bytes and a write sends them through the loopback plug\n",
                data.size());
    const ULONG receivedBefore = port->perfStats.ReceivedCount;
    const ULONG sentBefore = port->perfStats.TransmittedCount;
    auto read = harness::app::ReadAsync(handle, static_cast<ULONG>(data.size()));
    auto write = harness::app::WriteAsync(handle, data);
    harness::dispatcher::RunFor(100 * harness::dispatcher::kMillisecond);
    const ULONG handed = port->perfStats.TransmittedCount - sentBefore;
    const ULONG received = port->perfStats.ReceivedCount - receivedBefore;
    std::printf("  100 ms later: %u bytes handed to the chip (its transmit FIFO holds 256), %u back in the driver\n",
                static_cast<unsigned>(handed), static_cast<unsigned>(received));

    const size_t before = harness::power::SentRequests().size();
    const auto sleep = harness::power::Sleep({device}, PowerSystemSleeping3);
    std::printf("  system sleep S3 -> %s; the requests, in order:\n", sleep.Ok() ? "entered" : "refused");
    PrintPowerRequests(before);
    std::printf("  the port is in %s; the chip %s\n", DeviceStateName(port->devicePowerState),
                chip.Powered() ? "kept its power" : "lost its power with the bus, and what its FIFOs held");
    std::printf("  write -> %s (its transfer in flight was cancelled by the suspend)\n", RequestText(*write).c_str());
    std::printf("  read  -> %s, the %u bytes that reached the driver kept\n", RequestText(*read).c_str(),
                static_cast<unsigned>(received));

    harness::dispatcher::RunFor(2 * harness::dispatcher::kSecond);
    chip.ClearControlLog();
    const size_t asleep = harness::power::SentRequests().size();
    const auto wake = harness::power::Wake({device});
    std::printf("  two seconds later, wake to S0 -> %s; the requests:\n", wake.Ok() ? "done" : "failed");
    PrintPowerRequests(asleep);
    std::printf("  the port is in %s; the chip is put back to the port's settings:\n",
                DeviceStateName(port->devicePowerState));
    PrintControlLog(chip, "    ");
    std::printf("  chip runs at %.0f baud; lines %s\n", chip.LineRate(), LinesText(chip).c_str());

    // The application sends again what the cancelled write did not hand
    // to the chip.
    const size_t taken = write->Done() ? write->Information() : 0;
    const std::vector<uint8_t> rest(data.begin() + static_cast<std::ptrdiff_t>(taken), data.end());
    auto again = harness::app::WriteAsync(handle, rest);
    harness::app::Wait(*again, 2 * harness::dispatcher::kSecond);
    std::printf("  the application writes the %zu bytes the chip did not take -> %s\n", rest.size(),
                RequestText(*again).c_str());
    harness::app::Wait(*read, 12 * harness::dispatcher::kSecond);
    const size_t got = read->Done() ? read->Information() : 0;
    std::printf("  read  -> %s: the %u from before the sleep, then the %zu sent again;\n"
                "          the other %zu were in the chip's FIFOs when the bus lost its power, gone as on real hardware\n",
                RequestText(*read).c_str(), static_cast<unsigned>(received), rest.size(),
                data.size() > got ? data.size() - got : 0);
    if (!read->Done()) harness::app::Cancel(*read);
}

}  // namespace demo
