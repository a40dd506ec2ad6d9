// DbgPrint's format rules, which are the kernel C library's and not the
// host's: ULONG-sized `l` (%ld and %lx are 32 bits on x64 too), `ll` and
// `I64` for 64 bits, `I` for the pointer size, `h` for 16 bits, %p as the
// pointer's full width in upper-case hex (16 digits on x64), %ws/%ls/%S a
// UTF-16 string, %wc/%C a UTF-16 character, %Z an ANSI_STRING*, %wZ a
// UNICODE_STRING*. Wide text is narrowed as the kernel's ANSI conversion
// does for text outside ASCII in the default code page: each such
// character becomes '?'. %n prints nothing and stores nothing (the kernel's
// printf refuses it). Floating-point conversions are not served in kernel
// mode and print their conversion text back unchanged ("%f" stays "%f").
#pragma once

#include <cstdint>
#include <string>

namespace harness::debug {

// Where the formatter takes its arguments from: a host va_list, or the
// Microsoft x64 one that an image's DbgPrint call passes.
struct ArgumentSource {
    virtual ~ArgumentSource() = default;
    virtual std::uint32_t Next32() = 0;
    virtual std::uint64_t Next64() = 0;
    virtual const void* NextPointer() = 0;
};

std::string FormatDebugText(const char* format, ArgumentSource& arguments);

}  // namespace harness::debug
