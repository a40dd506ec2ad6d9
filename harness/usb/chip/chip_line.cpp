// Line coding record, rate-word decoding, character frames and the decoding
// of the chip's flow-control registers.
#include "harness/usb/chip/chip_line.h"

#include <bit>
#include <cstdio>

namespace harness::chip {

std::vector<uint8_t> LineCoding::Encode() const {
    return {static_cast<uint8_t>(rateWord), static_cast<uint8_t>(rateWord >> 8), static_cast<uint8_t>(rateWord >> 16),
            static_cast<uint8_t>(rateWord >> 24), stopBits, parity, dataBits};
}

std::optional<LineCoding> LineCoding::Decode(const std::vector<uint8_t>& bytes) {
    if (bytes.size() < 7) return std::nullopt;
    LineCoding c;
    c.rateWord = static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
                 static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
    c.stopBits = bytes[4];
    c.parity = bytes[5];
    c.dataBits = bytes[6];
    if (c.stopBits > kStopTwo || c.parity > kParitySpace || c.dataBits < 5 || c.dataBits > 8) return std::nullopt;
    return c;
}

double DecodeRateWord(uint32_t word, int generation, double maxRate) {
    double rate = 0;
    if ((word & 0x80000000u) != 0 && generation >= 2) {
        const uint32_t m = word & 0x1FF;
        const uint32_t e = (word >> 9) & 7;
        if (m == 0) return 0;
        rate = 384000000.0 / (static_cast<double>(m) * static_cast<double>(1u << (2 * e)));
    } else {
        rate = static_cast<double>(word);
    }
    return rate > maxRate ? 0 : rate;
}

int LineFormat::HalfBits() const {
    const int stopHalves = stopBits == kStopOneAndHalf ? 3 : stopBits == kStopTwo ? 4 : 2;
    return 2 * (1 + dataBits + (parity != kParityNone ? 1 : 0)) + stopHalves;
}

double LineFormat::CharTime() const { return baud > 0 ? HalfBits() * 5.0e6 / baud : 0; }

std::string LineFormat::ToString() const {
    static const char kParity[] = "NOEMS";
    const char* stop = stopBits == kStopOneAndHalf ? "1.5" : stopBits == kStopTwo ? "2" : "1";
    char text[64];
    std::snprintf(text, sizeof text, "%.0f %u%c%s", baud, dataBits, parity <= kParitySpace ? kParity[parity] : '?',
                  stop);
    return text;
}

LineFormat FormatOf(const LineCoding& coding, double rate) {
    LineFormat f;
    f.baud = rate;
    f.dataBits = coding.dataBits;
    f.parity = coding.parity;
    f.stopBits = coding.stopBits;
    return f;
}

bool ParityBit(uint8_t value, const LineFormat& format) {
    const bool odd = (std::popcount(static_cast<unsigned>(value & format.DataMask())) & 1) != 0;
    switch (format.parity) {
        case kParityOdd: return !odd;
        case kParityEven: return odd;
        case kParityMark: return true;
        default: return false;
    }
}

uint16_t StatusBitsOf(const ModemInputs& in) {
    return static_cast<uint16_t>((in.dcd ? kStatusDcd : 0) | (in.dsr ? kStatusDsr : 0) | (in.ri ? kStatusRing : 0) |
                                 (in.cts ? kStatusCts : 0));
}

FlowSettings DecodeFlowRegisters(uint8_t r0, uint8_t r1, int generation) {
    FlowSettings f;
    const uint8_t mode = r0 & 0xC0;
    if (mode == 0x40) {
        if (generation >= 3 && (r1 & 0x04) != 0) {
            f.cts = (r1 & 0x02) != 0;
            f.dsr = (r1 & 0x01) != 0;
        } else {
            f.cts = true;
            f.dsr = (r0 & 0x08) != 0;
        }
    } else if (mode == 0xC0 && generation >= 2) {
        f.xonXoff = true;
    }
    f.rts = generation >= 2 && (r0 & 0x20) != 0;
    return f;
}

}  // namespace harness::chip
