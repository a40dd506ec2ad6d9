// Line coding: the chip learns its rate, data bits, stop bits and parity
// from the CDC class request SET_LINE_CODING, whose 7-byte record
// (little-endian) is
//   0  4  rate word: a plain rate, a divisor word (bit 31 set) or an
//         ExtBaudrate value
//   4  1  stop bits: 0 one, 1 one and a half, 2 two
//   5  1  parity: 0 none, 1 odd, 2 even, 3 mark, 4 space
//   6  1  data bits: 5 to 8
// Each operation replaces its own part of the stored record and sends it
// whole.
#include "driver/driver_globals.h"
#include "usb/chip_protocol.h"

namespace {

constexpr LONGLONG kRateSettlePause = -500000;  // 50 ms, relative: the chip's clock settles

// The fastest rate that generations 0 and 1 take as a plain rate word; from
// generation 2 on, rates above it are sent as the table's divisor word.
constexpr ULONG kPlainRateLimit = 115200;
// From this rate on, generation 2 and later move write data in large
// transfers.
constexpr ULONG kLargeChunkRate = 115200;

// Bits of the UART-style line-control image.
constexpr UCHAR kWordLengthMask = 0x03;
constexpr UCHAR kExtraStopBit = 0x04;
constexpr UCHAR kParityShift = 3;

constexpr UCHAR kStopBitsOne = 0;
constexpr UCHAR kStopBitsOneAndHalf = 1;
constexpr UCHAR kStopBitsTwo = 2;

// Sends the stored record. FALSE when no request block could be allocated.
BOOLEAN SendLineCoding(PDEVICE_OBJECT deviceObject, const PortExtension* port, NTSTATUS* status) {
    UCHAR record[LINE_CODING_LENGTH];
    const ULONG rate = port->lineCodingRate;
    record[0] = static_cast<UCHAR>(rate);
    record[1] = static_cast<UCHAR>(rate >> 8);
    record[2] = static_cast<UCHAR>(rate >> 16);
    record[3] = static_cast<UCHAR>(rate >> 24);
    record[4] = port->lineCodingStopBits;
    record[5] = port->lineCodingParity;
    record[6] = port->lineCodingDataBits;
    return ClassRequest(deviceObject, CDC_SET_LINE_CODING, 0, record, LINE_CODING_LENGTH, status);
}

// Parity of the record from bits 3-5 of the line-control image: bit 3
// enables parity, bit 4 makes it even, bit 5 sticks it (mark or space).
// Without bit 3 there is no parity.
UCHAR ParityOf(UCHAR lineControl) {
    switch ((lineControl >> kParityShift) & 7) {
    case 1:
        return 1;  // odd
    case 3:
        return 2;  // even
    case 5:
        return 3;  // mark
    case 7:
        return 4;  // space
    default:
        return 0;  // none
    }
}

}  // namespace

NTSTATUS SetLineCodingRate(PDEVICE_OBJECT deviceObject, ULONG rate) {
    if (KeGetCurrentIrql() > PASSIVE_LEVEL) return STATUS_UNSUCCESSFUL;
    PortExtension* port = PortFromDevice(deviceObject);
    // An unchanged rate is sent again only if the chip never got a record:
    // the character time takes an unset rate as 9600 and records it, so
    // currentBaud can hold a rate the chip was never told.
    if (rate == 0 || (rate == port->currentBaud && port->lineCodingRate != 0)) return STATUS_SUCCESS;

    // A rate configured under ExtBaudrate is sent as its configured value
    // (generation 2 and later only); any other rate goes to the table.
    const UCHAR previousExt = port->extRateMatched;
    port->extRateMatched = 0;
    const LONG ext = ChipAtLeast(port, CHIP_GEN_EXTENDED) ? FindExtRate(rate) : -1;
    ULONG applied = rate;
    ULONG rateWord;
    if (ext >= 0) {
        port->extRateMatched = 1;
        rateWord = driverGlobals.extBaudTable[ext].rateValue;
    } else {
        const ULONG row = FindNearestRate(&applied);
        rateWord = (ChipAtLeast(port, CHIP_GEN_EXTENDED) && applied > kPlainRateLimit) ? rateTable[row].divisorWord
                                                                                       : applied;
    }
    const ULONG previousWord = port->lineCodingRate;
    port->lineCodingRate = rateWord;

    NTSTATUS status;
    const BOOLEAN sent = SendLineCoding(deviceObject, port, &status);
    if (!sent || !NT_SUCCESS(status)) {
        // The chip still runs at the old rate: so does the record, and the
        // caller learns that the rate was not applied.
        port->lineCodingRate = previousWord;
        port->extRateMatched = previousExt;
        return sent ? status : STATUS_INSUFFICIENT_RESOURCES;
    }

    KIRQL irql;
    KeAcquireSpinLock(&port->controlLock, &irql);
    port->currentBaud = applied;
    port->wmiCommData.BaudRate = applied;
    port->txChunkLimit =
        (ChipAtLeast(port, CHIP_GEN_EXTENDED) && applied >= kLargeChunkRate) ? TX_CHUNK_LARGE : TX_CHUNK_SMALL;
    KeReleaseSpinLock(&port->controlLock, irql);

    LARGE_INTEGER pause;
    pause.QuadPart = kRateSettlePause;
    KeDelayExecutionThread(KernelMode, FALSE, &pause);
    return status;
}

NTSTATUS SetLineCodingFormat(PortExtension* port) {
    if (KeGetCurrentIrql() > PASSIVE_LEVEL) return STATUS_SUCCESS;
    const UCHAR lineControl = port->lineControl;
    const UCHAR dataBits = static_cast<UCHAR>((lineControl & kWordLengthMask) + 5);
    UCHAR stopBits = kStopBitsOne;
    if (lineControl & kExtraStopBit) stopBits = dataBits == 5 ? kStopBitsOneAndHalf : kStopBitsTwo;

    const UCHAR previous[3] = {port->lineCodingDataBits, port->lineCodingStopBits, port->lineCodingParity};
    port->lineCodingDataBits = dataBits;
    port->lineCodingStopBits = stopBits;
    port->lineCodingParity = ParityOf(lineControl);
    // Until a rate has been set there is no whole record to send: a rate
    // word of 0 would stop a line that runs at the chip's own power-on
    // coding. The first rate sends this format with it.
    if (port->lineCodingRate == 0) return STATUS_SUCCESS;

    NTSTATUS status;
    const BOOLEAN sent = SendLineCoding(port->deviceObject, port, &status);
    if (!sent || !NT_SUCCESS(status)) {
        // The record keeps what the chip holds, so that the next rate
        // change does not send a format the chip refused.
        port->lineCodingDataBits = previous[0];
        port->lineCodingStopBits = previous[1];
        port->lineCodingParity = previous[2];
        return sent ? status : STATUS_INSUFFICIENT_RESOURCES;
    }
    return status;
}
