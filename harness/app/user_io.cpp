#include "harness/app/user_io.h"

#include <algorithm>
#include <map>

#include "harness/app/request_log.h"
#include "harness/kernel/dispatcher.h"
#include "harness/kernel/harness_lock.h"
#include "harness/kernel/io_manager.h"
#include "harness/kernel/kernel.h"
#include "harness/kernel/object_namespace.h"

namespace harness::app {

struct RequestAccess {
    static void Finish(Request& r, NTSTATUS status, ULONG_PTR information, bool pendingReturned = false) {
        r.irp_ = nullptr;
        r.pendingReturned_ = pendingReturned;
        r.status_ = status;
        r.information_ = information;
        const bool error = (ULONG(status) >> 30) == 3;
        const size_t n = error ? 0 : std::min<size_t>(information, r.userBuffer_.size());
        r.output_.assign(r.userBuffer_.begin(), r.userBuffer_.begin() + ptrdiff_t(n));
        r.done_.store(true, std::memory_order_release);
        dispatcher::NotifyWaiters();
        std::function<void(const Request&)> callback;
        {
            std::lock_guard<std::mutex> hold(r.callbackLock_);
            r.callbackDue_ = true;
            callback = std::move(r.callback_);
        }
        if (callback) {
            UnlockScope outsideHarness(HarnessLock());
            callback(r);
        }
    }
    static std::vector<uint8_t>& UserBuffer(Request& r) { return r.userBuffer_; }
    static std::vector<uint8_t>& Input(Request& r) { return r.input_; }
    static IO_SECURITY_CONTEXT& Security(Request& r) { return r.securityContext_; }
    static void Sent(Request& r, PIRP irp, UCHAR major) {
        r.irp_ = irp;
        r.major_ = major;
    }
    static void Returned(Request& r, NTSTATUS status) { r.dispatchStatus_ = status; }
    static void Forget(Request& r) { r.irp_ = nullptr; }
};

namespace {

// One open of a device. `references` counts the handle and every request
// in flight on it; IRP_MJ_CLOSE goes out when it drops to zero.
struct OpenFile {
    PFILE_OBJECT fileObject = nullptr;
    int references = 0;
    bool handleOpen = false;
};

struct FrontDoorState {
    std::map<PFILE_OBJECT, std::shared_ptr<OpenFile>> files;
    std::vector<std::shared_ptr<OpenFile>> closeDue;
    std::vector<std::weak_ptr<Request>> inFlight;
};

FrontDoorState& State() {
    static FrontDoorState state;
    return state;
}

void ResetFrontDoor() {
    // The I/O manager forgets every IRP in the same reset: requests a test
    // still holds must not point at them any more.
    for (auto& weak : State().inFlight)
        if (auto r = weak.lock()) RequestAccess::Forget(*r);
    State() = FrontDoorState{};
}

ResetRegistration g_reset(kResetIo, &ResetFrontDoor);

std::shared_ptr<OpenFile> Lookup(Handle handle) {
    auto& files = State().files;
    auto it = files.find(handle.fileObject);
    if (it == files.end() || !it->second->handleOpen) return nullptr;
    return it->second;
}

std::shared_ptr<Request> Failed(NTSTATUS status, UCHAR major) {
    auto r = std::make_shared<Request>();
    RequestAccess::Sent(*r, nullptr, major);
    RequestAccess::Returned(*r, status);
    RequestAccess::Finish(*r, status, 0);
    return r;
}

// Win32 names to kernel names: "\\.\COM5" and "COM5" are "\??\COM5".
std::u16string KernelName(std::u16string_view name) {
    if (name.starts_with(u"\\\\.\\") || name.starts_with(u"\\\\?\\")) return u"\\??\\" + std::u16string(name.substr(4));
    if (name.starts_with(u"\\")) return std::u16string(name);
    return u"\\??\\" + std::u16string(name);
}

struct Outgoing {
    std::shared_ptr<Request> request;
    PDEVICE_OBJECT target = nullptr;
    PIRP irp = nullptr;
    PIO_STACK_LOCATION location = nullptr;
};

// An IRP for the top of the stack of the file's device, with the file
// object where the I/O manager puts it.
Outgoing Build(PFILE_OBJECT file, UCHAR major, const char* purpose) {
    Outgoing out;
    out.request = std::make_shared<Request>();
    out.target = io::GetAttachedDevice(file->DeviceObject);
    out.irp = io::AllocateIoManagerIrp(out.target->StackSize, purpose);
    out.irp->RequestorMode = UserMode;
    out.irp->Tail.Overlay.OriginalFileObject = file;
    out.location = IoGetNextIrpStackLocation(out.irp);
    out.location->MajorFunction = major;
    out.location->FileObject = file;
    return out;
}

// Sends the IRP; its completion finishes the request and, with `file`,
// releases the request's reference on the open file.
std::shared_ptr<Request> Send(Outgoing& out, PVOID copyBackTo, ULONG outputLength, bool checkInformation,
                              std::shared_ptr<OpenFile> file) {
    Request& request = *out.request;
    if (file) file->references++;
    std::shared_ptr<Request> keep = out.request;
    io::SetIoManagerCompletion(
        out.irp, copyBackTo, outputLength,
        [keep, file](PIRP irp) {
            RequestAccess::Finish(*keep, irp->IoStatus.Status, irp->IoStatus.Information, irp->PendingReturned != FALSE);
            LogRequestCompleted(irp, keep->Status(), keep->Information(), keep->Output());
            if (file && --file->references == 0 && !file->handleOpen) State().closeDue.push_back(file);
        },
        checkInformation);
    RequestAccess::Sent(request, out.irp, out.location->MajorFunction);
    State().inFlight.push_back(out.request);
    LogRequestSent(out.irp);
    const NTSTATUS status = IofCallDriver(out.target, out.irp);
    RequestAccess::Returned(request, status);
    return out.request;
}

bool WaitForever(Request& request, const char* waiter) {
    if (!request.Done())
        dispatcher::RunUntil([&] { return request.Done(); }, std::nullopt, waiter,
                             std::string("completion of an application ") + io::MajorFunctionName(request.MajorFunction()));
    return request.Done();
}

void SendClose(const std::shared_ptr<OpenFile>& file) {
    Outgoing out = Build(file->fileObject, IRP_MJ_CLOSE, "application CloseHandle (close)");
    out.irp->Flags = IRP_CLOSE_OPERATION | IRP_SYNCHRONOUS_API;
    Send(out, nullptr, 0, false, nullptr);
    WaitForever(*out.request, "harness::app::Close");
    State().files.erase(file->fileObject);
    io::DeleteFileObject(file->fileObject);
}

// Smallest buffers the I/O manager accepts for the information classes it
// knows; shorter ones fail before any driver sees them.
ULONG MinimumInformationLength(FILE_INFORMATION_CLASS infoClass) {
    switch (infoClass) {
    case FileBasicInformation: return 40;
    case FileStandardInformation: return sizeof(FILE_STANDARD_INFORMATION);
    case FilePositionInformation: return sizeof(FILE_POSITION_INFORMATION);
    case FileAllocationInformation: return sizeof(FILE_ALLOCATION_INFORMATION);
    case FileEndOfFileInformation: return sizeof(FILE_END_OF_FILE_INFORMATION);
    default: return 0;
    }
}

Result ToResult(const Request& r) { return Result{r.Status(), r.Information(), r.Output()}; }

Result WaitResult(const std::shared_ptr<Request>& r, const char* waiter) {
    WaitForever(*r, waiter);
    RunDeferredWork();
    return ToResult(*r);
}

}  // namespace

void Request::OnCompletion(std::function<void(const Request&)> callback) {
    {
        std::lock_guard<std::mutex> hold(callbackLock_);
        if (!callbackDue_) {
            callback_ = std::move(callback);
            return;
        }
    }
    callback(*this);
}

NTSTATUS Open(std::u16string_view name, Handle* out, ULONG createOptions) {
    HarnessScope harnessState;
    RunDeferredWork();
    *out = Handle{};
    io::ParsedName parsed = io::ParseObjectName(KernelName(name));
    if (!NT_SUCCESS(parsed.status)) return parsed.status;
    if (parsed.type != io::ObjectType::Device) return STATUS_OBJECT_TYPE_MISMATCH;
    auto device = static_cast<PDEVICE_OBJECT>(parsed.object);
    if (!io::IsLiveDevice(device)) return STATUS_NO_SUCH_DEVICE;
    if (io::IsDeletePending(device)) return STATUS_DELETE_PENDING;
    if (!NT_SUCCESS(device->DeviceObjectExtension->openRefusal)) return device->DeviceObjectExtension->openRefusal;
    if (device->Flags & DO_DEVICE_INITIALIZING) return STATUS_NO_SUCH_DEVICE;
    for (PDEVICE_OBJECT d = device; d != nullptr; d = d->AttachedDevice)
        if ((d->Flags & DO_EXCLUSIVE) && device->ReferenceCount != 0) return STATUS_ACCESS_DENIED;

    PFILE_OBJECT file = io::CreateFileObject(device, parsed.remainder);
    Outgoing create = Build(file, IRP_MJ_CREATE, "application CreateFile");
    IO_SECURITY_CONTEXT& security = RequestAccess::Security(*create.request);
    security.DesiredAccess = FILE_GENERIC_READ | FILE_GENERIC_WRITE;
    security.FullCreateOptions = createOptions;
    create.location->Parameters.Create.SecurityContext = &security;
    create.location->Parameters.Create.Options = (FILE_OPEN << 24) | (createOptions & 0x00ffffff);
    create.irp->Flags = IRP_CREATE_OPERATION | IRP_SYNCHRONOUS_API;
    Send(create, nullptr, 0, false, nullptr);
    if (!WaitForever(*create.request, "harness::app::Open")) return STATUS_IO_TIMEOUT;  // hang reported

    const NTSTATUS status = create.request->Status();
    if (!NT_SUCCESS(status)) {
        io::DeleteFileObject(file);
        return status;
    }
    auto open = std::make_shared<OpenFile>();
    open->fileObject = file;
    open->references = 1;  // the handle
    open->handleOpen = true;
    State().files[file] = open;
    out->fileObject = file;
    return status;
}

std::shared_ptr<Request> ReadAsync(Handle handle, ULONG length) {
    HarnessScope harnessState;
    RunDeferredWork();
    auto file = Lookup(handle);
    if (!file) return Failed(STATUS_INVALID_HANDLE, IRP_MJ_READ);
    Outgoing out = Build(file->fileObject, IRP_MJ_READ, "application ReadFile");
    auto& buffer = RequestAccess::UserBuffer(*out.request);
    buffer.assign(length, 0);
    out.location->Parameters.Read.Length = length;
    out.irp->UserBuffer = buffer.data();
    out.irp->Flags = IRP_READ_OPERATION;
    if (out.target->Flags & DO_BUFFERED_IO) {
        io::AttachSystemBuffer(out.irp, length, nullptr, 0);
        out.irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER | IRP_INPUT_OPERATION;
    }
    return Send(out, buffer.data(), length, true, file);
}

std::shared_ptr<Request> WriteAsync(Handle handle, std::span<const uint8_t> data) {
    HarnessScope harnessState;
    RunDeferredWork();
    auto file = Lookup(handle);
    if (!file) return Failed(STATUS_INVALID_HANDLE, IRP_MJ_WRITE);
    Outgoing out = Build(file->fileObject, IRP_MJ_WRITE, "application WriteFile");
    const ULONG length = ULONG(data.size());
    out.location->Parameters.Write.Length = length;
    out.irp->Flags = IRP_WRITE_OPERATION;
    if (out.target->Flags & DO_BUFFERED_IO) {
        io::AttachSystemBuffer(out.irp, length, data.data(), length);
        out.irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
    } else {
        auto& input = RequestAccess::Input(*out.request);
        input.assign(data.begin(), data.end());
        out.irp->UserBuffer = input.data();
    }
    return Send(out, nullptr, length, true, file);
}

std::shared_ptr<Request> IoctlAsync(Handle handle, ULONG code, std::span<const uint8_t> input, ULONG outputLength,
                                    bool internal) {
    HarnessScope harnessState;
    RunDeferredWork();
    const UCHAR major = internal ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    auto file = Lookup(handle);
    if (!file) return Failed(STATUS_INVALID_HANDLE, major);
    Outgoing out = Build(file->fileObject, major, "application DeviceIoControl");
    if (internal) out.irp->RequestorMode = KernelMode;
    const ULONG inputLength = ULONG(input.size());
    auto& parameters = out.location->Parameters.DeviceIoControl;
    parameters.IoControlCode = code;
    parameters.InputBufferLength = inputLength;
    parameters.OutputBufferLength = outputLength;
    auto& buffer = RequestAccess::UserBuffer(*out.request);
    buffer.assign(outputLength, 0);
    PVOID userBuffer = outputLength ? buffer.data() : nullptr;
    out.irp->UserBuffer = userBuffer;

    if (METHOD_FROM_CTL_CODE(code) == METHOD_NEITHER) {
        auto& copy = RequestAccess::Input(*out.request);
        copy.assign(input.begin(), input.end());
        parameters.Type3InputBuffer = inputLength ? copy.data() : nullptr;
        return Send(out, nullptr, outputLength, false, file);
    }
    const ULONG size = std::max(inputLength, outputLength);
    io::AttachSystemBuffer(out.irp, size, input.data(), inputLength);
    out.irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER | (outputLength ? IRP_INPUT_OPERATION : 0);
    return Send(out, userBuffer, outputLength, true, file);
}

std::shared_ptr<Request> QueryInformationAsync(Handle handle, FILE_INFORMATION_CLASS infoClass, ULONG length) {
    HarnessScope harnessState;
    RunDeferredWork();
    auto file = Lookup(handle);
    if (!file) return Failed(STATUS_INVALID_HANDLE, IRP_MJ_QUERY_INFORMATION);
    if (length < MinimumInformationLength(infoClass))
        return Failed(STATUS_INFO_LENGTH_MISMATCH, IRP_MJ_QUERY_INFORMATION);
    Outgoing out = Build(file->fileObject, IRP_MJ_QUERY_INFORMATION, "application NtQueryInformationFile");
    out.location->Parameters.QueryFile.Length = length;
    out.location->Parameters.QueryFile.FileInformationClass = infoClass;
    auto& buffer = RequestAccess::UserBuffer(*out.request);
    buffer.assign(length, 0);
    io::AttachSystemBuffer(out.irp, length, nullptr, 0);
    out.irp->UserBuffer = buffer.data();
    out.irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER | IRP_INPUT_OPERATION;
    return Send(out, buffer.data(), length, true, file);
}

std::shared_ptr<Request> SetInformationAsync(Handle handle, FILE_INFORMATION_CLASS infoClass,
                                             std::span<const uint8_t> data) {
    HarnessScope harnessState;
    RunDeferredWork();
    auto file = Lookup(handle);
    if (!file) return Failed(STATUS_INVALID_HANDLE, IRP_MJ_SET_INFORMATION);
    const ULONG length = ULONG(data.size());
    if (length < MinimumInformationLength(infoClass)) return Failed(STATUS_INFO_LENGTH_MISMATCH, IRP_MJ_SET_INFORMATION);
    Outgoing out = Build(file->fileObject, IRP_MJ_SET_INFORMATION, "application NtSetInformationFile");
    out.location->Parameters.SetFile.Length = length;
    out.location->Parameters.SetFile.FileInformationClass = infoClass;
    io::AttachSystemBuffer(out.irp, length, data.data(), length);
    out.irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
    return Send(out, nullptr, 0, false, file);
}

std::shared_ptr<Request> FlushAsync(Handle handle) {
    HarnessScope harnessState;
    RunDeferredWork();
    auto file = Lookup(handle);
    if (!file) return Failed(STATUS_INVALID_HANDLE, IRP_MJ_FLUSH_BUFFERS);
    Outgoing out = Build(file->fileObject, IRP_MJ_FLUSH_BUFFERS, "application FlushFileBuffers");
    return Send(out, nullptr, 0, false, file);
}

bool Wait(Request& request, std::optional<int64_t> timeout) {
    HarnessScope harnessState;
    if (!request.Done()) {
        std::optional<int64_t> deadline;
        if (timeout) deadline = dispatcher::Now() + *timeout;
        dispatcher::RunUntil([&] { return request.Done(); }, deadline, "harness::app::Wait",
                             std::string("completion of an application ") + io::MajorFunctionName(request.MajorFunction()));
    }
    RunDeferredWork();
    return request.Done();
}

bool Cancel(Request& request) {
    HarnessScope harnessState;
    if (request.Done() || request.Irp() == nullptr) return false;
    LogCancelRequested(request.Irp());
    return IoCancelIrp(request.Irp()) != FALSE;
}

Result Read(Handle handle, ULONG length) { return WaitResult(ReadAsync(handle, length), "harness::app::Read"); }

Result Write(Handle handle, std::span<const uint8_t> data) {
    return WaitResult(WriteAsync(handle, data), "harness::app::Write");
}

Result Ioctl(Handle handle, ULONG code, std::span<const uint8_t> input, ULONG outputLength, bool internal) {
    return WaitResult(IoctlAsync(handle, code, input, outputLength, internal), "harness::app::Ioctl");
}

Result QueryInformation(Handle handle, FILE_INFORMATION_CLASS infoClass, ULONG length) {
    return WaitResult(QueryInformationAsync(handle, infoClass, length), "harness::app::QueryInformation");
}

Result SetInformation(Handle handle, FILE_INFORMATION_CLASS infoClass, std::span<const uint8_t> data) {
    return WaitResult(SetInformationAsync(handle, infoClass, data), "harness::app::SetInformation");
}

Result Flush(Handle handle) { return WaitResult(FlushAsync(handle), "harness::app::Flush"); }

NTSTATUS Close(Handle handle) {
    HarnessScope harnessState;
    RunDeferredWork();
    auto file = Lookup(handle);
    if (!file) return STATUS_INVALID_HANDLE;
    file->handleOpen = false;
    Outgoing cleanup = Build(file->fileObject, IRP_MJ_CLEANUP, "application CloseHandle (cleanup)");
    cleanup.irp->Flags = IRP_CLOSE_OPERATION | IRP_SYNCHRONOUS_API;
    Send(cleanup, nullptr, 0, false, file);
    WaitForever(*cleanup.request, "harness::app::Close");
    if (--file->references == 0) SendClose(file);
    RunDeferredWork();
    return STATUS_SUCCESS;
}

void RunDeferredWork() {
    HarnessScope harnessState;
    auto& due = State().closeDue;
    while (!due.empty() && KeGetCurrentIrql() == PASSIVE_LEVEL) {
        std::shared_ptr<OpenFile> file = due.front();
        due.erase(due.begin());
        SendClose(file);
    }
    auto& inFlight = State().inFlight;
    inFlight.erase(std::remove_if(inFlight.begin(), inFlight.end(),
                                  [](const std::weak_ptr<Request>& w) {
                                      auto r = w.lock();
                                      return !r || r->Done();
                                  }),
                   inFlight.end());
}

size_t OpenHandleCount() {
    HarnessScope harnessState;
    size_t n = 0;
    for (auto& [fo, file] : State().files)
        if (file->handleOpen) n++;
    return n;
}

}  // namespace harness::app
