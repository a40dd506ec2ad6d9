// The last error, one per thread as on Windows.
#include "harness/win32/objects.h"

namespace tarnlink::win32 {

namespace {
thread_local DWORD t_lastError = ERROR_SUCCESS;
}

void SetError(DWORD error) { t_lastError = error; }

}  // namespace tarnlink::win32

DWORD WINAPI GetLastError(void) { return tarnlink::win32::t_lastError; }

void WINAPI SetLastError(DWORD dwErrCode) { tarnlink::win32::t_lastError = dwErrCode; }
