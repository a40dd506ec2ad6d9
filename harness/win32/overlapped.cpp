// GetOverlappedResult(Ex), CancelIo, CancelIoEx.
#include <vector>

#include "harness/win32/objects.h"

namespace tarnlink::win32 {

namespace {

ULONG_PTR InternalOf(const OVERLAPPED* overlapped) {
    return __atomic_load_n(&overlapped->Internal, __ATOMIC_ACQUIRE);
}

// Cancels the requests on `handle`'s file that `matches` picks; false if
// there were none.
template <typename Match>
bool CancelMatching(HANDLE handle, Match matches, bool* validHandle) {
    auto file = LookupFile(handle);
    *validHandle = file != nullptr;
    if (!file) return false;
    std::vector<machine::Operation> picked;
    {
        std::lock_guard<std::mutex> hold(ObjectLock());
        for (auto& entry : file->inFlight)
            if (matches(*entry)) picked.push_back(entry->operation);
    }
    if (!picked.empty() && EnterMachine()) {
        for (auto& operation : picked) machine::Cancel(operation);
        LeaveMachine();
    }
    return !picked.empty();
}

}  // namespace

}  // namespace tarnlink::win32

using namespace tarnlink::win32;

BOOL WINAPI GetOverlappedResultEx(HANDLE hFile, LPOVERLAPPED lpOverlapped, LPDWORD lpNumberOfBytesTransferred,
                                  DWORD dwMilliseconds, BOOL bAlertable) {
    (void)bAlertable;  // no APCs are ever queued to a thread of the program
    if (lpOverlapped == nullptr) {
        SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (InternalOf(lpOverlapped) == machine::kStatusPending) {
        if (dwMilliseconds == 0) {
            SetError(ERROR_IO_INCOMPLETE);
            return FALSE;
        }
        // Windows waits on the OVERLAPPED's event, or on the file handle
        // itself when there is none.
        HANDLE event = reinterpret_cast<HANDLE>(reinterpret_cast<uintptr_t>(lpOverlapped->hEvent) & ~uintptr_t(1));
        const DWORD waited = WaitForSingleObject(event ? event : hFile, dwMilliseconds);
        if (waited == WAIT_FAILED) return FALSE;
        if (waited == WAIT_TIMEOUT) {
            SetError(WAIT_TIMEOUT);
            return FALSE;
        }
        // The event was set by someone else while the request is still in flight.
        if (InternalOf(lpOverlapped) == machine::kStatusPending) {
            SetError(ERROR_IO_INCOMPLETE);
            return FALSE;
        }
    }
    // kernel32 stores the count unconditionally once the request is done:
    // a program passing none faults there on Windows; here it is told so.
    if (lpNumberOfBytesTransferred == nullptr) {
        SetError(ERROR_NOACCESS);
        return FALSE;
    }
    const uint32_t status = uint32_t(InternalOf(lpOverlapped));
    *lpNumberOfBytesTransferred = DWORD(lpOverlapped->InternalHigh);
    if (IsNtSuccess(status)) return TRUE;
    SetError(Win32ErrorFromStatus(status));
    return FALSE;
}

BOOL WINAPI GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped, LPDWORD lpNumberOfBytesTransferred,
                                BOOL bWait) {
    const BOOL result = GetOverlappedResultEx(hFile, lpOverlapped, lpNumberOfBytesTransferred,
                                              bWait ? INFINITE : 0, FALSE);
    return result;
}

// Every request on the handle, from any thread, or the one of lpOverlapped;
// it does not wait for them to end. ERROR_NOT_FOUND if there is none.
BOOL WINAPI CancelIoEx(HANDLE hFile, LPOVERLAPPED lpOverlapped) {
    bool valid = false;
    const bool found = CancelMatching(
        hFile, [&](const InFlight& entry) { return lpOverlapped == nullptr || entry.overlapped == lpOverlapped; },
        &valid);
    if (!valid) return FALSE;
    if (!found) {
        SetError(ERROR_NOT_FOUND);
        return FALSE;
    }
    return TRUE;
}

// The calling thread's requests on the handle; succeeds with none too.
BOOL WINAPI CancelIo(HANDLE hFile) {
    bool valid = false;
    const auto self = std::this_thread::get_id();
    CancelMatching(hFile, [&](const InFlight& entry) { return entry.thread == self; }, &valid);
    return valid ? TRUE : FALSE;
}
