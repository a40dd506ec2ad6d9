// One I/O call of a program on a port (requests.cpp): what ReadFile,
// WriteFile, DeviceIoControl and FlushFileBuffers share.
#pragma once

#include "harness/win32/objects.h"

namespace tarnlink::win32 {

struct Call {
    machine::Major major = machine::Major::Read;
    uint32_t code = 0;
    const void* input = nullptr;
    uint32_t inputLength = 0;
    void* output = nullptr;  // where the driver's output lands
    uint32_t outputLength = 0;
    bool alwaysWait = false;  // waits even on an overlapped handle (flush)
};

// Issues `call` on `file` as kernel32 does:
//   synchronous handle   waits for the request; TRUE with the count on
//                        success, FALSE with the error otherwise (a warning
//                        such as STATUS_BUFFER_OVERFLOW fails with the count)
//                        (and then a count: ERROR_NOACCESS without one,
//                        where Windows' kernel32 faults storing it)
//   overlapped handle    needs an OVERLAPPED (else ERROR_INVALID_PARAMETER);
//                        its event is reset and Internal set to STATUS_PENDING
//                        before the request goes out; FALSE with
//                        ERROR_IO_PENDING while in flight, else as above
// On completion the output is copied, InternalHigh then Internal written,
// then the OVERLAPPED's event and the file's own signal set, in that order.
// A request that fails without having been pending leaves the OVERLAPPED
// and its event alone, as the I/O manager does.
BOOL Issue(const std::shared_ptr<FileObject>& file, const Call& call, LPDWORD count, LPOVERLAPPED overlapped);

}  // namespace tarnlink::win32
