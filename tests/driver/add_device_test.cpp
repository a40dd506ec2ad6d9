// Creation of the port device object by AddDevice.
#include <string>

#include "harness/app/user_io.h"
#include "harness/kernel/bus_driver.h"
#include "harness/kernel/io_manager.h"
#include "harness/kernel/pool.h"
#include "support/driver_test.h"

namespace {

std::u16string Text(const UNICODE_STRING& s) { return std::u16string(s.Buffer, s.Length / sizeof(WCHAR)); }

class AddDeviceTest : public DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        ASSERT_EQ(Load(), STATUS_SUCCESS);
    }

    // A device object of someone else's that takes a name.
    PDEVICE_OBJECT TakeName(std::u16string name) {
        UNICODE_STRING counted{static_cast<USHORT>(name.size() * 2), static_cast<USHORT>(name.size() * 2),
                               name.data()};
        PDEVICE_OBJECT device = nullptr;
        EXPECT_EQ(IoCreateDevice(driver_->object, 0, &counted, FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
                  STATUS_SUCCESS);
        squatters_.push_back(device);
        return device;
    }

    void TearDown() override {
        for (PDEVICE_OBJECT device : squatters_) IoDeleteDevice(device);
        DriverTest::TearDown();
    }

    std::vector<PDEVICE_OBJECT> squatters_;
};

TEST_F(AddDeviceTest, NumbersPortsFromTwoAndNeverReusesANumber) {
    auto first = Plug(false);
    auto second = Plug(false, u"USB\\VID_1A2B&PID_0042\\5&1234&0&2");
    ASSERT_EQ(first->addStatus, STATUS_SUCCESS);
    ASSERT_EQ(second->addStatus, STATUS_SUCCESS);
    EXPECT_EQ(Text(Port(first)->deviceName), u"\\Device\\BrindelSerial2");
    EXPECT_EQ(Text(Port(second)->deviceName), u"\\Device\\BrindelSerial3");

    ASSERT_EQ(harness::pnp::RemoveDevice(first), STATUS_SUCCESS);
    auto third = Plug(false, u"USB\\VID_1A2B&PID_0042\\5&1234&0&3");
    EXPECT_EQ(Text(Port(third)->deviceName), u"\\Device\\BrindelSerial4");
}

TEST_F(AddDeviceTest, ATakenNameMovesToTheNextNumber) {
    TakeName(u"\\Device\\BrindelSerial2");
    auto device = Plug(false);
    ASSERT_EQ(device->addStatus, STATUS_SUCCESS);
    EXPECT_EQ(Text(Port(device)->deviceName), u"\\Device\\BrindelSerial3");
    EXPECT_EQ(Globals().nextDeviceNumber, 4u);
}

TEST_F(AddDeviceTest, GivesUpAfterABoundedRunOfTakenNames) {
    for (int n = 2; n < 2 + 64; ++n) {
        std::string number = std::to_string(n);
        TakeName(u"\\Device\\BrindelSerial" + std::u16string(number.begin(), number.end()));
    }
    auto device = Plug(false);
    EXPECT_EQ(device->addStatus, STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(device->functionDevice, nullptr);
    EXPECT_EQ(harness::pool::BlocksInUse(harness::pool::Tag("COMX")), 1) << "only the registry path copy";
}

// Reaches into the host build (see support/driver_build.h): calls AddDevice.
using AddDeviceTestHostBuildOnly = AddDeviceTest;

TEST_F(AddDeviceTestHostBuildOnly, OtherCreateFailuresAreReportedWithoutRetry) {
    PDEVICE_OBJECT pdo = harness::bus::CreatePhysicalDevice(u"USB\\VID_1A2B&PID_0042\\1", {});
    harness::io::FailNextCreateDevice(STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(AddDevice(driver_->object, pdo), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(Globals().nextDeviceNumber, 3u) << "one number used, no retry";
    EXPECT_EQ(pdo->AttachedDevice, nullptr);
    EXPECT_EQ(harness::pool::BlocksInUse(harness::pool::Tag("COMX")), 1);
    harness::bus::DeletePhysicalDevice(pdo);
}

TEST_F(AddDeviceTest, CreatesAnExclusiveBufferedSerialDeviceAttachedToThePdo) {
    auto device = Plug(false);
    ASSERT_EQ(device->addStatus, STATUS_SUCCESS);
    PDEVICE_OBJECT fdo = device->functionDevice;
    PortExtension* port = Port(device);

    EXPECT_EQ(fdo->DeviceType, static_cast<DEVICE_TYPE>(FILE_DEVICE_SERIAL_PORT));
    EXPECT_EQ(fdo->Characteristics & FILE_DEVICE_SECURE_OPEN, static_cast<ULONG>(FILE_DEVICE_SECURE_OPEN));
    EXPECT_TRUE(fdo->Flags & DO_EXCLUSIVE);
    EXPECT_TRUE(fdo->Flags & DO_BUFFERED_IO);
    EXPECT_TRUE(fdo->Flags & DO_POWER_PAGABLE);
    EXPECT_FALSE(fdo->Flags & DO_DEVICE_INITIALIZING);
    EXPECT_EQ(fdo->StackSize, device->pdo->StackSize + 1);

    EXPECT_EQ(port->deviceObject, fdo);
    EXPECT_EQ(port->driverObject, driver_->object);
    EXPECT_EQ(port->lowerDevice, device->pdo);
    EXPECT_EQ(port->pdo, device->pdo);
    EXPECT_EQ(harness::io::GetAttachedDevice(device->pdo), fdo);
}

int createsSeen = 0;
NTSTATUS NTAPI CountAndAcceptCreate(PDEVICE_OBJECT, PIRP irp) {
    ++createsSeen;
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI AcceptRequest(PDEVICE_OBJECT, PIRP irp) {
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

TEST_F(AddDeviceTest, TheIoManagerRefusesASecondOpenOfThePort) {
    auto device = Plug();
    // Stand in for the open path, which is not served yet.
    createsSeen = 0;
    driver_->object->MajorFunction[IRP_MJ_CREATE] = CountAndAcceptCreate;
    driver_->object->MajorFunction[IRP_MJ_CLEANUP] = AcceptRequest;
    driver_->object->MajorFunction[IRP_MJ_CLOSE] = AcceptRequest;

    harness::app::Handle first, second;
    ASSERT_EQ(harness::app::Open(u"\\Device\\BrindelSerial2", &first), STATUS_SUCCESS);
    EXPECT_EQ(harness::app::Open(u"\\Device\\BrindelSerial2", &second), STATUS_ACCESS_DENIED);
    EXPECT_EQ(createsSeen, 1) << "the second open never reached the driver";
    EXPECT_EQ(harness::app::Close(first), STATUS_SUCCESS);
}

TEST_F(AddDeviceTest, GivesTheExtensionItsFirstValues) {
    auto device = Plug(false);
    PortExtension* port = Port(device);
    EXPECT_EQ(port->pendingIrpCount, 1);
    EXPECT_EQ(port->pendingDpcCount, 1);
    EXPECT_EQ(port->portOpen, 0);
    EXPECT_EQ(port->devicePowerState, PowerDeviceD0);
    EXPECT_EQ(port->createdSymbolicLink, 0);
    EXPECT_EQ(port->pnpState, PNP_STATE_ADDED);
    EXPECT_EQ(port->pnpAccept, 0);
    for (LIST_ENTRY* queue : {&port->readQueue, &port->writeQueue, &port->maskQueue, &port->purgeQueue,
                              &port->stalledQueue})
        EXPECT_TRUE(IsListEmpty(queue));
    EXPECT_EQ(KeReadStateEvent(&port->irpsDoneEvent), 0);
    EXPECT_EQ(KeReadStateEvent(&port->dpcsDoneEvent), 0);
    EXPECT_EQ(port->openMutex.Count, 1) << "initialised and free";

    // The name copy is zero-terminated: capacity is the length plus one character.
    EXPECT_EQ(port->deviceName.MaximumLength, port->deviceName.Length + 2);
    EXPECT_EQ(port->deviceName.Buffer[port->deviceName.Length / 2], 0);
}

TEST_F(AddDeviceTestHostBuildOnly, NoPhysicalDeviceObjectCreatesNothing) {
    EXPECT_EQ(AddDevice(driver_->object, nullptr), STATUS_NO_MORE_ENTRIES);
    EXPECT_EQ(driver_->object->DeviceObject, nullptr);
    EXPECT_EQ(Globals().nextDeviceNumber, 2u);
}

TEST_F(AddDeviceTest, EachAllocationFailureLeavesNoDeviceAndNoPool) {
    for (int n = 1; n <= 2; ++n) {
        SCOPED_TRACE("allocation " + std::to_string(n) + " of AddDevice fails");
        harness::pool::FailNthAllocation(n);
        PDEVICE_OBJECT pdo = harness::pnp::PlugDevice(driver_, {}, false)->pdo;
        ASSERT_NE(pdo, nullptr);
        EXPECT_EQ(pdo->AttachedDevice, nullptr);
        EXPECT_EQ(driver_->object->DeviceObject, nullptr) << "the device object must be deleted again";
        EXPECT_EQ(harness::pool::BlocksInUse(harness::pool::Tag("COMX")), 1);
        harness::pool::ClearFaults();
    }
}

}  // namespace
