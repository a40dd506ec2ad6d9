// The registry's key tree and handle table, shared by the kernel routines
// (registry_rtl.cpp, registry_zw.cpp) and the host-side API (registry.cpp).
// Not for use outside the registry: tests and other subsystems use
// harness/kernel/registry.h.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "harness/kernel/registry.h"

namespace harness::registry::tree {

struct Key {
    std::u16string name;  // as first written
    Key* parent = nullptr;
    std::vector<std::shared_ptr<Key>> subkeys;  // creation order
    std::vector<NamedValue> values;             // order of first write
    bool deleted = false;
};
using KeyPtr = std::shared_ptr<Key>;

// Splits "\Registry\Machine\X" (absolute, `absolute` true) or "X\Y"
// (relative) into its key names. False for a malformed path: an absolute
// path without the leading backslash, a relative path with one, or an empty
// name between backslashes. A trailing backslash is ignored.
bool SplitPath(std::u16string_view path, bool absolute, std::vector<std::u16string>* names);

// The root of the tree (the unnamed key above "Registry").
const KeyPtr& Root();
// Absolute path of a key, as its names were written.
std::u16string PathOf(const Key& key);

KeyPtr FindSubkey(const Key& key, std::u16string_view name);
// Walks `names` down from `from`; null if a key on the way is missing.
KeyPtr Walk(const KeyPtr& from, const std::vector<std::u16string>& names);
KeyPtr FindAbsolute(std::u16string_view path);

enum class Create {
    None,         // open only
    LastKey,      // the last key may be created; the one above it must exist (ZwCreateKey)
    WholePath,    // every missing key on the way is created (host side)
};
// Opens (or creates) the key `names` below `from`. STATUS_OBJECT_NAME_NOT_FOUND
// when a key is missing and may not be created; `created` tells whether the
// last key is new.
NTSTATUS OpenPath(const KeyPtr& from, const std::vector<std::u16string>& names, Create create, KeyPtr* key,
                  bool* created = nullptr);

NamedValue* FindValue(Key& key, std::u16string_view name);
void SetValue(Key& key, std::u16string_view name, ULONG type, const void* data, std::size_t size);
bool DeleteValue(Key& key, std::u16string_view name);
// Unlinks the key from its parent and marks it and everything below deleted.
void DeleteKey(const KeyPtr& key);

// --- Handles ---------------------------------------------------------------------
struct OpenKey {
    KeyPtr key;
    ACCESS_MASK access;  // granted rights (generic rights mapped to key rights)
    std::u16string path; // as opened, for reports
    bool leakReported = false;
};

HANDLE NewHandle(const KeyPtr& key, ACCESS_MASK desiredAccess);
// The open key behind a handle, or null after reporting INVALID_HANDLE
// naming `routine`.
OpenKey* LookupHandle(HANDLE handle, const char* routine);
bool CloseHandle(HANDLE handle);

// Reports IRQL_NOT_LESS_OR_EQUAL naming `routine` unless the caller runs at
// PASSIVE_LEVEL. Returns whether the IRQL was right.
bool CheckPassive(const char* routine);

// A counted string as a string view (empty for null).
std::u16string_view View(PCUNICODE_STRING s);

}  // namespace harness::registry::tree
