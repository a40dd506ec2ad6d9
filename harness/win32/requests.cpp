#include "harness/win32/requests.h"

#include <algorithm>
#include <cstring>

namespace tarnlink::win32 {

namespace {

// What the completion left for the issuing thread.
struct CallState {
    bool done = false;
    uint32_t status = machine::kStatusPending;
    uint64_t information = 0;
};

// The event an OVERLAPPED names; its low bit is a flag for completion
// ports, not part of the handle.
HANDLE EventHandleOf(const OVERLAPPED* overlapped) {
    return reinterpret_cast<HANDLE>(reinterpret_cast<uintptr_t>(overlapped->hEvent) & ~uintptr_t(1));
}

BOOL Result(uint32_t status, uint64_t information, LPDWORD count) {
    if (IsNtError(status)) {
        SetError(Win32ErrorFromStatus(status));
        return FALSE;
    }
    if (count) *count = DWORD(information);
    if (IsNtSuccess(status)) return TRUE;
    SetError(Win32ErrorFromStatus(status));  // a warning: the call fails, with the count
    return FALSE;
}

void Completed(const machine::Outcome& outcome, const Call& call, const std::shared_ptr<FileObject>& file,
               const std::shared_ptr<InFlight>& entry, const std::shared_ptr<EventObject>& event,
               LPOVERLAPPED overlapped, const std::shared_ptr<CallState>& state) {
    if (call.output && outcome.output && !outcome.output->empty())
        std::memcpy(call.output, outcome.output->data(), std::min<size_t>(outcome.output->size(), call.outputLength));
    const bool report = !IsNtError(outcome.status) || outcome.pendingReturned;
    std::lock_guard<std::mutex> hold(ObjectLock());
    file->inFlight.remove(entry);
    state->done = true;
    state->status = outcome.status;
    state->information = outcome.information;
    if (report) {
        if (overlapped) {
            overlapped->InternalHigh = ULONG_PTR(outcome.information);
            __atomic_store_n(&overlapped->Internal, ULONG_PTR(outcome.status), __ATOMIC_RELEASE);
        }
        if (event) SignalLocked(*event);
        SignalLocked(*file);
    }
    ObjectsChanged().notify_all();
}

void Release(FileObject& file) {
    std::lock_guard<std::mutex> hold(ObjectLock());
    file.busy = false;
    ObjectsChanged().notify_all();
}

}  // namespace

BOOL Issue(const std::shared_ptr<FileObject>& file, const Call& call, LPDWORD count, LPOVERLAPPED overlapped) {
    if (count) *count = 0;
    if (file->overlapped && overlapped == nullptr && !call.alwaysWait) {
        SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // Without an OVERLAPPED kernel32 stores the count through the pointer
    // it was given, null or not: on Windows the program faults there. Here
    // the call fails with that fault's error before anything is sent, so
    // that no data is taken from the port or put on the line for nothing.
    if (overlapped == nullptr && count == nullptr && !call.alwaysWait) {
        SetError(ERROR_NOACCESS);
        return FALSE;
    }
    std::shared_ptr<EventObject> event;
    if (overlapped && EventHandleOf(overlapped) != nullptr) {
        event = LookupEvent(EventHandleOf(overlapped));
        if (!event) return FALSE;
    }
    const bool waits = !file->overlapped || call.alwaysWait;
    if (!file->overlapped) WaitUntil([&] { return file->busy ? false : (file->busy = true); }, INFINITE);
    // The process is exiting and its handles are being closed: nothing is
    // sent and nothing of the caller's is touched.
    if (!EnterMachine()) {
        if (!file->overlapped) Release(*file);
        SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }

    auto entry = std::make_shared<InFlight>();
    entry->overlapped = overlapped;
    entry->thread = std::this_thread::get_id();
    {
        std::lock_guard<std::mutex> hold(ObjectLock());
        if (overlapped) {
            overlapped->InternalHigh = 0;
            __atomic_store_n(&overlapped->Internal, ULONG_PTR(machine::kStatusPending), __ATOMIC_RELEASE);
        }
        if (event) event->signalled = false;
        file->signalled = false;
    }
    auto state = std::make_shared<CallState>();
    entry->operation = machine::Start(file->file, call.major, call.code, call.input, call.inputLength, call.outputLength);
    LeaveMachine();
    {
        std::lock_guard<std::mutex> hold(ObjectLock());
        file->inFlight.push_back(entry);
    }
    machine::OnCompletion(entry->operation, [=](const machine::Outcome& outcome) {
        Completed(outcome, call, file, entry, event, overlapped, state);
    });

    if (waits) {
        WaitUntil([&] { return state->done; }, INFINITE);
        if (!file->overlapped) Release(*file);
    } else if (machine::DispatchStatus(entry->operation) == machine::kStatusPending) {
        SetError(ERROR_IO_PENDING);
        return FALSE;
    }
    std::lock_guard<std::mutex> hold(ObjectLock());
    return Result(state->status, state->information, count);
}

}  // namespace tarnlink::win32
