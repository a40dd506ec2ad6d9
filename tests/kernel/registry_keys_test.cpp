// Registry keys and handles: the device map, Zw* key routines, device keys
// and handle bookkeeping.
#include <cstring>
#include <string>
#include <vector>

#include "harness/kernel/registry.h"
#include "support/kernel_test.h"

namespace registry = harness::registry;

namespace {

UNICODE_STRING Counted(const char16_t* text) {
    UNICODE_STRING s;
    RtlInitUnicodeString(&s, text);
    return s;
}

NTSTATUS Open(const char16_t* path, ACCESS_MASK access, HANDLE* handle, HANDLE root = nullptr) {
    UNICODE_STRING name = Counted(path);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, root, nullptr);
    return ZwOpenKey(handle, access, &attributes);
}

class RegistryKeys : public KernelTest {};

TEST_F(RegistryKeys, SerialCommIsCreatedOnFirstWriteAndValuesDeleted) {
    EXPECT_FALSE(registry::KeyExists(registry::SerialCommPath()));
    const char16_t port[] = u"COM5";
    ASSERT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"SERIALCOMM", u"\\Device\\Tarn0", REG_SZ,
                                    const_cast<char16_t*>(port), sizeof port),
              STATUS_SUCCESS);
    EXPECT_EQ(registry::GetString(registry::SerialCommPath(), "\\Device\\Tarn0"), u"COM5");
    EXPECT_EQ(RtlCheckRegistryKey(RTL_REGISTRY_DEVICEMAP, const_cast<PWSTR>(u"serialcomm")), STATUS_SUCCESS);

    EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"SERIALCOMM", u"\\Device\\Tarn0"), STATUS_SUCCESS);
    EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"SERIALCOMM", u"\\Device\\Tarn0"),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_TRUE(registry::ListValues(registry::SerialCommPath()).empty());

    // Only the last key of the path is created.
    ULONG one = 1;
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"A\\B", u"X", REG_DWORD, &one, sizeof one),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(RtlCreateRegistryKey(RTL_REGISTRY_DEVICEMAP, const_cast<PWSTR>(u"A")), STATUS_SUCCESS);
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"A\\B", u"X", REG_DWORD, &one, sizeof one),
              STATUS_SUCCESS);
}

TEST_F(RegistryKeys, FullInformationLayoutAndShortBuffers) {
    const std::u16string path = registry::ServiceKeyPath(u"tarnlink");
    registry::SetDword(path, "Speed", 0x11223344);
    HANDLE key;
    ASSERT_EQ(Open(path.c_str(), KEY_READ, &key), STATUS_SUCCESS);
    UNICODE_STRING name = Counted(u"Speed");

    alignas(8) UCHAR buffer[64];
    std::memset(buffer, 0xEE, sizeof buffer);
    ULONG result = 0;
    ASSERT_EQ(ZwQueryValueKey(key, &name, KeyValueFullInformation, buffer, sizeof buffer, &result), STATUS_SUCCESS);
    auto* full = reinterpret_cast<PKEY_VALUE_FULL_INFORMATION>(buffer);
    EXPECT_EQ(full->Type, static_cast<ULONG>(REG_DWORD));
    EXPECT_EQ(full->NameLength, 10u);  // no terminator
    EXPECT_EQ(full->DataOffset, 32u);  // 20-byte header + 10-byte name, aligned to 4
    EXPECT_EQ(full->DataLength, 4u);
    EXPECT_EQ(result, 36u);
    EXPECT_EQ(std::u16string(full->Name, 5), u"Speed");
    ULONG data;
    std::memcpy(&data, buffer + full->DataOffset, 4);
    EXPECT_EQ(data, 0x11223344u);

    // Shorter than the fixed part: nothing, and the size needed.
    result = 0;
    EXPECT_EQ(ZwQueryValueKey(key, &name, KeyValueFullInformation, buffer, 19, &result), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(result, 36u);
    // The fixed part but not the data: the header, and the size needed.
    std::memset(buffer, 0xEE, sizeof buffer);
    EXPECT_EQ(ZwQueryValueKey(key, &name, KeyValueFullInformation, buffer, 24, &result), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(full->DataLength, 4u);
    EXPECT_EQ(result, 36u);
    EXPECT_EQ(buffer[32], 0xEE);

    auto* partial = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer);
    ASSERT_EQ(ZwQueryValueKey(key, &name, KeyValuePartialInformation, buffer, 16, &result), STATUS_SUCCESS);
    EXPECT_EQ(result, 16u);
    EXPECT_EQ(partial->DataLength, 4u);
    EXPECT_EQ(ZwQueryValueKey(key, &name, KeyValuePartialInformation, buffer, 14, &result), STATUS_BUFFER_OVERFLOW);

    UNICODE_STRING missing = Counted(u"Nope");
    EXPECT_EQ(ZwQueryValueKey(key, &missing, KeyValuePartialInformation, buffer, sizeof buffer, &result),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
}

TEST_F(RegistryKeys, HandlesGrantOnlyWhatWasAsked) {
    HANDLE services;
    ASSERT_EQ(Open(u"\\Registry\\Machine\\System\\CurrentControlSet\\Services", KEY_READ, &services),
              STATUS_SUCCESS);
    registry::CreateKey(registry::ServiceKeyPath(u"tarnlink"));
    HANDLE key;
    ASSERT_EQ(Open(u"TARNLINK", KEY_READ, &key, services), STATUS_SUCCESS);  // relative to a handle
    UNICODE_STRING name = Counted(u"Value");
    ULONG one = 1;
    EXPECT_EQ(ZwSetValueKey(key, &name, 0, REG_DWORD, &one, sizeof one), STATUS_ACCESS_DENIED);
    ZwClose(key);
    ASSERT_EQ(Open(u"tarnlink", KEY_WRITE, &key, services), STATUS_SUCCESS);
    EXPECT_EQ(ZwSetValueKey(key, &name, 0, REG_DWORD, &one, sizeof one), STATUS_SUCCESS);
    ULONG result;
    UCHAR buffer[32];
    EXPECT_EQ(ZwQueryValueKey(key, &name, KeyValuePartialInformation, buffer, sizeof buffer, &result),
              STATUS_ACCESS_DENIED);
    ZwClose(key);
    ZwClose(services);
    EXPECT_EQ(registry::GetDword(registry::ServiceKeyPath(u"tarnlink"), "value"), 1u);
    EXPECT_EQ(Open(u"\\Registry\\Machine\\Nope", KEY_READ, &key), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(key, nullptr);
}

TEST_F(RegistryKeys, DeviceKeysOfABoundDevice) {
    DEVICE_OBJECT pdo{};
    HANDLE key;
    EXPECT_EQ(IoOpenDeviceRegistryKey(&pdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key), STATUS_INVALID_DEVICE_REQUEST);

    registry::BindDeviceInstance(&pdo, u"USB\\VID_1A2B&PID_0042\\5&1234&0&1");
    const std::u16string parameters = registry::DeviceParametersPath(u"USB\\VID_1A2B&PID_0042\\5&1234&0&1");
    EXPECT_EQ(parameters,
              u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\USB\\VID_1A2B&PID_0042\\5&1234&0&1"
              u"\\Device Parameters");
    ASSERT_EQ(IoOpenDeviceRegistryKey(&pdo, PLUGPLAY_REGKEY_DEVICE, KEY_ALL_ACCESS, &key), STATUS_SUCCESS);
    UNICODE_STRING name = Counted(u"PortName");
    const char16_t port[] = u"COM9";
    ASSERT_EQ(ZwSetValueKey(key, &name, 0, REG_SZ, const_cast<char16_t*>(port), sizeof port), STATUS_SUCCESS);
    ZwClose(key);
    EXPECT_EQ(registry::GetString(parameters, "PortName"), u"COM9");

    ASSERT_EQ(IoOpenDeviceRegistryKey(&pdo, PLUGPLAY_REGKEY_DRIVER, KEY_READ, &key), STATUS_SUCCESS);
    ZwClose(key);
    EXPECT_TRUE(registry::KeyExists(registry::DriverKeyPath(&pdo)));

    registry::UnbindDeviceInstance(&pdo);
    EXPECT_EQ(IoOpenDeviceRegistryKey(&pdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key), STATUS_INVALID_DEVICE_REQUEST);
}

TEST_F(RegistryKeys, LeakedAndStaleHandlesAreReported) {
    HANDLE key;
    ASSERT_EQ(Open(u"\\Registry\\Machine\\Hardware\\DeviceMap", KEY_READ, &key), STATUS_SUCCESS);
    harness::VerifyQuiescent();
    ASSERT_EQ(harness::RecordedViolations().size(), 1u);
    EXPECT_NE(harness::RecordedViolations()[0].message.find("\\Registry\\Machine\\Hardware\\DeviceMap"),
              std::string::npos);
    EXPECT_EQ(TakeViolations("HANDLE_LEAK"), 1);

    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(key), STATUS_INVALID_HANDLE);
    EXPECT_NE(harness::RecordedViolations()[0].message.find("already closed"), std::string::npos);
    EXPECT_EQ(TakeViolations("INVALID_HANDLE"), 1);
}

// Kernel handles have the top bit set, so they read as negative numbers on
// both processors; successive handles are 4 apart, as handle-table entries.
TEST_F(RegistryKeys, KeyHandlesAreKernelHandlesOfTheProcessor) {
    HANDLE first;
    HANDLE second;
    ASSERT_EQ(Open(u"\\Registry\\Machine\\Hardware\\DeviceMap", KEY_READ, &first), STATUS_SUCCESS);
    ASSERT_EQ(Open(u"\\Registry\\Machine\\Hardware\\DeviceMap", KEY_READ, &second), STATUS_SUCCESS);
    const auto a = reinterpret_cast<LONG_PTR>(first);
    const auto b = reinterpret_cast<LONG_PTR>(second);
    EXPECT_LT(a, 0);
    EXPECT_EQ(b - a, 4);
    EXPECT_GE(a, LONG_PTR(-0x7FFFFFFF - 1));  // x64: sign-extended from 32 bits, 0xFFFFFFFF8xxxxxxx
    EXPECT_EQ(a & 3, 0);
    EXPECT_EQ(ZwClose(first), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(second), STATUS_SUCCESS);
}

TEST_F(RegistryKeys, DeletedKeyFailsThroughOpenHandles) {
    const std::u16string path = registry::ServiceKeyPath(u"gone");
    registry::SetDword(path, "X", 1);
    HANDLE key;
    ASSERT_EQ(Open(path.c_str(), KEY_READ, &key), STATUS_SUCCESS);
    EXPECT_TRUE(registry::DeleteKey(path));
    UNICODE_STRING name = Counted(u"X");
    ULONG result;
    UCHAR buffer[32];
    EXPECT_FALSE(NT_SUCCESS(ZwQueryValueKey(key, &name, KeyValuePartialInformation, buffer, sizeof buffer, &result)));
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
}

}  // namespace
