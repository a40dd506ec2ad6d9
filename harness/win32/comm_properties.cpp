// The port's properties and its configuration record.
//   GetCommProperties: IOCTL_SERIAL_GET_PROPERTIES into the caller's
//                      COMMPROP (SERIAL_COMMPROP has its layout)
//   GetCommConfig:     GetCommState's four codes; the record around the DCB
//                      is filled here (an RS-232 port, no provider data)
//   SetCommConfig:     SetCommState's codes for the record's DCB
//   GetDefaultCommConfig: no device involved: the settings a program set
//                      with SetDefaultCommConfig, else 9600 baud, 8N1
//   SetDefaultCommConfig: no device involved; kept for the process (Windows
//                      keeps it in the port's registry key)
// Windows' comm configuration goes through the port's provider, which for
// a serial port keeps no data of its own; the record is built by the
// library, with the codes above the only traffic to the port.
#include <cctype>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

#include "comm_control.h"

using namespace tarnlink_win32;

namespace {

BOOL Refuse(DWORD error) {
    SetLastError(error);
    return FALSE;
}

// Checks the caller's size; a short buffer fails with
// ERROR_INSUFFICIENT_BUFFER and the size it needs.
BOOL RoomForConfig(LPDWORD size) {
    if (*size >= sizeof(COMMCONFIG)) return TRUE;
    *size = sizeof(COMMCONFIG);
    return Refuse(ERROR_INSUFFICIENT_BUFFER);
}

void FillConfig(const DCB& dcb, LPCOMMCONFIG config, LPDWORD size) {
    *config = COMMCONFIG{};
    config->dwSize = sizeof(COMMCONFIG);
    config->wVersion = 1;
    config->dcb = dcb;
    config->dwProviderSubType = PST_RS232;
    *size = sizeof(COMMCONFIG);
}

// "COM<n>" or "\\.\COM<n>", any case, as "COM<n>"; empty for any other name.
std::string PortName(std::string name) {
    if (name.rfind("\\\\.\\", 0) == 0) name.erase(0, 4);
    if (name.size() < 4 || name[3] == '0') return {};
    for (size_t i = 0; i < 3; ++i) name[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(name[i])));
    if (name.compare(0, 3, "COM") != 0) return {};
    for (size_t i = 3; i < name.size(); ++i)
        if (!std::isdigit(static_cast<unsigned char>(name[i]))) return {};
    return name;
}

// The defaults SetDefaultCommConfig set, by port name.
struct Defaults {
    std::mutex lock;
    std::map<std::string, DCB> byPort;
};

Defaults& SetDefaults() {
    static Defaults defaults;
    return defaults;
}

DCB DefaultDcb() {
    DCB dcb = {};
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = CBR_9600;
    dcb.fBinary = TRUE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    return dcb;
}

BOOL DefaultConfig(const std::string& name, LPCOMMCONFIG config, LPDWORD size) {
    if (!RequireArgument(config) || !RequireArgument(size)) return FALSE;
    const std::string port = PortName(name);
    if (port.empty()) return Refuse(ERROR_INVALID_PARAMETER);
    if (!RoomForConfig(size)) return FALSE;
    DCB dcb = DefaultDcb();
    {
        Defaults& defaults = SetDefaults();
        std::lock_guard<std::mutex> hold(defaults.lock);
        const auto found = defaults.byPort.find(port);
        if (found != defaults.byPort.end()) dcb = found->second;
    }
    FillConfig(dcb, config, size);
    return TRUE;
}

// The record must reach the end of its DCB.
BOOL SetDefaultConfig(const std::string& name, LPCOMMCONFIG config, DWORD size) {
    if (!RequireArgument(config)) return FALSE;
    const std::string port = PortName(name);
    if (port.empty() || size < offsetof(COMMCONFIG, dcb) + sizeof(DCB)) return Refuse(ERROR_INVALID_PARAMETER);
    Defaults& defaults = SetDefaults();
    std::lock_guard<std::mutex> hold(defaults.lock);
    defaults.byPort[port] = config->dcb;
    return TRUE;
}

// A wide name beyond ASCII names no port.
std::string Narrow(LPCWSTR name) {
    std::string narrow;
    for (LPCWSTR c = name; *c != 0; ++c) narrow.push_back(*c < 0x80 ? static_cast<char>(*c) : '?');
    return narrow;
}

}  // namespace

// The buffer given to the port is a COMMPROP, or the larger size in
// wPacketLength when dwProvSpec1 says the caller set it
// (COMMPROP_INITIALIZED), for a provider that appends its own data.
WINBASEAPI BOOL WINAPI GetCommProperties(HANDLE hFile, LPCOMMPROP lpCommProp) {
    if (!RequireArgument(lpCommProp)) return FALSE;
    DWORD length = sizeof(COMMPROP);
    if (lpCommProp->dwProvSpec1 == COMMPROP_INITIALIZED && lpCommProp->wPacketLength > length)
        length = lpCommProp->wPacketLength;
    return CommControl(hFile, IOCTL_SERIAL_GET_PROPERTIES, nullptr, 0, lpCommProp, length);
}

WINBASEAPI BOOL WINAPI GetCommConfig(HANDLE hCommDev, LPCOMMCONFIG lpCC, LPDWORD lpdwSize) {
    if (!RequireArgument(lpCC) || !RequireArgument(lpdwSize)) return FALSE;
    if (!RoomForConfig(lpdwSize)) return FALSE;
    DCB dcb;
    if (!GetCommState(hCommDev, &dcb)) return FALSE;
    FillConfig(dcb, lpCC, lpdwSize);
    return TRUE;
}

// dwSize must cover the record up to the end of its DCB.
WINBASEAPI BOOL WINAPI SetCommConfig(HANDLE hCommDev, LPCOMMCONFIG lpCC, DWORD dwSize) {
    if (!RequireArgument(lpCC)) return FALSE;
    if (dwSize < offsetof(COMMCONFIG, dcb) + sizeof(DCB)) return Refuse(ERROR_INVALID_PARAMETER);
    return SetCommState(hCommDev, &lpCC->dcb);
}

WINBASEAPI BOOL WINAPI GetDefaultCommConfigA(LPCSTR lpszName, LPCOMMCONFIG lpCC, LPDWORD lpdwSize) {
    if (!RequireArgument(lpszName)) return FALSE;
    return DefaultConfig(lpszName, lpCC, lpdwSize);
}

WINBASEAPI BOOL WINAPI GetDefaultCommConfigW(LPCWSTR lpszName, LPCOMMCONFIG lpCC, LPDWORD lpdwSize) {
    if (!RequireArgument(lpszName)) return FALSE;
    return DefaultConfig(Narrow(lpszName), lpCC, lpdwSize);
}

WINBASEAPI BOOL WINAPI SetDefaultCommConfigA(LPCSTR lpszName, LPCOMMCONFIG lpCC, DWORD dwSize) {
    if (!RequireArgument(lpszName)) return FALSE;
    return SetDefaultConfig(lpszName, lpCC, dwSize);
}

WINBASEAPI BOOL WINAPI SetDefaultCommConfigW(LPCWSTR lpszName, LPCOMMCONFIG lpCC, DWORD dwSize) {
    if (!RequireArgument(lpszName)) return FALSE;
    return SetDefaultConfig(Narrow(lpszName), lpCC, dwSize);
}
