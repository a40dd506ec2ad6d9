#include "support/port_fixture.h"

#include <string>

#include "serial/modem_lines.h"
#include "usb/chip_protocol.h"

void PortFixture::SetUp() {
    DriverTest::SetUp();
    ASSERT_EQ(Load(), STATUS_SUCCESS);
}

void PortFixture::TearDown() {
    for (auto& port : ports_)
        if (port->handle) harness::app::Close(port->handle);
    harness::app::RunDeferredWork();
    ports_.clear();
    DriverTest::TearDown();
}

PortFixture::TestPort& PortFixture::PlugPort(int generation, std::shared_ptr<harness::chip::FarEnd> farEnd) {
    auto port = std::make_unique<TestPort>();
    port->chip = std::make_shared<harness::chip::ChipModel>(harness::chip::ChipConfig::ForGeneration(generation));
    port->chip->Connect(farEnd ? farEnd : std::make_shared<harness::chip::LoopbackPlug>());
    chips_.push_back(port->chip);

    harness::pnp::DeviceDescription description;
    description.usbDevice = port->chip;
    // Each port of a test is a device instance of its own.
    description.instancePath += u"&" + std::u16string(1, char16_t(u'0' + ports_.size()));
    port->device = harness::pnp::PlugDevice(driver_, description, true);
    devices_.push_back(port->device);
    EXPECT_EQ(port->device->startStatus, STATUS_SUCCESS);
    port->ext = Port(port->device);
    ports_.push_back(std::move(port));
    return *ports_.back();
}

std::pair<PortFixture::TestPort*, PortFixture::TestPort*> PortFixture::PlugNullModemPair(int generationA,
                                                                                         int generationB) {
    cable_ = std::make_shared<harness::chip::NullModemCable>();
    TestPort* a = &PlugPort(generationA, cable_->SideA());
    TestPort* b = &PlugPort(generationB, cable_->SideB());
    return {a, b};
}

PortFixture::TestPort& PortFixture::PlugScriptedPort(int generation) {
    peer_ = std::make_shared<harness::chip::ScriptedPeer>();
    return PlugPort(generation, peer_);
}

NTSTATUS PortFixture::Open(TestPort& port) {
    const UNICODE_STRING& name = port.ext->deviceName;
    std::u16string path(reinterpret_cast<const char16_t*>(name.Buffer), name.Length / sizeof(WCHAR));
    return harness::app::Open(path, &port.handle);
}

NTSTATUS PortFixture::Close(TestPort& port) {
    const NTSTATUS status = harness::app::Close(port.handle);
    port.handle = {};
    return status;
}

void PortFixture::SetBaud(TestPort& port, ULONG baud) {
    ASSERT_EQ(SetLineCodingRate(port.Fdo(), baud), STATUS_SUCCESS);
}

void PortFixture::SetLineControl(TestPort& port, UCHAR dataBits, UCHAR parity, UCHAR stopBits) {
    // The UART line-control image: word length - 5 in bits 0-1, the extra
    // stop bit in bit 2, parity enable/even/stick in bits 3-5.
    static const UCHAR kParityBits[] = {0x00, 0x08, 0x18, 0x28, 0x38};  // none, odd, even, mark, space
    UCHAR image = static_cast<UCHAR>((dataBits - 5) | kParityBits[parity]);
    if (stopBits != STOP_BIT_1) image |= 0x04;
    KIRQL irql;
    KeAcquireSpinLock(&port.ext->controlLock, &irql);
    port.ext->lineControl = image;
    port.ext->validDataMask = static_cast<UCHAR>((1u << dataBits) - 1);
    KeReleaseSpinLock(&port.ext->controlLock, irql);
    ASSERT_EQ(SetLineCodingFormat(port.ext), STATUS_SUCCESS);
}

void PortFixture::SetTimeouts(TestPort& port, const SERIAL_TIMEOUTS& timeouts) {
    KIRQL irql;
    KeAcquireSpinLock(&port.ext->controlLock, &irql);
    port.ext->timeouts = timeouts;
    KeReleaseSpinLock(&port.ext->controlLock, irql);
}

void PortFixture::SetChars(TestPort& port, const SERIAL_CHARS& chars) {
    KIRQL irql;
    KeAcquireSpinLock(&port.ext->controlLock, &irql);
    port.ext->specialChars = chars;
    KeReleaseSpinLock(&port.ext->controlLock, irql);
    WriteFlowCharacters(port.Fdo(), chars.XonChar, chars.XoffChar);
}

void PortFixture::SetHandFlow(TestPort& port, const SERIAL_HANDFLOW& handFlow) { ApplyHandFlow(port.ext, &handFlow); }

void PortFixture::SetEscapeChar(TestPort& port, UCHAR escape) {
    KIRQL irql;
    KeAcquireSpinLock(&port.ext->controlLock, &irql);
    port.ext->escapeChar = escape;
    KeReleaseSpinLock(&port.ext->controlLock, irql);
}

SERIAL_TIMEOUTS PortFixture::StreamingTimeouts(ULONG totalMs) {
    SERIAL_TIMEOUTS t{};
    t.ReadIntervalTimeout = MAXULONG;
    t.ReadTotalTimeoutMultiplier = MAXULONG;
    t.ReadTotalTimeoutConstant = totalMs;
    return t;
}

std::vector<uint8_t> PortFixture::Pattern(size_t length, uint32_t seed) {
    std::vector<uint8_t> out(length);
    uint32_t x = seed * 2654435761u + 1;
    for (auto& b : out) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<uint8_t>(x);
    }
    return out;
}
