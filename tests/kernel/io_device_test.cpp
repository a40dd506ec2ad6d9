// Device objects and stacks: creation, names, attachment, and how long a
// deleted device's memory lives.
#include <cstdint>

#include "harness/app/user_io.h"
#include "harness/kernel/dispatcher.h"
#include "harness/kernel/object_namespace.h"
#include "io_test_driver.h"

namespace app = harness::app;
namespace io = harness::io;

class IoDeviceTest : public IoTest {
protected:
    NTSTATUS Create(const char16_t* name, ULONG extensionSize, BOOLEAN exclusive, PDEVICE_OBJECT* device) {
        UNICODE_STRING unicodeName;
        if (name != nullptr) RtlInitUnicodeString(&unicodeName, name);
        return IoCreateDevice(TestDriver(), extensionSize, name ? &unicodeName : nullptr, FILE_DEVICE_SERIAL_PORT,
                              FILE_DEVICE_SECURE_OPEN, exclusive, device);
    }
};

TEST_F(IoDeviceTest, CreateDeviceFillsTheObjectAndNamesIt) {
    PDEVICE_OBJECT first = nullptr;
    PDEVICE_OBJECT second = nullptr;
    ASSERT_EQ(Create(u"\\Device\\Serial7", 13, TRUE, &first), STATUS_SUCCESS);
    ASSERT_EQ(Create(nullptr, 0, FALSE, &second), STATUS_SUCCESS);

    EXPECT_EQ(first->StackSize, 1);
    EXPECT_EQ(first->Flags, ULONG(DO_DEVICE_INITIALIZING | DO_EXCLUSIVE));
    EXPECT_EQ(second->Flags, ULONG(DO_DEVICE_INITIALIZING));
    EXPECT_EQ(first->DriverObject, TestDriver());
    EXPECT_EQ(reinterpret_cast<uintptr_t>(first->DeviceExtension) % 8, 0u);
    const auto* extension = static_cast<const uint8_t*>(first->DeviceExtension);
    for (int i = 0; i < 13; ++i) EXPECT_EQ(extension[i], 0) << i;
    EXPECT_EQ(second->DeviceExtension, nullptr);

    // Newest first in the driver's list.
    EXPECT_EQ(TestDriver()->DeviceObject, second);
    EXPECT_EQ(second->NextDevice, first);
    EXPECT_EQ(first->NextDevice, nullptr);

    EXPECT_EQ(io::ParseObjectName(u"\\device\\SERIAL7").object, first);
    EXPECT_EQ(io::DeviceName(first), u"\\Device\\Serial7");
}

TEST_F(IoDeviceTest, NameTakenOrInjectedFailureCreatesNothing) {
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(Create(u"\\Device\\Serial7", 8, FALSE, &device), STATUS_SUCCESS);
    PDEVICE_OBJECT again = reinterpret_cast<PDEVICE_OBJECT>(1);
    EXPECT_EQ(Create(u"\\Device\\serial7", 8, FALSE, &again), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(again, nullptr);
    EXPECT_EQ(Create(u"\\NoSuchDirectory\\X", 8, FALSE, &again), STATUS_OBJECT_PATH_NOT_FOUND);
    EXPECT_EQ(io::LiveDeviceCount(), 1u);

    io::FailNextCreateDevice(STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(Create(u"\\Device\\Serial8", 8, FALSE, &again), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(Create(u"\\Device\\Serial8", 8, FALSE, &again), STATUS_SUCCESS);  // one-shot
}

TEST_F(IoDeviceTest, AttachStacksDevicesAndDetachUnstacksThem) {
    PDEVICE_OBJECT pdo = AddDevice(nullptr);
    PDEVICE_OBJECT filter = AddDevice(nullptr);
    PDEVICE_OBJECT fdo = AddDevice(nullptr);
    pdo->AlignmentRequirement = 3;
    EXPECT_EQ(IoAttachDeviceToDeviceStack(filter, pdo), pdo);
    EXPECT_EQ(IoAttachDeviceToDeviceStack(fdo, pdo), filter);  // above the current top
    EXPECT_EQ(fdo->StackSize, 3);
    EXPECT_EQ(fdo->AlignmentRequirement, 3u);
    EXPECT_EQ(io::GetAttachedDevice(pdo), fdo);
    EXPECT_EQ(IoGetAttachedDevice(filter), fdo);
    EXPECT_EQ(io::GetLowerDevice(fdo), filter);

    IoDetachDevice(filter);
    EXPECT_EQ(filter->AttachedDevice, nullptr);
    EXPECT_EQ(io::GetLowerDevice(fdo), nullptr);
    IoDeleteDevice(fdo);
    EXPECT_FALSE(io::IsLiveDevice(fdo));

    // Nothing attaches to a stack whose device is being deleted.
    PDEVICE_OBJECT late = AddDevice(nullptr);
    IoDeleteDevice(pdo);  // the filter still sits on it: it stays
    EXPECT_TRUE(io::IsLiveDevice(pdo));
    EXPECT_EQ(IoAttachDeviceToDeviceStack(late, pdo), nullptr);
    IoDetachDevice(pdo);
    EXPECT_FALSE(io::IsLiveDevice(pdo));
}

TEST_F(IoDeviceTest, DeleteFaults) {
    PDEVICE_OBJECT pdo = AddDevice(nullptr);
    PDEVICE_OBJECT fdo = AddFilter(pdo, nullptr);
    IoDeleteDevice(fdo);  // without IoDetachDevice first
    EXPECT_EQ(TakeViolations("DEVICE_DELETED_WHILE_ATTACHED"), 1);
    EXPECT_TRUE(io::IsLiveDevice(fdo));  // still on the stack
    IoDeleteDevice(fdo);
    EXPECT_EQ(TakeViolations("DEVICE_DELETED_TWICE"), 1);
    IoDetachDevice(pdo);
    EXPECT_FALSE(io::IsLiveDevice(fdo));
    IoDeleteDevice(pdo);
    IoDeleteDevice(pdo);
    EXPECT_EQ(TakeViolations("DEVICE_DELETED_TWICE"), 1);

    // A driver unloading with a device left.
    PDRIVER_OBJECT other = io::CreateDriverObject(u"\\Driver\\other");
    PDEVICE_OBJECT forgotten = nullptr;
    ASSERT_EQ(IoCreateDevice(other, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &forgotten), STATUS_SUCCESS);
    io::DeleteDriverObject(other);
    EXPECT_EQ(TakeViolations("DEVICE_OBJECTS_LEFT_AT_UNLOAD"), 1);
}

TEST_F(IoDeviceTest, DeletedDeviceLivesUntilItsLastHandleCloses) {
    std::vector<UCHAR> seen;
    PDEVICE_OBJECT device = AddDevice(
        [&](PDEVICE_OBJECT, PIRP irp) {
            seen.push_back(IoGetCurrentIrpStackLocation(irp)->MajorFunction);
            return iotest::Complete(irp, STATUS_SUCCESS);
        },
        u"\\Device\\Doomed");
    app::Handle handle;
    ASSERT_EQ(app::Open(u"\\Device\\Doomed", &handle), STATUS_SUCCESS);
    EXPECT_EQ(device->ReferenceCount, 1);
    IoDeleteDevice(device);
    EXPECT_TRUE(io::IsLiveDevice(device));
    EXPECT_TRUE(io::IsDeletePending(device));
    app::Handle second;
    EXPECT_EQ(app::Open(u"\\Device\\Doomed", &second), STATUS_OBJECT_NAME_NOT_FOUND);

    EXPECT_EQ(app::Close(handle), STATUS_SUCCESS);
    EXPECT_EQ(seen, (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}));
    EXPECT_FALSE(io::IsLiveDevice(device));
}

TEST_F(IoDeviceTest, UnsetDispatchEntriesRejectRequests) {
    PDRIVER_OBJECT driver = io::CreateDriverObject(u"\\Driver\\bare");
    ASSERT_NE(driver, nullptr);
    EXPECT_EQ(io::CreateDriverObject(u"\\Driver\\BARE"), nullptr);  // name taken
    EXPECT_EQ(driver->MajorFunction[IRP_MJ_READ], io::DefaultDispatch);
    EXPECT_EQ(driver->DriverExtension->DriverObject, driver);
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"\\Device\\Bare");
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device), STATUS_SUCCESS);
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    app::Handle handle;
    EXPECT_EQ(app::Open(u"\\Device\\Bare", &handle), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(device->ReferenceCount, 0);  // the failed create released its file object
}

// A driver's device extension with the timer and DPC a driver keeps there.
// RouteDispatch finds the handler through the first field.
struct TimedExtension {
    iotest::Handler* handler;
    KTIMER timer;
    KDPC dpc;
};

class DeviceDeletionTest : public IoDeviceTest {
protected:
    void SetUp() override {
        IoDeviceTest::SetUp();
        ASSERT_EQ(Create(u"\\Device\\Timed", sizeof(TimedExtension), FALSE, &device_), STATUS_SUCCESS);
        device_->Flags &= ~DO_DEVICE_INITIALIZING;
        ext_ = static_cast<TimedExtension*>(device_->DeviceExtension);
        ext_->handler = &handler_;
        KeInitializeTimer(&ext_->timer);
        KeInitializeDpc(&ext_->dpc, CountRun, &runs_);
    }

    void ArmTimer() {
        LARGE_INTEGER due;
        due.QuadPart = -10 * harness::dispatcher::kMillisecond;
        KeSetTimer(&ext_->timer, due, &ext_->dpc);
    }

    static VOID NTAPI CountRun(PKDPC, PVOID context, PVOID, PVOID) { ++*static_cast<int*>(context); }

    PDEVICE_OBJECT device_ = nullptr;
    TimedExtension* ext_ = nullptr;
    iotest::Handler handler_;
    int runs_ = 0;
};

TEST_F(DeviceDeletionTest, DeletingWithATimerStillArmedIsCaughtAndTheMemoryKept) {
    ArmTimer();
    IoDeleteDevice(device_);
    ASSERT_EQ(harness::RecordedViolations().size(), 1u);
    const harness::Violation v = harness::RecordedViolations()[0];
    EXPECT_EQ(v.routine, "IoDeleteDevice");
    EXPECT_NE(v.message.find("\\Device\\Timed"), std::string::npos) << v.message;
    EXPECT_NE(v.message.find("in its extension: armed"), std::string::npos) << v.message;
    EXPECT_EQ(TakeViolations("TIMER_OR_DPC_INVALID"), 1);  // once, though freed in the same call
    EXPECT_FALSE(io::IsLiveDevice(device_));

    // The timer still expires and its DPC runs, from memory kept aside.
    harness::dispatcher::RunFor(20 * harness::dispatcher::kMillisecond);
    EXPECT_EQ(runs_, 1);
}

TEST_F(DeviceDeletionTest, DeletingWithADpcStillQueuedIsCaught) {
    harness::dispatcher::SetDpcDelivery(harness::dispatcher::DpcDelivery::Manual);
    KeInsertQueueDpc(&ext_->dpc, nullptr, nullptr);
    IoDeleteDevice(device_);
    ASSERT_EQ(harness::RecordedViolations().size(), 1u);
    EXPECT_NE(harness::RecordedViolations()[0].message.find("queued DPC"), std::string::npos);
    EXPECT_EQ(TakeViolations("TIMER_OR_DPC_INVALID"), 1);
    harness::dispatcher::RunDpcs();
    EXPECT_EQ(runs_, 1);
}

TEST_F(DeviceDeletionTest, TheDeviceObjectsOwnDpcCountsToo) {
    harness::dispatcher::SetDpcDelivery(harness::dispatcher::DpcDelivery::Manual);
    KeInitializeDpc(&device_->Dpc, CountRun, &runs_);
    KeInsertQueueDpc(&device_->Dpc, nullptr, nullptr);
    IoDeleteDevice(device_);
    EXPECT_EQ(TakeViolations("TIMER_OR_DPC_INVALID"), 1);
    harness::dispatcher::RunDpcs();
    EXPECT_EQ(runs_, 1);
}

TEST_F(DeviceDeletionTest, ReleaseReportsOnlyWhatWasArmedAfterTheDelete) {
    app::Handle handle;
    ASSERT_EQ(app::Open(u"\\Device\\Timed", &handle), STATUS_SUCCESS);
    ArmTimer();
    IoDeleteDevice(device_);  // a handle keeps the memory
    EXPECT_EQ(TakeViolations("TIMER_OR_DPC_INVALID"), 1);
    harness::dispatcher::RunFor(20 * harness::dispatcher::kMillisecond);
    EXPECT_EQ(runs_, 1);
    EXPECT_TRUE(harness::RecordedViolations().empty());

    // The close routine still runs after the delete, and arms the timer in
    // an extension the driver already gave up: caught when the memory goes.
    handler_ = [this](PDEVICE_OBJECT, PIRP irp) {
        if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_CLOSE) ArmTimer();
        return iotest::Complete(irp, STATUS_SUCCESS);
    };
    EXPECT_EQ(app::Close(handle), STATUS_SUCCESS);
    ASSERT_EQ(harness::RecordedViolations().size(), 1u);
    EXPECT_EQ(harness::RecordedViolations()[0].routine, "ObDereferenceObject");
    EXPECT_EQ(TakeViolations("TIMER_OR_DPC_INVALID"), 1);
    EXPECT_FALSE(io::IsLiveDevice(device_));
    harness::dispatcher::RunFor(20 * harness::dispatcher::kMillisecond);
    EXPECT_EQ(runs_, 2);
}

TEST_F(DeviceDeletionTest, ATimerCancelledBeforeTheDeleteIsFine) {
    ArmTimer();
    KeCancelTimer(&ext_->timer);
    IoDeleteDevice(device_);
    EXPECT_TRUE(harness::RecordedViolations().empty());
    EXPECT_FALSE(io::IsLiveDevice(device_));
}
