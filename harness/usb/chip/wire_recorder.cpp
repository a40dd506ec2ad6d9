// The chip's pins as a Value Change Dump: what is recorded while the chip
// runs, and how the characters are drawn bit by bit when the file is
// written.
#include "harness/usb/chip/wire_recorder.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <limits>

namespace harness::chip {

namespace {

enum Signal : uint8_t { kTx, kRx, kRts, kCts, kDtr, kDsr, kDcd, kRi, kSignalCount };
constexpr const char* kSignalNames[kSignalCount] = {"TX", "RX", "RTS", "CTS", "DTR", "DSR", "DCD", "RI"};
// VCD identifier codes: printable characters; '$' is left out because
// readers take a token starting with it for a keyword.
constexpr char kCodes[kSignalCount] = {'!', '"', '#', '%', '&', '\'', '(', ')'};

constexpr int64_t kNanosecondsPerUnit = 100;  // the virtual clock counts 100 ns

struct Edge {
    int64_t time;  // ns
    bool level;
};

// The edges of one data line, produced item by item in time order.
class LineEdges {
public:
    explicit LineEdges(const std::vector<WireRecorder::LineItem>& items) : items_(items) {}

    // The next edge, or nothing when the line has no more.
    const Edge* Peek() {
        while (next_ == pending_.size()) {
            if (item_ == items_.size()) return nullptr;
            pending_.clear();
            next_ = 0;
            Expand(items_[item_++]);
        }
        return &pending_[next_];
    }
    void Pop() { ++next_; }

private:
    void Add(int64_t time, bool level) {
        if (level == level_) return;
        time = std::max(time, last_);  // a misbehaving far end must not make time run backwards
        pending_.push_back(Edge{time, level});
        level_ = level;
        last_ = time;
    }

    void Expand(const WireRecorder::LineItem& item) {
        const double startNs = item.start * kNanosecondsPerUnit;
        if (item.kind != WireRecorder::LineItem::Character) {
            Add(std::llround(startNs), item.kind == WireRecorder::LineItem::BreakOff);
            return;
        }
        const LineFormat& f = item.format;
        if (f.baud <= 0) return;
        const double bitNs = 1e9 / f.baud;
        // Bit k starts at start + k bit times, each rounded once.
        auto at = [&](int k) { return std::llround(startNs + k * bitNs); };
        int k = 0;
        Add(at(k++), false);  // start bit
        for (int i = 0; i < f.dataBits; ++i) Add(at(k++), ((item.value >> i) & 1) != 0);
        if (f.parity != kParityNone) Add(at(k++), ParityBit(item.value, f) != item.parityError);
        // First stop bit. A broken one is at space where a receiver samples
        // it, and back at mark for its last quarter, so that the start bit
        // of a character right behind it still shows its falling edge.
        Add(at(k), !item.framingError);
        if (item.framingError) Add(std::llround(startNs + (k + 0.75) * bitNs), true);
    }

    const std::vector<WireRecorder::LineItem>& items_;
    size_t item_ = 0;
    std::vector<Edge> pending_;
    size_t next_ = 0;
    bool level_ = true;  // idle
    int64_t last_ = 0;
};

std::string Today() {
    const std::time_t now = std::time(nullptr);
    char text[64];
    std::tm tm{};
    gmtime_r(&now, &tm);
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &tm);
    return text;
}

// Buffered output with one error flag for the whole file.
class VcdFile {
public:
    explicit VcdFile(std::FILE* file) : file_(file) {}
    ~VcdFile() {
        if (file_) std::fclose(file_);
    }
    bool Ok() const { return file_ != nullptr && !failed_; }
    void Put(const std::string& text) {
        buffer_ += text;
        if (buffer_.size() > (1u << 16)) Flush();
    }
    void Time(int64_t ns) {
        char text[32];
        std::snprintf(text, sizeof text, "#%lld\n", static_cast<long long>(ns));
        Put(text);
    }
    void Value(uint8_t signal, bool level) {
        buffer_ += level ? '1' : '0';
        buffer_ += kCodes[signal];
        buffer_ += '\n';
    }
    bool Finish() {
        Flush();
        if (file_ && std::fclose(file_) != 0) failed_ = true;
        file_ = nullptr;
        return !failed_;
    }

private:
    void Flush() {
        if (file_ && !buffer_.empty() && std::fwrite(buffer_.data(), 1, buffer_.size(), file_) != buffer_.size())
            failed_ = true;
        buffer_.clear();
    }
    std::FILE* file_;
    std::string buffer_;
    bool failed_ = false;
};

struct AutomaticRecording {
    std::string name;
    int count = 0;
};

AutomaticRecording& Automatic() {
    static AutomaticRecording automatic;
    return automatic;
}

}  // namespace

WireRecorder::WireRecorder(std::string path, std::string description, int64_t now, const ModemOutputs& outputs,
                           const ModemInputs& inputs)
    : path_(std::move(path)), description_(std::move(description)) {
    // Opened now, so that a path that cannot be written is known at once.
    const std::filesystem::path parent = std::filesystem::path(path_).parent_path();
    std::error_code ignored;
    if (!parent.empty()) std::filesystem::create_directories(parent, ignored);
    file_ = std::fopen(path_.c_str(), "w");
    // The data lines start idle; a break already on is drawn as starting now.
    levels_[kTx] = levels_[kRx] = true;
    levels_[kRts] = outputs.rts;
    levels_[kDtr] = outputs.dtr;
    levels_[kCts] = inputs.cts;
    levels_[kDsr] = inputs.dsr;
    levels_[kDcd] = inputs.dcd;
    levels_[kRi] = inputs.ri;
    std::copy(std::begin(levels_), std::end(levels_), std::begin(initial_));
    Outputs(now, outputs);
}

WireRecorder::~WireRecorder() { Close(latest_); }

void WireRecorder::Level(int64_t time, uint8_t signal, bool level) {
    latest_ = std::max(latest_, time);
    if (levels_[signal] == level) return;
    levels_[signal] = level;
    changes_.push_back(LevelChange{time, signal, level});
}

void WireRecorder::TxCharacter(const LineChar& c) {
    latest_ = std::max(latest_, c.time);
    ++characters_;
    lines_[kTx].push_back(LineItem{LineItem::Character, c.value, c.framingError, c.parityError, c.format, c.Start()});
}

void WireRecorder::RxCharacter(const LineChar& c) {
    latest_ = std::max(latest_, c.time);
    ++characters_;
    lines_[kRx].push_back(LineItem{LineItem::Character, c.value, c.framingError, c.parityError, c.format, c.Start()});
}

void WireRecorder::Outputs(int64_t time, const ModemOutputs& outputs) {
    latest_ = std::max(latest_, time);
    Level(time, kRts, outputs.rts);
    Level(time, kDtr, outputs.dtr);
    if (outputs.brk != txBreak_) {
        txBreak_ = outputs.brk;
        lines_[kTx].push_back(LineItem{txBreak_ ? LineItem::BreakOn : LineItem::BreakOff, 0, false, false, {},
                                       static_cast<double>(time)});
    }
}

void WireRecorder::Inputs(int64_t time, const ModemInputs& inputs) {
    Level(time, kCts, inputs.cts);
    Level(time, kDsr, inputs.dsr);
    Level(time, kDcd, inputs.dcd);
    Level(time, kRi, inputs.ri);
}

void WireRecorder::RxBreak(int64_t time, bool on) {
    latest_ = std::max(latest_, time);
    if (on == rxBreak_) return;
    rxBreak_ = on;
    lines_[kRx].push_back(
        LineItem{on ? LineItem::BreakOn : LineItem::BreakOff, 0, false, false, {}, static_cast<double>(time)});
}

bool WireRecorder::Close(int64_t now) {
    if (closed_) return true;
    closed_ = true;
    VcdFile out(file_);
    file_ = nullptr;
    if (!out.Ok()) return false;

    out.Put("$date\n  " + Today() + "\n$end\n");
    out.Put("$version\n  tarnlink harness\n$end\n");
    out.Put("$comment\n  serial pins of " + description_ + "\n$end\n");
    out.Put("$timescale 1 ns $end\n");
    out.Put("$scope module chip $end\n");
    for (uint8_t s = 0; s < kSignalCount; ++s)
        out.Put(std::string("$var wire 1 ") + kCodes[s] + " " + kSignalNames[s] + " $end\n");
    out.Put("$upscope $end\n$enddefinitions $end\n");
    out.Put("#0\n$dumpvars\n");
    for (uint8_t s = 0; s < kSignalCount; ++s) out.Value(s, initial_[s]);
    out.Put("$end\n");

    // Merge the three time-ordered streams: TX edges, RX edges, modem lines.
    LineEdges tx(lines_[kTx]), rx(lines_[kRx]);
    size_t change = 0;
    int64_t written = 0;  // the initial values stand at #0
    for (;;) {
        const Edge* t = tx.Peek();
        const Edge* r = rx.Peek();
        const int64_t modemTime = change < changes_.size() ? changes_[change].time * kNanosecondsPerUnit
                                                           : std::numeric_limits<int64_t>::max();
        int64_t next = modemTime;
        if (t) next = std::min(next, t->time);
        if (r) next = std::min(next, r->time);
        if (next == std::numeric_limits<int64_t>::max()) break;
        if (next != written) {
            out.Time(next);
            written = next;
        }
        if (t && t->time == next) {
            out.Value(kTx, t->level);
            tx.Pop();
        } else if (r && r->time == next) {
            out.Value(kRx, r->level);
            rx.Pop();
        } else {
            out.Value(changes_[change].signal, changes_[change].level);
            ++change;
        }
    }
    const int64_t end = std::max(now, latest_) * kNanosecondsPerUnit;
    if (end > written) out.Time(end);
    return out.Finish();
}

void SetWireRecordingName(const std::string& name) {
    Automatic().name = name;
    Automatic().count = 0;
}

std::optional<std::string> NextAutomaticWirePath() {
    const char* dir = std::getenv("TARNLINK_WIRE_DIR");
    AutomaticRecording& a = Automatic();
    if (dir == nullptr || *dir == '\0' || a.name.empty()) return std::nullopt;
    std::string name = a.name;
    std::replace(name.begin(), name.end(), '/', '_');  // parameterised tests
    return std::string(dir) + "/" + name + "." + std::to_string(++a.count) + ".vcd";
}

}  // namespace harness::chip
