// The port's WMI blocks as a management tool reads them: through the WMI
// service's requests (harness/app/wmi_client.h) and the WMI library, from
// registration at the first start to deregistration at removal.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "driver/driver_globals.h"
#include "harness/app/wmi_client.h"
#include "harness/kernel/wmi_registration.h"
#include "named_port.h"

namespace {

namespace wmi = harness::app::wmi;
using harness::registry::DwordValue;
using harness::registry::StringValue;

const GUID kNameGuid = SERIAL_PORT_WMI_NAME_GUID;
const GUID kCommGuid = SERIAL_PORT_WMI_COMM_GUID;
const GUID kHwGuid = SERIAL_PORT_WMI_HW_GUID;
const GUID kPerfGuid = SERIAL_PORT_WMI_PERF_GUID;
const GUID kPropertiesGuid = SERIAL_PORT_WMI_PROPERTIES_GUID;
const GUID kBlocks[] = {kNameGuid, kCommGuid, kHwGuid, kPerfGuid, kPropertiesGuid};

template <typename T>
T As(const std::vector<uint8_t>& bytes) {
    T value{};
    EXPECT_EQ(bytes.size(), sizeof(T));
    std::memcpy(&value, bytes.data(), std::min(bytes.size(), sizeof(T)));
    return value;
}

class WmiTest : public NamedPortFixture {
protected:
    static PDEVICE_OBJECT Fdo(const std::shared_ptr<harness::pnp::Device>& device) { return device->functionDevice; }
    static SERIAL_WMI_COMM_DATA Comm(const std::shared_ptr<harness::pnp::Device>& device) {
        const auto answer = wmi::QuerySingleInstance(Fdo(device), kCommGuid);
        EXPECT_EQ(answer.status, STATUS_SUCCESS);
        return As<SERIAL_WMI_COMM_DATA>(answer.Data());
    }
    static SERIAL_WMI_PERF_DATA Perf(const std::shared_ptr<harness::pnp::Device>& device) {
        const auto answer = wmi::QuerySingleInstance(Fdo(device), kPerfGuid);
        EXPECT_EQ(answer.status, STATUS_SUCCESS);
        return As<SERIAL_WMI_PERF_DATA>(answer.Data());
    }
    static harness::app::Handle OpenCom5() {
        harness::app::Handle handle;
        EXPECT_EQ(harness::app::Open(u"COM5", &handle), STATUS_SUCCESS);
        return handle;
    }
    static void Control(harness::app::Handle handle, ULONG code, std::span<const uint8_t> input) {
        EXPECT_EQ(harness::app::Ioctl(handle, code, input, 0).status, STATUS_SUCCESS);
    }
};

// --- Registration ---------------------------------------------------------------

TEST_F(WmiTest, TheFirstStartRegistersFiveSingleInstanceBlocksNamedAfterThePdo) {
    auto device = PlugNamed(u"COM5");
    ASSERT_EQ(wmi::Providers(), std::vector<PDEVICE_OBJECT>{Fdo(device)});
    const auto registration = wmi::QueryRegistration(Fdo(device));
    ASSERT_EQ(registration.status, STATUS_SUCCESS);
    EXPECT_EQ(registration.requests, 2) << "the first, small buffer gets a WNODE_TOO_SMALL";
    ASSERT_EQ(registration.guids.size(), 5u);
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_TRUE(IsEqualGUID(registration.guids[i].guid, kBlocks[i])) << i;
        EXPECT_EQ(registration.guids[i].instanceCount, 1u);
        EXPECT_EQ(registration.guids[i].flags, ULONG{WMIREG_FLAG_INSTANCE_PDO});
        EXPECT_EQ(registration.guids[i].pdo, device->pdo);
    }
    EXPECT_EQ(registration.registryPath, Text(Globals().registryPath));
}

TEST_F(WmiTest, RegistrationEndsAtRemovalAndAtSurpriseRemovalButNotAtAStop) {
    auto removed = PlugNamed(u"COM5");
    auto surprised = PlugNamed(u"COM6");
    auto stopped = PlugNamed(u"COM7");
    ASSERT_EQ(harness::pnp::RebalanceDevice(stopped, [&] { EXPECT_TRUE(harness::wmi::IsRegistered(Fdo(stopped))); }),
              STATUS_SUCCESS);
    EXPECT_TRUE(harness::wmi::IsRegistered(Fdo(stopped))) << "a restart registers nothing twice";

    const PDEVICE_OBJECT removedFdo = Fdo(removed);
    ASSERT_EQ(harness::pnp::RemoveDevice(removed), STATUS_SUCCESS);
    EXPECT_FALSE(harness::wmi::IsRegistered(removedFdo));
    harness::pnp::SurpriseRemoveDevice(surprised);
    EXPECT_EQ(wmi::Providers(), std::vector<PDEVICE_OBJECT>{Fdo(stopped)});
}

TEST_F(WmiTest, APortNeverStartedIsNeitherRegisteredNorDeregistered) {
    auto device = PlugWith({StringValue(u"PortName", u"COM5")}, {.start = false});
    EXPECT_TRUE(wmi::Providers().empty());
    ASSERT_EQ(harness::pnp::RemoveDevice(device), STATUS_SUCCESS);
}

// --- The blocks -------------------------------------------------------------------

TEST_F(WmiTest, PortNameCom5IsACountOfEightThenTheFourCharacters) {
    auto device = PlugNamed(u"COM5");
    const std::vector<uint8_t> expected = {8, 0, 'C', 0, 'O', 0, 'M', 0, '5', 0};
    const auto single = wmi::QuerySingleInstance(Fdo(device), kNameGuid);
    EXPECT_EQ(single.status, STATUS_SUCCESS);
    EXPECT_EQ(single.Data(), expected);
    EXPECT_EQ(single.information, single.dataOffset + 10);
    const auto all = wmi::QueryAllData(Fdo(device), kNameGuid);
    ASSERT_EQ(all.instances.size(), 1u);
    EXPECT_EQ(all.Data(), expected);
}

TEST_F(WmiTest, CommunicationDataAfterStartThenWhileOpenThenAfterClose) {
    auto device = PlugNamed(u"COM5");
    SERIAL_WMI_COMM_DATA comm = Comm(device);
    EXPECT_EQ(comm.BaudRate, Port(device)->currentBaud);
    EXPECT_EQ(comm.BitsPerByte, 7u);
    EXPECT_EQ(comm.Parity, 2u);
    EXPECT_EQ(comm.ParityCheckEnable, 1);
    EXPECT_EQ(comm.StopBits, 0u);
    EXPECT_EQ(comm.XoffCharacter, 0x13u);
    EXPECT_EQ(comm.XonCharacter, 0x11u);
    EXPECT_EQ(comm.MaximumBaudRate, 115200u);
    EXPECT_EQ(comm.MaximumOutputBufferSize, 0xFFFFFFFFu);
    EXPECT_EQ(comm.MaximumInputBufferSize, 0xFFFFFFFFu);
    EXPECT_EQ(comm.Support16BitMode, 0);
    const BOOLEAN flags[] = {comm.SupportDTRDSR,   comm.SupportIntervalTimeouts, comm.SupportParityCheck,
                             comm.SupportRTSCTS,   comm.SupportXonXoff,          comm.SettableBaudRate,
                             comm.SettableDataBits, comm.SettableFlowControl,    comm.SettableParity,
                             comm.SettableParityCheck, comm.SettableStopBits};
    for (BOOLEAN flag : flags) EXPECT_EQ(flag, 1);
    EXPECT_EQ(comm.IsBusy, 0);

    harness::app::Handle handle = OpenCom5();
    comm = Comm(device);
    EXPECT_EQ(comm.IsBusy, 1);
    const ULONG size = Port(device)->rxBufferSize;
    EXPECT_EQ(comm.XoffXmitThreshold, size / 8);
    EXPECT_EQ(comm.XonXmitThreshold, size / 2);
    harness::app::Close(handle);
    EXPECT_EQ(Comm(device).IsBusy, 0);
}

TEST_F(WmiTest, HardwarePerformanceAndPropertiesBlocks) {
    auto device = PlugNamed(u"COM5");
    const auto hw = wmi::QuerySingleInstance(Fdo(device), kHwGuid);
    ASSERT_EQ(hw.Data().size(), 40u);
    SERIAL_WMI_HW_DATA expectedHw{};
    expectedHw.InterruptType = 1;
    EXPECT_EQ(std::memcmp(hw.Data().data(), &expectedHw, 40), 0);
    EXPECT_EQ(wmi::QuerySingleInstance(Fdo(device), kPerfGuid).Data(), std::vector<uint8_t>(24, 0));

    harness::app::Handle handle = OpenCom5();
    const auto ioctl = harness::app::Ioctl(handle, IOCTL_SERIAL_GET_PROPERTIES, {}, 64);
    ASSERT_EQ(ioctl.output.size(), 64u);
    const auto properties = wmi::QuerySingleInstance(Fdo(device), kPropertiesGuid);
    ASSERT_EQ(properties.Data().size(), 68u);
    EXPECT_TRUE(std::equal(ioctl.output.begin(), ioctl.output.begin() + 60, properties.Data().begin()));
    EXPECT_EQ(std::vector<uint8_t>(properties.Data().begin() + 60, properties.Data().end()), std::vector<uint8_t>(8, 0));
    harness::app::Close(handle);
}

// Each block with exactly its size, and with one byte less: the answer
// names the size needed, and nothing is written past the buffer (the
// client's guard bytes would report it).
TEST_F(WmiTest, OneByteTooFewForAnyBlockAsksForItsExactSize) {
    auto device = PlugNamed(u"COM5");
    const struct {
        GUID guid;
        ULONG size;
    } blocks[] = {{kNameGuid, 10}, {kCommGuid, 64}, {kHwGuid, 40}, {kPerfGuid, 24}, {kPropertiesGuid, 68}};
    for (const auto& block : blocks) {
        SCOPED_TRACE(block.size);
        const auto small = wmi::QuerySingleInstance(Fdo(device), block.guid, 0, wmi::SingleInstanceWnodeSize(block.size - 1));
        EXPECT_EQ(small.status, STATUS_SUCCESS);
        ASSERT_TRUE(small.tooSmall);
        EXPECT_EQ(small.sizeNeeded - small.dataOffset, block.size);
        EXPECT_EQ(small.information, sizeof(WNODE_TOO_SMALL));
        const auto exact = wmi::QuerySingleInstance(Fdo(device), block.guid, 0, wmi::SingleInstanceWnodeSize(block.size));
        EXPECT_FALSE(exact.tooSmall);
        EXPECT_EQ(exact.Data().size(), block.size);
    }
}

TEST_F(WmiTest, EverySetIsRefusedAndChangesNothing) {
    auto device = PlugNamed(u"COM5");
    const auto before = wmi::QuerySingleInstance(Fdo(device), kCommGuid).Data();
    const std::vector<uint8_t> data(68, 0x5A);
    for (const GUID& guid : kBlocks) {
        EXPECT_EQ(wmi::SetSingleInstance(Fdo(device), guid, 0, data), STATUS_INVALID_DEVICE_REQUEST);
        EXPECT_EQ(wmi::SetSingleItem(Fdo(device), guid, 0, 1, std::span(data).first(4)), STATUS_INVALID_DEVICE_REQUEST);
    }
    EXPECT_EQ(wmi::QuerySingleInstance(Fdo(device), kCommGuid).Data(), before);
}

TEST_F(WmiTest, AnUnnamedPortAnswersTheNameWithInsufficientResourcesAndTheRestAsUsual) {
    auto device = PlugWith({StringValue(u"PortName", u"COM5"), DwordValue(u"SerialSkipExternalNaming", 1)});
    EXPECT_EQ(wmi::QuerySingleInstance(Fdo(device), kNameGuid).status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(wmi::QuerySingleInstance(Fdo(device), kCommGuid).status, STATUS_SUCCESS);
}

TEST_F(WmiTest, RequestsForOtherDevicesOrGuidsAreNotServedHere) {
    auto device = PlugNamed(u"COM5");
    const GUID unknown = {0x12345678, 1, 2, {3, 4, 5, 6, 7, 8, 9, 10}};
    EXPECT_EQ(wmi::QuerySingleInstance(Fdo(device), unknown).status, STATUS_WMI_GUID_NOT_FOUND);
    // For the PDO below: passed down, and the bus driver leaves the status.
    std::vector<uint8_t> wnode(wmi::SingleInstanceWnodeSize(64), 0);
    GUID path = kCommGuid;
    const auto outcome = wmi::Send(Fdo(device), reinterpret_cast<ULONG_PTR>(device->pdo), IRP_MN_QUERY_SINGLE_INSTANCE,
                                   &path, wnode);
    EXPECT_EQ(outcome.status, STATUS_NOT_SUPPORTED);
}

// --- Values follow the port ---------------------------------------------------------

TEST_F(WmiTest, BlocksFollowSettingsQueueSizeAndStatistics) {
    auto device = PlugNamed(u"COM5");
    harness::app::Handle handle = OpenCom5();
    SERIAL_BAUD_RATE rate{9600};
    Control(handle, IOCTL_SERIAL_SET_BAUD_RATE, harness::app::AsBytes(rate));
    SERIAL_LINE_CONTROL line{STOP_BITS_2, NO_PARITY, 8};
    Control(handle, IOCTL_SERIAL_SET_LINE_CONTROL, harness::app::AsBytes(line));
    SERIAL_CHARS chars{};
    chars.XonChar = 0x21;
    chars.XoffChar = 0x23;
    Control(handle, IOCTL_SERIAL_SET_CHARS, harness::app::AsBytes(chars));
    SERIAL_QUEUE_SIZE queue{16384, 0};
    Control(handle, IOCTL_SERIAL_SET_QUEUE_SIZE, harness::app::AsBytes(queue));
    SERIAL_WMI_COMM_DATA comm = Comm(device);
    EXPECT_EQ(comm.BaudRate, 9600u);
    EXPECT_EQ(comm.BitsPerByte, 8u);
    EXPECT_EQ(comm.Parity, 0u);
    EXPECT_EQ(comm.ParityCheckEnable, 0) << "no parity, nothing to check";
    EXPECT_EQ(comm.StopBits, 2u);
    EXPECT_EQ(comm.XonCharacter, 0x21u);
    EXPECT_EQ(comm.XoffCharacter, 0x23u);
    EXPECT_EQ(comm.XoffXmitThreshold, 16384u / 8);
    EXPECT_EQ(comm.XonXmitThreshold, 16384u / 2);

    // The loopback plug brings every byte back.
    ASSERT_EQ(harness::app::Write(handle, std::vector<uint8_t>(10, 'x')).status, STATUS_SUCCESS);
    Run(50 * kMs);
    SERIAL_WMI_PERF_DATA perf = Perf(device);
    EXPECT_EQ(perf.TransmittedCount, 10u);
    EXPECT_EQ(perf.ReceivedCount, 10u);
    Control(handle, IOCTL_SERIAL_CLEAR_STATS, {});
    perf = Perf(device);
    EXPECT_EQ(perf.TransmittedCount + perf.ReceivedCount, 0u);
    harness::app::Close(handle);
}

TEST_F(WmiTest, ARestartReportsTheDefaultsAgain) {
    auto device = PlugNamed(u"COM5");
    harness::app::Handle handle = OpenCom5();
    SERIAL_LINE_CONTROL line{STOP_BIT_1, ODD_PARITY, 8};
    Control(handle, IOCTL_SERIAL_SET_LINE_CONTROL, harness::app::AsBytes(line));
    harness::app::Close(handle);
    ASSERT_EQ(harness::pnp::RebalanceDevice(device), STATUS_SUCCESS);
    const SERIAL_WMI_COMM_DATA comm = Comm(device);
    EXPECT_EQ(comm.BitsPerByte, 7u);
    EXPECT_EQ(comm.Parity, 2u);
    EXPECT_EQ(comm.IsBusy, 0);
}

// Between a surprise removal and the last close WMI has no provider to
// ask. A sender that asks anyway gets no name: it was freed with the
// names, and nothing reads it any more.
TEST_F(WmiTest, AfterSurpriseRemovalBeforeTheLastCloseNothingReadsTheFreedName) {
    auto device = PlugNamed(u"COM5");
    harness::app::Handle handle = OpenCom5();
    harness::pnp::SurpriseRemoveDevice(device);
    ASSERT_FALSE(device->removed);
    const auto answer = wmi::QuerySingleInstance(Fdo(device), kNameGuid);
    EXPECT_EQ(answer.status, STATUS_WMI_GUID_NOT_FOUND);
    EXPECT_EQ(answer.requests, 0);

    std::vector<uint8_t> wnode(wmi::SingleInstanceWnodeSize(64), 0);
    WNODE_SINGLE_INSTANCE head{};
    head.WnodeHeader.BufferSize = static_cast<ULONG>(wnode.size());
    head.WnodeHeader.Flags = WNODE_FLAG_STATIC_INSTANCE_NAMES;
    head.DataBlockOffset = wmi::SingleInstanceWnodeSize(0);
    std::memcpy(wnode.data(), &head, sizeof(head));
    GUID path = kNameGuid;
    const auto outcome = wmi::Send(Fdo(device), reinterpret_cast<ULONG_PTR>(Fdo(device)), IRP_MN_QUERY_SINGLE_INSTANCE,
                                   &path, wnode);
    EXPECT_EQ(outcome.status, STATUS_INSUFFICIENT_RESOURCES);
    harness::app::Close(handle);
    EXPECT_TRUE(device->removed);
}

}  // namespace
