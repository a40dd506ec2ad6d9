// The run-time library's registry routines: RtlQueryRegistryValues,
// RtlWriteRegistryValue, RtlDeleteRegistryValue, RtlCheckRegistryKey and
// RtlCreateRegistryKey.
#include <cstring>
#include <string>
#include <vector>

#include "harness/kernel/harness_lock.h"
#include "harness/kernel/pool.h"
#include "harness/kernel/registry.h"
#include "harness/kernel/registry_tree.h"

using namespace harness::registry;

namespace {

constexpr NTSTATUS kStatusKeyDeleted = static_cast<NTSTATUS>(0xC000017Cu);
constexpr ULONG kTypeCheckMask = 0xFFu << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT;

// Pool tag of the string buffers RTL_QUERY_REGISTRY_DIRECT allocates for its
// caller (who frees them with RtlFreeUnicodeString or ExFreePool).
ULONG StringTag() { return harness::pool::Tag("Strg"); }

const char16_t* BasePath(ULONG relativeTo) {
    switch (relativeTo) {
        case RTL_REGISTRY_ABSOLUTE: return u"";
        case RTL_REGISTRY_SERVICES: return u"\\Registry\\Machine\\System\\CurrentControlSet\\Services";
        case RTL_REGISTRY_CONTROL: return u"\\Registry\\Machine\\System\\CurrentControlSet\\Control";
        case RTL_REGISTRY_WINDOWS_NT: return u"\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion";
        case RTL_REGISTRY_DEVICEMAP: return u"\\Registry\\Machine\\Hardware\\DeviceMap";
        case RTL_REGISTRY_USER: return u"\\Registry\\User\\CurrentUser";
        default: return nullptr;
    }
}

// The key RelativeTo and Path name. With RTL_REGISTRY_HANDLE, Path is an
// open key handle that must grant `access`. `create` says whether the last
// key may be created (the one above it must exist).
NTSTATUS ResolveKey(ULONG relativeTo, PCWSTR path, bool create, ACCESS_MASK access, const char* routine,
                    tree::KeyPtr* key) {
    if (relativeTo & RTL_REGISTRY_HANDLE) {
        tree::OpenKey* open = tree::LookupHandle(reinterpret_cast<HANDLE>(const_cast<PWSTR>(path)), routine);
        if (open == nullptr) return STATUS_INVALID_HANDLE;
        if (open->key->deleted) return kStatusKeyDeleted;
        if ((open->access & access) != access) return STATUS_ACCESS_DENIED;
        *key = open->key;
        return STATUS_SUCCESS;
    }
    const char16_t* base = BasePath(relativeTo & ~RTL_REGISTRY_OPTIONAL);
    if (base == nullptr) return STATUS_INVALID_PARAMETER;
    std::u16string full = base;
    const std::size_t length = harness::WideLength(path);
    if (length != 0) {
        if (!full.empty() && path[0] != u'\\') full += u'\\';
        full.append(path, length);
    }
    std::vector<std::u16string> names;
    if (!tree::SplitPath(full, true, &names)) return STATUS_OBJECT_NAME_INVALID;
    return tree::OpenPath(tree::Root(), names, create ? tree::Create::LastKey : tree::Create::None, key);
}

// Bytes of a zero-terminated string or multi-string given as a default
// value with DefaultLength 0, terminators included.
ULONG DefaultStringLength(ULONG type, const void* data) {
    const auto* s = static_cast<const char16_t*>(data);
    if (s == nullptr) return 0;
    if (type != REG_MULTI_SZ) return static_cast<ULONG>((harness::WideLength(s) + 1) * sizeof(char16_t));
    std::size_t i = 0;
    while (s[i] != 0) i += harness::WideLength(s + i) + 1;
    return static_cast<ULONG>((i + 1) * sizeof(char16_t));
}

bool IsStringType(ULONG type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

// RTL_QUERY_REGISTRY_DIRECT: strings go into the UNICODE_STRING at
// EntryContext (allocated from paged pool when its Buffer is null); other
// data of up to four bytes is copied over EntryContext as it is; larger data
// needs a buffer whose first LONG gives its size: negative, the data alone is
// stored; positive, the data's length and type come first.
NTSTATUS WriteDirect(const RTL_QUERY_REGISTRY_TABLE& entry, ULONG type, const UCHAR* data, ULONG length) {
    if (entry.EntryContext == nullptr) return STATUS_INVALID_PARAMETER;
    if (IsStringType(type)) {
        auto* destination = static_cast<PUNICODE_STRING>(entry.EntryContext);
        const auto* text = reinterpret_cast<const char16_t*>(data);
        std::size_t chars = length / sizeof(char16_t);
        if (type == REG_MULTI_SZ) {
            if (chars != 0 && text[chars - 1] == 0) --chars;  // all strings but the final terminator
        } else {
            std::size_t n = 0;
            while (n < chars && text[n] != 0) ++n;
            chars = n;
        }
        const std::size_t needed = (chars + 1) * sizeof(char16_t);
        if (needed > 0xFFFE) return STATUS_BUFFER_TOO_SMALL;
        if (destination->Buffer == nullptr) {
            destination->Buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, needed, StringTag()));
            if (destination->Buffer == nullptr) return STATUS_NO_MEMORY;
            destination->MaximumLength = static_cast<USHORT>(needed);
        } else if (destination->MaximumLength < needed) {
            return STATUS_BUFFER_TOO_SMALL;
        }
        if (chars != 0) std::memcpy(destination->Buffer, data, chars * sizeof(char16_t));
        destination->Buffer[chars] = 0;
        destination->Length = static_cast<USHORT>(chars * sizeof(char16_t));
        return STATUS_SUCCESS;
    }
    if (length <= sizeof(ULONG)) {
        if (length != 0) std::memcpy(entry.EntryContext, data, length);
        return STATUS_SUCCESS;
    }
    LONG size;
    std::memcpy(&size, entry.EntryContext, sizeof size);
    auto* out = static_cast<UCHAR*>(entry.EntryContext);
    if (size < 0) {
        if (-static_cast<int64_t>(size) < length) return STATUS_BUFFER_TOO_SMALL;
        std::memcpy(out, data, length);
        return STATUS_SUCCESS;
    }
    if (static_cast<int64_t>(size) < static_cast<int64_t>(length) + 2 * static_cast<int64_t>(sizeof(ULONG)))
        return STATUS_BUFFER_TOO_SMALL;
    std::memcpy(out, &length, sizeof(ULONG));
    std::memcpy(out + sizeof(ULONG), &type, sizeof(ULONG));
    std::memcpy(out + 2 * sizeof(ULONG), data, length);
    return STATUS_SUCCESS;
}

NTSTATUS CallRoutine(const RTL_QUERY_REGISTRY_TABLE& entry, const std::u16string& name, ULONG type,
                     const UCHAR* data, ULONG length, PVOID context) {
    // The routine gets zero-terminated copies it may read to the end.
    std::u16string nameCopy = name;
    std::vector<UCHAR> dataCopy(data, data + length);
    dataCopy.resize(length + sizeof(char16_t), 0);
    return entry.QueryRoutine(nameCopy.data(), type, length == 0 ? nullptr : dataCopy.data(), length, context,
                              entry.EntryContext);
}

// Hands one value (or default) to the table entry: type check, then the
// preparation Windows makes (REG_EXPAND_SZ becomes REG_SZ; a REG_MULTI_SZ is
// handed over one string at a time) unless RTL_QUERY_REGISTRY_NOEXPAND is
// set, then the direct write or the query routine. No environment variables
// are defined in the emulated kernel, so expansion leaves the text as is.
NTSTATUS Deliver(const RTL_QUERY_REGISTRY_TABLE& entry, const std::u16string& name, ULONG type,
                 const UCHAR* data, ULONG length, PVOID context) {
    if (entry.Flags & RTL_QUERY_REGISTRY_TYPECHECK) {
        const ULONG expected = entry.DefaultType >> RTL_QUERY_REGISTRY_TYPECHECK_SHIFT;
        if (expected != type) return STATUS_OBJECT_TYPE_MISMATCH;
    }
    const bool expand = (entry.Flags & RTL_QUERY_REGISTRY_NOEXPAND) == 0;
    auto hand = [&](ULONG t, const UCHAR* d, ULONG n) {
        return (entry.Flags & RTL_QUERY_REGISTRY_DIRECT) ? WriteDirect(entry, t, d, n)
                                                         : CallRoutine(entry, name, t, d, n, context);
    };
    if (expand && type == REG_EXPAND_SZ) return hand(REG_SZ, data, length);
    if (expand && type == REG_MULTI_SZ) {
        const auto* text = reinterpret_cast<const char16_t*>(data);
        const std::size_t chars = length / sizeof(char16_t);
        std::size_t i = 0;
        while (i < chars && text[i] != 0) {
            std::size_t end = i;
            while (end < chars && text[end] != 0) ++end;
            const ULONG bytes = static_cast<ULONG>((end - i + (end < chars ? 1 : 0)) * sizeof(char16_t));
            const NTSTATUS status = hand(REG_SZ, data + i * sizeof(char16_t), bytes);
            if (!NT_SUCCESS(status)) return status;
            i = end + 1;
        }
        return STATUS_SUCCESS;
    }
    return hand(type, data, length);
}

// Every value of the current key (or the single callback of
// RTL_QUERY_REGISTRY_NOVALUE).
NTSTATUS QueryAllValues(const RTL_QUERY_REGISTRY_TABLE& entry, const tree::KeyPtr& key, PVOID context) {
    if (entry.Flags & RTL_QUERY_REGISTRY_NOVALUE)
        return entry.QueryRoutine(nullptr, REG_NONE, nullptr, 0, context, entry.EntryContext);
    const std::vector<NamedValue> values = key ? key->values : std::vector<NamedValue>{};
    if (values.empty() && (entry.Flags & RTL_QUERY_REGISTRY_REQUIRED)) return STATUS_OBJECT_NAME_NOT_FOUND;
    for (const NamedValue& value : values) {
        const NTSTATUS status = Deliver(entry, value.name, value.type, value.data.data(),
                                        static_cast<ULONG>(value.data.size()), context);
        if (!NT_SUCCESS(status)) return status;
        if (entry.Flags & RTL_QUERY_REGISTRY_DELETE) tree::DeleteValue(*key, value.name);
    }
    return STATUS_SUCCESS;
}

// The value the entry names, or its default when the key has no such value.
NTSTATUS QueryNamedValue(const RTL_QUERY_REGISTRY_TABLE& entry, const tree::KeyPtr& key, PVOID context) {
    const std::u16string name(entry.Name, harness::WideLength(entry.Name));
    if (const NamedValue* value = key ? tree::FindValue(*key, name) : nullptr) {
        const NamedValue copy = *value;  // the routine may change the key
        const NTSTATUS status =
            Deliver(entry, copy.name, copy.type, copy.data.data(), static_cast<ULONG>(copy.data.size()), context);
        if (NT_SUCCESS(status) && (entry.Flags & RTL_QUERY_REGISTRY_DELETE)) tree::DeleteValue(*key, name);
        return status;
    }
    if (entry.Flags & RTL_QUERY_REGISTRY_REQUIRED) return STATUS_OBJECT_NAME_NOT_FOUND;
    const ULONG defaultType =
        (entry.Flags & RTL_QUERY_REGISTRY_TYPECHECK) ? entry.DefaultType & ~kTypeCheckMask : entry.DefaultType;
    if (defaultType == REG_NONE) return STATUS_SUCCESS;
    ULONG length = entry.DefaultLength;
    if (length == 0 && IsStringType(defaultType)) length = DefaultStringLength(defaultType, entry.DefaultData);
    const auto* data = static_cast<const UCHAR*>(entry.DefaultData);
    if (data == nullptr) length = 0;
    return Deliver(entry, name, defaultType, data, length, context);
}

}  // namespace

// The table ends with an entry that has neither a query routine nor a name.
// RTL_QUERY_REGISTRY_SUBKEY moves the following entries to the named subkey
// of the key Path names, RTL_QUERY_REGISTRY_TOPKEY back to that key. With
// RTL_REGISTRY_OPTIONAL a missing key reads as an empty one: defaults are
// used and only required values fail.
NTSTATUS RtlQueryRegistryValues(ULONG RelativeTo, PCWSTR Path, PRTL_QUERY_REGISTRY_TABLE QueryTable,
                                PVOID Context, PVOID Environment) {
    harness::HarnessScope harnessState;
    UNREFERENCED_PARAMETER(Environment);
    tree::CheckPassive("RtlQueryRegistryValues");
    if (QueryTable == nullptr) return STATUS_INVALID_PARAMETER;
    tree::KeyPtr top;
    NTSTATUS status = ResolveKey(RelativeTo, Path, false, KEY_QUERY_VALUE, "RtlQueryRegistryValues", &top);
    if (status == STATUS_OBJECT_NAME_NOT_FOUND && (RelativeTo & RTL_REGISTRY_OPTIONAL) &&
        !(RelativeTo & RTL_REGISTRY_HANDLE)) {
        top = nullptr;
    } else if (!NT_SUCCESS(status)) {
        return status;
    }

    tree::KeyPtr current = top;
    for (PRTL_QUERY_REGISTRY_TABLE entry = QueryTable; entry->QueryRoutine != nullptr || entry->Name != nullptr;
         ++entry) {
        const ULONG flags = entry->Flags;
        if ((flags & RTL_QUERY_REGISTRY_DIRECT) && (entry->Name == nullptr || (flags & RTL_QUERY_REGISTRY_SUBKEY)))
            return STATUS_INVALID_PARAMETER;
        if (flags & (RTL_QUERY_REGISTRY_TOPKEY | RTL_QUERY_REGISTRY_SUBKEY)) current = top;
        if (flags & RTL_QUERY_REGISTRY_SUBKEY) {
            if (entry->Name == nullptr) return STATUS_INVALID_PARAMETER;
            std::vector<std::u16string> names;
            if (!tree::SplitPath(entry->Name, false, &names)) return STATUS_OBJECT_NAME_INVALID;
            current = current ? tree::Walk(current, names) : nullptr;
            if (!current) return STATUS_OBJECT_NAME_NOT_FOUND;
            if (entry->QueryRoutine == nullptr) continue;
            status = QueryAllValues(*entry, current, Context);
        } else if (!(flags & RTL_QUERY_REGISTRY_DIRECT) && entry->QueryRoutine == nullptr) {
            return STATUS_INVALID_PARAMETER;
        } else if (entry->Name == nullptr) {
            status = QueryAllValues(*entry, current, Context);
        } else {
            status = QueryNamedValue(*entry, current, Context);
        }
        if (!NT_SUCCESS(status)) return status;
    }
    return STATUS_SUCCESS;
}

// The key is created if it is missing and the key above it exists (this is
// how HARDWARE\DEVICEMAP\SERIALCOMM comes to be when the first port is
// written to it).
NTSTATUS RtlWriteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName, ULONG ValueType, PVOID ValueData,
                               ULONG ValueLength) {
    harness::HarnessScope harnessState;
    tree::CheckPassive("RtlWriteRegistryValue");
    tree::KeyPtr key;
    const NTSTATUS status = ResolveKey(RelativeTo, Path, true, KEY_SET_VALUE, "RtlWriteRegistryValue", &key);
    if (!NT_SUCCESS(status)) return status;
    if (ValueData == nullptr && ValueLength != 0) return STATUS_INVALID_PARAMETER;
    tree::SetValue(*key, std::u16string_view(ValueName ? ValueName : u"", harness::WideLength(ValueName)), ValueType,
                   ValueData, ValueLength);
    return STATUS_SUCCESS;
}

NTSTATUS RtlDeleteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName) {
    harness::HarnessScope harnessState;
    tree::CheckPassive("RtlDeleteRegistryValue");
    tree::KeyPtr key;
    const NTSTATUS status = ResolveKey(RelativeTo, Path, false, KEY_SET_VALUE, "RtlDeleteRegistryValue", &key);
    if (!NT_SUCCESS(status)) return status;
    const std::u16string_view name(ValueName ? ValueName : u"", harness::WideLength(ValueName));
    return tree::DeleteValue(*key, name) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

NTSTATUS RtlCheckRegistryKey(ULONG RelativeTo, PWSTR Path) {
    harness::HarnessScope harnessState;
    tree::CheckPassive("RtlCheckRegistryKey");
    tree::KeyPtr key;
    return ResolveKey(RelativeTo, Path, false, 0, "RtlCheckRegistryKey", &key);
}

NTSTATUS RtlCreateRegistryKey(ULONG RelativeTo, PWSTR Path) {
    harness::HarnessScope harnessState;
    tree::CheckPassive("RtlCreateRegistryKey");
    tree::KeyPtr key;
    return ResolveKey(RelativeTo, Path, true, 0, "RtlCreateRegistryKey", &key);
}
