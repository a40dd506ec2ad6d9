// The Plug and Play manager's sequences as a function driver sees them:
// failed starts, stops called off and rebalances with requests in between,
// removals queried and called off, surprise removal with handles still open
// (the remove request waits for the last close), devices that never
// started, and a second device coming and going beside an open one.
#include <deque>
#include <map>
#include <new>
#include <string>
#include <vector>

#include "harness/app/user_io.h"
#include "harness/kernel/bus_driver.h"
#include "harness/kernel/pnp_manager.h"
#include "support/kernel_test.h"

namespace {

using harness::pnp::PnpState;
using Log = std::vector<std::string>;

// How the test driver answers; the bus below it answers as bus_driver.cpp.
struct Answers {
    NTSTATUS start = STATUS_SUCCESS;  // after the bus has started the device
    NTSTATUS queryStop = STATUS_SUCCESS;
    NTSTATUS queryRemove = STATUS_SUCCESS;
};
Answers g_answers;
std::map<int, Log> g_logs;  // by device number, from 1 in the order added
int g_devices = 0;

struct Extension {
    PDEVICE_OBJECT lower;
    int number;
    bool gone;               // surprise-removed or removed: new requests are refused
    std::vector<PIRP> held;  // reads, held until their handle's cleanup or removal
};

Extension* Ext(PDEVICE_OBJECT device) { return static_cast<Extension*>(device->DeviceExtension); }

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS NTAPI SignalDone(PDEVICE_OBJECT, PIRP, PVOID event) {
    KeSetEvent(static_cast<PKEVENT>(event), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends the request down and takes it back once the bus has served it
// (start and the cancel requests are handled bottom-up).
NTSTATUS ForwardAndWait(PDEVICE_OBJECT lower, PIRP irp) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, SignalDone, &done, TRUE, TRUE, TRUE);
    if (IoCallDriver(lower, irp) == STATUS_PENDING) KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    return irp->IoStatus.Status;
}

NTSTATUS PassDown(PDEVICE_OBJECT lower, PIRP irp) {
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(lower, irp);
}

// Completes the held reads of `file` (every one when null).
void ReleaseHeld(Extension* ext, NTSTATUS status, PFILE_OBJECT file = nullptr) {
    std::vector<PIRP> released;
    std::erase_if(ext->held, [&](PIRP irp) {
        if (file != nullptr && IoGetCurrentIrpStackLocation(irp)->FileObject != file) return false;
        released.push_back(irp);
        return true;
    });
    for (PIRP irp : released) Complete(irp, status);
}

const char* MinorName(UCHAR minor) {
    switch (minor) {
    case IRP_MN_START_DEVICE: return "START";
    case IRP_MN_QUERY_REMOVE_DEVICE: return "QUERY_REMOVE";
    case IRP_MN_REMOVE_DEVICE: return "REMOVE";
    case IRP_MN_CANCEL_REMOVE_DEVICE: return "CANCEL_REMOVE";
    case IRP_MN_STOP_DEVICE: return "STOP";
    case IRP_MN_QUERY_STOP_DEVICE: return "QUERY_STOP";
    case IRP_MN_CANCEL_STOP_DEVICE: return "CANCEL_STOP";
    case IRP_MN_SURPRISE_REMOVAL: return "SURPRISE_REMOVAL";
    default: return "OTHER";
    }
}

NTSTATUS DispatchPnp(PDEVICE_OBJECT fdo, PIRP irp) {
    Extension* ext = Ext(fdo);
    const UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    g_logs[ext->number].push_back(MinorName(minor));
    PDEVICE_OBJECT lower = ext->lower;
    switch (minor) {
    case IRP_MN_START_DEVICE: {
        NTSTATUS status = ForwardAndWait(lower, irp);
        if (NT_SUCCESS(status)) status = g_answers.start;
        return Complete(irp, status);
    }
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        ForwardAndWait(lower, irp);
        return Complete(irp, STATUS_SUCCESS);
    case IRP_MN_QUERY_STOP_DEVICE:
        if (!NT_SUCCESS(g_answers.queryStop)) return Complete(irp, g_answers.queryStop);
        return PassDown(lower, irp);
    case IRP_MN_QUERY_REMOVE_DEVICE:
        if (!NT_SUCCESS(g_answers.queryRemove)) return Complete(irp, g_answers.queryRemove);
        return PassDown(lower, irp);
    case IRP_MN_SURPRISE_REMOVAL:
        ext->gone = true;
        ReleaseHeld(ext, STATUS_NO_SUCH_DEVICE);
        return PassDown(lower, irp);
    case IRP_MN_REMOVE_DEVICE: {
        ext->gone = true;
        ReleaseHeld(ext, STATUS_NO_SUCH_DEVICE);
        const NTSTATUS status = PassDown(lower, irp);
        IoDetachDevice(lower);
        ext->~Extension();
        IoDeleteDevice(fdo);
        return status;
    }
    default:
        IoSkipCurrentIrpStackLocation(irp);
        return IoCallDriver(lower, irp);
    }
}

NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT fdo, PIRP irp) {
    Extension* ext = Ext(fdo);
    const PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    switch (location->MajorFunction) {
    case IRP_MJ_PNP:
        return DispatchPnp(fdo, irp);
    case IRP_MJ_CREATE:
        g_logs[ext->number].push_back("CREATE");
        return Complete(irp, ext->gone ? STATUS_NO_SUCH_DEVICE : STATUS_SUCCESS);
    case IRP_MJ_WRITE:
        g_logs[ext->number].push_back("WRITE");
        if (ext->gone) return Complete(irp, STATUS_NO_SUCH_DEVICE);
        return Complete(irp, STATUS_SUCCESS, location->Parameters.Write.Length);
    case IRP_MJ_READ:
        g_logs[ext->number].push_back("READ");
        if (ext->gone) return Complete(irp, STATUS_NO_SUCH_DEVICE);
        IoMarkIrpPending(irp);
        ext->held.push_back(irp);
        return STATUS_PENDING;
    case IRP_MJ_CLEANUP:
        g_logs[ext->number].push_back("CLEANUP");
        ReleaseHeld(ext, STATUS_CANCELLED, location->FileObject);
        return Complete(irp, STATUS_SUCCESS);
    case IRP_MJ_CLOSE:
        g_logs[ext->number].push_back("CLOSE");
        return Complete(irp, STATUS_SUCCESS);
    default:
        IoSkipCurrentIrpStackLocation(irp);
        return IoCallDriver(ext->lower, irp);
    }
}

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    const int number = ++g_devices;
    std::u16string name = u"\\Device\\PnpSeq" + std::u16string(1, char16_t(u'0' + number));
    UNICODE_STRING unicodeName;
    unicodeName.Buffer = name.data();
    unicodeName.Length = static_cast<USHORT>(name.size() * sizeof(WCHAR));
    unicodeName.MaximumLength = unicodeName.Length;
    PDEVICE_OBJECT fdo = nullptr;
    const NTSTATUS status = IoCreateDevice(driver, sizeof(Extension), &unicodeName, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
    if (!NT_SUCCESS(status)) return status;
    Extension* ext = new (fdo->DeviceExtension) Extension{};
    ext->number = number;
    ext->lower = IoAttachDeviceToDeviceStack(fdo, pdo);
    fdo->Flags |= DO_BUFFERED_IO | (ext->lower->Flags & DO_POWER_PAGABLE);
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI Entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    for (auto& entry : driver->MajorFunction) entry = Dispatch;
    driver->DriverExtension->AddDevice = AddDevice;
    return STATUS_SUCCESS;
}

class PnpSequences : public KernelTest {
protected:
    void SetUp() override {
        KernelTest::SetUp();
        g_answers = Answers{};
        g_logs.clear();
        g_devices = 0;
        driver_ = harness::pnp::LoadDriver(u"pnpseq", Entry);
    }
    void TearDown() override {
        for (auto& handle : handles_)
            if (handle) harness::app::Close(handle);
        for (auto& device : devices_) harness::pnp::SurpriseRemoveDevice(device);
        harness::pnp::UnloadDriver(driver_);
        KernelTest::TearDown();
    }

    std::shared_ptr<harness::pnp::Device> Plug(bool start = true) {
        harness::pnp::DeviceDescription description;
        description.instancePath += u"&" + std::u16string(1, char16_t(u'0' + devices_.size()));
        devices_.push_back(harness::pnp::PlugDevice(driver_, description, start));
        return devices_.back();
    }

    // Opens device `number` (1: the first added); the handle is closed at
    // the end unless the test closes it.
    harness::app::Handle& Open(int number, NTSTATUS expected = STATUS_SUCCESS) {
        handles_.emplace_back();
        EXPECT_EQ(harness::app::Open(u"\\Device\\PnpSeq" + std::u16string(1, char16_t(u'0' + number)), &handles_.back()),
                  expected);
        return handles_.back();
    }

    void Close(harness::app::Handle& handle) {
        EXPECT_EQ(harness::app::Close(handle), STATUS_SUCCESS);
        handle = {};
    }

    static std::vector<uint8_t> Bytes() { return {1, 2, 3}; }

    std::shared_ptr<harness::pnp::Driver> driver_;
    std::vector<std::shared_ptr<harness::pnp::Device>> devices_;
    std::deque<harness::app::Handle> handles_;
};

TEST_F(PnpSequences, AFirstStartThatFailsIsFollowedByRemoveWithoutAQuery) {
    harness::pnp::SetFailedStartHandling(harness::pnp::FailedStart::Remove);
    // The function driver refuses after the bus has started the device ...
    g_answers.start = STATUS_DEVICE_CONFIGURATION_ERROR;
    auto refused = Plug();
    EXPECT_EQ(refused->startStatus, STATUS_DEVICE_CONFIGURATION_ERROR);
    EXPECT_EQ(g_logs[1], (Log{"START", "REMOVE"}));
    EXPECT_TRUE(refused->removed);

    // ... or the bus driver below it fails the start.
    g_answers.start = STATUS_SUCCESS;
    auto unpowered = Plug(false);
    harness::bus::Describe(unpowered->pdo)->startFailure = STATUS_DEVICE_POWER_FAILURE;
    EXPECT_EQ(harness::pnp::StartDevice(unpowered), STATUS_DEVICE_POWER_FAILURE);
    EXPECT_EQ(g_logs[2], (Log{"START", "REMOVE"}));
    EXPECT_TRUE(unpowered->removed);

    // Kept for inspection, the stack stays as the failed start left it.
    harness::pnp::SetFailedStartHandling(harness::pnp::FailedStart::Keep);
    g_answers.start = STATUS_DEVICE_CONFIGURATION_ERROR;
    auto kept = Plug();
    EXPECT_EQ(g_logs[3], (Log{"START"}));
    EXPECT_EQ(kept->state, PnpState::Added);
    EXPECT_FALSE(kept->removed);
}

TEST_F(PnpSequences, AStopCalledOffIsCancelledOnTheWholeStackAndRequestsStillReachTheDriver) {
    auto device = Plug();
    harness::app::Handle& handle = Open(1);

    g_answers.queryStop = STATUS_UNSUCCESSFUL;
    EXPECT_EQ(harness::pnp::QueryStopDevice(device), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(device->state, PnpState::Started);

    g_answers.queryStop = STATUS_SUCCESS;
    ASSERT_EQ(harness::pnp::QueryStopDevice(device), STATUS_SUCCESS);
    EXPECT_EQ(device->state, PnpState::StopPending);
    // The manager holds nothing back while a stop is pending: the driver
    // itself must queue or refuse.
    EXPECT_EQ(harness::app::Write(handle, Bytes()).status, STATUS_SUCCESS);
    harness::app::Handle& second = Open(1);
    harness::pnp::CancelStopDevice(device);
    EXPECT_EQ(device->state, PnpState::Started);
    Close(second);

    EXPECT_EQ(g_logs[1], (Log{"START", "CREATE", "QUERY_STOP", "CANCEL_STOP", "QUERY_STOP", "WRITE", "CREATE",
                              "CANCEL_STOP", "CLEANUP", "CLOSE"}));
}

TEST_F(PnpSequences, ARebalanceLetsRequestsThroughBetweenStopAndStart) {
    auto device = Plug();
    harness::app::Handle& handle = Open(1);
    auto read = harness::app::ReadAsync(handle, 4);
    const NTSTATUS started = harness::pnp::RebalanceDevice(device, [&] {
        EXPECT_EQ(device->state, PnpState::Stopped);
        EXPECT_EQ(harness::app::Write(handle, Bytes()).status, STATUS_SUCCESS);
        harness::app::Handle& other = Open(1);
        Close(other);
    });
    EXPECT_EQ(started, STATUS_SUCCESS);
    EXPECT_EQ(device->state, PnpState::Started);
    EXPECT_FALSE(read->Done()) << "a request held across the rebalance stays with the driver";
    Close(handle);
    EXPECT_EQ(read->Status(), STATUS_CANCELLED);
    EXPECT_EQ(g_logs[1], (Log{"START", "CREATE", "READ", "QUERY_STOP", "STOP", "WRITE", "CREATE", "CLEANUP", "CLOSE",
                              "START", "CLEANUP", "CLOSE"}));
}

TEST_F(PnpSequences, ARestartThatFailsSurpriseRemovesAndRemovesAfterTheLastClose) {
    auto device = Plug();
    harness::app::Handle& handle = Open(1);
    auto read = harness::app::ReadAsync(handle, 4);
    g_answers.start = STATUS_DEVICE_CONFIGURATION_ERROR;
    EXPECT_EQ(harness::pnp::RebalanceDevice(device), STATUS_DEVICE_CONFIGURATION_ERROR);
    EXPECT_EQ(device->state, PnpState::SurpriseRemoved);
    EXPECT_FALSE(device->removed) << "a handle is still open";
    EXPECT_EQ(read->Status(), STATUS_NO_SUCH_DEVICE);
    Close(handle);
    EXPECT_TRUE(device->removed);
    EXPECT_EQ(g_logs[1], (Log{"START", "CREATE", "READ", "QUERY_STOP", "STOP", "START", "SURPRISE_REMOVAL", "CLEANUP",
                              "CLOSE", "REMOVE"}));
}

TEST_F(PnpSequences, ARemovalCalledOffIsCancelledOnTheWholeStack) {
    auto device = Plug();
    g_answers.queryRemove = STATUS_DEVICE_BUSY;
    EXPECT_EQ(harness::pnp::RemoveDevice(device), STATUS_DEVICE_BUSY);
    EXPECT_EQ(device->state, PnpState::Started);

    g_answers.queryRemove = STATUS_SUCCESS;
    ASSERT_EQ(harness::pnp::QueryRemoveDevice(device), STATUS_SUCCESS);
    EXPECT_EQ(device->state, PnpState::RemovePending);
    harness::pnp::CancelRemoveDevice(device);
    EXPECT_EQ(device->state, PnpState::Started);

    EXPECT_EQ(harness::pnp::RemoveDevice(device), STATUS_SUCCESS);
    EXPECT_TRUE(device->removed);
    EXPECT_EQ(g_logs[1], (Log{"START", "QUERY_REMOVE", "CANCEL_REMOVE", "QUERY_REMOVE", "CANCEL_REMOVE",
                              "QUERY_REMOVE", "REMOVE"}));
    EXPECT_EQ(device->sent, (std::vector<UCHAR>{IRP_MN_START_DEVICE, IRP_MN_QUERY_REMOVE_DEVICE,
                                                IRP_MN_CANCEL_REMOVE_DEVICE, IRP_MN_QUERY_REMOVE_DEVICE,
                                                IRP_MN_CANCEL_REMOVE_DEVICE, IRP_MN_QUERY_REMOVE_DEVICE,
                                                IRP_MN_REMOVE_DEVICE}));
}

TEST_F(PnpSequences, SurpriseRemovalSendsRemoveOnlyAfterEveryHandlesClose) {
    auto device = Plug();
    harness::app::Handle& first = Open(1);
    harness::app::Handle& second = Open(1);
    auto read = harness::app::ReadAsync(first, 4);

    harness::pnp::SurpriseRemoveDevice(device);
    EXPECT_EQ(device->state, PnpState::SurpriseRemoved);
    EXPECT_EQ(read->Status(), STATUS_NO_SUCH_DEVICE) << "the driver ends what it held";
    EXPECT_EQ(harness::pnp::OpenFileCount(device), 2u);
    // New opens still reach the driver, which refuses them.
    Open(1, STATUS_NO_SUCH_DEVICE);
    harness::pnp::SurpriseRemoveDevice(device);  // a second report changes nothing

    Close(first);
    EXPECT_FALSE(device->removed);
    EXPECT_EQ(harness::pnp::OpenFileCount(device), 1u);
    Close(second);
    EXPECT_TRUE(device->removed);
    EXPECT_EQ(device->state, PnpState::Removed);
    EXPECT_EQ(g_logs[1], (Log{"START", "CREATE", "CREATE", "READ", "SURPRISE_REMOVAL", "CREATE", "CLEANUP", "CLOSE",
                              "CLEANUP", "CLOSE", "REMOVE"}));
}

TEST_F(PnpSequences, ADeviceThatNeverStartedIsRemovedEitherWay) {
    auto orderly = Plug(false);
    EXPECT_EQ(harness::pnp::RemoveDevice(orderly), STATUS_SUCCESS);
    auto pulled = Plug(false);
    harness::pnp::SurpriseRemoveDevice(pulled);
    EXPECT_TRUE(orderly->removed);
    EXPECT_TRUE(pulled->removed);
    EXPECT_EQ(g_logs[1], (Log{"QUERY_REMOVE", "REMOVE"}));
    EXPECT_EQ(g_logs[2], (Log{"SURPRISE_REMOVAL", "REMOVE"}));
}

TEST_F(PnpSequences, ASecondDeviceComesAndGoesWhileTheFirstIsOpen) {
    auto first = Plug();
    harness::app::Handle& a = Open(1);
    auto second = Plug();
    harness::app::Handle& b = Open(2);
    EXPECT_EQ(harness::app::Write(b, Bytes()).status, STATUS_SUCCESS);
    harness::pnp::SurpriseRemoveDevice(second);
    Close(b);
    EXPECT_TRUE(second->removed);

    EXPECT_EQ(harness::app::Write(a, Bytes()).status, STATUS_SUCCESS);
    Close(a);
    EXPECT_EQ(harness::pnp::RemoveDevice(first), STATUS_SUCCESS);
    EXPECT_EQ(g_logs[1], (Log{"START", "CREATE", "WRITE", "CLEANUP", "CLOSE", "QUERY_REMOVE", "REMOVE"}));
    EXPECT_EQ(g_logs[2], (Log{"START", "CREATE", "WRITE", "SURPRISE_REMOVAL", "CLEANUP", "CLOSE", "REMOVE"}));
}

TEST_F(PnpSequences, ASequenceWindowsNeverSendsIsATestMistake) {
    auto device = Plug();
    harness::pnp::StopDevice(device);  // no query first
    harness::pnp::CancelRemoveDevice(device);
    EXPECT_EQ(TakeViolations("PNP_SEQUENCE_MISUSED"), 2);
    EXPECT_EQ(g_logs[1], (Log{"START"}));
}

}  // namespace
