// A trace of the USB traffic below the function driver, written as a pcap
// file with the USBPcap link type (249), which Wireshark and tshark read.
//
// Each URB gives two packets, as a capture filter sitting above the hub's
// PDO records them: one when the URB goes down (info bit 0 clear, "FDO ->
// PDO") and one when it completes (bit 0 set, with the URB's USBD status).
// Control transfers carry the one-byte stage after the 27-byte packet
// header: the submission is the SETUP stage with the 8-byte setup packet
// followed by any host-to-device data; the completion is the COMPLETE stage
// with any device-to-host data. Bulk and interrupt submissions carry OUT
// data, their completions IN data. Other URBs (pipe aborts and resets,
// frame numbers) are recorded as IRP information packets without data.
// Time stamps are the virtual clock as system time (boot = 2026-01-01 UTC).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "harness/km/wdm.h"

namespace harness::usb {

// Starts writing to `path` (replacing the file); stops a trace already
// running first. Returns false if the file cannot be created.
bool StartTrace(const std::string& path);
// Flushes and closes the file. Reset stops a running trace too.
void StopTrace();
// True while packets are wanted: a file trace runs or an observer is set.
bool IsTracing();
// Packets written since StartTrace.
size_t TracePacketCount();

namespace trace {

// USBPcap control stages.
constexpr uint8_t kStageSetup = 0;
constexpr uint8_t kStageData = 1;
constexpr uint8_t kStageStatus = 2;
constexpr uint8_t kStageComplete = 3;

// One packet, as the host controller hands it over.
struct Packet {
    uint64_t irpId = 0;
    USBD_STATUS status = USBD_STATUS_SUCCESS;
    uint16_t function = 0;
    bool completion = false;  // PDO -> FDO
    uint16_t bus = 1;
    uint16_t device = 0;
    uint8_t endpoint = 0;  // with direction bit
    uint8_t transfer = 0;  // 0 isochronous, 1 interrupt, 2 control, 3 bulk, 0xFE IRP information
    int stage = -1;        // control transfers only
    const uint8_t* data = nullptr;
    size_t length = 0;
};

// Appends the packet if a trace is running, and shows it to the observer.
void Write(const Packet& packet);

// Sees every packet as it is traced, file or no file (the demo lists the
// transfers of its data exchange); empty to stop. Reset clears it.
using Observer = std::function<void(const Packet&)>;
void SetObserver(Observer observer);

}  // namespace trace
}  // namespace harness::usb
