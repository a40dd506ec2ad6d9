// The registry of the emulated kernel: a tree of keys (names compared
// without regard to case, kept as first written) holding typed values.
//
// After reset the tree holds the system keys a driver expects:
//   \Registry\Machine\System\CurrentControlSet\Services
//   \Registry\Machine\System\CurrentControlSet\Enum
//   \Registry\Machine\System\CurrentControlSet\Control\Class
//   \Registry\Machine\Hardware\DeviceMap
//   \Registry\Machine\Software\Microsoft\Windows NT\CurrentVersion
//   \Registry\User\CurrentUser
//
// Drivers reach it through RtlQueryRegistryValues and the other Rtl*Registry*
// routines, the Zw*Key routines and IoOpenDeviceRegistryKey. Tests and the
// demo set it up and inspect it with the host-side API below, which takes
// absolute paths ("\\Registry\\Machine\\...") in UTF-8 or UTF-16.
//
// Verifier checks:
//   IRQL_NOT_LESS_OR_EQUAL  a registry routine called above PASSIVE_LEVEL
//   INVALID_HANDLE          a key handle that is not open (closed twice,
//                           never opened) passed to ZwClose or another routine
//   HANDLE_LEAK             a key handle still open at the end of a test, or
//                           at CheckHandleLeaks (the key path is named)
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "harness/kernel/text.h"
#include "harness/km/io.h"

namespace harness::registry {

struct Value {
    ULONG type = REG_NONE;
    std::vector<std::uint8_t> data;
};

struct NamedValue {
    std::u16string name;
    ULONG type = REG_NONE;
    std::vector<std::uint8_t> data;
};

// --- Keys -----------------------------------------------------------------------
// Creates the key and any missing key above it. False if the path is not a
// well-formed "\Registry\..." path.
bool CreateKey(TextArg path);
// Deletes the key with everything below it. Handles still open on it stay
// valid handles, but their key is gone (the Zw routines then fail).
bool DeleteKey(TextArg path);
bool KeyExists(TextArg path);
// Names of the subkeys, in creation order.
std::vector<std::u16string> ListSubkeys(TextArg path);

// --- Values ---------------------------------------------------------------------
// The Set* functions create the key if it is missing.
void SetValue(TextArg path, TextArg name, ULONG type, std::vector<std::uint8_t> data);
// REG_SZ, stored with its terminator as Windows stores it.
void SetString(TextArg path, TextArg name, std::u16string_view text);
void SetDword(TextArg path, TextArg name, ULONG value);
// REG_MULTI_SZ: each string with its terminator, then a final terminator.
void SetMultiString(TextArg path, TextArg name, const std::vector<std::u16string>& strings);
std::optional<Value> GetValue(TextArg path, TextArg name);
// A REG_SZ or REG_EXPAND_SZ value up to its terminator.
std::optional<std::u16string> GetString(TextArg path, TextArg name);
// A REG_DWORD value.
std::optional<ULONG> GetDword(TextArg path, TextArg name);
bool DeleteValue(TextArg path, TextArg name);
// Values of a key in the order they were first written.
std::vector<NamedValue> ListValues(TextArg path);
// Values to be written later (a plug description's hardware key): REG_SZ
// with its terminator, and REG_DWORD.
NamedValue StringValue(std::u16string_view name, std::u16string_view text);
NamedValue DwordValue(std::u16string_view name, ULONG value);

// --- Well-known paths -------------------------------------------------------------
// "\Registry\Machine\System\CurrentControlSet\Services\<serviceName>"
std::u16string ServiceKeyPath(std::u16string_view serviceName);
// "\Registry\Machine\System\CurrentControlSet\Enum\<instancePath>\Device Parameters"
std::u16string DeviceParametersPath(std::u16string_view instancePath);
// "\Registry\Machine\Hardware\DeviceMap\SERIALCOMM"
std::u16string SerialCommPath();

// --- Devices ----------------------------------------------------------------------
// The Plug and Play manager binds a physical device object to its instance
// path ("USB\VID_1A2B&PID_0042\5&1234&0&1") so that IoOpenDeviceRegistryKey
// can find the device's keys. The driver key of the n-th device bound since
// reset is "...\Control\Class\{4d36e978-e325-11ce-bfc1-08002be10318}\000n".
void BindDeviceInstance(PDEVICE_OBJECT pdo, std::u16string instancePath);
void UnbindDeviceInstance(PDEVICE_OBJECT pdo);
// The hardware key path IoOpenDeviceRegistryKey(PLUGPLAY_REGKEY_DEVICE)
// opens for a bound device; empty if the device is not bound.
std::u16string DeviceKeyPath(PDEVICE_OBJECT pdo);
// The PLUGPLAY_REGKEY_DRIVER key path of a bound device; empty if not bound.
std::u16string DriverKeyPath(PDEVICE_OBJECT pdo);

// --- Handles ----------------------------------------------------------------------
// Key handles open now.
std::size_t OpenHandleCount();
// Paths of the keys behind the open handles.
std::vector<std::u16string> OpenHandlePaths();
// Reports HANDLE_LEAK, naming `routine`, for every key handle open now and
// not yet reported; returns how many are open. Reported handles stay open
// (and are not reported again at the end of the test).
std::size_t CheckHandleLeaks(const char* routine);

// The key and everything below it as indented text, for the demo.
std::string Dump(TextArg path);

}  // namespace harness::registry
