// The names the first port takes at its start: the "COM5" an application
// opens, the SERIALCOMM entry that lists it, and the COM port interface.
#include <cstdio>

#include "harness/demo/demo.h"
#include "harness/kernel/io_manager.h"
#include "harness/kernel/object_namespace.h"
#include "harness/kernel/registry.h"
#include "harness/kernel/text.h"

namespace demo {

namespace {

// {86E0D1E0-8089-11D0-9CE4-08003E301F73}: the class of COM port interfaces.
constexpr GUID kComPortClass = {0x86E0D1E0, 0x8089, 0x11D0, {0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73}};

}  // namespace

void ShowNames(const harness::pnp::Device& device) {
    Heading("The port's names: COM5 for applications");
    const PortExtension* port = PortFromDevice(device.functionDevice);
    std::printf("  the device's hardware key holds PortName \"COM5\"\n");
    const std::u16string link = u"\\DosDevices\\COM5";
    const auto target = harness::io::SymbolicLinkTarget(link);
    std::printf("  symbolic link   %s -> %s\n", harness::ToUtf8(link).c_str(),
                target ? harness::ToUtf8(*target).c_str() : "(none)");
    const auto entry = harness::registry::GetString(harness::registry::SerialCommPath(), Utf8(port->deviceName));
    std::printf("  SERIALCOMM      %s = %s\n", DeviceName(*port).c_str(),
                entry ? harness::ToUtf8(*entry).c_str() : "(no entry)");
    for (const auto& i : harness::io::DeviceInterfacesOfClass(kComPortClass)) {
        if (i.pdo != device.pdo) continue;
        std::printf("  interface       %s (%s)\n", harness::ToUtf8(i.symbolicLinkName).c_str(),
                    i.enabled ? "enabled" : "disabled");
    }
    std::printf("  WMI port name   %s\n", Utf8(port->wmiPortName).c_str());
}

}  // namespace demo
