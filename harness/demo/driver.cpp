// The driver the demo runs: the host build linked into the program, or a
// Windows x64 image mapped by the loader. Most sections reach the driver
// only through the I/O manager and Plug and Play, which call whichever
// driver was loaded. The early sections also read the driver's globals and
// call a few of its routines directly, below the dispatch routines; for an
// image those are the image's own copies, found through its linker map and
// called with the Windows x64 convention, so that the whole run exercises
// the image's code and data and never mixes in the host build's.
#include <string>

#include "driver/driver_globals.h"
#include "harness/demo/demo.h"
#include "usb/chip_protocol.h"

namespace demo {

namespace {

// How image code is called: the Windows x64 convention. Images load only in
// the 64-bit host build, where the host's own routines use the System V
// convention and the two must not be confused.
#if defined(__x86_64__)
#define DEMO_IMAGE_CALL __attribute__((ms_abi))
#else
#define DEMO_IMAGE_CALL
#endif

using SetLineCodingRateFn = NTSTATUS(DEMO_IMAGE_CALL*)(PDEVICE_OBJECT, ULONG);
using SetLineCodingFormatFn = NTSTATUS(DEMO_IMAGE_CALL*)(PortExtension*);
using SetControlLinesFn = BOOLEAN(DEMO_IMAGE_CALL*)(PDEVICE_OBJECT, ControlLineAction);
using SendBreakFn = NTSTATUS(DEMO_IMAGE_CALL*)(PDEVICE_OBJECT, BOOLEAN);
using StreamPipeFn = USBD_PIPE_HANDLE(DEMO_IMAGE_CALL*)(const PortExtension*, StreamKind);

// The image's routines; all null when the demo runs the host build.
struct ImageRoutines {
    SetLineCodingRateFn setLineCodingRate = nullptr;
    SetLineCodingFormatFn setLineCodingFormat = nullptr;
    SetControlLinesFn setControlLines = nullptr;
    SendBreakFn sendBreak = nullptr;
    StreamPipeFn streamPipe = nullptr;
};

struct Running {
    harness::loader::DriverCode code;
    DriverGlobals* globals = &driverGlobals;
    ImageRoutines image;
};

Running& TheDriver() {
    static Running running;
    return running;
}

// The address of `name` in the image, as a routine of type Fn. False (and
// `missing` names it) when the linker map does not list it.
template <class Fn>
bool Find(const harness::loader::DriverCode& code, const char* name, Fn* routine, std::string* missing) {
    void* address = code.Global<void>(name, nullptr);
    if (address == nullptr) {
        if (!missing->empty()) *missing += ", ";
        *missing += name;
        return false;
    }
    *routine = reinterpret_cast<Fn>(address);
    return true;
}

}  // namespace

// The names are the demangled ones ld writes into the map.
bool UseDriver(harness::loader::DriverCode code, std::string* error) {
    Running running;
    running.code = std::move(code);
    if (running.code.IsImage()) {
        std::string missing;
        running.globals = running.code.Global<DriverGlobals>("driverGlobals", nullptr);
        if (running.globals == nullptr) missing = "driverGlobals";
        ImageRoutines& r = running.image;
        Find(running.code, "SetLineCodingRate(_DEVICE_OBJECT*, unsigned long)", &r.setLineCodingRate, &missing);
        Find(running.code, "SetLineCodingFormat(PortExtension*)", &r.setLineCodingFormat, &missing);
        Find(running.code, "SetControlLines(_DEVICE_OBJECT*, ControlLineAction)", &r.setControlLines, &missing);
        Find(running.code, "SendBreak(_DEVICE_OBJECT*, unsigned char)", &r.sendBreak, &missing);
        Find(running.code, "StreamPipe(PortExtension const*, StreamKind)", &r.streamPipe, &missing);
        if (!missing.empty()) {
            *error = running.code.Describe() + ": its linker map does not name " + missing;
            return false;
        }
    }
    TheDriver() = std::move(running);
    return true;
}

const harness::loader::DriverCode& Driver() { return TheDriver().code; }

const DriverGlobals& Globals() { return *TheDriver().globals; }

NTSTATUS DriverSetLineCodingRate(PDEVICE_OBJECT fdo, ULONG rate) {
    const ImageRoutines& image = TheDriver().image;
    return image.setLineCodingRate ? image.setLineCodingRate(fdo, rate) : SetLineCodingRate(fdo, rate);
}

NTSTATUS DriverSetLineCodingFormat(PortExtension* port) {
    const ImageRoutines& image = TheDriver().image;
    return image.setLineCodingFormat ? image.setLineCodingFormat(port) : SetLineCodingFormat(port);
}

BOOLEAN DriverSetControlLines(PDEVICE_OBJECT fdo, ControlLineAction action) {
    const ImageRoutines& image = TheDriver().image;
    return image.setControlLines ? image.setControlLines(fdo, action) : SetControlLines(fdo, action);
}

NTSTATUS DriverSendBreak(PDEVICE_OBJECT fdo, BOOLEAN on) {
    const ImageRoutines& image = TheDriver().image;
    return image.sendBreak ? image.sendBreak(fdo, on) : SendBreak(fdo, on);
}

USBD_PIPE_HANDLE DriverStreamPipe(const PortExtension* port, StreamKind kind) {
    const ImageRoutines& image = TheDriver().image;
    return image.streamPipe ? image.streamPipe(port, kind) : StreamPipe(port, kind);
}

void ReleaseDriver() { TheDriver() = Running(); }

}  // namespace demo
