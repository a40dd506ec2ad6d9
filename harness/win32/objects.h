// The library's kernel objects and its handle table (handles.cpp), as the
// Win32 functions use them.
//
// One lock, ObjectLock(), guards every object's state (signal state, the
// requests in flight on a file) and the table; ObjectsChanged() is notified
// whenever an object is signalled or a request finishes. The lock is never
// held while the machine is called (a request sent, a port opened or
// closed, the machine run): completions arrive on the machine's threads
// and take it themselves.
#pragma once

#include <windows.h>

#include <condition_variable>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

#include "harness/win32/machine.h"

namespace tarnlink::win32 {

std::mutex& ObjectLock();
std::condition_variable& ObjectsChanged();

struct Object {
    enum class Kind { Event, File };
    explicit Object(Kind k) : kind(k) {}
    virtual ~Object() = default;
    const Kind kind;
    bool signalled = false;
    bool manualReset = true;
};

struct EventObject final : Object {
    EventObject() : Object(Kind::Event) {}
};

// A request in flight on a file, for CancelIo and CancelIoEx.
struct InFlight {
    machine::Operation operation;
    LPOVERLAPPED overlapped = nullptr;  // null: a synchronous call waits for it
    std::thread::id thread;             // the thread that issued it
};

// An open port. Signalled when a request on it completes, reset when one
// starts, as Windows does with a file object's own event.
struct FileObject final : Object {
    FileObject() : Object(Kind::File) {}
    machine::File file = nullptr;
    bool overlapped = false;  // opened with FILE_FLAG_OVERLAPPED
    DWORD access = 0;         // GENERIC_READ / GENERIC_WRITE granted
    std::list<std::shared_ptr<InFlight>> inFlight;
    // A handle opened without FILE_FLAG_OVERLAPPED serves one call at a
    // time: the I/O manager serialises requests on a synchronous file
    // object, so a second thread's call waits until the first one ends.
    bool busy = false;
};

// --- The handle table (handles.cpp) ---------------------------------------------------
// Handles look like Windows': multiples of 4, never 0 or INVALID_HANDLE_VALUE.
HANDLE InsertHandle(std::shared_ptr<Object> object);
// The object of an open handle, or null (then ERROR_INVALID_HANDLE is set).
std::shared_ptr<Object> LookupHandle(HANDLE handle);
std::shared_ptr<EventObject> LookupEvent(HANDLE handle);
std::shared_ptr<FileObject> LookupFile(HANDLE handle);

// --- Program threads inside the machine (handles.cpp) ------------------------------------
// A program thread's call into the machine (a request sent or cancelled, a
// port closed) is bracketed by these; EnterMachine refuses (false) once the
// shutdown has begun, which waits for the calls inside to return first.
bool EnterMachine();
void LeaveMachine();

// --- Signals and waits (waits.cpp) ------------------------------------------------------
// With ObjectLock() held: signals `object` and wakes waiters.
void SignalLocked(Object& object);
// Waits until `ready` (called with ObjectLock() held; it may consume what it
// waits for) returns true or `milliseconds` pass (INFINITE: no limit). In
// virtual time the machine runs meanwhile. Returns what `ready` last said.
bool WaitUntil(const std::function<bool()>& ready, DWORD milliseconds);

// --- Errors (last_error.cpp, status_to_error.cpp) -----------------------------------------
void SetError(DWORD error);
// The Win32 error code Windows reports for an NTSTATUS (RtlNtStatusToDosError).
DWORD Win32ErrorFromStatus(uint32_t status);

inline bool IsNtSuccess(uint32_t status) { return int32_t(status) >= 0; }
inline bool IsNtError(uint32_t status) { return (status >> 30) == 3; }

}  // namespace tarnlink::win32
