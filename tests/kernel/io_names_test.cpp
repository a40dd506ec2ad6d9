// Names: the object namespace, symbolic links and device interfaces.
#include "harness/app/user_io.h"
#include "harness/kernel/object_namespace.h"
#include "harness/kernel/pool.h"
#include "harness/kernel/text.h"
#include "io_test_driver.h"

namespace app = harness::app;
namespace io = harness::io;

namespace {

UNICODE_STRING U(const char16_t* text) {
    UNICODE_STRING s;
    RtlInitUnicodeString(&s, text);
    return s;
}

// {86e0d1e0-8089-11d0-9ce4-08003e301f73}
const GUID kComPortClass = {0x86e0d1e0, 0x8089, 0x11d0, {0x9c, 0xe4, 0x08, 0x00, 0x3e, 0x30, 0x1f, 0x73}};

}  // namespace

class IoNamesTest : public IoTest {};

TEST_F(IoNamesTest, SymbolicLinksResolveOnOpenWhateverTheAlias) {
    PDEVICE_OBJECT device = AddDevice(nullptr, u"\\Device\\Serial0");
    UNICODE_STRING link = U(u"\\DosDevices\\COM5");
    UNICODE_STRING target = U(u"\\Device\\Serial0");
    ASSERT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
    UNICODE_STRING sameLink = U(u"\\??\\com5");
    EXPECT_EQ(IoCreateSymbolicLink(&sameLink, &target), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(io::SymbolicLinkTarget(u"\\GLOBAL??\\COM5"), u"\\Device\\Serial0");

    for (const char16_t* name : {u"\\\\.\\COM5", u"COM5", u"\\??\\COM5", u"\\DosDevices\\com5"}) {
        app::Handle handle;
        ASSERT_EQ(app::Open(name, &handle), STATUS_SUCCESS) << harness::ToUtf8(name);
        EXPECT_EQ(handle.fileObject->DeviceObject, device);
        app::Close(handle);
    }

    // A link to a link, and a link whose target is gone.
    UNICODE_STRING alias = U(u"\\??\\MODEM");
    UNICODE_STRING aliasTarget = U(u"\\??\\COM5");
    ASSERT_EQ(IoCreateSymbolicLink(&alias, &aliasTarget), STATUS_SUCCESS);
    EXPECT_EQ(io::ParseObjectName(u"\\??\\MODEM").object, device);
    // The device goes first: reported, since Windows would keep COM5 taken
    // (the link to a link is not a link to the device and is not counted).
    IoDeleteDevice(device);
    EXPECT_EQ(TakeViolations("SYMBOLIC_LINK_OUTLIVES_DEVICE"), 1);
    app::Handle handle;
    EXPECT_EQ(app::Open(u"MODEM", &handle), STATUS_OBJECT_NAME_NOT_FOUND);

    EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_SUCCESS);
    EXPECT_EQ(IoDeleteSymbolicLink(&sameLink), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(app::Open(u"COM5", &handle), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(IoNamesTest, DeviceInterfaceNamesComeFromTheInstancePath) {
    PDEVICE_OBJECT pdo = AddDevice(nullptr);
    PDEVICE_OBJECT fdo = AddFilter(pdo, nullptr);
    UNICODE_STRING name{};
    EXPECT_EQ(IoRegisterDeviceInterface(pdo, &kComPortClass, nullptr, &name), STATUS_INVALID_DEVICE_REQUEST);
    io::SetDeviceInstancePath(pdo, u"USB\\VID_1A2B&PID_0042\\5&1234&0&1");
    EXPECT_EQ(IoRegisterDeviceInterface(fdo, &kComPortClass, nullptr, &name), STATUS_INVALID_DEVICE_REQUEST);

    ASSERT_EQ(IoRegisterDeviceInterface(pdo, &kComPortClass, nullptr, &name), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(name.Buffer, name.Length / 2),
              u"\\??\\USB#VID_1A2B&PID_0042#5&1234&0&1#{86e0d1e0-8089-11d0-9ce4-08003e301f73}");
    EXPECT_EQ(name.Buffer[name.Length / 2], u'\0');
    EXPECT_EQ(harness::pool::BlocksInUse(), 1u);  // the caller's to free

    UNICODE_STRING again{};
    ASSERT_EQ(IoRegisterDeviceInterface(pdo, &kComPortClass, nullptr, &again), STATUS_SUCCESS);
    EXPECT_TRUE(RtlEqualUnicodeString(&name, &again, FALSE));
    EXPECT_EQ(io::DeviceInterfaces().size(), 1u);
    RtlFreeUnicodeString(&again);
    RtlFreeUnicodeString(&name);
}

TEST_F(IoNamesTest, EnabledInterfaceOpensThePdoStack) {
    PDEVICE_OBJECT pdo = AddDevice(nullptr);
    io::SetDeviceInstancePath(pdo, u"USB\\VID_1A2B&PID_0042\\7");
    PDEVICE_OBJECT fdo = AddFilter(pdo, nullptr);
    UNICODE_STRING name{};
    UNICODE_STRING reference = U(u"Port1");
    ASSERT_EQ(IoRegisterDeviceInterface(pdo, &kComPortClass, &reference, &name), STATUS_SUCCESS);
    std::u16string text(name.Buffer, name.Length / 2);
    EXPECT_TRUE(text.ends_with(u"}\\Port1"));

    app::Handle handle;
    // Not enabled yet: no link, so the part before the reference string is missing.
    EXPECT_EQ(app::Open(text, &handle), STATUS_OBJECT_PATH_NOT_FOUND);
    UNICODE_STRING unknown = U(u"\\??\\USB#nothing");
    EXPECT_EQ(IoSetDeviceInterfaceState(&unknown, TRUE), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(IoSetDeviceInterfaceState(&name, FALSE), STATUS_OBJECT_NAME_NOT_FOUND);  // not enabled
    EXPECT_EQ(IoSetDeviceInterfaceState(&name, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(IoSetDeviceInterfaceState(&name, TRUE), STATUS_OBJECT_NAME_EXISTS);
    ASSERT_EQ(io::DeviceInterfacesOfClass(kComPortClass).size(), 1u);
    EXPECT_TRUE(io::DeviceInterfacesOfClass(kComPortClass)[0].enabled);

    // The reference string reaches the driver as the file name.
    std::u16string fileName;
    SetHandler(fdo, [&](PDEVICE_OBJECT, PIRP irp) {
        PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
        if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_CREATE)
            fileName.assign(file->FileName.Buffer, file->FileName.Length / 2);
        return iotest::Complete(irp, STATUS_SUCCESS);
    });
    ASSERT_EQ(app::Open(text, &handle), STATUS_SUCCESS);
    EXPECT_EQ(handle.fileObject->DeviceObject, pdo);
    EXPECT_EQ(fileName, u"\\Port1");
    app::Close(handle);

    EXPECT_EQ(IoSetDeviceInterfaceState(&name, FALSE), STATUS_SUCCESS);
    EXPECT_EQ(app::Open(text, &handle), STATUS_OBJECT_PATH_NOT_FOUND);

    // Deleting the PDO withdraws an interface left enabled.
    EXPECT_EQ(IoSetDeviceInterfaceState(&name, TRUE), STATUS_SUCCESS);
    IoDetachDevice(pdo);
    IoDeleteDevice(fdo);
    IoDeleteDevice(pdo);
    EXPECT_FALSE(io::DeviceInterfaces()[0].enabled);
    EXPECT_EQ(app::Open(text, &handle), STATUS_OBJECT_PATH_NOT_FOUND);
    RtlFreeUnicodeString(&name);
}
