// The WMI library as a driver relies on it: which requests it hands back
// (and how the driver must finish them), the WNODE it builds around the
// callback's data, and the faults it reports instead of corrupting the WMI
// service's memory.
#include <gtest/gtest.h>

#include <cstring>

#include "harness/app/wmi_client.h"
#include "io_test_driver.h"

namespace {

namespace wmi = harness::app::wmi;

const GUID kBlockGuid = {0x11111111, 0x2222, 0x3333, {4, 5, 6, 7, 8, 9, 10, 11}};

// What the test provider's query callback does; set by each test.
struct Behaviour {
    std::vector<std::vector<uint8_t>> instances;  // data per instance
    ULONG extraClaimed = 0;                       // bytes claimed beyond what was written
    ULONG extraWritten = 0;                       // bytes written beyond BufferAvail
    ULONG lengthOverstated = 0;                   // added to the first instance length
};
Behaviour behaviour;
WMIGUIDREGINFO guidList[] = {{&kBlockGuid, 3, 0}};

NTSTATUS NTAPI Query(PDEVICE_OBJECT device, PIRP irp, ULONG, ULONG, ULONG count, PULONG lengths, ULONG avail,
                     PUCHAR buffer) {
    ULONG used = 0;
    for (ULONG i = 0; i < count; ++i) used = ((used + 7) & ~7u) + static_cast<ULONG>(behaviour.instances[i].size());
    if (behaviour.extraWritten != 0) {
        std::memset(buffer, 0x77, avail + behaviour.extraWritten);
        return WmiCompleteRequest(device, irp, STATUS_SUCCESS, avail, IO_NO_INCREMENT);
    }
    if (used > avail && behaviour.extraClaimed == 0)
        return WmiCompleteRequest(device, irp, STATUS_BUFFER_TOO_SMALL, used, IO_NO_INCREMENT);
    ULONG offset = 0;
    for (ULONG i = 0; i < count; ++i) {
        offset = (offset + 7) & ~7u;
        const auto& data = behaviour.instances[i];
        if (offset + data.size() <= avail) std::memcpy(buffer + offset, data.data(), data.size());
        lengths[i] = static_cast<ULONG>(data.size()) + (i == 0 ? behaviour.lengthOverstated : 0);
        offset += static_cast<ULONG>(data.size());
    }
    return WmiCompleteRequest(device, irp, STATUS_SUCCESS, used + behaviour.extraClaimed, IO_NO_INCREMENT);
}

NTSTATUS NTAPI RegInfo(PDEVICE_OBJECT, PULONG flags, PUNICODE_STRING, PUNICODE_STRING*, PUNICODE_STRING,
                       PDEVICE_OBJECT*) {
    *flags = 0;
    return STATUS_SUCCESS;
}

class WmiLibraryTest : public IoTest {
protected:
    void SetUp() override {
        IoTest::SetUp();
        behaviour = Behaviour{};
        behaviour.instances = {{1, 2, 3}, {4, 5, 6, 7, 8}, {9, 10}};
        context_.GuidCount = 1;
        context_.GuidList = guidList;
        context_.QueryWmiRegInfo = RegInfo;
        context_.QueryWmiDataBlock = Query;
        provider_ = AddDevice([this](PDEVICE_OBJECT device, PIRP irp) { return Dispatch(device, irp); });
        ASSERT_EQ(IoWMIRegistrationControl(provider_, WMIREG_ACTION_REGISTER), STATUS_SUCCESS);
    }
    void TearDown() override {
        IoWMIRegistrationControl(provider_, WMIREG_ACTION_DEREGISTER);
        IoTest::TearDown();
    }
    // A WDM driver's system-control dispatch, as the library expects it.
    NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp) {
        if (hold_) {
            held_ = irp;
            IoMarkIrpPending(irp);
            return STATUS_PENDING;
        }
        SYSCTL_IRP_DISPOSITION disposition;
        const NTSTATUS status = WmiSystemControl(&context_, device, irp, &disposition);
        dispositions_.push_back(disposition);
        if (disposition == IrpProcessed) return status;
        const NTSTATUS final = disposition == IrpNotCompleted ? irp->IoStatus.Status : STATUS_NOT_SUPPORTED;
        return iotest::Complete(irp, final, irp->IoStatus.Information);
    }
    wmi::Outcome SendQuery(UCHAR minor, ULONG_PTR providerId, ULONG size = 128) {
        std::vector<uint8_t> wnode(size, 0);
        GUID path = kBlockGuid;
        return wmi::Send(provider_, providerId, minor, &path, wnode);
    }

    WMILIB_CONTEXT context_{};
    PDEVICE_OBJECT provider_ = nullptr;
    std::vector<SYSCTL_IRP_DISPOSITION> dispositions_;
    bool hold_ = false;
    PIRP held_ = nullptr;
};

TEST_F(WmiLibraryTest, DispositionsTellTheDriverWhatIsLeftToDo) {
    const ULONG_PTR self = reinterpret_cast<ULONG_PTR>(provider_);
    EXPECT_EQ(wmi::QueryRegistration(provider_).status, STATUS_SUCCESS);
    EXPECT_EQ(SendQuery(IRP_MN_QUERY_ALL_DATA, self + 8).status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(SendQuery(0x0A, self).status, STATUS_NOT_SUPPORTED);
    const GUID other = {1, 2, 3, {4}};
    EXPECT_EQ(wmi::QueryAllData(provider_, other).status, STATUS_WMI_GUID_NOT_FOUND);
    // No function-control callback: enabling is answered by the library.
    EXPECT_EQ(SendQuery(IRP_MN_ENABLE_EVENTS, self).status, STATUS_SUCCESS);
    EXPECT_EQ(wmi::QueryAllData(provider_, kBlockGuid).status, STATUS_SUCCESS);
    const std::vector<SYSCTL_IRP_DISPOSITION> expected = {IrpNotCompleted, IrpForward,      IrpNotWmi,   IrpNotCompleted,
                                                          IrpNotCompleted, IrpProcessed, IrpProcessed};
    EXPECT_EQ(dispositions_, expected) << "registration, forward, not WMI, unknown GUID, enable, "
                                          "a too-small query and its retry";
}

TEST_F(WmiLibraryTest, AllDataPlacesEachInstanceOnAnEightByteBoundaryWithItsLength) {
    const auto answer = wmi::QueryAllData(provider_, kBlockGuid);
    ASSERT_EQ(answer.status, STATUS_SUCCESS);
    EXPECT_EQ(answer.requests, 2);
    EXPECT_EQ(answer.instances, behaviour.instances);
    EXPECT_EQ(answer.dataOffset % 8, 0u);
    EXPECT_EQ(answer.information, answer.dataOffset + 8 + 8 + 2);
}

TEST_F(WmiLibraryTest, ATooSmallAnswerNamesTheWholeWnodeSizeAndSucceeds) {
    const auto answer = wmi::QueryAllData(provider_, kBlockGuid, sizeof(WNODE_ALL_DATA) + 16);
    EXPECT_EQ(answer.status, STATUS_SUCCESS);
    ASSERT_TRUE(answer.tooSmall);
    EXPECT_GT(answer.sizeNeeded, sizeof(WNODE_ALL_DATA) + 16);
    EXPECT_EQ(wmi::QueryAllData(provider_, kBlockGuid, answer.sizeNeeded).instances, behaviour.instances);
    // Smaller than a WNODE_TOO_SMALL: nothing can be said in it.
    EXPECT_EQ(wmi::QueryAllData(provider_, kBlockGuid, sizeof(WNODE_TOO_SMALL) - 1).status, STATUS_BUFFER_TOO_SMALL);
}

TEST_F(WmiLibraryTest, ACallbackThatClaimsOrWritesPastTheBufferIsABufferOverrun) {
    behaviour.instances = {{1}, {2}, {3}};
    behaviour.extraClaimed = 256;
    wmi::QueryAllData(provider_, kBlockGuid, 128);
    EXPECT_EQ(TakeViolations("WMI_BUFFER_OVERRUN"), 1);
    behaviour.extraClaimed = 0;
    behaviour.extraWritten = 4;
    wmi::QueryAllData(provider_, kBlockGuid, 128);
    EXPECT_EQ(TakeViolations("WMI_BUFFER_OVERRUN"), 1);
}

TEST_F(WmiLibraryTest, AnInstanceLengthBeyondTheDataWrittenIsReported) {
    behaviour.lengthOverstated = 64;
    wmi::QueryAllData(provider_, kBlockGuid, 256);
    EXPECT_EQ(TakeViolations("WMI_INSTANCE_LENGTH_BEYOND_DATA"), 1);
}

TEST_F(WmiLibraryTest, ARequestTheDriverNeitherCompletesNorPassesOnIsAHang) {
    hold_ = true;
    SendQuery(IRP_MN_QUERY_ALL_DATA, reinterpret_cast<ULONG_PTR>(provider_));
    EXPECT_EQ(TakeViolations("WAIT_HANG"), 1);
    ASSERT_NE(held_, nullptr);
    iotest::Complete(held_, STATUS_SUCCESS);
    IoFreeIrp(held_);
}

}  // namespace
