// The serial line of the bridge chip: the line-coding record the host sends,
// how the chip turns its rate word into a bit rate, the shape of one
// character on the wire, the modem-control lines and the status word the
// chip reports on its interrupt endpoint.
//
// Rate words (SET_LINE_CODING, bytes 0-3, little-endian)
//   Bit 31 clear: a plain rate in bits per second.
//   Bit 31 set, generation 2 and later: a divisor word. m = bits 0-8,
//   e = bits 9-11, rate = 384 000 000 / (m * 4^e); bits 12-30 are ignored
//   and m = 0 is not a rate. Older generations do not know divisor words
//   and read the word as a plain (absurdly high) rate.
//   A word of 0, an invalid divisor or a rate above the chip's maximum
//   (ChipConfig::maxRate) leaves the line stopped: nothing is sent and the
//   receiver ignores the line until a usable rate arrives.
//
// Register-0 flow-control field, as this chip defines it
//   bits 7-6  input handshake mode: 00 none, 01 (0x40) hardware handshake,
//             11 (0xC0) XON/XOFF (generation 2 and later), 10 reserved (none).
//   bit 5     (0x20) RTS flow: the chip drops RTS while its receive FIFO is
//             filling (generation 2 and later).
//   bit 4     (0x10) RTS output drive strength; stored, no effect.
//   bit 3     (0x08) with hardware handshake: DSR gates transmission too.
//   bits 2-0  (0x04, 0x03) pin options; stored, no effect. The power-on
//             default 0x01 and the fixed value 0x31 carry no flow control
//             beyond bit 5.
//   Generations 3 and 4 also look at control register 1: with bit 2 (0x04)
//   set and hardware handshake on, bit 1 (0x02) selects CTS and bit 0
//   (0x01) selects DSR, overriding the register-0 choice. Register 1 bit 3
//   (0x08) of generation 4 is a pin-function strap; stored, no effect.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace harness::chip {

// --- Status word (bytes 8-9 of the interrupt-in message) --------------------
constexpr uint16_t kStatusDcd = 0x0001;
constexpr uint16_t kStatusDsr = 0x0002;
constexpr uint16_t kStatusBreak = 0x0004;
constexpr uint16_t kStatusRing = 0x0008;
constexpr uint16_t kStatusFraming = 0x0010;
constexpr uint16_t kStatusParity = 0x0020;
constexpr uint16_t kStatusOverrun = 0x0040;
constexpr uint16_t kStatusCts = 0x0080;
// Line events: latched when they happen, reported once, then cleared.
constexpr uint16_t kStatusLatchedBits = kStatusBreak | kStatusFraming | kStatusParity | kStatusOverrun;

// Parity codes of the line-coding record.
enum : uint8_t { kParityNone = 0, kParityOdd = 1, kParityEven = 2, kParityMark = 3, kParitySpace = 4 };
// Stop-bit codes of the line-coding record.
enum : uint8_t { kStopOne = 0, kStopOneAndHalf = 1, kStopTwo = 2 };

// The 7-byte record of SET_LINE_CODING and GET_LINE_CODING.
struct LineCoding {
    uint32_t rateWord = 9600;
    uint8_t stopBits = kStopOne;
    uint8_t parity = kParityNone;
    uint8_t dataBits = 8;

    std::vector<uint8_t> Encode() const;
    // Fails for records shorter than 7 bytes or with fields outside the
    // record's ranges (data bits 5-8, parity 0-4, stop bits 0-2).
    static std::optional<LineCoding> Decode(const std::vector<uint8_t>& bytes);
    bool operator==(const LineCoding&) const = default;
};

// The bit rate a rate word gives on a chip of `generation`; 0 means the
// line is stopped (see above).
double DecodeRateWord(uint32_t word, int generation, double maxRate);

// A divisor word: m = bits 0-8, e = bits 9-11.
constexpr uint32_t DivisorWord(uint32_t m, uint32_t e) { return 0x80000000u | (e & 7) << 9 | (m & 0x1FF); }

// One character frame as it travels on the wire.
struct LineFormat {
    double baud = 9600;
    uint8_t dataBits = 8;
    uint8_t parity = kParityNone;
    uint8_t stopBits = kStopOne;

    // Length of a frame in half bits: start, data, parity, stop bits.
    int HalfBits() const;
    // Duration of a frame in 100 ns units (not rounded).
    double CharTime() const;
    double BitTime() const { return baud > 0 ? 1e7 / baud : 0; }
    uint8_t DataMask() const { return static_cast<uint8_t>((1u << dataBits) - 1); }
    std::string ToString() const;  // "9600 8N1"
};

LineFormat FormatOf(const LineCoding& coding, double rate);

// Frame times are sums of fractional character times; the floating-point
// error of those sums (far below a picosecond) must not push a time that
// is a whole clock unit into the next one.
constexpr double kTimeSlack = 1e-6;  // 100 ns units
// The first whole clock unit (100 ns) at or after the exact time `t`.
inline int64_t CeilTime(double t) {
    const double whole = static_cast<double>(static_cast<int64_t>(t));
    return static_cast<int64_t>(t - whole > kTimeSlack ? whole + 1 : whole);
}
// Whether the exact time `t` has come at clock time `now`.
inline bool Reached(double t, int64_t now) { return t <= static_cast<double>(now) + kTimeSlack; }

// The parity bit a frame of `format` carries for `value`.
bool ParityBit(uint8_t value, const LineFormat& format);

// One character on the wire.
struct LineChar {
    uint8_t value = 0;
    LineFormat format;          // how the sender framed it
    bool framingError = false;  // the sender broke the stop bit
    bool parityError = false;   // the sender sent the wrong parity bit
    int64_t time = 0;           // virtual time at which its stop bit ended
    // Exact virtual time at which its start bit began, in fractional 100 ns
    // units (the clock rounds `time` up to a whole unit; back-to-back
    // frames are timed from this exact value). Negative: not known.
    double start = -1;

    double Start() const { return start >= 0 ? start : static_cast<double>(time) - format.CharTime(); }
};

// Lines the chip drives.
struct ModemOutputs {
    bool dtr = false;
    bool rts = false;
    bool brk = false;  // TXD held at space
    bool operator==(const ModemOutputs&) const = default;
};

// Lines the chip reads.
struct ModemInputs {
    bool cts = false;
    bool dsr = false;
    bool dcd = false;
    bool ri = false;
    bool operator==(const ModemInputs&) const = default;
};

uint16_t StatusBitsOf(const ModemInputs& inputs);

// Flow control the chip applies itself, decoded from control registers 0
// and 1 (see above).
struct FlowSettings {
    bool cts = false;      // hold transmission while CTS is low
    bool dsr = false;      // hold transmission while DSR is low
    bool rts = false;      // drop RTS while the receive FIFO fills
    bool xonXoff = false;  // obey and send XON/XOFF characters
    bool operator==(const FlowSettings&) const = default;
};

FlowSettings DecodeFlowRegisters(uint8_t r0, uint8_t r1, int generation);

}  // namespace harness::chip
