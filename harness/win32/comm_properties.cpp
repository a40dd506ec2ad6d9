// The port's properties and its configuration record.
//   GetCommProperties: IOCTL_SERIAL_GET_PROPERTIES into the caller's
//                      COMMPROP (SERIAL_COMMPROP has its layout)
//   GetCommConfig:     GetCommState's four codes; the record around the DCB
//                      is filled here (an RS-232 port, no provider data)
//   SetCommConfig:     SetCommState's codes for the record's DCB
//   GetDefaultCommConfig: no device involved: the settings a port is
//                      given when nothing else is known, 9600 baud, 8N1
// Windows' comm configuration goes through the port's provider, which for
// a serial port keeps no data of its own; the record is built by the
// library, with the codes above the only traffic to the port.
#include <cctype>
#include <cstring>
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

// "COM<n>" or "\\.\COM<n>", any case.
bool IsPortName(std::string name) {
    if (name.rfind("\\\\.\\", 0) == 0) name.erase(0, 4);
    if (name.size() < 4) return false;
    for (size_t i = 0; i < 3; ++i) name[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(name[i])));
    if (name.compare(0, 3, "COM") != 0) return false;
    for (size_t i = 3; i < name.size(); ++i)
        if (!std::isdigit(static_cast<unsigned char>(name[i]))) return false;
    return name[3] != '0';
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
    if (!IsPortName(name)) return Refuse(ERROR_INVALID_PARAMETER);
    if (!RoomForConfig(size)) return FALSE;
    FillConfig(DefaultDcb(), config, size);
    return TRUE;
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

// A name with characters beyond ASCII names no port.
WINBASEAPI BOOL WINAPI GetDefaultCommConfigW(LPCWSTR lpszName, LPCOMMCONFIG lpCC, LPDWORD lpdwSize) {
    if (!RequireArgument(lpszName)) return FALSE;
    std::string name;
    for (LPCWSTR c = lpszName; *c != 0; ++c) name.push_back(*c < 0x80 ? static_cast<char>(*c) : '?');
    return DefaultConfig(name, lpCC, lpdwSize);
}
