// What the Plug and Play manager checks of a function driver: the device
// AddDevice attached is ready and power-pageable like the stack below it,
// the surprise-removal request leaves it in place, and the remove request
// leaves it detached and deleted.
#include "harness/kernel/io_manager.h"
#include "harness/kernel/pnp_manager.h"
#include "support/kernel_test.h"

namespace {

// A function driver whose faults the test switches on.
struct Faults {
    bool keepInitializing = false;
    bool skipPowerPagable = false;
    bool keepOnRemove = false;
    bool deleteOnSurpriseRemoval = false;
};
Faults g_faults;
PDEVICE_OBJECT g_lower = nullptr;
PDEVICE_OBJECT g_fdo = nullptr;

NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT fdo, PIRP irp) {
    const PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    const bool pnp = location->MajorFunction == IRP_MJ_PNP;
    const bool remove = pnp && (location->MinorFunction == IRP_MN_REMOVE_DEVICE ||
                                (g_faults.deleteOnSurpriseRemoval && location->MinorFunction == IRP_MN_SURPRISE_REMOVAL));
    PDEVICE_OBJECT lower = g_lower;
    IoSkipCurrentIrpStackLocation(irp);
    const NTSTATUS status = IoCallDriver(lower, irp);
    if (remove && !g_faults.keepOnRemove) {
        IoDetachDevice(lower);
        IoDeleteDevice(fdo);
    }
    return status;
}

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    NTSTATUS status = IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &g_fdo);
    if (!NT_SUCCESS(status)) return status;
    g_lower = IoAttachDeviceToDeviceStack(g_fdo, pdo);
    if (!g_faults.skipPowerPagable) g_fdo->Flags |= g_lower->Flags & DO_POWER_PAGABLE;
    if (!g_faults.keepInitializing) g_fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI Entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    for (auto& entry : driver->MajorFunction) entry = Dispatch;
    driver->DriverExtension->AddDevice = AddDevice;
    return STATUS_SUCCESS;
}

class PnpChecks : public KernelTest {
protected:
    void SetUp() override {
        KernelTest::SetUp();
        g_faults = Faults{};
        driver_ = harness::pnp::LoadDriver(u"pnpcheck", Entry);
    }
    void TearDown() override {
        harness::pnp::UnloadDriver(driver_);
        KernelTest::TearDown();
    }
    std::shared_ptr<harness::pnp::Driver> driver_;
};

TEST_F(PnpChecks, ADriverThatDoesItsPartIsNotReported) {
    auto device = harness::pnp::PlugDevice(driver_, {});
    EXPECT_EQ(device->startStatus, STATUS_SUCCESS);
    harness::pnp::SurpriseRemoveDevice(device);
    EXPECT_TRUE(harness::RecordedViolations().empty());
}

TEST_F(PnpChecks, AddDeviceMustFinishInitialisingAndInheritPowerPaging) {
    g_faults.keepInitializing = true;
    g_faults.skipPowerPagable = true;
    auto device = harness::pnp::PlugDevice(driver_, {}, /*start=*/false);
    EXPECT_EQ(TakeViolations("DEVICE_INITIALIZING_AFTER_ADD_DEVICE"), 1);
    EXPECT_EQ(TakeViolations("POWER_PAGABLE_NOT_INHERITED"), 1);
    harness::pnp::SurpriseRemoveDevice(device);
}

TEST_F(PnpChecks, RemoveMustLeaveTheDeviceDetachedAndDeleted) {
    auto device = harness::pnp::PlugDevice(driver_, {});
    PDEVICE_OBJECT pdo = device->pdo;
    g_faults.keepOnRemove = true;
    harness::pnp::SurpriseRemoveDevice(device);
    EXPECT_EQ(TakeViolations("REMOVE_WITHOUT_DETACH"), 1);
    EXPECT_EQ(TakeViolations("REMOVE_WITHOUT_DELETE"), 1);
    // Finish what the driver left, so the test ends clean.
    IoDetachDevice(pdo);
    IoDeleteDevice(g_fdo);
}

TEST_F(PnpChecks, SurpriseRemovalMustLeaveTheDeviceForTheRemoveRequest) {
    auto device = harness::pnp::PlugDevice(driver_, {});
    g_faults.deleteOnSurpriseRemoval = true;
    harness::pnp::SurpriseRemoveDevice(device);
    EXPECT_EQ(TakeViolations("DEVICE_REMOVED_ON_SURPRISE_REMOVAL"), 1);
    EXPECT_TRUE(device->removed);
}

}  // namespace
