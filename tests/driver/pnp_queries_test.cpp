// The capabilities and hardware-identifier queries the port answers.
#include <string>
#include <vector>

#include "driver/pnp.h"
#include "harness/kernel/registry.h"
#include "pnp_test_port.h"

namespace {

class PnpQueriesTest : public PnpFixture {
protected:
    static std::vector<std::u16string> Strings(ULONG_PTR information) {
        std::vector<std::u16string> out;
        for (auto* p = reinterpret_cast<const char16_t*>(information); *p != 0;) {
            out.emplace_back(p);
            p += out.back().size() + 1;
        }
        return out;
    }
};

// A bus driver that fails the capabilities query: a test double put in
// front of the emulated bus driver's Plug and Play dispatch.
PDRIVER_DISPATCH busPnp = nullptr;
NTSTATUS NTAPI FailingCapabilities(PDEVICE_OBJECT pdo, PIRP irp) {
    if (IoGetCurrentIrpStackLocation(irp)->MinorFunction != IRP_MN_QUERY_CAPABILITIES) return busPnp(pdo, irp);
    irp->IoStatus.Status = STATUS_UNSUCCESSFUL;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_UNSUCCESSFUL;
}

TEST_F(PnpQueriesTest, SurpriseRemovalIsDeclaredSafeEvenWhenTheBusFailsTheQuery) {
    TestPort& port = PlugPort();
    DEVICE_CAPABILITIES caps{};
    caps.Size = sizeof(caps);
    caps.DeviceState[PowerSystemSleeping3] = PowerDeviceD3;
    caps.DeviceWake = PowerDeviceD2;
    PDRIVER_OBJECT bus = port.device->pdo->DriverObject;
    busPnp = bus->MajorFunction[IRP_MJ_PNP];
    bus->MajorFunction[IRP_MJ_PNP] = FailingCapabilities;
    auto [status, info] = SendPnpWith(port.device, IRP_MN_QUERY_CAPABILITIES, [&](PIO_STACK_LOCATION s) {
        s->Parameters.DeviceCapabilities.Capabilities = &caps;
    });
    bus->MajorFunction[IRP_MJ_PNP] = busPnp;
    EXPECT_EQ(status, STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(caps.SurpriseRemovalOK);
    EXPECT_EQ(port.ext->deviceStateMap[PowerSystemSleeping3], PowerDeviceD3);
    EXPECT_EQ(port.ext->deviceStateMap[PowerSystemWorking], PowerDeviceD0);
    EXPECT_EQ(port.ext->deviceWake, PowerDeviceD2);
    EXPECT_EQ(port.ext->pendingIrpCount, 1);
}

TEST_F(PnpQueriesTest, AMultiportDeviceAddsTheMultiportIdentifierAfterTheBusList) {
    TestPort& port = PlugPort();
    harness::registry::SetDword(harness::registry::DeviceKeyPath(port.device->pdo), u"MultiportDevice", 1);
    auto [status, info] = SendPnpWith(port.device, IRP_MN_QUERY_ID,
                                      [](PIO_STACK_LOCATION s) { s->Parameters.QueryId.IdType = BusQueryHardwareIDs; });
    ASSERT_EQ(status, STATUS_SUCCESS);
    const auto ids = Strings(info);
    ASSERT_EQ(ids.size(), 3u);
    EXPECT_EQ(ids[0], port.device->description.hardwareIds[0]);
    EXPECT_EQ(ids[1], port.device->description.hardwareIds[1]);
    EXPECT_EQ(ids[2], u"*PNP0502");
    ExFreePool(reinterpret_cast<PVOID>(info));
}

TEST_F(PnpQueriesTest, WithoutAMultiportValueTheHardwareIdQueryFails) {
    TestPort& port = PlugPort();
    auto [status, info] = SendPnpWith(port.device, IRP_MN_QUERY_ID,
                                      [](PIO_STACK_LOCATION s) { s->Parameters.QueryId.IdType = BusQueryHardwareIDs; });
    EXPECT_EQ(status, STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(port.ext->pendingIrpCount, 1);
}

// Reaches into the host build (see support/driver_build.h).
using PnpQueriesTestHostBuildOnly = PnpQueriesTest;

TEST_F(PnpQueriesTestHostBuildOnly, ReadingARegistryValueTooLongForTheDestinationLeavesItUntouched) {
    TestPort& port = PlugPort();
    const auto path = harness::registry::DeviceKeyPath(port.device->pdo);
    harness::registry::SetString(path, u"PortName", u"COM17");
    HANDLE key = nullptr;
    ASSERT_EQ(IoOpenDeviceRegistryKey(port.device->pdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key), STATUS_SUCCESS);
    ULONG small = 0xAAAAAAAA;
    static const WCHAR kName[] = u"PortName";
    // The registry says the data did not fit the buffer sized for the
    // destination, as ZwQueryValueKey does on Windows.
    EXPECT_EQ(ReadDeviceRegistryValue(key, kName, sizeof(kName), &small, sizeof(small)), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(small, 0xAAAAAAAAu);
    ZwClose(key);
}

}  // namespace
