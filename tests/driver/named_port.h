// Shared by the tests that plug a port with values in its hardware key
// (PortName, Identifier, SerialSkipExternalNaming...) and look at its names
// from outside: the DOS link, the SERIALCOMM entry, the COM-port interface.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "harness/kernel/io_manager.h"
#include "harness/kernel/object_namespace.h"
#include "harness/kernel/registry.h"
#include "pnp_test_port.h"

inline std::u16string Text(const UNICODE_STRING& s) {
    return s.Buffer ? std::u16string(reinterpret_cast<const char16_t*>(s.Buffer), s.Length / sizeof(WCHAR)) : u"";
}

struct NamedPlugOptions {
    bool start = true;
    bool echoFails = false;  // the chip fails its register test: the start fails after naming
};

class NamedPortFixture : public PnpFixture {
protected:
    using PlugOptions = NamedPlugOptions;
    // A generation-2 chip with a loopback plug whose hardware key holds
    // `values`. Each plug is an instance of its own. A start expected to
    // work is checked.
    std::shared_ptr<harness::pnp::Device> PlugWith(std::vector<harness::registry::NamedValue> values,
                                                   PlugOptions options = {}) {
        auto chip = std::make_shared<harness::chip::ChipModel>(harness::chip::ChipConfig::ForGeneration(2));
        chip->Connect(std::make_shared<harness::chip::LoopbackPlug>());
        chip->Faults().echoFails = options.echoFails;
        chips_.push_back(chip);
        harness::pnp::DeviceDescription description;
        description.usbDevice = chip;
        description.instancePath += u"&" + harness::ToUtf16(std::to_string(devices_.size()));
        description.hardwareKeyValues = std::move(values);
        auto device = harness::pnp::PlugDevice(driver_, description, options.start);
        devices_.push_back(device);
        if (options.start && !options.echoFails) EXPECT_EQ(device->startStatus, STATUS_SUCCESS);
        return device;
    }
    std::shared_ptr<harness::pnp::Device> PlugNamed(std::u16string_view portName) {
        return PlugWith({harness::registry::StringValue(u"PortName", portName)});
    }

    static std::u16string DeviceName(const std::shared_ptr<harness::pnp::Device>& device) {
        return Text(Port(device)->deviceName);
    }
    static std::optional<std::u16string> LinkTarget(std::u16string_view portName) {
        return harness::io::SymbolicLinkTarget(u"\\DosDevices\\" + std::u16string(portName));
    }
    // Names in the DOS device directory (empty after boot).
    static std::vector<std::u16string> DosLinks() { return harness::io::ListDirectory(u"\\??"); }
    static std::vector<harness::registry::NamedValue> SerialComm() {
        return harness::registry::ListValues(harness::registry::SerialCommPath());
    }
    static int EnabledComPortInterfaces() {
        int n = 0;
        for (const auto& i : harness::io::DeviceInterfacesOfClass(GUID_DEVINTERFACE_COMPORT)) n += i.enabled;
        return n;
    }
};
