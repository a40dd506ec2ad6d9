// The emulated USB bus below a function driver: the hub's physical device
// object of each plugged-in USB device and the host controller behind it.
//
// A function driver reaches its device with IRP_MJ_INTERNAL_DEVICE_CONTROL
// requests sent to the PDO (harness/kernel/bus_driver.cpp routes them here):
//   IOCTL_INTERNAL_USB_SUBMIT_URB       a URB in Parameters.Others.Argument1
//   IOCTL_INTERNAL_USB_GET_PORT_STATUS  a ULONG in Argument1 receives
//                                        USBD_PORT_ENABLED | USBD_PORT_CONNECTED
//   anything else                        STATUS_NOT_SUPPORTED
//
// URBs served: SELECT_CONFIGURATION (read from the device, checked, pipes
// opened, SET_CONFIGURATION sent; a null descriptor deconfigures),
// BULK_OR_INTERRUPT_TRANSFER, CONTROL_TRANSFER(_EX), GET_DESCRIPTOR_FROM_*,
// SET_DESCRIPTOR_TO_*, SET_FEATURE_TO_*, CLEAR_FEATURE_TO_*, GET_STATUS_FROM_*,
// VENDOR_*, CLASS_*, GET_CONFIGURATION, GET_INTERFACE, ABORT_PIPE,
// SYNC_RESET_PIPE(_AND_CLEAR_STALL), SYNC_CLEAR_STALL,
// GET_CURRENT_FRAME_NUMBER. Anything else completes with
// USBD_STATUS_INVALID_URB_FUNCTION.
//
// Every URB that reaches the device is pending (with a cancel routine) while
// in flight and completes at DISPATCH_LEVEL from a dispatcher event, as a
// host controller's DPC completes it:
//   control   handed to the device at once; completes `controlLatency`
//             after the device answers
//   bulk and  carried packet by packet on the bus's frame schedule, with
//   interrupt full-speed limits (frame_scheduler.h); completes on the first
//             frame boundary after its last packet
//   cancelled IoCancelIrp withdraws it from the device (UsbDevice::Cancel or
//             CancelControl) or from the frame schedule and completes it
//             with USBD_STATUS_CANCELED / STATUS_CANCELLED, inside
//             IoCancelIrp or `cancelLatency` later; TransferBufferLength
//             then says how many bytes had already moved
// A transfer the device has already answered (a stream transfer: whose last
// packet has moved) is no longer cancellable: it completes with the
// device's answer.
//
// URB status to IoStatus.Status, as the Windows USB stack maps it:
//   USBD_STATUS_SUCCESS -> STATUS_SUCCESS; CANCELED -> STATUS_CANCELLED;
//   DEVICE_GONE -> STATUS_DEVICE_NOT_CONNECTED; INVALID_PARAMETER,
//   INVALID_URB_FUNCTION, INVALID_PIPE_HANDLE, BUFFER_TOO_SMALL and the
//   descriptor errors -> STATUS_INVALID_PARAMETER; INSUFFICIENT_RESOURCES ->
//   STATUS_INSUFFICIENT_RESOURCES; NOT_SUPPORTED -> STATUS_NOT_SUPPORTED;
//   ERROR_BUSY -> STATUS_DEVICE_BUSY; everything else (STALL_PID,
//   XACT_ERROR, BABBLE_DETECTED, ...) -> STATUS_UNSUCCESSFUL.
//
// Verifier checks (reported through harness::BugCheck, the URB then fails):
//   USB_INVALID_URB   null URB, Hdr.Length too small for its function, a
//                     transfer buffer missing for a non-zero length, or an
//                     MDL-only buffer (this kernel has no MDLs)
//   USB_URB_IN_USE    a URB submitted again while still in flight
//   IRQL_NOT_LESS_OR_EQUAL  SELECT_CONFIGURATION above PASSIVE_LEVEL
//   USB_DEVICE_LATE_ANSWER  a device model answered a transfer it no longer
//                     owned (cancelled, unplugged or already answered)
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "harness/km/wdm.h"
#include "harness/usb/usb_device.h"

namespace harness::usb {

// --- Timing and host controller behaviour ---------------------------------
struct BusSettings {
    int64_t frame = 10 * 1000;           // 1 ms, in 100 ns units: stream completions land on frame boundaries
    // Bulk packets the bus carries in one frame, for all devices together:
    // 19 of 64 bytes fit a full-speed frame beside the periodic and control
    // reservations (frame_scheduler.h).
    int bulkPacketsPerFrame = 19;
    int64_t controlLatency = 10 * 1000;  // 1 ms from the device's answer to a control URB's completion
    int64_t cancelLatency = 0;           // 0: a cancelled URB completes inside IoCancelIrp
    // An IN stream transfer that ends short without USBD_SHORT_TRANSFER_OK:
    // false (default) accepts it, as an EHCI or xHCI controller does; true
    // fails it with USBD_STATUS_ERROR_SHORT_TRANSFER, as UHCI and OHCI do.
    // Control transfers always accept a short data stage.
    bool strictShortTransfers = false;
};
void SetBusSettings(const BusSettings& settings);
BusSettings GetBusSettings();

// --- Devices on the bus -------------------------------------------------------
// The bus driver calls these for PDOs that carry a UsbDevice model.
void ConnectDevice(PDEVICE_OBJECT pdo, std::shared_ptr<UsbDevice> device);
void DisconnectDevice(PDEVICE_OBJECT pdo);  // the PDO is being deleted
bool IsUsbDevice(const DEVICE_OBJECT* pdo);
NTSTATUS DispatchInternalDeviceControl(PDEVICE_OBJECT pdo, PIRP irp);
// IRP_MN_REMOVE_DEVICE reached the PDO: every pipe is closed; transfers
// still pending complete with USBD_STATUS_CANCELED (USBD_STATUS_DEVICE_GONE
// once unplugged) and the device returns to the unconfigured state.
void RemoveDevice(PDEVICE_OBJECT pdo);

// The device is pulled out of its port: UsbDevice::Unplug, then every URB
// still pending completes with USBD_STATUS_DEVICE_GONE /
// STATUS_DEVICE_NOT_CONNECTED, and every later URB fails the same way at
// once. The Plug and Play side of the removal is harness::pnp::UnplugDevice.
void Unplug(PDEVICE_OBJECT pdo);
bool IsUnplugged(const DEVICE_OBJECT* pdo);

// --- Port power: what the hub does with the device's power requests --------
// Windows leaves it to the client driver to have no transfer in flight when
// it sends its device to a low-power state (the rule the selective-suspend
// documentation states: cancel all pending I/O and wait for it before the
// D2/D3 request), and does not document what happens to transfers left
// pending. By choice of the harness, strictly:
//   SuspendPort   the device left D0: every transfer still pending on it is
//                 withdrawn and completes with USBD_STATUS_CANCELED /
//                 STATUS_CANCELLED (bytes already moved are reported in
//                 TransferBufferLength), and every URB sent while it stays
//                 suspended fails at once with USBD_STATUS_DEV_NOT_RESPONDING
//                 (STATUS_UNSUCCESSFUL): a suspended port carries no packets.
//   CutBusPower   a system sleep powers the bus down: the device is
//                 suspended as above and loses its power (UsbDevice::PowerLost).
//   ResumePort    the device's D0 request has been served: the port carries
//                 packets again. After a power loss the hub first resets the
//                 device and puts back its address and configuration
//                 (UsbDevice::PowerRestored): the pipe handles stay valid,
//                 halted pipes are cleared, the function driver sees nothing.
void SuspendPort(PDEVICE_OBJECT pdo);
void CutBusPower(PDEVICE_OBJECT pdo);
void ResumePort(PDEVICE_OBJECT pdo);
bool IsPortSuspended(const DEVICE_OBJECT* pdo);

// --- Fault injection (bus level; cleared by ClearFaults and by reset) ------
constexpr uint32_t kUntilCleared = UINT32_MAX;
constexpr uint8_t kAnyEndpoint = 0xFF;
// Picks the control requests a fault applies to; empty = every request. A
// SELECT_CONFIGURATION URB is matched as its SET_CONFIGURATION request.
using ControlMatch = std::function<bool(const SetupPacket&)>;

// The next `count` bulk or interrupt transfers (on `endpoint`, address with
// direction bit, or on any) never reach the device and fail on the next
// frame boundary with `status` (a transaction error by default).
void FailStreamTransfers(uint32_t count, uint8_t endpoint = kAnyEndpoint,
                         USBD_STATUS status = USBD_STATUS_XACT_ERROR);
// The next `count` matching control requests are swallowed: never passed to
// the device, never answered; each stays pending until it is cancelled.
void HangControlRequests(uint32_t count, ControlMatch match = {});
// The next `count` matching control requests are answered with a STALL
// handshake without reaching the device: USBD_STATUS_STALL_PID.
void StallControlRequests(uint32_t count, ControlMatch match = {});
void ClearFaults();

// --- Fault plan: faults placed by URB number, for sweeps -------------------
// Every URB that reaches the bus (IOCTL_INTERNAL_USB_SUBMIT_URB on any
// device, valid or not) takes the next number, from 1 after a reset. A test
// runs its scenario once to learn how many it sends, then sweeps a fault
// over each of them:
//   const uint64_t before = harness::usb::SubmittedUrbCount();
//   RunScenario();
//   const uint64_t urbs = harness::usb::SubmittedUrbCount() - before;
//   for (uint64_t n = 1; n <= urbs; ++n) { ...; UnplugAtUrb(n); RunScenario(); ... }
uint64_t SubmittedUrbCount();
// The device is pulled out as the `n`th URB from now (1: the next one)
// reaches the bus: that URB and every transfer of the device still pending
// end with USBD_STATUS_DEVICE_GONE / STATUS_DEVICE_NOT_CONNECTED from the
// host controller's next completion pass (never inside the submitter's own
// call), and every later URB fails at once the same way, as Unplug does.
// The Plug and Play side is left to the test (harness::pnp::UnplugDevice).
void UnplugAtUrb(uint64_t n);
// The `n`th URB from now is answered with a STALL handshake without
// reaching the device: USBD_STATUS_STALL_PID (STATUS_UNSUCCESSFUL). On a
// bulk or interrupt pipe the stall halts the pipe (see below); the default
// control pipe clears itself with the next setup packet. A URB the bus
// serves alone (ABORT_PIPE, SYNC_RESET_PIPE, GET_CURRENT_FRAME_NUMBER, an
// invalid one) cannot stall: the fault is spent on it without effect.
void StallAtUrb(uint64_t n);

// A bulk or interrupt transfer that ends with a STALL (from a fault or from
// the device) halts its pipe, as the host controller halts the endpoint:
// the transfers still queued on it end with USBD_STATUS_ENDPOINT_HALTED, and
// so does each new one, at once, until URB_FUNCTION_SYNC_RESET_PIPE or
// URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL resets it
// (URB_FUNCTION_SYNC_CLEAR_STALL clears only the device's side).
bool IsPipeHalted(const DEVICE_OBJECT* pdo, USBD_PIPE_HANDLE pipe);

// --- Inspection -----------------------------------------------------------------
size_t PendingTransferCount();                    // every device
size_t PendingTransferCount(const DEVICE_OBJECT* pdo);
uint8_t DeviceAddress(const DEVICE_OBJECT* pdo);  // 0 if not a USB device
uint8_t ConfigurationValue(const DEVICE_OBJECT* pdo);  // 0 while unconfigured

struct OpenPipe {
    USBD_PIPE_HANDLE handle;
    uint8_t endpointAddress;
    USBD_PIPE_TYPE type;
    uint16_t maximumPacketSize;
    uint8_t interval;
    uint8_t interfaceNumber;
};
std::vector<OpenPipe> OpenPipes(const DEVICE_OBJECT* pdo);

}  // namespace harness::usb
