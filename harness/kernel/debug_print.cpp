// DbgPrint: printf-style output (by the kernel's rules, debug_format.h) to the kernel debugger's line log.
#include <cstdarg>
#include <cstdio>
#include <deque>
#include <mutex>

#include "harness/kernel/debug_format.h"
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

namespace {

// The arguments of a DbgPrint call as the caller's convention passes them:
// on x64 the Microsoft variable argument list (every argument in an 8-byte
// slot), on x86 the host's cdecl list.
#if defined(KM_X64)
using CallerList = __builtin_ms_va_list;
#define DEBUG_PRINT_START(list, last) __builtin_ms_va_start(list, last)
#define DEBUG_PRINT_END(list) __builtin_ms_va_end(list)
#else
using CallerList = va_list;
#define DEBUG_PRINT_START(list, last) va_start(list, last)
#define DEBUG_PRINT_END(list) va_end(list)
#endif

struct CallerArguments : harness::debug::ArgumentSource {
    explicit CallerArguments(CallerList& list) : list(list) {}
    std::uint32_t Next32() override { return __builtin_va_arg(list, std::uint32_t); }
    std::uint64_t Next64() override { return __builtin_va_arg(list, std::uint64_t); }
    const void* NextPointer() override { return __builtin_va_arg(list, const void*); }
    CallerList& list;
};

}  // namespace

ULONG NTAPI DbgPrint(PCSTR Format, ...) {
    harness::HarnessScope harnessState;
    if (Format == nullptr) return STATUS_SUCCESS;
    CallerList list;
    DEBUG_PRINT_START(list, Format);
    CallerArguments arguments(list);
    const std::string text = harness::debug::FormatDebugText(Format, arguments);
    DEBUG_PRINT_END(list);
    harness::debug::Append(text);
    return STATUS_SUCCESS;
}
