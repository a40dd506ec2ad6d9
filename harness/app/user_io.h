// The application's side of the machine: what a Win32 program and the I/O
// manager do between them when the program opens a COM port, reads, writes,
// sends device-control requests and closes it.
//
//   harness::app::Handle port;
//   ASSERT_EQ(harness::app::Open(u"\\\\.\\COM5", &port), STATUS_SUCCESS);
//   auto read = harness::app::ReadAsync(port, 16);      // IRP in flight
//   harness::app::Wait(*read, 100 * harness::dispatcher::kMillisecond);
//   harness::app::Cancel(*read);                        // like CancelIoEx
//   auto result = harness::app::Ioctl(port, IOCTL_SERIAL_GET_BAUD_RATE, {}, 4);
//   harness::app::Close(port);
//
// Requests are built the way the I/O manager builds them: a file object in
// every stack location and in Tail.Overlay.OriginalFileObject, RequestorMode
// UserMode, and for a device with DO_BUFFERED_IO (and for every
// METHOD_BUFFERED control code, query and set) a system buffer whose output
// is copied back on completion. METHOD_NEITHER passes Type3InputBuffer and
// UserBuffer. There are no MDLs: direct I/O is treated as neither I/O and the
// direct control-code methods as METHOD_BUFFERED.
//
// Requests are sent at PASSIVE_LEVEL from the calling thread. One that
// returns STATUS_PENDING stays in flight until a driver completes it; Wait
// runs the machine (DPCs, timers, the hardware model) until then. In real
// time (dispatcher::UseRealTime) several application threads may call in
// at once, on any handles, as Win32 programs do.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string_view>
#include <type_traits>
#include <vector>

#include "harness/km/wdm.h"

namespace harness::app {

// An open handle: the file object of one successful open.
struct Handle {
    PFILE_OBJECT fileObject = nullptr;
    explicit operator bool() const { return fileObject != nullptr; }
};

// An asynchronous request, like an OVERLAPPED operation.
class Request {
public:
    // Safe from any thread; once it returns true, so are the results below.
    bool Done() const { return done_.load(std::memory_order_acquire); }
    // IoStatus.Status once completed; STATUS_PENDING while in flight.
    NTSTATUS Status() const { return Done() ? status_ : STATUS_PENDING; }
    ULONG_PTR Information() const { return information_; }
    // What the driver returned to the application: the first Information
    // bytes of the output buffer (reads, device controls, queries).
    const std::vector<uint8_t>& Output() const { return output_; }
    // The IRP while it is in flight; null once done.
    PIRP Irp() const { return irp_; }
    UCHAR MajorFunction() const { return major_; }
    // What the dispatch routine of the top driver returned.
    NTSTATUS DispatchStatus() const { return dispatchStatus_; }
    // Whether the request was marked pending (the IRP's PendingReturned when
    // it reached the I/O manager). The I/O manager writes the caller's
    // status block and sets its event for a request that failed only if it
    // was pending; one failed at once leaves both alone.
    bool PendingReturned() const { return pendingReturned_; }

    // Runs `callback` once, when the request completes: on the thread that
    // completes it, after Done() turns true and outside the harness lock (so
    // the callback may take its own locks and call back in), or at once on
    // the calling thread if it is already done. One callback a request.
    void OnCompletion(std::function<void(const Request&)> callback);

private:
    friend struct RequestAccess;
    std::atomic<bool> done_{false};  // set last, once the results are in
    bool pendingReturned_ = false;
    std::mutex callbackLock_;  // guards callback_ and callbackDue_
    std::function<void(const Request&)> callback_;
    bool callbackDue_ = false;  // completed: a callback set now runs at once
    NTSTATUS status_ = STATUS_PENDING;
    ULONG_PTR information_ = 0;
    std::vector<uint8_t> output_;
    PIRP irp_ = nullptr;
    UCHAR major_ = 0;
    NTSTATUS dispatchStatus_ = STATUS_PENDING;
    std::vector<uint8_t> userBuffer_;  // where the driver's output lands
    std::vector<uint8_t> input_;       // Type3InputBuffer / unbuffered write data
    IO_SECURITY_CONTEXT securityContext_{};
};

// Opens a device by name: "\\.\COM5", "COM5", "\DosDevices\COM5", "\??\COM5",
// "\Device\Serial0", or a device interface name. Symbolic links are
// followed. Refused without a request reaching any driver: unknown name
// (STATUS_OBJECT_NAME_NOT_FOUND), a second open of an exclusive device
// (STATUS_ACCESS_DENIED), a deleted device (STATUS_DELETE_PENDING), a device
// still initialising (STATUS_NO_SUCH_DEVICE). Otherwise sends IRP_MJ_CREATE
// to the top of the device's stack and waits for it.
NTSTATUS Open(std::u16string_view name, Handle* out, ULONG createOptions = 0);

std::shared_ptr<Request> ReadAsync(Handle handle, ULONG length);
std::shared_ptr<Request> WriteAsync(Handle handle, std::span<const uint8_t> data);
std::shared_ptr<Request> IoctlAsync(Handle handle, ULONG code, std::span<const uint8_t> input,
                                    ULONG outputLength, bool internal = false);
std::shared_ptr<Request> QueryInformationAsync(Handle handle, FILE_INFORMATION_CLASS infoClass, ULONG length);
std::shared_ptr<Request> SetInformationAsync(Handle handle, FILE_INFORMATION_CLASS infoClass,
                                             std::span<const uint8_t> data);
std::shared_ptr<Request> FlushAsync(Handle handle);

// Runs the machine until the request is done or `timeout` (100 ns units of
// virtual time) has passed; no timeout waits as long as it takes (a request
// nothing will ever complete is then reported as WAIT_HANG). Returns Done().
bool Wait(Request& request, std::optional<int64_t> timeout = std::nullopt);
// Like CancelIoEx: IoCancelIrp on the request's IRP. Returns what IoCancelIrp
// returned (true if a cancel routine was called); false if already done.
bool Cancel(Request& request);

// Synchronous forms: send, wait as long as it takes, return the outcome.
struct Result {
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = 0;
    std::vector<uint8_t> output;
};
Result Read(Handle handle, ULONG length);
Result Write(Handle handle, std::span<const uint8_t> data);
Result Ioctl(Handle handle, ULONG code, std::span<const uint8_t> input, ULONG outputLength, bool internal = false);
Result QueryInformation(Handle handle, FILE_INFORMATION_CLASS infoClass, ULONG length);
Result SetInformation(Handle handle, FILE_INFORMATION_CLASS infoClass, std::span<const uint8_t> data);
Result Flush(Handle handle);

// Closes the handle as when its last handle closes: IRP_MJ_CLEANUP, then
// IRP_MJ_CLOSE once no request on the file object is in flight any more
// (at once, or when the last one completes). STATUS_INVALID_HANDLE for a
// handle that is not open.
NTSTATUS Close(Handle handle);

// Sends the IRP_MJ_CLOSE of handles whose last request completed after they
// were closed. Every call above does this first; tests that complete
// requests by running the machine directly may call it themselves.
void RunDeferredWork();

// Handles open now.
size_t OpenHandleCount();

// The bytes of a value, for input buffers: AsBytes(baudRate).
template <typename T>
std::span<const uint8_t> AsBytes(const T& value) {
    static_assert(std::is_trivially_copyable_v<T>);
    return {reinterpret_cast<const uint8_t*>(&value), sizeof(T)};
}

}  // namespace harness::app
