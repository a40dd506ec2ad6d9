// The port's names: the DOS link applications open ("COM5", "\\.\COM5"),
// the SERIALCOMM entry, the COM-port interface; where the name comes from
// (PortName, Identifier, SerialSkipExternalNaming in the hardware key);
// and that a naming which fails at any step, or a removal, leaves nothing
// behind and disturbs no other port.
#include <string>

#include "driver/pnp.h"
#include "harness/kernel/io_manager.h"
#include "harness/kernel/object_namespace.h"
#include "harness/kernel/pool.h"
#include "harness/kernel/registry.h"
#include "named_port.h"

namespace {

namespace registry = harness::registry;
using harness::registry::DwordValue;
using harness::registry::NamedValue;
using harness::registry::StringValue;

class PortNamingTest : public NamedPortFixture {
protected:
    static std::optional<std::u16string> SerialCommData(const std::shared_ptr<harness::pnp::Device>& device) {
        return registry::GetString(registry::SerialCommPath(), DeviceName(device));
    }
    static std::vector<harness::io::DeviceInterface> ComPortInterfaces() {
        return harness::io::DeviceInterfacesOfClass(GUID_DEVINTERFACE_COMPORT);
    }
    // Opens `name` as an application does and reports which device it reached.
    static NTSTATUS OpenReaching(std::u16string_view name, PDEVICE_OBJECT* reached = nullptr) {
        harness::app::Handle handle;
        const NTSTATUS status = harness::app::Open(name, &handle);
        if (reached != nullptr) *reached = handle ? handle.fileObject->DeviceObject : nullptr;
        if (handle) harness::app::Close(handle);
        return status;
    }

    // The port started and has no name of any kind: no link, no SERIALCOMM
    // entry, no enabled interface, no WMI name.
    void ExpectStartedWithoutNames(const std::shared_ptr<harness::pnp::Device>& device) {
        EXPECT_EQ(device->state, harness::pnp::PnpState::Started);
        PortExtension* port = Port(device);
        EXPECT_FALSE(SerialCommData(device).has_value());
        EXPECT_EQ(port->createdSymbolicLink, 0);
        EXPECT_EQ(port->createdSerialCommEntry, 0);
        EXPECT_EQ(port->symbolicLinkName.Buffer, nullptr);
        EXPECT_EQ(port->dosName.Buffer, nullptr);
        EXPECT_EQ(port->interfaceName.Buffer, nullptr);
        EXPECT_EQ(port->wmiPortName.Buffer, nullptr);
        for (const auto& i : ComPortInterfaces())
            if (i.pdo == device->pdo) EXPECT_FALSE(i.enabled);
    }
};

// --- Named from the hardware key ------------------------------------------------

TEST_F(PortNamingTest, PortNameBecomesLinkSerialCommEntryInterfaceAndWmiName) {
    auto device = PlugNamed(u"COM5");
    PortExtension* port = Port(device);
    EXPECT_EQ(LinkTarget(u"COM5"), DeviceName(device));
    EXPECT_EQ(Text(port->symbolicLinkName), u"\\DosDevices\\COM5");
    EXPECT_EQ(port->symbolicLinkName.MaximumLength, port->symbolicLinkName.Length + 2);
    EXPECT_EQ(SerialCommData(device), u"COM5");
    EXPECT_EQ(SerialComm().size(), 1u);
    ASSERT_EQ(ComPortInterfaces().size(), 1u);
    EXPECT_TRUE(ComPortInterfaces()[0].enabled);
    EXPECT_EQ(ComPortInterfaces()[0].pdo, device->pdo);
    EXPECT_EQ(Text(port->wmiPortName), u"COM5");
    EXPECT_EQ(port->wmiPortName.MaximumLength, 9);
}

TEST_F(PortNamingTest, ApplicationOpensThePortAsCom5AndAsDotCom5) {
    auto device = PlugNamed(u"COM5");
    for (std::u16string_view name : {u"COM5", u"\\\\.\\COM5", u"com5"}) {
        PDEVICE_OBJECT reached = nullptr;
        EXPECT_EQ(OpenReaching(name, &reached), STATUS_SUCCESS) << std::string(name.begin(), name.end());
        EXPECT_EQ(reached, device->functionDevice);
    }
    EXPECT_EQ(OpenReaching(u"COM6"), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(PortNamingTest, RemovalTakesEveryNameBack) {
    auto device = PlugNamed(u"COM5");
    ASSERT_EQ(harness::pnp::RemoveDevice(device), STATUS_SUCCESS);
    EXPECT_FALSE(LinkTarget(u"COM5").has_value());
    EXPECT_TRUE(SerialComm().empty());
    ASSERT_EQ(ComPortInterfaces().size(), 1u);  // the registration outlives the device, disabled
    EXPECT_FALSE(ComPortInterfaces()[0].enabled);
    EXPECT_EQ(OpenReaching(u"COM5"), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(PortNamingTest, SurpriseRemovalWithTheHandleOpenTakesTheNamesBackAtOnce) {
    auto device = PlugNamed(u"COM5");
    harness::app::Handle handle;
    ASSERT_EQ(harness::app::Open(u"COM5", &handle), STATUS_SUCCESS);
    harness::pnp::SurpriseRemoveDevice(device);
    // The remove request waits for the close; the name is already free.
    EXPECT_FALSE(LinkTarget(u"COM5").has_value());
    EXPECT_TRUE(SerialComm().empty());
    EXPECT_EQ(EnabledComPortInterfaces(), 0);
    auto replacement = PlugNamed(u"COM5");
    EXPECT_EQ(LinkTarget(u"COM5"), DeviceName(replacement));
    harness::app::Close(handle);
    EXPECT_TRUE(device->removed);
    EXPECT_EQ(LinkTarget(u"COM5"), DeviceName(replacement));
    EXPECT_EQ(SerialCommData(replacement), u"COM5");
}

TEST_F(PortNamingTest, RestartAfterARebalanceKeepsTheNamesWithoutNamingAgain) {
    auto device = PlugNamed(u"COM5");
    const uint64_t blocks = harness::pool::BlocksInUse(harness::pool::Tag("COMX"));
    ASSERT_EQ(harness::pnp::RebalanceDevice(device), STATUS_SUCCESS);
    EXPECT_EQ(harness::pool::BlocksInUse(harness::pool::Tag("COMX")), blocks);
    EXPECT_EQ(LinkTarget(u"COM5"), DeviceName(device));
    EXPECT_EQ(SerialCommData(device), u"COM5");
    EXPECT_EQ(EnabledComPortInterfaces(), 1);
    EXPECT_EQ(OpenReaching(u"COM5"), STATUS_SUCCESS);
    ASSERT_EQ(harness::pnp::RemoveDevice(device), STATUS_SUCCESS);
    EXPECT_FALSE(LinkTarget(u"COM5").has_value());
    EXPECT_TRUE(SerialComm().empty());
}

// --- Where the name comes from ------------------------------------------------------

TEST_F(PortNamingTest, IdentifierServesWhenPortNameIsAbsentEmptyOrTooLong) {
    const std::u16string tooLong(200, u'X');  // 402 bytes: more than a name value may hold
    const std::vector<std::vector<NamedValue>> keys = {
        {StringValue(u"Identifier", u"COM3")},
        {StringValue(u"PortName", u""), StringValue(u"Identifier", u"COM3")},
        {StringValue(u"PortName", tooLong), StringValue(u"Identifier", u"COM3")},
        {StringValue(u"PortName", u"..\\Device\\X"), StringValue(u"Identifier", u"COM3")},
    };
    for (const auto& values : keys) {
        auto device = PlugWith(values);
        EXPECT_EQ(LinkTarget(u"COM3"), DeviceName(device));
        EXPECT_EQ(SerialCommData(device), u"COM3");
        EXPECT_EQ(Text(Port(device)->wmiPortName), u"COM3");
        ASSERT_EQ(harness::pnp::RemoveDevice(device), STATUS_SUCCESS);
        EXPECT_EQ(DosLinks().size(), 0u);
    }
}

TEST_F(PortNamingTest, PortNameWinsOverIdentifier) {
    auto device = PlugWith({StringValue(u"Identifier", u"COM3"), StringValue(u"PortName", u"COM7")});
    EXPECT_EQ(LinkTarget(u"COM7"), DeviceName(device));
    EXPECT_FALSE(LinkTarget(u"COM3").has_value());
}

TEST_F(PortNamingTest, NeitherValueLeavesThePortStartedWithoutNames) {
    auto device = PlugWith({StringValue(u"FriendlyName", u"COM9")});
    ExpectStartedWithoutNames(device);
    EXPECT_TRUE(DosLinks().empty());
    EXPECT_TRUE(ComPortInterfaces().empty());
    EXPECT_EQ(OpenReaching(DeviceName(device)), STATUS_SUCCESS);
}

TEST_F(PortNamingTest, ANameValueWithoutTerminatorIsReadWithoutGarbage) {
    // Binary data "COM8", no terminator: what follows it in the buffer
    // must be zero, not whatever the pool held.
    const std::u16string text = u"COM8";
    NamedValue value{u"PortName", REG_BINARY, {}};
    const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
    value.data.assign(bytes, bytes + text.size() * 2);
    auto device = PlugWith({value});
    EXPECT_EQ(LinkTarget(u"COM8"), DeviceName(device));
    EXPECT_EQ(SerialCommData(device), u"COM8");
}

TEST_F(PortNamingTest, SkipExternalNamingNamesNothingAndTakesNothingBack) {
    auto named = PlugNamed(u"COM5");
    auto skipped = PlugWith({StringValue(u"PortName", u"COM5"), DwordValue(u"SerialSkipExternalNaming", 1)});
    EXPECT_EQ(Port(skipped)->skipExternalNaming, 1u);
    ExpectStartedWithoutNames(skipped);
    EXPECT_EQ(ComPortInterfaces().size(), 1u);  // the other port's only
    ASSERT_EQ(harness::pnp::RemoveDevice(skipped), STATUS_SUCCESS);
    EXPECT_EQ(LinkTarget(u"COM5"), DeviceName(named));
    EXPECT_EQ(SerialCommData(named), u"COM5");
    EXPECT_EQ(EnabledComPortInterfaces(), 1);
}

// --- Long names -------------------------------------------------------------------------

TEST_F(PortNamingTest, SerialCommTakesAtMost32CharactersTheLinkTheWholeName) {
    const std::u16string fits(32, u'A');
    const std::u16string over = std::u16string(33, u'B');
    auto a = PlugNamed(fits);
    auto b = PlugNamed(over);
    EXPECT_EQ(SerialCommData(a), fits);
    EXPECT_EQ(SerialCommData(b), u"");
    EXPECT_EQ(LinkTarget(over), DeviceName(b));
    EXPECT_EQ(Text(Port(b)->wmiPortName), over);
    EXPECT_EQ(OpenReaching(over), STATUS_SUCCESS);
}

TEST_F(PortNamingTest, ALinkNameTooLongForTheBufferIsRefusedNotTruncated) {
    // "\DosDevices\" and 116 characters fill the 256-byte link buffer.
    const std::u16string longest(116, u'L');
    auto fits = PlugNamed(longest);
    EXPECT_EQ(LinkTarget(longest), DeviceName(fits));
    ASSERT_EQ(harness::pnp::RemoveDevice(fits), STATUS_SUCCESS);

    const std::u16string tooLong(117, u'L');
    auto refused = PlugNamed(tooLong);
    ExpectStartedWithoutNames(refused);
    EXPECT_TRUE(DosLinks().empty());  // neither the name nor a truncated one
}

// --- Two ports, one name ----------------------------------------------------------------

TEST_F(PortNamingTest, SecondPortWithTheSameNameStartsUnnamedAndTheFirstKeepsEverything) {
    auto first = PlugNamed(u"COM5");
    auto second = PlugNamed(u"COM5");
    ExpectStartedWithoutNames(second);
    EXPECT_EQ(LinkTarget(u"COM5"), DeviceName(first));
    EXPECT_EQ(SerialCommData(first), u"COM5");
    EXPECT_EQ(SerialComm().size(), 1u);
    EXPECT_EQ(EnabledComPortInterfaces(), 1);
    PDEVICE_OBJECT reached = nullptr;
    EXPECT_EQ(OpenReaching(u"COM5", &reached), STATUS_SUCCESS);
    EXPECT_EQ(reached, first->functionDevice);

    ASSERT_EQ(harness::pnp::RemoveDevice(second), STATUS_SUCCESS);
    EXPECT_EQ(OpenReaching(u"COM5", &reached), STATUS_SUCCESS);
    EXPECT_EQ(reached, first->functionDevice);
    EXPECT_EQ(SerialCommData(first), u"COM5");
    EXPECT_EQ(EnabledComPortInterfaces(), 1);
}

// --- Each step failing ----------------------------------------------------------------------

TEST_F(PortNamingTest, AForeignLinkWithThePortNameIsLeftAlone) {
    ASSERT_EQ(harness::io::InsertSymbolicLinkName(u"\\DosDevices\\COM5", u"\\Device\\Elsewhere"), STATUS_SUCCESS);
    auto device = PlugNamed(u"COM5");
    ExpectStartedWithoutNames(device);
    ASSERT_EQ(harness::pnp::RemoveDevice(device), STATUS_SUCCESS);
    EXPECT_EQ(LinkTarget(u"COM5"), u"\\Device\\Elsewhere");
}

TEST_F(PortNamingTest, ASerialCommWriteThatFailsTakesTheLinkBack) {
    // Without HARDWARE\DEVICEMAP the SERIALCOMM key cannot be created.
    ASSERT_TRUE(registry::DeleteKey(u"\\Registry\\Machine\\Hardware\\DeviceMap"));
    auto device = PlugNamed(u"COM5");
    ExpectStartedWithoutNames(device);
    EXPECT_TRUE(DosLinks().empty());
    EXPECT_TRUE(ComPortInterfaces().empty());
    ASSERT_EQ(harness::pnp::RemoveDevice(device), STATUS_SUCCESS);
}

TEST_F(PortNamingTest, AnInterfaceThatCannotBeRegisteredTakesTheLinkAndEntryBack) {
    harness::pool::FailAllocationsOfTag(harness::pool::Tag("IoIf"), true);
    auto device = PlugNamed(u"COM5");
    harness::pool::FailAllocationsOfTag(harness::pool::Tag("IoIf"), false);
    ExpectStartedWithoutNames(device);
    EXPECT_TRUE(DosLinks().empty());
    EXPECT_TRUE(SerialComm().empty());
    ASSERT_EQ(harness::pnp::RemoveDevice(device), STATUS_SUCCESS);
}

TEST_F(PortNamingTest, AnInterfaceThatCannotBeEnabledIsLeftRegisteredAndDisabled) {
    // The interface's link name taken beforehand: enabling it collides.
    std::u16string instance = harness::pnp::DeviceDescription{}.instancePath + u"&0";
    for (auto& c : instance)
        if (c == u'\\') c = u'#';
    const std::u16string interfaceLink = u"\\??\\" + instance + u"#" + harness::io::FormatGuid(GUID_DEVINTERFACE_COMPORT);
    ASSERT_EQ(harness::io::InsertSymbolicLinkName(interfaceLink, u"\\Device\\Elsewhere"), STATUS_SUCCESS);

    auto device = PlugNamed(u"COM5");
    ExpectStartedWithoutNames(device);
    EXPECT_FALSE(LinkTarget(u"COM5").has_value());
    EXPECT_TRUE(SerialComm().empty());
    ASSERT_EQ(ComPortInterfaces().size(), 1u);
    EXPECT_FALSE(ComPortInterfaces()[0].enabled);
    ASSERT_EQ(harness::pnp::RemoveDevice(device), STATUS_SUCCESS);
    EXPECT_EQ(harness::io::SymbolicLinkTarget(interfaceLink), u"\\Device\\Elsewhere");
}

// Every pool allocation of the start fails in turn. Whatever the start
// makes of it, the port is named whole or not at all, and its removal
// leaves the name free for the next port (which each run then takes).
TEST_F(PortNamingTest, EachAllocationOfTheStartFailingLeavesTheNamesWholeOrAbsent) {
    auto clean = PlugWith({StringValue(u"PortName", u"COM5")}, {.start = false});
    const uint64_t before = harness::pool::AllocationCount();
    ASSERT_EQ(harness::pnp::StartDevice(clean), STATUS_SUCCESS);
    const uint64_t allocations = harness::pool::AllocationCount() - before;
    ASSERT_EQ(harness::pnp::RemoveDevice(clean), STATUS_SUCCESS);

    int unnamed = 0;
    for (uint64_t n = 1; n <= allocations; ++n) {
        SCOPED_TRACE("allocation " + std::to_string(n) + " of " + std::to_string(allocations));
        auto device = PlugWith({StringValue(u"PortName", u"COM5")}, {.start = false});
        harness::pool::FailNthAllocation(n);
        const NTSTATUS status = harness::pnp::StartDevice(device);
        harness::pool::ClearFaults();
        if (NT_SUCCESS(status)) {
            if (LinkTarget(u"COM5").has_value()) {
                EXPECT_EQ(LinkTarget(u"COM5"), DeviceName(device));
                EXPECT_EQ(SerialCommData(device), u"COM5");
                EXPECT_EQ(EnabledComPortInterfaces(), 1);
            } else {
                ExpectStartedWithoutNames(device);
                EXPECT_TRUE(SerialComm().empty());
                EXPECT_EQ(EnabledComPortInterfaces(), 0);
                ++unnamed;
            }
            ASSERT_EQ(harness::pnp::RemoveDevice(device), STATUS_SUCCESS);
        }
        ASSERT_TRUE(device->removed);
        EXPECT_TRUE(DosLinks().empty());
        EXPECT_TRUE(SerialComm().empty());
        EXPECT_EQ(EnabledComPortInterfaces(), 0);
        if (HasFailure()) break;
    }
    // The naming's own: two name buffers, the PortName read, the WMI name,
    // the link name, the SERIALCOMM name, the interface name. (A failed
    // read of SerialSkipExternalNaming reads as 0: the port is named.)
    EXPECT_GE(unnamed, 7);
}

}  // namespace
