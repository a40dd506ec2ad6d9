// The machine behind the Win32 library, as the Win32 functions see it: an
// interface in standard C++ types only. The Win32 functions include the
// public windows.h and this header; the files that implement it
// (machine*.cpp, port_requests.cpp, machine_clock.cpp) include the harness
// and never windows.h, whose names clash with the kernel's.
//
//   machine::Ready()                 boots on first use (configuration, driver, ports)
//   machine::Open / Close            a port by kernel name
//   machine::Start / Cancel          requests, completion reported by callback
//   machine::Now / Wait / Sleep      the machine's clock, real or virtual
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace harness::app {
class Request;
}

namespace tarnlink::win32::machine {

using Status = uint32_t;  // an NTSTATUS value

constexpr Status kStatusSuccess = 0x00000000;
constexpr Status kStatusPending = 0x00000103;

// --- Boot and configuration (machine.cpp) -----------------------------------------
// Boots the machine once, thread-safe: reads the configuration, loads the
// driver and plugs the ports. False if the configuration is malformed or
// the machine failed to boot (the reason is printed on stderr once).
bool Ready();
// True when the machine runs in virtual time: only one application thread
// may use the library then.
bool VirtualTime();
// In virtual time, reports a call from a second application thread and
// aborts: the machine runs only on the thread that waits, so another
// thread's request or signal would be seen by no one.
void CheckCallingThread();

// --- Ports (port_requests.cpp) ------------------------------------------------------
// An open file on a port: the harness's file object, opaque here.
using File = void*;
// Opens a device by kernel name ("\??\COM5", "\Device\Serial0").
// `synchronous`: the handle was opened without FILE_FLAG_OVERLAPPED.
Status Open(const std::u16string& kernelName, bool synchronous, File* file);
Status Close(File file);

enum class Major { Read, Write, DeviceControl, Flush };
using Operation = std::shared_ptr<harness::app::Request>;

// What a completed request returns.
struct Outcome {
    Status status = kStatusPending;
    uint64_t information = 0;
    bool pendingReturned = false;           // see harness::app::Request::PendingReturned
    const std::vector<uint8_t>* output = nullptr;  // the driver's output bytes (reads, device controls)
};
using Completion = std::function<void(const Outcome&)>;

// Sends a request. `input` is the write data or the control code's input.
Operation Start(File file, Major major, uint32_t code, const void* input, uint32_t inputLength,
                uint32_t outputLength);
// What the driver's dispatch routine returned (STATUS_PENDING: in flight).
Status DispatchStatus(const Operation& operation);
// Runs `completion` once when the operation completes (at once if it has),
// outside the harness lock, on whichever thread completes it.
void OnCompletion(const Operation& operation, Completion completion);
// Cancels the request as IoCancelIrp does; false if it was already done.
bool Cancel(const Operation& operation);

// --- Time (machine_clock.cpp) -------------------------------------------------------
// The machine's clock in milliseconds since boot.
uint64_t NowMilliseconds();
// Virtual time only: runs the machine until done() or `timeoutMs` has
// passed (none: as long as it takes). Returns done().
bool RunUntil(const std::function<bool()>& done, std::optional<uint64_t> timeoutMs);

}  // namespace tarnlink::win32::machine
