// The Tarnlink demo: loads the driver into the emulated kernel and walks a
// port through its whole life, one headed section per step. Each section is
// a function of its own; this header lists them in the order main() runs
// them.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "driver/driver_globals.h"
#include "driver/port_extension.h"
#include "harness/app/user_io.h"
#include "harness/kernel/pnp_manager.h"
#include "harness/loader/driver_code.h"
#include "harness/usb/chip/chip_model.h"
#include "usb/chip_protocol.h"

namespace demo {

inline constexpr char16_t kService[] = u"tarnlink";

// --- Command line (options.cpp) ---------------------------------------------
struct Options {
    std::optional<std::string> image;  // a Windows driver image to run instead of the host build
    std::optional<std::string> extBaudrate;
    std::optional<std::string> trace;
    std::optional<std::string> wire;
    bool log = false;           // print the log of the ports' requests at the end
    size_t logBytes = 16;       // data bytes shown per read or write in that log
};
bool ParseArguments(int argc, char** argv, Options* options);

// --- The driver the demo runs (driver.cpp) -----------------------------------
// Chooses the driver: the host build or a loaded image. For an image, finds
// its globals and the routines below through its linker map; false (and
// `error` names what is missing) if the map lacks one.
bool UseDriver(harness::loader::DriverCode code, std::string* error);
const harness::loader::DriverCode& Driver();
// Drops the driver's code (an image is unmapped) once it is unloaded.
void ReleaseDriver();
// The driver's globals: the image's own copy when it runs an image.
const DriverGlobals& Globals();
// Routines the early sections call below the dispatch routines, in the
// driver that runs (usb/chip_protocol.h describes them).
NTSTATUS DriverSetLineCodingRate(PDEVICE_OBJECT fdo, ULONG rate);
NTSTATUS DriverSetLineCodingFormat(PortExtension* port);
BOOLEAN DriverSetControlLines(PDEVICE_OBJECT fdo, ControlLineAction action);
NTSTATUS DriverSendBreak(PDEVICE_OBJECT fdo, BOOLEAN on);
USBD_PIPE_HANDLE DriverStreamPipe(const PortExtension* port, StreamKind kind);

// --- Text for the sections (text.cpp) ---------------------------------------
void Heading(const char* text);
std::string Utf8(const UNICODE_STRING& s);
std::string DeviceName(const PortExtension& port);
// The name an application opens: the COM name when the port has one, else
// the device object's own name.
std::u16string OpenName(const PortExtension& port);
std::string Hex(const std::vector<uint8_t>& bytes, size_t most = 16);
std::string Printable(const std::vector<uint8_t>& bytes);
std::string LineControlText(UCHAR lineControl);
std::string LinesText(const harness::chip::ChipModel& chip);
// One control request as a driver developer reads it.
std::string DescribeRequest(const harness::chip::ControlRecord& r);
// The control requests the chip has logged, one a line, with their time.
void PrintControlLog(const harness::chip::ChipModel& chip, const char* indent = "  ");
// "IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_REMOVE_DEVICE"
std::string PnpRequestsText(const std::vector<UCHAR>& minorFunctions, size_t from = 0);
// "STATUS_PENDING (in flight)" or the final status and byte count.
std::string RequestText(const harness::app::Request& request);

// --- Loading, plugging and starting (start.cpp) -----------------------------
void ShowDriverLoad(const harness::pnp::Driver& driver, const Options& options);
void ShowPlug(const harness::pnp::Device& device);
void ShowStart(const std::shared_ptr<harness::pnp::Device>& device, const harness::chip::ChipModel& chip);
void ShowDefaults(const PortExtension& port);
void ShowDetection(const PortExtension& port);
void ShowLineCodings(PDEVICE_OBJECT fdo, harness::chip::ChipModel& chip);
void ShowModemLines(PDEVICE_OBJECT fdo, harness::chip::ChipModel& chip);

// --- Names (naming.cpp) -----------------------------------------------------
void ShowNames(const harness::pnp::Device& device);

// --- Open, exchange, close (session.cpp) ------------------------------------
harness::app::Handle ShowOpen(PortExtension* port, harness::chip::ChipModel& chip);
void ShowDataExchange(harness::app::Handle handle, PortExtension* port, harness::chip::ChipModel& chip);
void ShowClose(harness::app::Handle handle, const std::shared_ptr<harness::pnp::Device>& device,
               harness::chip::ChipModel& chip);

// --- Settings and reports through control codes (configure.cpp) -----------
// Sets the line through the control codes: a rate, 8N1, and a read total
// time-out in ms (0: reads wait for all their bytes). False if any failed.
bool SetLine(harness::app::Handle handle, ULONG baud, ULONG readTotalTimeoutMs);
// Rate, line control, RTS/CTS handflow, time-outs and wait mask, each
// request shown; false if a setting was refused.
bool ShowConfiguration(harness::app::Handle handle, PortExtension* port, harness::chip::ChipModel& chip);
void ShowPortReports(harness::app::Handle handle);

// --- A sleep during a transfer (power.cpp) ------------------------------------
void ShowSleepDuringTransfer(harness::app::Handle handle, const std::shared_ptr<harness::pnp::Device>& device,
                             harness::chip::ChipModel& chip);

// --- WMI (wmi.cpp) -------------------------------------------------------------
// The five data blocks read through the WMI client while the port is open.
void ShowWmiBlocks(const harness::pnp::Device& device);

// --- The second port, pulled out with requests pending (surprise.cpp) -------
struct PendingSession {
    std::u16string name;
    harness::app::Handle handle;
    std::shared_ptr<harness::app::Request> read, write, wait;
};
PendingSession ShowSecondPortBusy(const std::shared_ptr<harness::pnp::Device>& device);
void ShowSurpriseRemoval(const std::shared_ptr<harness::pnp::Device>& device, PendingSession& session);
void ShowClosingRemovedPort(const std::shared_ptr<harness::pnp::Device>& device, PendingSession& session);

// --- Removal and unload (removal.cpp) ---------------------------------------
void ShowPool(const char* heading);
void ShowRemoval(const std::shared_ptr<harness::pnp::Device>& device);
// Unloads the driver; closes the trace and the wire recording. False if
// the wire recording could not be written.
bool ShowUnload(std::shared_ptr<harness::pnp::Driver> driver, const Options& options,
                harness::chip::ChipModel& firstChip);

// --- The application's requests (request_log.cpp) --------------------------
// Every request the application sent into the ports' stacks during the run,
// one a line (harness/app/request_log.h).
void ShowRequestLog();

}  // namespace demo
