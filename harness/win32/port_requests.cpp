// Ports and their requests for the Win32 functions: the application front
// door (harness/app/user_io.h) behind the neutral interface of machine.h.
#include "harness/app/user_io.h"
#include "harness/win32/machine.h"

namespace tarnlink::win32::machine {

namespace {

harness::app::Handle HandleOf(File file) {
    harness::app::Handle handle;
    handle.fileObject = static_cast<PFILE_OBJECT>(file);
    return handle;
}

}  // namespace

Status Open(const std::u16string& kernelName, bool synchronous, File* file) {
    CheckCallingThread();
    harness::app::Handle handle;
    const NTSTATUS status = harness::app::Open(kernelName, &handle, synchronous ? FILE_SYNCHRONOUS_IO_NONALERT : 0);
    *file = handle.fileObject;
    return Status(status);
}

Status Close(File file) { return Status(harness::app::Close(HandleOf(file))); }

Operation Start(File file, Major major, uint32_t code, const void* input, uint32_t inputLength,
                uint32_t outputLength) {
    CheckCallingThread();
    const std::span<const uint8_t> bytes(static_cast<const uint8_t*>(input), input ? inputLength : 0);
    switch (major) {
    case Major::Read: return harness::app::ReadAsync(HandleOf(file), outputLength);
    case Major::Write: return harness::app::WriteAsync(HandleOf(file), bytes);
    case Major::DeviceControl: return harness::app::IoctlAsync(HandleOf(file), code, bytes, outputLength);
    case Major::Flush: return harness::app::FlushAsync(HandleOf(file));
    }
    return nullptr;
}

Status DispatchStatus(const Operation& operation) { return Status(operation->DispatchStatus()); }

void OnCompletion(const Operation& operation, Completion completion) {
    operation->OnCompletion([completion = std::move(completion)](const harness::app::Request& request) {
        Outcome outcome;
        outcome.status = Status(request.Status());
        outcome.information = request.Information();
        outcome.pendingReturned = request.PendingReturned();
        outcome.output = &request.Output();
        completion(outcome);
    });
}

bool Cancel(const Operation& operation) { return harness::app::Cancel(*operation); }

}  // namespace tarnlink::win32::machine
