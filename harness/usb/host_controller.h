// Inside the emulated USB stack: the state of each device on the bus and of
// each URB in flight, shared by the bus (usb_bus.cpp), the host controller
// (host_controller.cpp), URB decoding (urb_decode.cpp) and configuration
// selection (select_configuration.cpp). Not for other subsystems: they use
// harness/usb/usb_bus.h.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "harness/kernel/dispatcher.h"
#include "harness/km/wdm.h"
#include "harness/usb/usb_bus.h"
#include "harness/usb/usb_device.h"

namespace harness::usb::detail {

// USBPcap transfer types, also used to tell pipes apart.
constexpr uint8_t kTransferIsochronous = 0;
constexpr uint8_t kTransferInterrupt = 1;
constexpr uint8_t kTransferControl = 2;
constexpr uint8_t kTransferBulk = 3;
constexpr uint8_t kTransferIrpInfo = 0xFE;

struct Pipe {
    USBD_PIPE_HANDLE handle = nullptr;
    uint8_t endpointAddress = 0;  // bit 7 set for IN
    USBD_PIPE_TYPE type = UsbdPipeTypeControl;
    uint16_t maximumPacketSize = 0;
    uint8_t interval = 0;
    uint8_t interfaceNumber = 0;
    // The host controller stopped the endpoint after a failed transfer
    // (stall, transaction error, babble, short packet): nothing moves on
    // it until the pipe is reset.
    bool halted = false;
};

// One device in a port of the emulated hub.
struct Port {
    PDEVICE_OBJECT pdo = nullptr;
    std::shared_ptr<UsbDevice> device;
    uint8_t address = 0;
    bool unplugged = false;
    bool suspended = false;   // the device is not in D0: the hub keeps its port suspended
    bool powerLost = false;   // ... and the bus power was cut meanwhile (system sleep)
    uint8_t configurationValue = 0;
    USBD_CONFIGURATION_HANDLE configurationHandle = nullptr;
    std::map<USBD_PIPE_HANDLE, Pipe> pipes;
};

enum class Stage {
    Queued,     // accepted, not yet at the device
    AtDevice,   // the device owns it and may answer
    Answered,   // the device answered; completion scheduled, no longer cancellable
    Cancelling, // withdrawn; completion with CANCELED scheduled
    Held,       // swallowed by a fault: pending until cancelled
};

// A URB in flight.
struct Transfer {
    uint64_t id = 0;
    PIRP irp = nullptr;
    PURB urb = nullptr;
    PDEVICE_OBJECT pdo = nullptr;
    USHORT function = 0;
    uint8_t transferType = kTransferControl;
    Stage stage = Stage::Queued;

    // Data stage: IN transfers receive into buffer, OUT transfers send it.
    bool in = false;
    PUCHAR buffer = nullptr;
    ULONG length = 0;
    bool shortOk = false;
    SetupPacket setup;       // control transfers
    uint8_t endpoint = 0;    // address with direction bit; 0x00/0x80 for the default pipe
    uint16_t maxPacket = 0;  // stream transfers: the pipe's wMaxPacketSize
    uint8_t interval = 0;    // interrupt transfers: the pipe's polling interval

    uint64_t deviceRequest = 0;  // id of the request at the device while AtDevice
    bool deviceRequestIsControl = true;
    dispatcher::EventId event = 0;    // hand-off, completion or cancellation event
    dispatcher::EventId timeout = 0;  // CONTROL_TRANSFER_EX time-out
    // On the frame schedule (frame_scheduler.h): the transfer itself, or
    // the packets of its answer; 0 when not.
    uint64_t streamWork = 0;
    // What had moved when it was withdrawn from the frame schedule.
    std::vector<uint8_t> movedIn;
    uint32_t movedOut = 0;

    // How the transfer starts once handed to the bus: null for a plain
    // control or stream transfer; configuration selection sets its own.
    void (*begin)(const std::shared_ptr<Transfer>&) = nullptr;
    // What to do with the device's answer to the control request in flight.
    std::function<void(const ControlResult&)> onControlAnswer;
    std::vector<uint8_t> scratch;  // a multi-step transfer's own data
};
using TransferPtr = std::shared_ptr<Transfer>;

// --- Bus state (usb_bus.cpp) -------------------------------------------------
Port* FindPort(const DEVICE_OBJECT* pdo);
const BusSettings& Settings();
// Handles are opaque, never dereferenced, unique across configurations.
PVOID NewHandle();

// Fault injection, consumed per request.
bool TakeStreamFault(uint8_t endpoint, USBD_STATUS* status);
enum class ControlFault { None, Hang, Stall };
ControlFault TakeControlFault(const SetupPacket& setup);
// The fault plan's stall for the URB being submitted, taken once.
bool TakeUrbStall();

// --- Host controller (host_controller.cpp) -----------------------------------
// Accepts a decoded transfer: traces it, marks the IRP pending with the
// cancel routine and starts it. Returns STATUS_PENDING.
NTSTATUS StartTransfer(const TransferPtr& transfer);
// Completes an IRP whose URB never went pending (invalid, device gone, or
// served by the bus alone); a null URB is left untouched.
NTSTATUS CompleteUrbAtOnce(PIRP irp, PURB urb, PDEVICE_OBJECT pdo, USBD_STATUS status);
// Sends one control request of `transfer` to the device; `answer` runs
// when the device answers (at once or later), unless the transfer ends
// first. The transfer must be in flight.
void SendControlStep(const TransferPtr& transfer, const SetupPacket& setup, std::vector<uint8_t> dataOut,
                     std::function<void(const ControlResult&)> answer);
// The device answered the whole transfer: no longer cancellable; completes
// after `delay` with `status`, copying `inData` (IN) into the transfer buffer.
void AnswerTransfer(const TransferPtr& transfer, USBD_STATUS status, std::vector<uint8_t> inData,
                    uint32_t outTransferred, int64_t delay);
// Ends every pending transfer of `pdo` (all devices when null) at once with
// `status`, withdrawing them from the device.
void AbortTransfers(const DEVICE_OBJECT* pdo, USBD_STATUS status);
// The same for the transfers queued on one pipe.
void AbortPipeTransfers(const DEVICE_OBJECT* pdo, USBD_PIPE_HANDLE pipe, USBD_STATUS status);
TransferPtr FindTransferOfUrb(const URB* urb);
size_t CountTransfers(const DEVICE_OBJECT* pdo);
void ResetHostController();

// --- URBs (urb_decode.cpp) ------------------------------------------------------
// Builds the transfer of a control URB (standard, class, vendor or raw
// setup packet). On failure returns null and sets *status.
TransferPtr DecodeControlUrb(PURB urb, Port& port, USBD_STATUS* status);
// Builds the transfer of a bulk or interrupt URB.
TransferPtr DecodeStreamUrb(PURB urb, Port& port, USBD_STATUS* status);
// The smallest Hdr.Length accepted for a function; 0 for functions the
// stack does not serve.
size_t MinimumUrbLength(USHORT function);
// Checks buffer and length fields common to transfer URBs; reports
// USB_INVALID_URB and returns false when they cannot be used.
bool CheckTransferBuffer(PURB urb, PVOID buffer, PMDL mdl, ULONG length);

// --- Configuration (select_configuration.cpp) -------------------------------------
// Starts a SELECT_CONFIGURATION URB; completes it itself on every path.
NTSTATUS SelectConfiguration(PIRP irp, PURB urb, Port& port);
// Closes every pipe of the port (their transfers end with `status`).
void ClosePipes(Port& port, USBD_STATUS status);

// --- Status codes (usbd_status.cpp) --------------------------------------------------
NTSTATUS NtStatusFromUsbd(USBD_STATUS status);
USBD_STATUS UsbdStatusFromTransfer(TransferStatus status);
std::string UrbFunctionName(USHORT function);
std::string Hex(uint64_t value);

}  // namespace harness::usb::detail
