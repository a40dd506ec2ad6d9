// The registry's key tree, its handle table, the device bindings, and the
// host-side API that tests and the demo use to set it up and inspect it.
#include "harness/kernel/registry.h"

#include <cstdio>
#include <cstring>
#include <map>
#include <set>

#include "harness/kernel/kernel.h"
#include "harness/kernel/registry_tree.h"
#include "harness/kernel/verifier.h"

namespace harness::registry {
namespace {

constexpr char16_t kMachineSystem[] = u"\\Registry\\Machine\\System\\CurrentControlSet";
// The device setup class of serial and parallel ports.
constexpr char16_t kPortsClass[] = u"{4d36e978-e325-11ce-bfc1-08002be10318}";
// Kernel handles have the top bit set (sign-extended on x64); the emulation
// numbers them from here.
constexpr std::uintptr_t kFirstHandle =
    static_cast<std::uintptr_t>(sizeof(void*) == 8 ? 0xFFFFFFFF80000004ull : 0x80000004ull);

constexpr ACCESS_MASK kGenericRead = 0x80000000u;
constexpr ACCESS_MASK kGenericWrite = 0x40000000u;
constexpr ACCESS_MASK kGenericExecute = 0x20000000u;
constexpr ACCESS_MASK kGenericAll = 0x10000000u;

struct Binding {
    std::u16string instancePath;
    unsigned driverKeyIndex;
};

struct RegistryState {
    tree::KeyPtr root = std::make_shared<tree::Key>();
    std::map<std::uintptr_t, tree::OpenKey> handles;
    std::set<std::uintptr_t> closedHandles;
    std::uintptr_t nextHandle = kFirstHandle;
    std::map<PDEVICE_OBJECT, Binding> bindings;
    unsigned nextDriverKeyIndex = 0;
};

RegistryState& State() {
    static RegistryState state;
    return state;
}

std::string Hex(const void* p) {
    char text[32];
    std::snprintf(text, sizeof text, "%p", p);
    return text;
}

void CreateSystemKeys() {
    for (const char16_t* path : {u"\\Registry\\Machine\\System\\CurrentControlSet\\Services",
                                 u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum",
                                 u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class",
                                 u"\\Registry\\Machine\\Hardware\\DeviceMap",
                                 u"\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion",
                                 u"\\Registry\\User\\CurrentUser"}) {
        CreateKey(path);
    }
}

void Reset() {
    State() = RegistryState{};
    CreateSystemKeys();
}

std::size_t ReportHandleLeaks(const char* routine) {
    std::size_t open = 0;
    for (auto& [value, entry] : State().handles) {
        ++open;
        if (entry.leakReported) continue;
        entry.leakReported = true;
        BugCheck("HANDLE_LEAK", routine,
                 "key handle " + Hex(reinterpret_cast<void*>(value)) + " to " + ToUtf8(entry.path) +
                     " is still open; every ZwOpenKey, ZwCreateKey and IoOpenDeviceRegistryKey needs its ZwClose");
    }
    return open;
}

void QuiesceCheck() { ReportHandleLeaks("VerifyQuiescent"); }

ResetRegistration reset(kResetRegistry, &Reset);
QuiesceCheckRegistration quiesce(&QuiesceCheck);

// The registry holds the system keys even before the first reset.
struct InitialKeys {
    InitialKeys() { CreateSystemKeys(); }
} initialKeys;

tree::KeyPtr FindKey(TextArg path) { return tree::FindAbsolute(path); }

tree::KeyPtr CreateWholePath(TextArg path) {
    std::vector<std::u16string> names;
    if (!tree::SplitPath(path, true, &names)) return nullptr;
    tree::KeyPtr key;
    if (!NT_SUCCESS(tree::OpenPath(tree::Root(), names, tree::Create::WholePath, &key))) return nullptr;
    return key;
}

std::string Printable(const NamedValue& v) {
    auto text = [&](std::size_t from, std::size_t to) {
        std::u16string s;
        for (std::size_t i = from; i + 1 < to; i += 2) {
            const char16_t c = static_cast<char16_t>(v.data[i] | (v.data[i + 1] << 8));
            if (c == 0) break;
            s.push_back(c);
        }
        return s;
    };
    char buffer[64];
    switch (v.type) {
        case REG_SZ:
        case REG_EXPAND_SZ:
            return std::string(v.type == REG_SZ ? "REG_SZ" : "REG_EXPAND_SZ") + " \"" +
                   ToUtf8(text(0, v.data.size())) + "\"";
        case REG_DWORD:
            if (v.data.size() == 4) {
                ULONG d;
                std::memcpy(&d, v.data.data(), 4);
                std::snprintf(buffer, sizeof buffer, "REG_DWORD 0x%08x (%u)", d, d);
                return buffer;
            }
            break;
        case REG_MULTI_SZ: {
            std::string out = "REG_MULTI_SZ";
            std::size_t i = 0;
            while (i + 1 < v.data.size()) {
                std::u16string s = text(i, v.data.size());
                if (s.empty()) break;
                out += " \"" + ToUtf8(s) + "\"";
                i += (s.size() + 1) * 2;
            }
            return out;
        }
        default: break;
    }
    if (v.type == REG_BINARY)
        std::snprintf(buffer, sizeof buffer, "REG_BINARY");
    else
        std::snprintf(buffer, sizeof buffer, "type %u,", v.type);
    std::string out = buffer;
    for (std::uint8_t b : v.data) {
        std::snprintf(buffer, sizeof buffer, " %02x", b);
        out += buffer;
    }
    return out;
}

void DumpKey(const tree::Key& key, int depth, std::string* out) {
    const std::string indent(static_cast<std::size_t>(depth) * 2, ' ');
    *out += indent + ToUtf8(key.name) + "\n";
    for (const NamedValue& v : key.values)
        *out += indent + "  " + (v.name.empty() ? "(default)" : ToUtf8(v.name)) + " = " + Printable(v) + "\n";
    for (const auto& sub : key.subkeys) DumpKey(*sub, depth + 1, out);
}

}  // namespace

// --- The tree -------------------------------------------------------------------

namespace tree {

bool SplitPath(std::u16string_view path, bool absolute, std::vector<std::u16string>* names) {
    names->clear();
    if (absolute) {
        if (path.empty() || path.front() != u'\\') return false;
        path.remove_prefix(1);
    } else if (!path.empty() && path.front() == u'\\') {
        return false;
    }
    if (!path.empty() && path.back() == u'\\') path.remove_suffix(1);
    if (path.empty()) return true;
    std::size_t start = 0;
    while (true) {
        const std::size_t end = path.find(u'\\', start);
        const std::u16string_view name = path.substr(start, end == std::u16string_view::npos ? end : end - start);
        if (name.empty()) return false;
        names->emplace_back(name);
        if (end == std::u16string_view::npos) return true;
        start = end + 1;
    }
}

const KeyPtr& Root() { return State().root; }

std::u16string PathOf(const Key& key) {
    std::vector<const Key*> chain;
    for (const Key* k = &key; k != nullptr && k->parent != nullptr; k = k->parent) chain.push_back(k);
    std::u16string path;
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) path += u"\\" + (*it)->name;
    return path.empty() ? u"\\" : path;
}

KeyPtr FindSubkey(const Key& key, std::u16string_view name) {
    for (const auto& sub : key.subkeys)
        if (EqualNoCase(sub->name, name)) return sub;
    return nullptr;
}

KeyPtr Walk(const KeyPtr& from, const std::vector<std::u16string>& names) {
    KeyPtr key = from;
    for (const auto& name : names) {
        if (!key) return nullptr;
        key = FindSubkey(*key, name);
    }
    return key;
}

KeyPtr FindAbsolute(std::u16string_view path) {
    std::vector<std::u16string> names;
    if (!SplitPath(path, true, &names)) return nullptr;
    return Walk(Root(), names);
}

NTSTATUS OpenPath(const KeyPtr& from, const std::vector<std::u16string>& names, Create create, KeyPtr* key,
                  bool* created) {
    if (created != nullptr) *created = false;
    if (!from || from->deleted) return STATUS_OBJECT_NAME_NOT_FOUND;
    KeyPtr current = from;
    for (std::size_t i = 0; i < names.size(); ++i) {
        KeyPtr next = FindSubkey(*current, names[i]);
        if (!next) {
            const bool last = i + 1 == names.size();
            if (create == Create::None || (create == Create::LastKey && !last)) return STATUS_OBJECT_NAME_NOT_FOUND;
            next = std::make_shared<Key>();
            next->name = names[i];
            next->parent = current.get();
            current->subkeys.push_back(next);
            if (last && created != nullptr) *created = true;
        }
        current = next;
    }
    *key = current;
    return STATUS_SUCCESS;
}

NamedValue* FindValue(Key& key, std::u16string_view name) {
    for (NamedValue& v : key.values)
        if (EqualNoCase(v.name, name)) return &v;
    return nullptr;
}

void SetValue(Key& key, std::u16string_view name, ULONG type, const void* data, std::size_t size) {
    NamedValue* v = FindValue(key, name);
    if (v == nullptr) {
        key.values.push_back(NamedValue{std::u16string(name), type, {}});
        v = &key.values.back();
    }
    v->type = type;
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    v->data.assign(bytes, bytes + (data == nullptr ? 0 : size));
}

bool DeleteValue(Key& key, std::u16string_view name) {
    for (auto it = key.values.begin(); it != key.values.end(); ++it) {
        if (EqualNoCase(it->name, name)) {
            key.values.erase(it);
            return true;
        }
    }
    return false;
}

namespace {

void MarkDeleted(Key& key) {
    key.deleted = true;
    for (auto& sub : key.subkeys) {
        MarkDeleted(*sub);
        sub->parent = nullptr;
    }
    key.subkeys.clear();
    key.values.clear();
}

}  // namespace

void DeleteKey(const KeyPtr& key) {
    if (key->parent != nullptr) {
        auto& siblings = key->parent->subkeys;
        for (auto it = siblings.begin(); it != siblings.end(); ++it) {
            if (it->get() == key.get()) {
                siblings.erase(it);
                break;
            }
        }
        key->parent = nullptr;
    }
    MarkDeleted(*key);
}

HANDLE NewHandle(const KeyPtr& key, ACCESS_MASK desiredAccess) {
    ACCESS_MASK access = desiredAccess & ~(kGenericRead | kGenericWrite | kGenericExecute | kGenericAll);
    if (desiredAccess & (kGenericRead | kGenericExecute)) access |= KEY_READ;
    if (desiredAccess & kGenericWrite) access |= KEY_WRITE;
    if (desiredAccess & (kGenericAll | MAXIMUM_ALLOWED)) access |= KEY_ALL_ACCESS;
    const std::uintptr_t value = State().nextHandle;
    State().nextHandle += 4;
    State().handles[value] = OpenKey{key, access, PathOf(*key), false};
    return reinterpret_cast<HANDLE>(value);
}

OpenKey* LookupHandle(HANDLE handle, const char* routine) {
    const auto value = reinterpret_cast<std::uintptr_t>(handle);
    auto it = State().handles.find(value);
    if (it != State().handles.end()) return &it->second;
    BugCheck("INVALID_HANDLE", routine,
             "handle " + Hex(handle) +
                 (State().closedHandles.count(value) != 0 ? " was already closed" : " is not an open key handle"));
    return nullptr;
}

bool CloseHandle(HANDLE handle) {
    const auto value = reinterpret_cast<std::uintptr_t>(handle);
    if (State().handles.erase(value) == 0) return false;
    State().closedHandles.insert(value);
    return true;
}

bool CheckPassive(const char* routine) {
    const KIRQL irql = KeGetCurrentIrql();
    if (irql == PASSIVE_LEVEL) return true;
    BugCheck("IRQL_NOT_LESS_OR_EQUAL", routine,
             "registry routine called at IRQL " + std::to_string(irql) + "; it may only be called at PASSIVE_LEVEL");
    return false;
}

std::u16string_view View(PCUNICODE_STRING s) {
    if (s == nullptr || s->Buffer == nullptr) return {};
    return std::u16string_view(s->Buffer, s->Length / sizeof(WCHAR));
}

}  // namespace tree

// --- Host-side API ------------------------------------------------------------------

bool CreateKey(TextArg path) { return CreateWholePath(path) != nullptr; }

bool DeleteKey(TextArg path) {
    tree::KeyPtr key = FindKey(path);
    if (!key || key == tree::Root()) return false;
    tree::DeleteKey(key);
    return true;
}

bool KeyExists(TextArg path) { return FindKey(path) != nullptr; }

std::vector<std::u16string> ListSubkeys(TextArg path) {
    std::vector<std::u16string> names;
    if (tree::KeyPtr key = FindKey(path))
        for (const auto& sub : key->subkeys) names.push_back(sub->name);
    return names;
}

void SetValue(TextArg path, TextArg name, ULONG type, std::vector<std::uint8_t> data) {
    if (tree::KeyPtr key = CreateWholePath(path)) tree::SetValue(*key, name, type, data.data(), data.size());
}

void SetString(TextArg path, TextArg name, std::u16string_view text) {
    std::u16string terminated(text);
    terminated.push_back(0);
    if (tree::KeyPtr key = CreateWholePath(path))
        tree::SetValue(*key, name, REG_SZ, terminated.data(), terminated.size() * sizeof(char16_t));
}

NamedValue StringValue(std::u16string_view name, std::u16string_view text) {
    NamedValue value{std::u16string(name), REG_SZ, {}};
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
    value.data.assign(bytes, bytes + text.size() * sizeof(char16_t));
    value.data.insert(value.data.end(), sizeof(char16_t), 0);
    return value;
}

NamedValue DwordValue(std::u16string_view name, ULONG dword) {
    NamedValue value{std::u16string(name), REG_DWORD, {}};
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(&dword);
    value.data.assign(bytes, bytes + sizeof dword);
    return value;
}

void SetDword(TextArg path, TextArg name, ULONG value) {
    if (tree::KeyPtr key = CreateWholePath(path)) tree::SetValue(*key, name, REG_DWORD, &value, sizeof value);
}

void SetMultiString(TextArg path, TextArg name, const std::vector<std::u16string>& strings) {
    std::u16string data;
    for (const auto& s : strings) {
        data += s;
        data.push_back(0);
    }
    data.push_back(0);
    if (tree::KeyPtr key = CreateWholePath(path))
        tree::SetValue(*key, name, REG_MULTI_SZ, data.data(), data.size() * sizeof(char16_t));
}

std::optional<Value> GetValue(TextArg path, TextArg name) {
    tree::KeyPtr key = FindKey(path);
    if (!key) return std::nullopt;
    const NamedValue* v = tree::FindValue(*key, name);
    if (v == nullptr) return std::nullopt;
    return Value{v->type, v->data};
}

std::optional<std::u16string> GetString(TextArg path, TextArg name) {
    auto v = GetValue(path, name);
    if (!v || (v->type != REG_SZ && v->type != REG_EXPAND_SZ)) return std::nullopt;
    std::u16string text;
    for (std::size_t i = 0; i + 1 < v->data.size(); i += 2) {
        const char16_t c = static_cast<char16_t>(v->data[i] | (v->data[i + 1] << 8));
        if (c == 0) break;
        text.push_back(c);
    }
    return text;
}

std::optional<ULONG> GetDword(TextArg path, TextArg name) {
    auto v = GetValue(path, name);
    if (!v || v->type != REG_DWORD || v->data.size() != sizeof(ULONG)) return std::nullopt;
    ULONG value;
    std::memcpy(&value, v->data.data(), sizeof value);
    return value;
}

bool DeleteValue(TextArg path, TextArg name) {
    tree::KeyPtr key = FindKey(path);
    return key && tree::DeleteValue(*key, name);
}

std::vector<NamedValue> ListValues(TextArg path) {
    tree::KeyPtr key = FindKey(path);
    return key ? key->values : std::vector<NamedValue>{};
}

std::u16string ServiceKeyPath(std::u16string_view serviceName) {
    return std::u16string(kMachineSystem) + u"\\Services\\" + std::u16string(serviceName);
}

std::u16string DeviceParametersPath(std::u16string_view instancePath) {
    return std::u16string(kMachineSystem) + u"\\Enum\\" + std::u16string(instancePath) + u"\\Device Parameters";
}

std::u16string SerialCommPath() { return u"\\Registry\\Machine\\Hardware\\DeviceMap\\SERIALCOMM"; }

void BindDeviceInstance(PDEVICE_OBJECT pdo, std::u16string instancePath) {
    auto it = State().bindings.find(pdo);
    if (it != State().bindings.end()) {
        it->second.instancePath = std::move(instancePath);
        return;
    }
    State().bindings[pdo] = Binding{std::move(instancePath), State().nextDriverKeyIndex++};
}

void UnbindDeviceInstance(PDEVICE_OBJECT pdo) { State().bindings.erase(pdo); }

std::u16string DeviceKeyPath(PDEVICE_OBJECT pdo) {
    auto it = State().bindings.find(pdo);
    return it == State().bindings.end() ? std::u16string() : DeviceParametersPath(it->second.instancePath);
}

std::u16string DriverKeyPath(PDEVICE_OBJECT pdo) {
    auto it = State().bindings.find(pdo);
    if (it == State().bindings.end()) return {};
    char index[16];
    std::snprintf(index, sizeof index, "%04u", it->second.driverKeyIndex);
    return std::u16string(kMachineSystem) + u"\\Control\\Class\\" + kPortsClass + u"\\" + ToUtf16(index);
}

std::size_t OpenHandleCount() { return State().handles.size(); }

std::vector<std::u16string> OpenHandlePaths() {
    std::vector<std::u16string> paths;
    for (const auto& [value, entry] : State().handles) paths.push_back(entry.path);
    return paths;
}

std::size_t CheckHandleLeaks(const char* routine) { return ReportHandleLeaks(routine); }

std::string Dump(TextArg path) {
    tree::KeyPtr key = FindKey(path);
    if (!key) return ToUtf8(path.str()) + " (no such key)\n";
    std::string out;
    DumpKey(*key, 0, &out);
    return out;
}

}  // namespace harness::registry
