#include "support/port_fixture.h"

#include <string>


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
    return PlugPort(harness::chip::ChipConfig::ForGeneration(generation), std::move(farEnd));
}

PortFixture::TestPort& PortFixture::PlugPort(const harness::chip::ChipConfig& config,
                                             std::shared_ptr<harness::chip::FarEnd> farEnd) {
    auto port = std::make_unique<TestPort>();
    port->chip = std::make_shared<harness::chip::ChipModel>(config);
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

namespace {

// Sends a setting's control code through the port's handle, as an
// application does, and insists that the port took it.
template <typename Record>
void SendSetting(const harness::app::Handle& handle, ULONG code, const Record& record, const char* what) {
    const harness::app::Result result = harness::app::Ioctl(handle, code, harness::app::AsBytes(record), 0);
    ASSERT_EQ(result.status, STATUS_SUCCESS) << what << (handle ? "" : " (the port has no open handle)");
    ASSERT_EQ(result.information, 0u) << what;
}

}  // namespace

void PortFixture::SetBaud(TestPort& port, ULONG baud) {
    SERIAL_BAUD_RATE rate{};
    rate.BaudRate = baud;
    SendSetting(port.handle, IOCTL_SERIAL_SET_BAUD_RATE, rate, "IOCTL_SERIAL_SET_BAUD_RATE");
}

void PortFixture::SetLineControl(TestPort& port, UCHAR dataBits, UCHAR parity, UCHAR stopBits) {
    SERIAL_LINE_CONTROL lineControl{};
    lineControl.StopBits = stopBits;
    lineControl.Parity = parity;
    lineControl.WordLength = dataBits;
    SendSetting(port.handle, IOCTL_SERIAL_SET_LINE_CONTROL, lineControl, "IOCTL_SERIAL_SET_LINE_CONTROL");
}

void PortFixture::SetTimeouts(TestPort& port, const SERIAL_TIMEOUTS& timeouts) {
    SendSetting(port.handle, IOCTL_SERIAL_SET_TIMEOUTS, timeouts, "IOCTL_SERIAL_SET_TIMEOUTS");
}

void PortFixture::SetChars(TestPort& port, const SERIAL_CHARS& chars) {
    SendSetting(port.handle, IOCTL_SERIAL_SET_CHARS, chars, "IOCTL_SERIAL_SET_CHARS");
}

void PortFixture::SetHandFlow(TestPort& port, const SERIAL_HANDFLOW& handFlow) {
    SendSetting(port.handle, IOCTL_SERIAL_SET_HANDFLOW, handFlow, "IOCTL_SERIAL_SET_HANDFLOW");
}

void PortFixture::SetEscapeChar(TestPort& port, UCHAR escape) {
    SendSetting(port.handle, IOCTL_SERIAL_LSRMST_INSERT, escape, "IOCTL_SERIAL_LSRMST_INSERT");
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
