#include "harness/kernel/object_namespace.h"

#include <map>

#include "harness/kernel/kernel.h"

namespace harness::io {
namespace {

struct Entry {
    std::u16string name;  // as given, canonical directory prefix
    ObjectType type;
    void* object;
    std::u16string target;  // symbolic links
};

std::map<std::u16string, Entry> BootNamespace();

// Keyed by the upper-cased canonical name.
std::map<std::u16string, Entry>& Names() {
    static std::map<std::u16string, Entry> names = BootNamespace();
    return names;
}

char16_t Upper(char16_t c) { return (c >= u'a' && c <= u'z') ? char16_t(c - u'a' + u'A') : c; }

std::u16string Key(std::u16string_view canonical) {
    std::u16string key(canonical);
    for (auto& c : key) c = Upper(c);
    return key;
}

bool StartsWithNoCase(std::u16string_view s, std::u16string_view prefix) {
    if (s.size() < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i)
        if (Upper(s[i]) != Upper(prefix[i])) return false;
    return true;
}

// "\Device\Foo" → "\Device"; "\Foo" → "\"; "\" → "".
std::u16string_view Parent(std::u16string_view name) {
    size_t slash = name.rfind(u'\\');
    if (slash == std::u16string_view::npos || name.size() <= 1) return {};
    return slash == 0 ? name.substr(0, 1) : name.substr(0, slash);
}

bool IsValidName(std::u16string_view name) {
    if (name.size() < 2 || name[0] != u'\\' || name.back() == u'\\') return false;
    for (size_t i = 1; i < name.size(); ++i)
        if (name[i] == u'\\' && name[i - 1] == u'\\') return false;
    return true;
}

const Entry* Find(std::u16string_view canonical) {
    auto& names = Names();
    auto it = names.find(Key(canonical));
    return it == names.end() ? nullptr : &it->second;
}

std::map<std::u16string, Entry> BootNamespace() {
    std::map<std::u16string, Entry> names;
    for (std::u16string dir : {u"\\Device", u"\\Driver", u"\\??"})
        names[Key(dir)] = Entry{dir, ObjectType::Directory, nullptr, {}};
    return names;
}

}  // namespace

std::u16string CanonicalObjectName(std::u16string_view name) {
    static const std::u16string_view kAliases[] = {u"\\DosDevices", u"\\GLOBAL??"};
    for (auto alias : kAliases) {
        if (StartsWithNoCase(name, alias) && (name.size() == alias.size() || name[alias.size()] == u'\\'))
            return u"\\??" + std::u16string(name.substr(alias.size()));
    }
    return std::u16string(name);
}

NTSTATUS InsertObjectName(std::u16string_view name, ObjectType type, void* object) {
    std::u16string canonical = CanonicalObjectName(name);
    if (!IsValidName(canonical)) return STATUS_OBJECT_NAME_INVALID;
    if (Find(canonical)) return STATUS_OBJECT_NAME_COLLISION;
    std::u16string_view parent = Parent(canonical);
    if (parent != u"\\") {
        const Entry* dir = Find(parent);
        if (!dir || dir->type != ObjectType::Directory) return STATUS_OBJECT_PATH_NOT_FOUND;
    }
    Names()[Key(canonical)] = Entry{canonical, type, object, {}};
    return STATUS_SUCCESS;
}

bool RemoveObjectName(std::u16string_view name, const void* object) {
    auto& names = Names();
    auto it = names.find(Key(CanonicalObjectName(name)));
    if (it == names.end() || it->second.type == ObjectType::SymbolicLink || it->second.object != object)
        return false;
    names.erase(it);
    return true;
}

NTSTATUS InsertSymbolicLinkName(std::u16string_view link, std::u16string_view target) {
    NTSTATUS status = InsertObjectName(link, ObjectType::SymbolicLink, nullptr);
    if (NT_SUCCESS(status)) Names()[Key(CanonicalObjectName(link))].target = CanonicalObjectName(target);
    return status;
}

NTSTATUS RemoveSymbolicLinkName(std::u16string_view link) {
    auto& names = Names();
    auto it = names.find(Key(CanonicalObjectName(link)));
    if (it == names.end() || it->second.type != ObjectType::SymbolicLink) return STATUS_OBJECT_NAME_NOT_FOUND;
    names.erase(it);
    return STATUS_SUCCESS;
}

std::optional<std::u16string> SymbolicLinkTarget(std::u16string_view link) {
    const Entry* e = Find(CanonicalObjectName(link));
    if (!e || e->type != ObjectType::SymbolicLink) return std::nullopt;
    return e->target;
}

std::vector<std::u16string> SymbolicLinksTo(std::u16string_view target) {
    const std::u16string key = Key(CanonicalObjectName(target));
    std::vector<std::u16string> links;
    for (const auto& [name, entry] : Names())
        if (entry.type == ObjectType::SymbolicLink && Key(entry.target) == key) links.push_back(entry.name);
    return links;
}

ParsedName ParseObjectName(std::u16string_view name) {
    std::u16string current = CanonicalObjectName(name);
    // A chain of links longer than this is a loop.
    for (int hops = 0; hops < 32; ++hops) {
        ParsedName result;
        if (current.empty() || current[0] != u'\\') {
            result.status = STATUS_OBJECT_NAME_INVALID;
            return result;
        }
        // Find the longest leading part of the name that is an object.
        std::u16string_view prefix = current;
        const Entry* found = nullptr;
        while (!prefix.empty() && prefix != u"\\") {
            found = Find(prefix);
            if (found) break;
            prefix = Parent(prefix);
        }
        if (!found) {
            result.status = STATUS_OBJECT_PATH_NOT_FOUND;
            return result;
        }
        std::u16string remainder = current.substr(prefix.size());
        if (found->type == ObjectType::SymbolicLink) {
            current = found->target + remainder;
            continue;
        }
        if (found->type == ObjectType::Directory && !remainder.empty()) {
            // The directory exists; the object in it does not (or a
            // deeper directory is missing).
            result.status = remainder.find(u'\\', 1) == std::u16string::npos ? STATUS_OBJECT_NAME_NOT_FOUND
                                                                            : STATUS_OBJECT_PATH_NOT_FOUND;
            return result;
        }
        result.status = STATUS_SUCCESS;
        result.type = found->type;
        result.object = found->object;
        result.resolvedName = found->name;
        result.remainder = std::move(remainder);
        return result;
    }
    ParsedName loop;
    loop.status = STATUS_OBJECT_PATH_NOT_FOUND;
    return loop;
}

bool ObjectNameExists(std::u16string_view name) { return Find(CanonicalObjectName(name)) != nullptr; }

std::vector<std::u16string> ListDirectory(std::u16string_view directory) {
    std::u16string dir = CanonicalObjectName(directory);
    std::vector<std::u16string> out;
    for (auto& [key, entry] : Names()) {
        if (Key(Parent(entry.name)) == Key(dir)) out.push_back(entry.name.substr(entry.name.rfind(u'\\') + 1));
    }
    return out;
}

void ResetObjectNamespace() { Names() = BootNamespace(); }

namespace {
ResetRegistration g_reset(kResetIo, &ResetObjectNamespace);
}  // namespace

}  // namespace harness::io
