// Driver objects: what the kernel hands DriverEntry, with the driver's
// dispatch table and its list of device objects.
#include <map>
#include <memory>

#include "harness/kernel/io_internal.h"
#include "harness/kernel/kernel.h"
#include "harness/kernel/object_namespace.h"
#include "harness/kernel/text.h"
#include "harness/kernel/verifier.h"

namespace harness::io {
namespace {

struct DriverAllocation {
    DRIVER_OBJECT object{};
    DRIVER_EXTENSION extension{};
    std::u16string name;
    std::u16string serviceKeyName;
    bool deleted = false;
};

std::map<const DRIVER_OBJECT*, std::unique_ptr<DriverAllocation>>& Drivers() {
    static std::map<const DRIVER_OBJECT*, std::unique_ptr<DriverAllocation>> drivers;
    return drivers;
}

void ResetDrivers() { Drivers().clear(); }
ResetRegistration g_reset(kResetIo, &ResetDrivers);

void PointAt(UNICODE_STRING& s, std::u16string& text) {
    s.Buffer = text.data();
    s.Length = USHORT(text.size() * sizeof(WCHAR));
    s.MaximumLength = USHORT(s.Length + sizeof(WCHAR));
}

}  // namespace

NTSTATUS NTAPI DefaultDispatch(PDEVICE_OBJECT device, PIRP irp) {
    UNREFERENCED_PARAMETER(device);
    irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

PDRIVER_OBJECT CreateDriverObject(std::u16string name) {
    auto driver = std::make_unique<DriverAllocation>();
    if (!NT_SUCCESS(InsertObjectName(name, ObjectType::Driver, &driver->object))) return nullptr;
    driver->name = std::move(name);
    driver->serviceKeyName = driver->name.substr(driver->name.rfind(u'\\') + 1);

    DRIVER_OBJECT& object = driver->object;
    object.Type = IO_TYPE_DRIVER;
    object.Size = sizeof(DRIVER_OBJECT);
    object.DriverExtension = &driver->extension;
    PointAt(object.DriverName, driver->name);
    for (auto& entry : object.MajorFunction) entry = DefaultDispatch;
    driver->extension.DriverObject = &object;
    PointAt(driver->extension.ServiceKeyName, driver->serviceKeyName);

    PDRIVER_OBJECT result = &object;
    Drivers()[result] = std::move(driver);
    return result;
}

void DeleteDriverObject(PDRIVER_OBJECT driver) {
    auto& drivers = Drivers();
    auto it = drivers.find(driver);
    if (it == drivers.end() || it->second->deleted) {
        BugCheck("INVALID_DRIVER_OBJECT", "DeleteDriverObject",
                 "driver object " + detail::PointerText(driver) + " does not exist or was already deleted");
        return;
    }
    RemoveObjectName(it->second->name, driver);
    it->second->deleted = true;
    if (driver->DeviceObject != nullptr) {
        std::string devices;
        for (PDEVICE_OBJECT d = driver->DeviceObject; d != nullptr; d = d->NextDevice)
            devices += "\n  " + detail::DescribeDevice(d);
        BugCheck("DEVICE_OBJECTS_LEFT_AT_UNLOAD", "DeleteDriverObject",
                 "driver " + ToUtf8(it->second->name) + " is unloading with device objects it never deleted:" +
                     devices);
    }
    // A deleted device kept alive by an open file object still sends its
    // cleanup and close requests to this driver: the object stays until the
    // last of its devices is freed.
    detail::ReleaseDriverIfUnused(driver);
}

namespace detail {

bool IsLiveDriver(const DRIVER_OBJECT* driver) {
    auto& drivers = Drivers();
    auto it = drivers.find(driver);
    return it != drivers.end() && !it->second->deleted;
}

void ReleaseDriverIfUnused(const DRIVER_OBJECT* driver) {
    auto& drivers = Drivers();
    auto it = drivers.find(driver);
    if (it != drivers.end() && it->second->deleted && !AnyLiveDeviceOf(driver)) drivers.erase(it);
}

std::u16string DriverName(const DRIVER_OBJECT* driver) {
    auto& drivers = Drivers();
    auto it = drivers.find(driver);
    return it == drivers.end() ? std::u16string() : it->second->name;
}

}  // namespace detail
}  // namespace harness::io
