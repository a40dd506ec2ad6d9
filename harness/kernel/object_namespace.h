// The kernel's object namespace: the tree of names under which device
// objects, driver objects and symbolic links are found.
//
// Names are absolute ("\Device\Serial0"), compared without regard to case,
// and kept with the case they were given. "\DosDevices" and "\GLOBAL??"
// are the same directory as "\??", where the names applications open
// ("COM5") live. Symbolic links are resolved when a name is opened, so a
// link may point at a name that does not exist yet.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "harness/km/wdm.h"

namespace harness::io {

enum class ObjectType { Directory, Device, Driver, SymbolicLink };

// "\DosDevices\COM5" and "\GLOBAL??\COM5" → "\??\COM5"; other names as given.
std::u16string CanonicalObjectName(std::u16string_view name);

// Enters `object` under `name`. STATUS_OBJECT_NAME_COLLISION when the name
// is taken, STATUS_OBJECT_PATH_NOT_FOUND when its directory does not exist,
// STATUS_OBJECT_NAME_INVALID when it is not an absolute name.
NTSTATUS InsertObjectName(std::u16string_view name, ObjectType type, void* object);
// Removes the name; returns false if it did not exist (or names another object).
bool RemoveObjectName(std::u16string_view name, const void* object);

NTSTATUS InsertSymbolicLinkName(std::u16string_view link, std::u16string_view target);
NTSTATUS RemoveSymbolicLinkName(std::u16string_view link);
std::optional<std::u16string> SymbolicLinkTarget(std::u16string_view link);
// The links whose target is exactly `target` (compared without case).
std::vector<std::u16string> SymbolicLinksTo(std::u16string_view target);

// What a name designates once links are followed. When only a leading part
// of the name is an object (a device), the rest comes back in `remainder`
// (e.g. "\RefString" when opening an interface with a reference string).
struct ParsedName {
    NTSTATUS status = STATUS_OBJECT_NAME_NOT_FOUND;
    ObjectType type = ObjectType::Directory;
    void* object = nullptr;
    std::u16string resolvedName;  // name of the object reached
    std::u16string remainder;     // "" or "\..." after it
};
ParsedName ParseObjectName(std::u16string_view name);

bool ObjectNameExists(std::u16string_view name);
// Names directly inside `directory`, with the case they were given.
std::vector<std::u16string> ListDirectory(std::u16string_view directory);

// Back to the directories present at boot: "\Device", "\Driver", "\??".
void ResetObjectNamespace();

}  // namespace harness::io
