// Serial control codes and their records as a port monitor prints them:
// the IOCTL_SERIAL_* names, line settings as "8N1", handshake and flow bits,
// event, purge and modem-line masks by their SERIAL_* names, and data bytes
// in hex beside their printable form. Names and layouts are the ones the
// platform's ntddser.h defines (harness/km/ntddser.h on the host).
//
// Bits without a name print as hex after the named ones ("SERIAL_EV_RXCHAR|
// 0x8000"), so a value a driver or a test got wrong stays visible; a record
// shorter than its layout prints as its raw bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "harness/km/wdm.h"

namespace harness::app {

// "IOCTL_SERIAL_SET_BAUD_RATE"; internal device controls use their own
// names (IOCTL_SERIAL_INTERNAL_*, whose values overlap the public codes).
// Unknown codes print as "IOCTL 0x001b0fff".
std::string ControlCodeName(ULONG code, bool internal = false);

// --- Records --------------------------------------------------------------
std::string LineControlText(const SERIAL_LINE_CONTROL& line);  // "8N1", "7E1.5", "8N2"
// "ControlHandShake=SERIAL_DTR_CONTROL|SERIAL_CTS_HANDSHAKE
//  FlowReplace=SERIAL_RTS_CONTROL|SERIAL_AUTO_TRANSMIT XonLimit=2048 XoffLimit=512"
std::string HandflowText(const SERIAL_HANDFLOW& handflow);
// The five time-outs in ms, MAXULONG by name: "RI=MAXULONG RM=0 RC=0 WM=0 WC=500"
// (read interval, read total multiplier and constant, write multiplier and constant).
std::string TimeoutsText(const SERIAL_TIMEOUTS& timeouts);
std::string QueueSizeText(const SERIAL_QUEUE_SIZE& sizes);  // "InSize=4096 OutSize=1024"
std::string CharsText(const SERIAL_CHARS& chars);  // "Eof=0x1a Error=0x00 ... Xon=0x11 Xoff=0x13"
std::string CommStatusText(const SERIAL_STATUS& status);
std::string XoffCounterText(const SERIAL_XOFF_COUNTER& counter);
std::string StatsText(const SERIALPERF_STATS& stats);
std::string PropertiesText(const SERIAL_COMMPROP& properties);

// --- Masks ----------------------------------------------------------------
std::string WaitMaskText(ULONG mask);     // "SERIAL_EV_RXCHAR|SERIAL_EV_CTS"; "0"
std::string PurgeMaskText(ULONG mask);    // "SERIAL_PURGE_TXABORT|SERIAL_PURGE_RXCLEAR"
// The modem-status register image of IOCTL_SERIAL_GET_MODEMSTATUS: line
// states and their change bits, "SERIAL_MSR_CTS|SERIAL_MSR_DSR|SERIAL_MSR_DDCD".
std::string ModemStatusText(ULONG msr);
std::string DtrRtsText(ULONG lines);        // "SERIAL_DTR_STATE|SERIAL_RTS_STATE"
std::string ModemControlText(ULONG mcr);    // "SERIAL_IOC_MCR_DTR|SERIAL_IOC_MCR_OUT2"

// --- Buffers of a control code -------------------------------------------
// What the application passed in and what it got back, decoded by the
// record the code carries; empty when the buffer is empty.
std::string DecodeControlInput(ULONG code, bool internal, std::span<const uint8_t> input);
std::string DecodeControlOutput(ULONG code, bool internal, std::span<const uint8_t> output);

// Data bytes: "5 bytes: 48 65 6c 6c 6f |Hello|", at most `most` bytes
// shown, then "... (+N)". Unprintable bytes show as '.' on the right.
std::string BytesText(std::span<const uint8_t> bytes, size_t most);

}  // namespace harness::app
