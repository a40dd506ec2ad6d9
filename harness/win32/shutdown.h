// What the machine's shutdown asks of the Win32 side (handles.cpp): close
// every handle still open, as process exit closes them on Windows.
#pragma once

namespace tarnlink::win32 {

void CloseEveryHandle();

}  // namespace tarnlink::win32
