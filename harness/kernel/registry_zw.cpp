// Key handles: ZwOpenKey, ZwCreateKey, ZwQueryValueKey, ZwSetValueKey,
// ZwDeleteValueKey, ZwClose, and IoOpenDeviceRegistryKey, which opens a
// device's hardware or driver key.
#include <algorithm>
#include <cstring>
#include <string>

#include "harness/kernel/harness_lock.h"
#include "harness/kernel/registry.h"
#include "harness/kernel/registry_tree.h"

using namespace harness::registry;

namespace {

constexpr NTSTATUS kStatusKeyDeleted = static_cast<NTSTATUS>(0xC000017Cu);

constexpr char16_t kCurrentControlSet[] = u"\\Registry\\Machine\\System\\CurrentControlSet";
constexpr char16_t kCurrentProfile[] =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Hardware Profiles\\Current"
    u"\\System\\CurrentControlSet";

// Opens or creates the key an OBJECT_ATTRIBUTES names: a full path, or a
// path relative to the key RootDirectory is a handle to.
NTSTATUS OpenByAttributes(POBJECT_ATTRIBUTES attributes, tree::Create create, const char* routine,
                          tree::KeyPtr* key, bool* created) {
    if (attributes == nullptr) return STATUS_INVALID_PARAMETER;
    tree::KeyPtr base = tree::Root();
    const bool relative = attributes->RootDirectory != nullptr;
    if (relative) {
        tree::OpenKey* root = tree::LookupHandle(attributes->RootDirectory, routine);
        if (root == nullptr) return STATUS_INVALID_HANDLE;
        if (root->key->deleted) return kStatusKeyDeleted;
        base = root->key;
    } else if (attributes->ObjectName == nullptr) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    std::vector<std::u16string> names;
    if (!tree::SplitPath(tree::View(attributes->ObjectName), !relative, &names)) return STATUS_OBJECT_NAME_INVALID;
    return tree::OpenPath(base, names, create, key, created);
}

// The open key behind a handle, checked for the access the caller needs.
NTSTATUS UseHandle(HANDLE handle, ACCESS_MASK needed, const char* routine, tree::OpenKey** entry) {
    tree::OpenKey* open = tree::LookupHandle(handle, routine);
    if (open == nullptr) return STATUS_INVALID_HANDLE;
    if (open->key->deleted) return kStatusKeyDeleted;
    if ((open->access & needed) != needed) return STATUS_ACCESS_DENIED;
    *entry = open;
    return STATUS_SUCCESS;
}

void Put(void* buffer, std::size_t offset, const void* data, std::size_t size) {
    if (size != 0) std::memcpy(static_cast<UCHAR*>(buffer) + offset, data, size);
}

void PutUlong(void* buffer, std::size_t offset, ULONG value) { Put(buffer, offset, &value, sizeof value); }

ULONG AlignUp4(ULONG n) { return (n + 3u) & ~3u; }

// Fills one of the KEY_VALUE_*_INFORMATION records. A buffer shorter than
// the fixed part gets nothing (STATUS_BUFFER_TOO_SMALL); one that holds the
// fixed part but not the whole record gets the fixed part and as much of the
// name or data as fits (STATUS_BUFFER_OVERFLOW); ResultLength is always the
// size of the whole record.
NTSTATUS FillValueInformation(const NamedValue& value, KEY_VALUE_INFORMATION_CLASS infoClass, PVOID buffer,
                              ULONG length, PULONG resultLength) {
    const auto nameBytes = static_cast<ULONG>(value.name.size() * sizeof(WCHAR));
    const auto dataBytes = static_cast<ULONG>(value.data.size());
    ULONG fixed = 0;
    ULONG required = 0;
    switch (infoClass) {
        case KeyValueBasicInformation:
            fixed = FIELD_OFFSET(KEY_VALUE_BASIC_INFORMATION, Name);
            required = fixed + nameBytes;
            break;
        case KeyValueFullInformation:
            fixed = FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, Name);
            required = AlignUp4(fixed + nameBytes) + dataBytes;
            break;
        case KeyValuePartialInformation:
            fixed = FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data);
            required = fixed + dataBytes;
            break;
        default: return STATUS_INVALID_PARAMETER;
    }
    *resultLength = required;
    if (length < fixed) return STATUS_BUFFER_TOO_SMALL;
    if (buffer == nullptr) return STATUS_INVALID_PARAMETER;

    const ULONG room = length - fixed;
    const bool whole = length >= required;
    PutUlong(buffer, 0, 0);  // TitleIndex
    PutUlong(buffer, 4, value.type);
    switch (infoClass) {
        case KeyValueBasicInformation:
            PutUlong(buffer, FIELD_OFFSET(KEY_VALUE_BASIC_INFORMATION, NameLength), nameBytes);
            Put(buffer, fixed, value.name.data(), std::min(room, nameBytes));
            break;
        case KeyValueFullInformation: {
            const ULONG dataOffset = AlignUp4(fixed + nameBytes);
            PutUlong(buffer, FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, DataOffset), dataOffset);
            PutUlong(buffer, FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, DataLength), dataBytes);
            PutUlong(buffer, FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, NameLength), nameBytes);
            Put(buffer, fixed, value.name.data(), std::min(room, nameBytes));
            if (whole) Put(buffer, dataOffset, value.data.data(), dataBytes);
            break;
        }
        default:
            PutUlong(buffer, FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, DataLength), dataBytes);
            Put(buffer, fixed, value.data.data(), std::min(room, dataBytes));
            break;
    }
    return whole ? STATUS_SUCCESS : STATUS_BUFFER_OVERFLOW;
}

}  // namespace

NTSTATUS ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes) {
    harness::HarnessScope harnessState;
    tree::CheckPassive("ZwOpenKey");
    if (KeyHandle == nullptr) return STATUS_INVALID_PARAMETER;
    *KeyHandle = nullptr;
    tree::KeyPtr key;
    const NTSTATUS status = OpenByAttributes(ObjectAttributes, tree::Create::None, "ZwOpenKey", &key, nullptr);
    if (!NT_SUCCESS(status)) return status;
    *KeyHandle = tree::NewHandle(key, DesiredAccess);
    return STATUS_SUCCESS;
}

NTSTATUS ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                     ULONG TitleIndex, PUNICODE_STRING Class, ULONG CreateOptions, PULONG Disposition) {
    harness::HarnessScope harnessState;
    UNREFERENCED_PARAMETER(TitleIndex);
    UNREFERENCED_PARAMETER(Class);
    UNREFERENCED_PARAMETER(CreateOptions);
    tree::CheckPassive("ZwCreateKey");
    if (KeyHandle == nullptr) return STATUS_INVALID_PARAMETER;
    *KeyHandle = nullptr;
    tree::KeyPtr key;
    bool created = false;
    const NTSTATUS status =
        OpenByAttributes(ObjectAttributes, tree::Create::LastKey, "ZwCreateKey", &key, &created);
    if (!NT_SUCCESS(status)) return status;
    *KeyHandle = tree::NewHandle(key, DesiredAccess);
    if (Disposition != nullptr) *Disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    return STATUS_SUCCESS;
}

NTSTATUS ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                         KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass, PVOID KeyValueInformation,
                         ULONG Length, PULONG ResultLength) {
    harness::HarnessScope harnessState;
    tree::CheckPassive("ZwQueryValueKey");
    tree::OpenKey* open = nullptr;
    const NTSTATUS status = UseHandle(KeyHandle, KEY_QUERY_VALUE, "ZwQueryValueKey", &open);
    if (!NT_SUCCESS(status)) return status;
    if (ResultLength == nullptr) return STATUS_INVALID_PARAMETER;
    const NamedValue* value = tree::FindValue(*open->key, tree::View(ValueName));
    if (value == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
    return FillValueInformation(*value, KeyValueInformationClass, KeyValueInformation, Length, ResultLength);
}

NTSTATUS ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex, ULONG Type, PVOID Data,
                       ULONG DataSize) {
    harness::HarnessScope harnessState;
    UNREFERENCED_PARAMETER(TitleIndex);
    tree::CheckPassive("ZwSetValueKey");
    tree::OpenKey* open = nullptr;
    const NTSTATUS status = UseHandle(KeyHandle, KEY_SET_VALUE, "ZwSetValueKey", &open);
    if (!NT_SUCCESS(status)) return status;
    if (ValueName == nullptr || (Data == nullptr && DataSize != 0)) return STATUS_INVALID_PARAMETER;
    tree::SetValue(*open->key, tree::View(ValueName), Type, Data, DataSize);
    return STATUS_SUCCESS;
}

NTSTATUS ZwDeleteValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName) {
    harness::HarnessScope harnessState;
    tree::CheckPassive("ZwDeleteValueKey");
    tree::OpenKey* open = nullptr;
    const NTSTATUS status = UseHandle(KeyHandle, KEY_SET_VALUE, "ZwDeleteValueKey", &open);
    if (!NT_SUCCESS(status)) return status;
    return tree::DeleteValue(*open->key, tree::View(ValueName)) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

NTSTATUS ZwClose(HANDLE Handle) {
    harness::HarnessScope harnessState;
    tree::CheckPassive("ZwClose");
    if (tree::LookupHandle(Handle, "ZwClose") == nullptr) return STATUS_INVALID_HANDLE;
    tree::CloseHandle(Handle);
    return STATUS_SUCCESS;
}

// PLUGPLAY_REGKEY_DEVICE opens the device's "Device Parameters" key under
// its hardware key, PLUGPLAY_REGKEY_DRIVER its key under the setup class;
// either is created if missing. With PLUGPLAY_REGKEY_CURRENT_HWPROFILE the
// key of the current hardware profile is opened instead.
NTSTATUS IoOpenDeviceRegistryKey(PDEVICE_OBJECT DeviceObject, ULONG DevInstKeyType, ACCESS_MASK DesiredAccess,
                                 PHANDLE DevInstRegKey) {
    harness::HarnessScope harnessState;
    tree::CheckPassive("IoOpenDeviceRegistryKey");
    if (DevInstRegKey == nullptr) return STATUS_INVALID_PARAMETER;
    *DevInstRegKey = nullptr;
    const ULONG which = DevInstKeyType & (PLUGPLAY_REGKEY_DEVICE | PLUGPLAY_REGKEY_DRIVER);
    if (which != PLUGPLAY_REGKEY_DEVICE && which != PLUGPLAY_REGKEY_DRIVER) return STATUS_INVALID_PARAMETER;
    std::u16string path =
        which == PLUGPLAY_REGKEY_DEVICE ? DeviceKeyPath(DeviceObject) : DriverKeyPath(DeviceObject);
    if (path.empty()) return STATUS_INVALID_DEVICE_REQUEST;
    if (DevInstKeyType & PLUGPLAY_REGKEY_CURRENT_HWPROFILE)
        path = kCurrentProfile + path.substr(std::char_traits<char16_t>::length(kCurrentControlSet));

    std::vector<std::u16string> names;
    tree::KeyPtr key;
    if (!tree::SplitPath(path, true, &names) ||
        !NT_SUCCESS(tree::OpenPath(tree::Root(), names, tree::Create::WholePath, &key)))
        return STATUS_OBJECT_NAME_INVALID;
    *DevInstRegKey = tree::NewHandle(key, DesiredAccess);
    return STATUS_SUCCESS;
}
