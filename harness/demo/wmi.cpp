// The first port's five WMI data blocks as a management application reads
// them through the WMI service: the port name, the communication settings,
// the hardware configuration, the performance counters and the properties.
#include <cstdio>
#include <cstring>

#include "harness/app/wmi_client.h"
#include "harness/demo/demo.h"
#include "harness/kernel/status_text.h"
#include "harness/kernel/text.h"

namespace demo {

namespace {

constexpr GUID kNameGuid = SERIAL_PORT_WMI_NAME_GUID;
constexpr GUID kCommGuid = SERIAL_PORT_WMI_COMM_GUID;
constexpr GUID kHwGuid = SERIAL_PORT_WMI_HW_GUID;
constexpr GUID kPerfGuid = SERIAL_PORT_WMI_PERF_GUID;
constexpr GUID kPropertiesGuid = SERIAL_PORT_WMI_PROPERTIES_GUID;

// The block's bytes as the record, or a zeroed record if too short.
template <typename T>
T As(const std::vector<uint8_t>& bytes) {
    T record{};
    if (bytes.size() >= sizeof(T)) std::memcpy(&record, bytes.data(), sizeof(T));
    return record;
}

harness::app::wmi::Answer Query(PDEVICE_OBJECT provider, const GUID& guid, const char* wmiClass) {
    auto answer = harness::app::wmi::QuerySingleInstance(provider, guid);
    std::printf("  %-32s %s, %zu bytes", wmiClass, harness::StatusText(answer.status).c_str(), answer.Data().size());
    if (answer.requests > 1) std::printf(" (asked again with the size the first answer named)");
    std::printf("\n");
    return answer;
}

const char* ParityName(ULONG parity) {
    static const char* const kNames[] = {"none", "odd", "even", "space", "mark"};
    return parity < 5 ? kNames[parity] : "?";
}

}  // namespace

void ShowWmiBlocks(const harness::pnp::Device& device) {
    Heading("WMI: the port's five serial data blocks, read by GUID");
    PDEVICE_OBJECT provider = device.functionDevice;
    const auto registration = harness::app::wmi::QueryRegistration(provider);
    std::printf("  IRP_MN_REGINFO -> %s: %zu GUIDs, registry path %s, instance names from the PDO\n",
                harness::StatusText(registration.status).c_str(), registration.guids.size(),
                harness::ToUtf8(registration.registryPath).c_str());

    const auto name = Query(provider, kNameGuid, "MSSerial_PortName");
    if (name.Data().size() >= 2) {
        USHORT count;
        std::memcpy(&count, name.Data().data(), sizeof(count));
        std::u16string text(count / 2, u'\0');
        if (name.Data().size() >= 2u + count) std::memcpy(text.data(), name.Data().data() + 2, count);
        std::printf("      byte count %u, name \"%s\"\n", count, harness::ToUtf8(text).c_str());
    }
    const auto comm = As<SERIAL_WMI_COMM_DATA>(Query(provider, kCommGuid, "MSSerial_CommInfo").Data());
    std::printf("      %u baud, %u bits, parity %s (checking %s), stop bits code %u, XON 0x%02X XOFF 0x%02X\n",
                static_cast<unsigned>(comm.BaudRate), static_cast<unsigned>(comm.BitsPerByte), ParityName(comm.Parity),
                comm.ParityCheckEnable ? "on" : "off", static_cast<unsigned>(comm.StopBits),
                static_cast<unsigned>(comm.XonCharacter), static_cast<unsigned>(comm.XoffCharacter));
    std::printf("      thresholds XON %u XOFF %u, maximum %u baud, IsBusy %u (a handle is open)\n",
                static_cast<unsigned>(comm.XonXmitThreshold), static_cast<unsigned>(comm.XoffXmitThreshold),
                static_cast<unsigned>(comm.MaximumBaudRate), comm.IsBusy);
    const auto hw = As<SERIAL_WMI_HW_DATA>(Query(provider, kHwGuid, "MSSerial_HardwareConfiguration").Data());
    std::printf("      InterruptType %u; no interrupt, vector or I/O address of its own (a USB device)\n",
                static_cast<unsigned>(hw.InterruptType));
    const auto perf = As<SERIAL_WMI_PERF_DATA>(Query(provider, kPerfGuid, "MSSerial_PerformanceInformation").Data());
    std::printf("      received %u, transmitted %u, frame errors %u, overruns %u (serial) %u (buffer), parity errors %u\n",
                static_cast<unsigned>(perf.ReceivedCount), static_cast<unsigned>(perf.TransmittedCount),
                static_cast<unsigned>(perf.FrameErrorCount), static_cast<unsigned>(perf.SerialOverrunErrorCount),
                static_cast<unsigned>(perf.BufferOverrunErrorCount), static_cast<unsigned>(perf.ParityErrorCount));
    const auto props = As<SERIAL_WMI_COMMPROP>(Query(provider, kPropertiesGuid, "MSSerial_CommProperties").Data());
    std::printf("      MaxBaud 0x%08X, ProvSubType %u, SettableBaud 0x%08X, CurrentRxQueue %u\n",
                static_cast<unsigned>(props.dwMaxBaud), static_cast<unsigned>(props.dwProvSubType),
                static_cast<unsigned>(props.dwSettableBaud), static_cast<unsigned>(props.dwCurrentRxQueue));

    const auto small = harness::app::wmi::QuerySingleInstance(provider, kCommGuid, 0,
                                                              harness::app::wmi::SingleInstanceWnodeSize(63));
    std::printf("  MSSerial_CommInfo with room for 63 bytes -> %s, %s %u bytes\n",
                harness::StatusText(small.status).c_str(),
                small.tooSmall ? "a WNODE_TOO_SMALL asking for a WNODE of" : "no WNODE_TOO_SMALL;",
                static_cast<unsigned>(small.sizeNeeded));
    const uint8_t rate[4] = {0x00, 0x4B, 0x00, 0x00};
    std::printf("  a set of MSSerial_CommInfo -> %s (the blocks are read-only)\n",
                harness::StatusText(harness::app::wmi::SetSingleInstance(provider, kCommGuid, 0, rate)).c_str());
}

}  // namespace demo
