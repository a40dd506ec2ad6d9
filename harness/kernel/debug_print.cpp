// DbgPrint: printf-style output to the kernel debugger's line log.
#include <cstdarg>
#include <cstdio>
#include <deque>
#include <mutex>

#include "harness/kernel/debug_log.h"
#include "harness/kernel/harness_lock.h"
#include "harness/kernel/kernel.h"
#include "harness/km/ex.h"

namespace harness::debug {
namespace {

constexpr std::size_t kMaxLines = 100000;

struct DebugLog {
    std::deque<std::string> lines;  // complete lines
    std::string partial;            // text after the last newline
    bool echo = false;
};

std::mutex& Mutex() {
    static std::mutex mutex;
    return mutex;
}

DebugLog& Log() {
    static DebugLog log;
    return log;
}

void Append(const std::string& text) {
    std::lock_guard<std::mutex> lock(Mutex());
    DebugLog& log = Log();
    if (log.echo) {
        std::fwrite(text.data(), 1, text.size(), stdout);
        std::fflush(stdout);
    }
    for (char c : text) {
        if (c == '\n') {
            log.lines.push_back(std::move(log.partial));
            log.partial.clear();
            if (log.lines.size() > kMaxLines) log.lines.pop_front();
        } else {
            log.partial.push_back(c);
        }
    }
}

void Reset() {
    std::lock_guard<std::mutex> lock(Mutex());
    Log().lines.clear();
    Log().partial.clear();
}

ResetRegistration reset(kResetDebugLog, &Reset);

}  // namespace

std::vector<std::string> Lines() {
    std::lock_guard<std::mutex> lock(Mutex());
    std::vector<std::string> lines(Log().lines.begin(), Log().lines.end());
    if (!Log().partial.empty()) lines.push_back(Log().partial);
    return lines;
}

bool Contains(std::string_view text) {
    for (const std::string& line : Lines())
        if (line.find(text) != std::string::npos) return true;
    return false;
}

void Clear() { Reset(); }

void SetEcho(bool echo) {
    std::lock_guard<std::mutex> lock(Mutex());
    Log().echo = echo;
}

}  // namespace harness::debug

ULONG DbgPrint(PCSTR Format, ...) {
    harness::HarnessScope harnessState;
    if (Format == nullptr) return STATUS_SUCCESS;
    va_list args;
    va_start(args, Format);
    va_list copy;
    va_copy(copy, args);
    const int length = std::vsnprintf(nullptr, 0, Format, copy);
    va_end(copy);
    std::string text;
    if (length > 0) {
        text.resize(static_cast<std::size_t>(length) + 1);
        std::vsnprintf(text.data(), text.size(), Format, args);
        text.resize(static_cast<std::size_t>(length));
    }
    va_end(args);
    harness::debug::Append(text);
    return STATUS_SUCCESS;
}
