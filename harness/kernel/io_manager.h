// The emulated I/O manager as the rest of the harness sees it: driver and
// device objects, device stacks, file objects, the life of every IRP, and
// device interfaces.
//
// The kernel routines themselves (IoCreateDevice, IofCallDriver,
// IofCompleteRequest, IoCancelIrp, ...) are declared in harness/km/io.h and
// implemented one concern per file: driver_object.cpp, device_object.cpp,
// file_object.cpp, irp.cpp (allocate/initialise/reuse/free, end-of-test
// check), call_driver.cpp, complete_request.cpp,
// device_io_control_request.cpp, cancel.cpp, symbolic_link.cpp,
// device_interface.cpp, configuration_info.cpp; names live in
// object_namespace.h. What they check is reported through the verifier:
//   objects   INVALID_DEVICE_OBJECT, INVALID_DRIVER_OBJECT, DEVICE_DELETED_TWICE,
//             DEVICE_DELETED_WHILE_ATTACHED, DEVICE_ALREADY_ATTACHED,
//             DEVICE_NOT_ATTACHED, DEVICE_OBJECTS_LEFT_AT_UNLOAD,
//             TIMER_OR_DPC_INVALID (a device deleted or freed with a DPC
//             queued or a timer armed in its object or extension)
//   IRPs      INVALID_IRP, IRP_TOO_SMALL, IRP_FREED_TWICE, IRP_FREED_WHILE_IN_USE,
//             IRP_REUSED_WHILE_IN_USE, NO_MORE_IRP_STACK_LOCATIONS,
//             NULL_DISPATCH_ROUTINE
//   pending   PENDING_RETURNED_WITHOUT_MARK, PENDING_MARK_WITHOUT_STATUS_PENDING,
//             IRP_NOT_COMPLETED_ON_RETURN (an I/O manager request for which
//             the top driver returned neither STATUS_PENDING nor a completed IRP),
//             STATUS_RETURNED_DIFFERS_FROM_COMPLETION (a dispatch routine that
//             completed the request returned another status than it completed
//             it with)
//   complete  IRP_COMPLETED_TWICE, IRP_COMPLETED_WITH_CANCEL_ROUTINE,
//             IRP_COMPLETED_WITH_STATUS_PENDING, IRP_FREED_DURING_COMPLETION,
//             DRIVER_IRP_COMPLETED_TO_IO_MANAGER, INFORMATION_EXCEEDS_BUFFER
//             (Information beyond the output section of the system buffer,
//             checked at IoCompleteRequest, or beyond the requester's buffer)
//   cancel    CANCEL_SPIN_LOCK_NOT_RELEASED, CANCEL_STATE_IN_COMPLETED_IRP
//   IRQL      IRQL_NOT_LESS_OR_EQUAL (each routine at most at its documented level)
//   at the end of a test: IRP_NEVER_COMPLETED, IRP_LEAKED
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "harness/km/wdm.h"

// The I/O manager's private part of every device object. Drivers only see
// the pointer (DEVICE_OBJECT::DeviceObjectExtension); the layout of the
// first three fields is the platform's.
struct _DEVOBJ_EXTENSION {
    CSHORT Type;  // IO_TYPE_DEVICE_OBJECT_EXTENSION
    USHORT Size;
    PDEVICE_OBJECT DeviceObject;

    std::u16string name;          // "" for an unnamed device
    std::u16string instancePath;  // set by the Plug and Play manager for a PDO
    PDEVICE_OBJECT attachedTo = nullptr;  // the device this one sits on
    bool deleted = false;                 // IoDeleteDevice was called
    NTSTATUS openRefusal = STATUS_SUCCESS;  // opens fail with this while set
    // References that keep the memory but are not opens (a queued work
    // item's, as ObReferenceObject takes on Windows). DEVICE_OBJECT's
    // ReferenceCount counts open file objects only: the I/O manager refuses
    // a second open of an exclusive device by it, and a queued work item
    // does not make Windows refuse one.
    LONG objectReferences = 0;
    uint64_t serial = 0;                  // creation order, for messages
};

namespace harness::io {

// --- Driver objects -------------------------------------------------------
// A driver object named e.g. "\Driver\tarnlink" with its DRIVER_EXTENSION
// (ServiceKeyName = last part of the name) and every MajorFunction entry set
// to DefaultDispatch. Null if the name is taken.
PDRIVER_OBJECT CreateDriverObject(std::u16string name);
// Forgets the driver object. A driver that still has device objects is
// reported (DEVICE_OBJECTS_LEFT_AT_UNLOAD) and its object kept until reset.
void DeleteDriverObject(PDRIVER_OBJECT driver);
// What an unset MajorFunction entry does: completes the request with
// STATUS_INVALID_DEVICE_REQUEST.
NTSTATUS NTAPI DefaultDispatch(PDEVICE_OBJECT device, PIRP irp);

// --- Device objects -------------------------------------------------------
// The Plug and Play manager records the instance path of each PDO it
// creates ("USB\VID_1A2B&PID_0042\5&1234&0&1"); device interfaces need it.
void SetDeviceInstancePath(PDEVICE_OBJECT pdo, std::u16string instancePath);
std::u16string DeviceInstancePath(const DEVICE_OBJECT* device);
std::u16string DeviceName(const DEVICE_OBJECT* device);
// Top of the stack `device` is part of (device itself when nothing is attached).
PDEVICE_OBJECT GetAttachedDevice(PDEVICE_OBJECT device);
// The device `device` was attached to, or null.
PDEVICE_OBJECT GetLowerDevice(const DEVICE_OBJECT* device);
// Allocated and not yet freed (possibly deleted but still referenced).
bool IsLiveDevice(const DEVICE_OBJECT* device);
bool IsDeletePending(const DEVICE_OBJECT* device);
size_t LiveDeviceCount();
// While set to a failure status, opening the device fails with it without
// sending anything (the Plug and Play manager refuses opens before a device
// has started and once its removal has begun). STATUS_SUCCESS clears it.
void SetOpenRefusal(PDEVICE_OBJECT device, NTSTATUS status);
// Fault injection: the next IoCreateDevice fails with `status`.
void FailNextCreateDevice(NTSTATUS status);

// --- File objects ---------------------------------------------------------
// A file object open on `device` (counted in device->ReferenceCount, which
// keeps a deleted device's memory until the file object goes).
PFILE_OBJECT CreateFileObject(PDEVICE_OBJECT device, std::u16string_view fileName);
void DeleteFileObject(PFILE_OBJECT file);
bool IsLiveFileObject(const FILE_OBJECT* file);
// File objects still open on `device` (created and not yet deleted).
size_t FileObjectCount(const DEVICE_OBJECT* device);
// Called once a file object has been deleted (after its IRP_MJ_CLOSE), with
// the device it was open on: the Plug and Play manager waits for the last
// one before it sends IRP_MN_REMOVE_DEVICE to a surprise-removed stack.
using FileObjectDeletedHook = void (*)(PDEVICE_OBJECT device);
void SetFileObjectDeletedHook(FileObjectDeletedHook hook);

// --- IRPs -----------------------------------------------------------------
// Fault injection: the next IoAllocateIrp or IoBuildDeviceIoControlRequest
// returns null.
void FailNextIrpAllocation();

// An IRP the I/O manager owns on behalf of `purpose` (e.g. "application
// ReadFile", "Plug and Play manager"): completed up past its top location,
// it is finished by the I/O manager (see SetIoManagerCompletion) and freed.
// Not subject to fault injection.
PIRP AllocateIoManagerIrp(CCHAR stackSize, std::string purpose);

// Gives an I/O manager IRP a system buffer of `size` bytes (AssociatedIrp.
// SystemBuffer) holding `input`; the rest is filled with a non-zero pattern
// so that a driver reporting bytes it never wrote is visible. Freed with the
// IRP. Returns the buffer (null for size 0).
PVOID AttachSystemBuffer(PIRP irp, ULONG size, const void* input, ULONG inputLength);

// How the I/O manager finishes an IRP it owns once the IRP is completed up
// past its top location: with IRP_BUFFERED_IO and IRP_INPUT_OPERATION and no
// error status, Information bytes of the system buffer are copied to
// `userBuffer`; with `checkInformation`, an Information larger than
// `userBufferLength` is reported as INFORMATION_EXCEEDS_BUFFER (and the copy
// cut to the buffer). IoStatus goes to *UserIosb, UserEvent is set,
// `onComplete` runs, then the IRP and its system buffer are freed.
void SetIoManagerCompletion(PIRP irp, PVOID userBuffer, ULONG userBufferLength,
                            std::function<void(PIRP)> onComplete, bool checkInformation = true);

bool IsLiveIrp(const IRP* irp);
size_t LiveIrpCount();
enum class IrpOrigin { Driver, DriverMemory, IoManager };
struct IrpState {
    PIRP irp;
    IrpOrigin origin;
    std::string purpose;
    bool inDriver;   // sent with IofCallDriver and not completed since
    bool completed;  // completed and not handed back by a completion routine
    UCHAR majorFunction;  // of the location last sent (or next to be sent)
    PDEVICE_OBJECT lastTarget;
};
std::vector<IrpState> LiveIrps();
// "IRP 0x... (IRP_MJ_DEVICE_CONTROL 0x1b0004)" for messages.
std::string DescribeIrp(const IRP* irp);
const char* MajorFunctionName(UCHAR major);

bool CancelSpinLockHeld();

// --- Device interfaces ----------------------------------------------------
struct DeviceInterface {
    GUID classGuid;
    std::u16string symbolicLinkName;  // "\??\USB#VID_...#{guid}[\ref]"
    std::u16string referenceString;
    PDEVICE_OBJECT pdo;  // null once the PDO has been deleted
    bool enabled;
};
std::vector<DeviceInterface> DeviceInterfaces();
std::vector<DeviceInterface> DeviceInterfacesOfClass(const GUID& classGuid);
// Called when an interface is enabled (arrival) or disabled (removal).
void SetDeviceInterfaceNotification(std::function<void(const DeviceInterface&, bool arrival)> callback);
// "{86e0d1e0-8089-11d0-9ce4-08003e301f73}"
std::u16string FormatGuid(const GUID& guid);

}  // namespace harness::io
