// A recording of the chip's serial pins as a Value Change Dump (VCD), the
// format logic analysers write: GTKWave and PulseView open it, and sigrok's
// UART decoder reads the characters back out of it.
//
//   chip.RecordWire("run.vcd");   ...   chip.CloseWire();   // or destroy the chip
//
// Signals (wires of width 1, timescale 1 ns, levels as on the logic side of
// the line driver: 1 = mark/idle/asserted)
//   TX, RX   the data lines. A character is drawn bit by bit: start bit
//            (0), data bits LSB first, the parity bit if any, stop bits
//            (1); the line idles at 1. Each bit edge sits at the exact
//            frame start plus a whole number of bit times, rounded to the
//            nanosecond once (no rounding carried from bit to bit or from
//            frame to frame). A character sent with a framing error has its
//            first stop bit at 0 where a receiver samples it (its first
//            three quarters); one sent with a parity error carries the
//            wrong parity bit. A break holds the line at 0 (TX: the chip's
//            own break; RX: a break from the far end).
//   RTS, DTR  the chip's outputs, after its own flow control.
//   CTS, DSR, DCD, RI  the inputs as the far end drives them.
// The received data line shows what is on the wire, in the sender's rate
// and format, whether or not the chip's receiver can make sense of it.
//
// Everything is kept in memory (per character, not per edge) and written
// when the recording closes: the two data lines report a character only
// when its stop bit has ended, so their bit edges overlap in time and are
// merged into one time-ordered stream at the end. The header carries the
// date, "tarnlink harness" as version and the chip's description; initial
// values are given at time 0, all later times are the virtual clock's, and
// the last timestamp is the end of the recording (a decoder samples the
// last stop bit only if the dump goes on past it).
//
// Recording every chip of a test run: with the environment variable
// TARNLINK_WIRE_DIR set, every ChipModel created while a recording name is
// set (the test fixture sets "<suite>.<test>") records to
// $TARNLINK_WIRE_DIR/<suite>.<test>.<n>.vcd, n counting the chips of the
// test from 1.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "harness/usb/chip/chip_line.h"

namespace harness::chip {

class WireRecorder {
public:
    // Starts recording at `now` with the levels the pins have then; the
    // file is created at once (Ok() says whether it could be).
    WireRecorder(std::string path, std::string description, int64_t now, const ModemOutputs& outputs,
                 const ModemInputs& inputs);
    ~WireRecorder();  // closes at the latest time reported
    WireRecorder(const WireRecorder&) = delete;
    WireRecorder& operator=(const WireRecorder&) = delete;

    void TxCharacter(const LineChar& c);
    void RxCharacter(const LineChar& c);
    void Outputs(int64_t time, const ModemOutputs& outputs);  // RTS, DTR and the break on TX
    void Inputs(int64_t time, const ModemInputs& inputs);
    void RxBreak(int64_t time, bool on);

    // Writes the file, ending the recording at `now` (once; later calls do
    // nothing). False if it could not be written.
    bool Close(int64_t now);
    bool Ok() const { return file_ != nullptr || closed_; }
    const std::string& Path() const { return path_; }
    size_t CharacterCount() const { return characters_; }  // on TX and RX together

    // One entry on a data line: a character, or the line forced to 0 or
    // released (a break).
    struct LineItem {
        enum Kind : uint8_t { Character, BreakOn, BreakOff } kind = Character;
        uint8_t value = 0;
        bool framingError = false;
        bool parityError = false;
        LineFormat format;
        double start = 0;  // 100 ns units, exact (a break: its time)
    };
    // One change of a modem line.
    struct LevelChange {
        int64_t time;  // 100 ns units
        uint8_t signal;
        bool level;
    };

private:
    void Level(int64_t time, uint8_t signal, bool level);

    std::string path_;
    std::string description_;
    std::FILE* file_ = nullptr;
    bool closed_ = false;
    int64_t latest_ = 0;  // the latest time reported
    size_t characters_ = 0;
    std::vector<LineItem> lines_[2];  // TX, RX
    std::vector<LevelChange> changes_;
    bool levels_[8] = {};             // current level of each signal, to drop non-changes
    bool initial_[8] = {};
    bool txBreak_ = false, rxBreak_ = false;
};

// --- Recording every chip of a test run -----------------------------------
// The name a test gives its recordings ("" stops automatic recording);
// setting it restarts the count.
void SetWireRecordingName(const std::string& name);
// The file the next chip records to: a path when TARNLINK_WIRE_DIR is set
// and a name is, otherwise nothing.
std::optional<std::string> NextAutomaticWirePath();

}  // namespace harness::chip
