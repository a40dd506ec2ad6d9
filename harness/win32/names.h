// Win32 file names to kernel object names (names.cpp).
#pragma once

#include <string>
#include <string_view>

#include <windows.h>

namespace tarnlink::win32 {

// The kernel name CreateFile opens for `name`, as RtlDosPathNameToNtPathName
// forms it, or false with the Win32 error for a name that names no device.
bool KernelNameOf(std::u16string_view name, std::u16string* kernelName, DWORD* error);

}  // namespace tarnlink::win32
