// Win32 names as Windows turns them into kernel names:
//   \\.\X and \\?\X            \??\X (the caller's DOS devices, \DosDevices)
//   \\.\GLOBALROOT\Device\X    \Device\X (GLOBALROOT is the root of the namespace)
//   COM1 .. COM9               \??\COMn: DOS device names in any directory,
//                              any case, with or without a trailing colon
//   \??\X                      passed as it is
// Anything else is a file system path ("COM10" is a file named COM10 in the
// current directory); the library serves no file system, so those are not
// found.
#include "harness/win32/names.h"

namespace tarnlink::win32 {

namespace {

char16_t Upper(char16_t c) { return (c >= u'a' && c <= u'z') ? char16_t(c - u'a' + u'A') : c; }

bool StartsWithNoCase(std::u16string_view s, std::u16string_view prefix) {
    if (s.size() < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i)
        if (Upper(s[i]) != Upper(prefix[i])) return false;
    return true;
}

// "COM1".."COM9", optionally followed by a colon.
bool IsDosComDevice(std::u16string_view name) {
    if (!name.empty() && name.back() == u':') name.remove_suffix(1);
    return name.size() == 4 && StartsWithNoCase(name, u"COM") && name[3] >= u'1' && name[3] <= u'9';
}

}  // namespace

bool KernelNameOf(std::u16string_view name, std::u16string* kernelName, DWORD* error) {
    if (name.empty()) {
        *error = ERROR_PATH_NOT_FOUND;
        return false;
    }
    if (name.starts_with(u"\\\\.\\") || name.starts_with(u"\\\\?\\")) {
        std::u16string_view rest = name.substr(4);
        if (rest.empty()) {
            *error = ERROR_PATH_NOT_FOUND;
            return false;
        }
        if (StartsWithNoCase(rest, u"GLOBALROOT\\")) {
            *kernelName = std::u16string(rest.substr(10));
            return true;
        }
        *kernelName = u"\\??\\" + std::u16string(rest);
        return true;
    }
    if (name.starts_with(u"\\??\\")) {
        *kernelName = std::u16string(name);
        return true;
    }
    if (IsDosComDevice(name)) {
        std::u16string device(name.substr(0, 4));
        for (auto& c : device) c = Upper(c);
        *kernelName = u"\\??\\" + device;
        return true;
    }
    *error = ERROR_FILE_NOT_FOUND;
    return false;
}

}  // namespace tarnlink::win32
