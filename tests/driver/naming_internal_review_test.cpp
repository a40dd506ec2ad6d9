// Harder cases for the port's names and for the requests other kernel
// components send: the names across query-remove, surprise removal and a
// start that fails after naming; hostile values in the hardware key; the
// basic-settings restore handed a record the port would never have made;
// file information requests of every class and length from a kernel-mode
// sender that gets no length check from the I/O manager.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "harness/kernel/io_manager.h"
#include "harness/kernel/object_namespace.h"
#include "harness/kernel/registry.h"
#include "internal_codes_port.h"
#include "named_port.h"

namespace {

namespace registry = harness::registry;
using harness::app::Result;
using harness::registry::NamedValue;
using harness::registry::StringValue;

// A value of any type and bytes.
NamedValue RawValue(std::u16string name, ULONG type, std::vector<uint8_t> data) {
    return NamedValue{std::move(name), type, std::move(data)};
}
std::vector<uint8_t> Utf16Bytes(std::u16string_view text) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
    return std::vector<uint8_t>(bytes, bytes + text.size() * 2);
}

class NamingReviewTest : public NamedPortFixture {
protected:
    static NTSTATUS OpenStatus(std::u16string_view name) {
        harness::app::Handle handle;
        const NTSTATUS status = harness::app::Open(name, &handle);
        if (handle) harness::app::Close(handle);
        return status;
    }
    // The port carries `name` everywhere: link, SERIALCOMM, interface.
    void ExpectNamed(const std::shared_ptr<harness::pnp::Device>& device, std::u16string_view name) {
        EXPECT_EQ(LinkTarget(name), DeviceName(device));
        EXPECT_EQ(registry::GetString(registry::SerialCommPath(), DeviceName(device)), std::u16string(name));
        EXPECT_EQ(EnabledComPortInterfaces(), 1);
        EXPECT_EQ(OpenStatus(name), STATUS_SUCCESS);
    }
    // Nothing of any port's name is left.
    void ExpectNoNames() {
        EXPECT_TRUE(DosLinks().empty());
        EXPECT_TRUE(SerialComm().empty());
        EXPECT_EQ(EnabledComPortInterfaces(), 0);
    }
};

// --- Across the life cycle -------------------------------------------------------

TEST_F(NamingReviewTest, RemovalAndStopThatAreCalledOffLeaveEveryName) {
    auto device = PlugNamed(u"COM5");
    ASSERT_EQ(harness::pnp::QueryRemoveDevice(device), STATUS_SUCCESS);
    harness::pnp::CancelRemoveDevice(device);
    ExpectNamed(device, u"COM5");
    ASSERT_EQ(harness::pnp::QueryStopDevice(device), STATUS_SUCCESS);
    harness::pnp::CancelStopDevice(device);
    ExpectNamed(device, u"COM5");
    ASSERT_EQ(harness::pnp::RemoveDevice(device), STATUS_SUCCESS);
    ExpectNoNames();
}

// Windows takes the link away at surprise removal: between it and the last
// close an application must not reach the departed port by its name, nor
// by its device name.
TEST_F(NamingReviewTest, ASurpriseRemovedPortCannotBeOpenedBeforeItsLastClose) {
    auto device = PlugNamed(u"COM5");
    const std::u16string deviceName = DeviceName(device);
    harness::app::Handle handle;
    ASSERT_EQ(harness::app::Open(u"COM5", &handle), STATUS_SUCCESS);
    harness::pnp::SurpriseRemoveDevice(device);
    ASSERT_FALSE(device->removed);
    EXPECT_EQ(OpenStatus(u"COM5"), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(OpenStatus(u"\\\\.\\COM5"), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_FALSE(NT_SUCCESS(OpenStatus(deviceName)));
    ExpectNoNames();
    harness::app::Close(handle);
    EXPECT_TRUE(device->removed);
    ExpectNoNames();
}

// The port is named before the chip is detected; a chip that fails its
// register test then fails the start and Windows removes the device. The
// name must not stay behind with it.
TEST_F(NamingReviewTest, AStartThatFailsAfterNamingGivesTheNameBackForTheNextPort) {
    auto failed = PlugWith({StringValue(u"PortName", u"COM5")}, {.echoFails = true});
    EXPECT_EQ(failed->startStatus, STATUS_NO_MEMORY);
    ASSERT_TRUE(failed->removed);
    ExpectNoNames();
    auto next = PlugNamed(u"COM5");
    ASSERT_EQ(next->startStatus, STATUS_SUCCESS);
    ExpectNamed(next, u"COM5");
}

// --- Hostile values in the hardware key ------------------------------------------

// What the class installer writes is a REG_SZ "COMn". Whatever else the key
// holds must either give a name an application can open by CreateFile, or
// leave the port to "Identifier" and, failing that, unnamed: never a link
// whose name Win32 cannot reach (a "/" is turned into a separator, "." and
// ".." are removed from the path, a ":" makes a drive or stream name and a
// name like "Z:" would take over a drive letter), nor one spelled from the
// bytes of a number.
TEST_F(NamingReviewTest, HostileNameValuesGiveAnOpenableNameOrNone) {
    const NamedValue identifier = StringValue(u"Identifier", u"COM3");
    std::vector<uint8_t> odd = Utf16Bytes(u"COM4");
    odd.push_back(0);  // nine bytes: half a terminator
    std::vector<uint8_t> embedded = Utf16Bytes(std::u16string(u"COM6\0JUNK", 9));
    const struct {
        const char* what;
        std::vector<NamedValue> values;
        std::u16string expected;  // empty: no name at all
    } cases[] = {
        {"REG_DWORD PortName", {RawValue(u"PortName", REG_DWORD, {5, 0, 0, 0}), identifier}, u"COM3"},
        {"REG_DWORD 1 alone", {RawValue(u"PortName", REG_DWORD, {1, 0, 0, 0})}, u""},
        {"odd length", {RawValue(u"PortName", REG_SZ, odd)}, u"COM4"},
        {"embedded zero", {RawValue(u"PortName", REG_SZ, embedded)}, u"COM6"},
        {"slash", {StringValue(u"PortName", u"COM/5"), identifier}, u"COM3"},
        {"colon", {StringValue(u"PortName", u"Z:"), identifier}, u"COM3"},
        {"dot dot", {StringValue(u"PortName", u".."), identifier}, u"COM3"},
        {"dot", {StringValue(u"PortName", u"."), identifier}, u"COM3"},
        {"tab", {StringValue(u"PortName", u"COM\t5"), identifier}, u"COM3"},
        {"bad name, long Identifier",
         {StringValue(u"PortName", u"A\\B"), StringValue(u"Identifier", std::u16string(200, u'I'))},
         u""},
        {"bad name, Identifier too long for a link",
         {StringValue(u"PortName", u"A/B"), StringValue(u"Identifier", std::u16string(117, u'I'))},
         u""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto device = PlugWith(c.values);
        ASSERT_EQ(device->startStatus, STATUS_SUCCESS);
        if (c.expected.empty()) {
            ExpectNoNames();
            EXPECT_EQ(Port(device)->wmiPortName.Buffer, nullptr);
        } else {
            ExpectNamed(device, c.expected);
            EXPECT_EQ(Text(Port(device)->wmiPortName), c.expected);
        }
        ASSERT_EQ(harness::pnp::RemoveDevice(device), STATUS_SUCCESS);
        ExpectNoNames();
        if (HasFailure()) break;
    }
}

// --- Internal control codes and file information -------------------------------------

class InternalReviewTest : public InternalCodesFixture {
protected:
    static std::vector<uint8_t> Bytes(const SERIAL_BASIC_SETTINGS& s) {
        const auto* p = reinterpret_cast<const uint8_t*>(&s);
        return std::vector<uint8_t>(p, p + kBasicLength);
    }
    // An internal code from a component that holds no handle; input only.
    static NTSTATUS KernelInternal(TestPort& port, ULONG code, std::vector<uint8_t> input) {
        KEVENT done;
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        IO_STATUS_BLOCK io{};
        PIRP irp = IoBuildDeviceIoControlRequest(code, port.Fdo(), input.data(), ULONG(input.size()), nullptr, 0,
                                                 TRUE, &done, &io);
        if (IoCallDriver(port.Fdo(), irp) == STATUS_PENDING) KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        return io.Status;
    }
    static bool Same(const SERIAL_HANDFLOW& a, const SERIAL_HANDFLOW& b) { return std::memcmp(&a, &b, sizeof(a)) == 0; }
    static bool Same(const SERIAL_TIMEOUTS& a, const SERIAL_TIMEOUTS& b) { return std::memcmp(&a, &b, sizeof(a)) == 0; }

    static constexpr SERIAL_TIMEOUTS kAppTimeouts{10, 2, 300, 4, 500};
    static SERIAL_HANDFLOW AppHandFlow() {
        return SERIAL_HANDFLOW{SERIAL_DTR_HANDSHAKE | SERIAL_CTS_HANDSHAKE, SERIAL_RTS_CONTROL | SERIAL_AUTO_RECEIVE,
                               100, 200};
    }

};

// Each save returns what runs at that moment: the second one, taken while
// the basic settings are in place, returns those. Restoring the first
// brings the application's settings back whatever came in between.
TEST_F(InternalReviewTest, TwoSavesInARowThenTheFirstRecordRestoresTheApplicationsSettings) {
    TestPort& port = PlugPort();
    ASSERT_EQ(Open(port), STATUS_SUCCESS);
    SetTimeouts(port, kAppTimeouts);
    SetHandFlow(port, AppHandFlow());
    const SERIAL_HANDFLOW app = HandFlow(port);

    const SERIAL_BASIC_SETTINGS first = Saved(Internal(port, IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS, {}, kBasicLength));
    const SERIAL_BASIC_SETTINGS second = Saved(Internal(port, IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS, {}, kBasicLength));
    EXPECT_TRUE(Same(first.HandFlow, app));
    EXPECT_TRUE(Same(first.Timeouts, kAppTimeouts));
    EXPECT_TRUE(Same(second.HandFlow, SERIAL_HANDFLOW{}));
    EXPECT_TRUE(Same(second.Timeouts, SERIAL_TIMEOUTS{}));

    ASSERT_EQ(Internal(port, IOCTL_SERIAL_INTERNAL_RESTORE_SETTINGS, Bytes(first)).status, STATUS_SUCCESS);
    EXPECT_TRUE(Same(HandFlow(port), app));
    EXPECT_TRUE(Same(Timeouts(port), kAppTimeouts));
    EXPECT_TRUE(port.chip->Dtr()) << "DTR handshake with an empty buffer";
    EXPECT_TRUE(port.chip->Rts());
    // The restore left nothing for the application's own setting to trip on.
    SetHandFlow(port, HandFlow(port));
}

// The restore is handed 44 bytes by another driver. A handflow the port
// would refuse from an application (the DTR field 3, reserved bits, limits
// negative or beyond the receive buffer) cannot be put in place: the
// receive thresholds subtract the limits from the buffer size unsigned, so
// such limits wrap and the far end is never held off, or is let go at once;
// and the stored record would then be handed to applications as the port's
// setting. The record is refused and the port keeps what it runs.
TEST_F(InternalReviewTest, ARestoreRecordWithAHandFlowThePortWouldRefuseChangesNothing) {
    TestPort& port = PlugPort();
    ASSERT_EQ(Open(port), STATUS_SUCCESS);
    SetTimeouts(port, kAppTimeouts);
    SetHandFlow(port, AppHandFlow());
    const SERIAL_BASIC_SETTINGS good = Saved(Internal(port, IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS, {}, kBasicLength));
    const SERIAL_HANDFLOW basic = HandFlow(port);
    const LONG size = static_cast<LONG>(port.ext->rxBufferSize);
    ASSERT_GT(size, 0);

    const struct {
        const char* what;
        void (*spoil)(SERIAL_HANDFLOW&, LONG);
    } spoilers[] = {
        {"DTR field 3", [](SERIAL_HANDFLOW& h, LONG) { h.ControlHandShake |= SERIAL_DTR_MASK; }},
        {"reserved handshake bit", [](SERIAL_HANDFLOW& h, LONG) { h.ControlHandShake |= 0x100; }},
        {"reserved flow bit", [](SERIAL_HANDFLOW& h, LONG) { h.FlowReplace |= 0x100; }},
        {"XoffLimit beyond the buffer", [](SERIAL_HANDFLOW& h, LONG s) { h.XoffLimit = s + 1; }},
        {"XonLimit beyond the buffer", [](SERIAL_HANDFLOW& h, LONG s) { h.XonLimit = s + 1; }},
        {"negative XonLimit", [](SERIAL_HANDFLOW& h, LONG) { h.XonLimit = -1; }},
        {"negative XoffLimit", [](SERIAL_HANDFLOW& h, LONG) { h.XoffLimit = -400; }},
    };
    for (const auto& s : spoilers) {
        SCOPED_TRACE(s.what);
        SERIAL_BASIC_SETTINGS bad = good;
        s.spoil(bad.HandFlow, size);
        const Result r = Internal(port, IOCTL_SERIAL_INTERNAL_RESTORE_SETTINGS, Bytes(bad));
        EXPECT_EQ(r.status, STATUS_INVALID_PARAMETER);
        EXPECT_EQ(r.information, 0u);
        EXPECT_TRUE(Same(HandFlow(port), basic));
        EXPECT_TRUE(Same(Timeouts(port), SERIAL_TIMEOUTS{}));
        EXPECT_FALSE(port.chip->Dtr());
    }
    // The record as it was made still restores.
    ASSERT_EQ(Internal(port, IOCTL_SERIAL_INTERNAL_RESTORE_SETTINGS, Bytes(good)).status, STATUS_SUCCESS);
    EXPECT_TRUE(Same(HandFlow(port), good.HandFlow));

    // Closed, the port has no receive buffer to hold the limits to; a
    // negative one is still refused.
    ASSERT_EQ(Close(port), STATUS_SUCCESS);
    SERIAL_BASIC_SETTINGS negative = good;
    negative.HandFlow.XonLimit = -1;
    EXPECT_EQ(KernelInternal(port, IOCTL_SERIAL_INTERNAL_RESTORE_SETTINGS, Bytes(negative)), STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(Same(port.ext->handFlow, good.HandFlow));
}

// A surprise-removed port takes no internal code and no file request, and
// its settings do not change.
TEST_F(InternalReviewTest, InternalCodesAfterSurpriseRemovalAreRefusedWithoutEffect) {
    TestPort& port = PlugPort();
    ASSERT_EQ(Open(port), STATUS_SUCCESS);
    SetTimeouts(port, kAppTimeouts);
    harness::pnp::SurpriseRemoveDevice(port.device);
    for (ULONG code : {IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS, IOCTL_SERIAL_INTERNAL_RESTORE_SETTINGS,
                       IOCTL_SERIAL_INTERNAL_DO_WAIT_WAKE, IOCTL_SERIAL_INTERNAL_CANCEL_WAIT_WAKE}) {
        const Result r = Internal(port, code, std::vector<uint8_t>(kBasicLength, 0), kBasicLength);
        EXPECT_EQ(r.status, STATUS_DELETE_PENDING) << std::hex << code;
        EXPECT_EQ(r.information, 0u);
    }
    EXPECT_EQ(harness::app::QueryInformation(port.handle, FileStandardInformation, 24).status, STATUS_DELETE_PENDING);
    EXPECT_TRUE(Same(port.ext->timeouts, kAppTimeouts));
    EXPECT_EQ(port.ext->sendWaitWake, 0);
    ASSERT_EQ(Close(port), STATUS_SUCCESS);
}

// Every class 0 to 80 with every length 0 to 64, queried and set by a
// kernel-mode sender: only the two query classes and the two set classes
// succeed, a query writes its whole record and nothing past it, and
// nothing is written by anything that fails.
TEST_F(InternalReviewTest, FileRequestsOfEveryClassAndLengthWriteOnlyTheirRecord) {
    TestPort& port = PlugPort();
    for (ULONG infoClass = 0; infoClass <= 80; ++infoClass) {
        for (ULONG length = 0; length <= 64; ++length) {
            SCOPED_TRACE("class " + std::to_string(infoClass) + " length " + std::to_string(length));
            const Result q = KernelFileRequest(port, IRP_MJ_QUERY_INFORMATION, infoClass, length);
            ULONG record = 0;
            if (infoClass == FileStandardInformation) record = sizeof(FILE_STANDARD_INFORMATION);
            if (infoClass == FilePositionInformation) record = sizeof(FILE_POSITION_INFORMATION);
            if (record != 0 && length >= record) {
                EXPECT_EQ(q.status, STATUS_SUCCESS);
                EXPECT_EQ(q.information, record);
                EXPECT_EQ(std::vector<uint8_t>(q.output.begin(), q.output.begin() + record),
                          std::vector<uint8_t>(record, 0));
            } else {
                EXPECT_EQ(q.status, record != 0 ? STATUS_INFO_LENGTH_MISMATCH : STATUS_INVALID_PARAMETER);
                EXPECT_EQ(q.information, 0u);
            }
            EXPECT_EQ(std::vector<uint8_t>(q.output.begin() + q.information, q.output.end()),
                      std::vector<uint8_t>(length + 16 - q.information, 0xEE));

            const Result s = KernelFileRequest(port, IRP_MJ_SET_INFORMATION, infoClass, length);
            const bool accepted = infoClass == FileEndOfFileInformation || infoClass == FileAllocationInformation;
            EXPECT_EQ(s.status, accepted ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER);
            EXPECT_EQ(s.information, 0u);
            EXPECT_EQ(s.output, std::vector<uint8_t>(length + 16, 0xEE));
            if (HasFailure()) return;
        }
    }
    EXPECT_EQ(port.ext->pendingIrpCount, 1);
}

}  // namespace
