// CreateFileA/W, ReadFile, WriteFile, DeviceIoControl, FlushFileBuffers.
#include <vector>

#include "harness/win32/names.h"
#include "harness/win32/requests.h"

namespace tarnlink::win32 {

namespace {

constexpr DWORD kReadData = 0x0001;   // FILE_READ_DATA
constexpr DWORD kWriteData = 0x0002;  // FILE_WRITE_DATA

// What a handle opened with `desired` may do.
DWORD GrantedAccess(DWORD desired) {
    DWORD granted = desired & (kReadData | kWriteData);
    if (desired & (GENERIC_READ | GENERIC_ALL)) granted |= kReadData;
    if (desired & (GENERIC_WRITE | GENERIC_ALL)) granted |= kWriteData;
    return granted;
}

HANDLE CreateFileFromName(std::u16string_view name, DWORD desiredAccess, DWORD creationDisposition,
                          DWORD flagsAndAttributes) {
    if (!machine::Ready()) {
        SetError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    if (creationDisposition < CREATE_NEW || creationDisposition > TRUNCATE_EXISTING) {
        SetError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    std::u16string kernelName;
    DWORD error = ERROR_SUCCESS;
    if (!KernelNameOf(name, &kernelName, &error)) {
        SetError(error);
        return INVALID_HANDLE_VALUE;
    }
    auto file = std::make_shared<FileObject>();
    file->overlapped = (flagsAndAttributes & FILE_FLAG_OVERLAPPED) != 0;
    file->access = GrantedAccess(desiredAccess);
    const machine::Status status = machine::Open(kernelName, !file->overlapped, &file->file);
    if (!IsNtSuccess(status)) {
        SetError(Win32ErrorFromStatus(status));
        return INVALID_HANDLE_VALUE;
    }
    HANDLE handle = InsertHandle(file);
    SetError(ERROR_SUCCESS);
    return handle;
}

// The handle's file, if it grants `access`.
std::shared_ptr<FileObject> FileFor(HANDLE handle, DWORD access) {
    auto file = LookupFile(handle);
    if (file && (file->access & access) != access) {
        SetError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    return file;
}

}  // namespace

}  // namespace tarnlink::win32

using namespace tarnlink::win32;

HANDLE WINAPI CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
    (void)dwShareMode, (void)lpSecurityAttributes, (void)hTemplateFile;
    if (lpFileName == nullptr) {
        SetError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    std::u16string name;
    for (const WCHAR* p = lpFileName; *p; ++p) name += char16_t(*p);
    return CreateFileFromName(name, dwDesiredAccess, dwCreationDisposition, dwFlagsAndAttributes);
}

HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
    (void)dwShareMode, (void)lpSecurityAttributes, (void)hTemplateFile;
    if (lpFileName == nullptr) {
        SetError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    // The ANSI code page is taken as Latin-1: device names are plain ASCII.
    std::u16string name;
    for (const char* p = lpFileName; *p; ++p) name += char16_t(static_cast<unsigned char>(*p));
    return CreateFileFromName(name, dwDesiredAccess, dwCreationDisposition, dwFlagsAndAttributes);
}

BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
                     LPOVERLAPPED lpOverlapped) {
    if (lpNumberOfBytesRead) *lpNumberOfBytesRead = 0;
    auto file = FileFor(hFile, kReadData);
    if (!file) return FALSE;
    if (lpBuffer == nullptr && nNumberOfBytesToRead != 0) {
        SetError(ERROR_NOACCESS);  // the I/O manager's probe of the buffer faults
        return FALSE;
    }
    Call call;
    call.major = machine::Major::Read;
    call.output = lpBuffer;
    call.outputLength = nNumberOfBytesToRead;
    return Issue(file, call, lpNumberOfBytesRead, lpOverlapped);
}

BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPDWORD lpNumberOfBytesWritten,
                      LPOVERLAPPED lpOverlapped) {
    if (lpNumberOfBytesWritten) *lpNumberOfBytesWritten = 0;
    auto file = FileFor(hFile, kWriteData);
    if (!file) return FALSE;
    if (lpBuffer == nullptr && nNumberOfBytesToWrite != 0) {
        SetError(ERROR_NOACCESS);
        return FALSE;
    }
    Call call;
    call.major = machine::Major::Write;
    call.input = lpBuffer;
    call.inputLength = nNumberOfBytesToWrite;
    return Issue(file, call, lpNumberOfBytesWritten, lpOverlapped);
}

BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                            LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned,
                            LPOVERLAPPED lpOverlapped) {
    if (lpBytesReturned) *lpBytesReturned = 0;
    // The code's access bits (14-15): FILE_READ_ACCESS and FILE_WRITE_ACCESS.
    const DWORD required = (dwIoControlCode >> 14) & 3;
    auto file = FileFor(hDevice, required);
    if (!file) return FALSE;
    if (lpOutBuffer == nullptr && nOutBufferSize != 0) {
        SetError(ERROR_NOACCESS);
        return FALSE;
    }
    // A missing input buffer still passes its length, as a system buffer the
    // I/O manager filled with nothing; here with zeros.
    std::vector<uint8_t> blank;
    if (lpInBuffer == nullptr && nInBufferSize != 0) {
        blank.assign(nInBufferSize, 0);
        lpInBuffer = blank.data();
    }
    Call call;
    call.major = machine::Major::DeviceControl;
    call.code = dwIoControlCode;
    call.input = lpInBuffer;
    call.inputLength = nInBufferSize;
    call.output = lpOutBuffer;
    call.outputLength = nOutBufferSize;
    return Issue(file, call, lpBytesReturned, lpOverlapped);
}

BOOL WINAPI FlushFileBuffers(HANDLE hFile) {
    auto file = FileFor(hFile, kWriteData);
    if (!file) return FALSE;
    Call call;
    call.major = machine::Major::Flush;
    call.alwaysWait = true;
    return Issue(file, call, nullptr, nullptr);
}
