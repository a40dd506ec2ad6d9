// Counted strings of the run-time library: UNICODE_STRING and ANSI_STRING.
//
// Lengths are in bytes and exclude any terminator; a terminator is written
// only where Windows writes one, and only when the buffer has room for it,
// so driver code that assumes one where the kernel gives no guarantee reads
// past the string (and AddressSanitizer says so).
#include <algorithm>
#include <cstring>
#include <string>

#include "harness/kernel/pool.h"
#include "harness/kernel/text.h"
#include "harness/kernel/verifier.h"
#include "harness/km/rtl.h"

namespace {

constexpr USHORT kMaxCountedBytes = 0xFFFE;

// Pool tag of the buffers the run-time library allocates for its callers.
ULONG StringTag() { return harness::pool::Tag("Strg"); }

bool ValidDestination(PCUNICODE_STRING s, const char* routine) {
    if (s == nullptr) {
        harness::BugCheck("BAD_UNICODE_STRING", routine, "the destination string is a null pointer");
        return false;
    }
    if (s->Length > s->MaximumLength || (s->Buffer == nullptr && s->MaximumLength != 0)) {
        harness::BugCheck("BAD_UNICODE_STRING", routine,
                          "destination string with Length " + std::to_string(s->Length) + ", MaximumLength " +
                              std::to_string(s->MaximumLength) +
                              (s->Buffer == nullptr ? " and no buffer" : " (longer than its buffer)"));
        return false;
    }
    return true;
}

// Appends `bytes` bytes of UTF-16 text, with a terminator if there is room.
NTSTATUS AppendBytes(PUNICODE_STRING destination, const WCHAR* source, USHORT bytes) {
    if (bytes == 0) return STATUS_SUCCESS;
    if (static_cast<ULONG>(destination->Length) + bytes > destination->MaximumLength) return STATUS_BUFFER_TOO_SMALL;
    std::memmove(reinterpret_cast<UCHAR*>(destination->Buffer) + destination->Length, source, bytes);
    destination->Length = static_cast<USHORT>(destination->Length + bytes);
    if (static_cast<ULONG>(destination->Length) + sizeof(WCHAR) <= destination->MaximumLength)
        destination->Buffer[destination->Length / sizeof(WCHAR)] = 0;
    return STATUS_SUCCESS;
}

ULONG DigitValue(WCHAR c) {
    if (c >= u'0' && c <= u'9') return c - u'0';
    if (c >= u'a' && c <= u'z') return c - u'a' + 10;
    if (c >= u'A' && c <= u'Z') return c - u'A' + 10;
    return 36;
}

}  // namespace

VOID RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
    DestinationString->Buffer = const_cast<PWSTR>(SourceString);
    if (SourceString == nullptr) {
        DestinationString->Length = 0;
        DestinationString->MaximumLength = 0;
        return;
    }
    std::size_t bytes = harness::WideLength(SourceString) * sizeof(WCHAR);
    if (bytes > kMaxCountedBytes - sizeof(WCHAR)) bytes = kMaxCountedBytes - sizeof(WCHAR);
    DestinationString->Length = static_cast<USHORT>(bytes);
    DestinationString->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
}

VOID RtlInitAnsiString(PANSI_STRING DestinationString, PCSZ SourceString) {
    DestinationString->Buffer = const_cast<PCHAR>(SourceString);
    if (SourceString == nullptr) {
        DestinationString->Length = 0;
        DestinationString->MaximumLength = 0;
        return;
    }
    std::size_t bytes = std::strlen(SourceString);
    if (bytes > kMaxCountedBytes - 1u) bytes = kMaxCountedBytes - 1u;
    DestinationString->Length = static_cast<USHORT>(bytes);
    DestinationString->MaximumLength = static_cast<USHORT>(bytes + 1);
}

VOID RtlInitString(PSTRING DestinationString, PCSZ SourceString) {
    RtlInitAnsiString(DestinationString, SourceString);
}

NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source) {
    if (!ValidDestination(Destination, "RtlAppendUnicodeToString")) return STATUS_INVALID_PARAMETER;
    if (Source == nullptr) return STATUS_SUCCESS;
    const std::size_t bytes = harness::WideLength(Source) * sizeof(WCHAR);
    if (bytes > kMaxCountedBytes) return STATUS_BUFFER_TOO_SMALL;
    return AppendBytes(Destination, Source, static_cast<USHORT>(bytes));
}

NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source) {
    if (!ValidDestination(Destination, "RtlAppendUnicodeStringToString")) return STATUS_INVALID_PARAMETER;
    if (Source == nullptr) return STATUS_SUCCESS;
    return AppendBytes(Destination, Source->Buffer, Source->Length);
}

VOID RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString) {
    if (!ValidDestination(DestinationString, "RtlCopyUnicodeString")) return;
    if (SourceString == nullptr) {
        DestinationString->Length = 0;
        return;
    }
    const USHORT bytes = std::min(SourceString->Length, DestinationString->MaximumLength);
    if (bytes != 0) std::memmove(DestinationString->Buffer, SourceString->Buffer, bytes);
    DestinationString->Length = bytes;
    if (static_cast<ULONG>(bytes) + sizeof(WCHAR) <= DestinationString->MaximumLength)
        DestinationString->Buffer[bytes / sizeof(WCHAR)] = 0;
}

NTSTATUS RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String) {
    if (Base == 0) Base = 10;
    if (Base != 2 && Base != 8 && Base != 10 && Base != 16) return STATUS_INVALID_PARAMETER;
    if (String == nullptr) return STATUS_INVALID_PARAMETER;
    WCHAR digits[32];
    int count = 0;
    do {
        const ULONG digit = Value % Base;
        digits[count++] = static_cast<WCHAR>(digit < 10 ? u'0' + digit : u'A' + digit - 10);
        Value /= Base;
    } while (Value != 0);
    const ULONG bytes = static_cast<ULONG>(count) * sizeof(WCHAR);
    if (bytes > String->MaximumLength) return STATUS_BUFFER_OVERFLOW;
    for (int i = 0; i < count; ++i) String->Buffer[i] = digits[count - 1 - i];
    String->Length = static_cast<USHORT>(bytes);
    if (bytes + sizeof(WCHAR) <= String->MaximumLength) String->Buffer[count] = 0;
    return STATUS_SUCCESS;
}

// Leading white space, an optional sign, then digits of the base up to the
// first character that is not one. Base 0 reads a "0x", "0o" or "0b" prefix
// (hexadecimal, octal, binary) and is decimal otherwise. The value wraps
// around on overflow, as the kernel's does.
NTSTATUS RtlUnicodeStringToInteger(PCUNICODE_STRING String, ULONG Base, PULONG Value) {
    if (Base != 0 && Base != 2 && Base != 8 && Base != 10 && Base != 16) return STATUS_INVALID_PARAMETER;
    if (String == nullptr || Value == nullptr) return STATUS_ACCESS_VIOLATION;
    const std::size_t count = String->Length / sizeof(WCHAR);
    const WCHAR* s = String->Buffer;
    std::size_t i = 0;
    while (i < count && s[i] <= u' ') ++i;
    bool negative = false;
    if (i < count && (s[i] == u'+' || s[i] == u'-')) {
        negative = s[i] == u'-';
        ++i;
    }
    if (Base == 0) {
        Base = 10;
        if (i + 1 < count && s[i] == u'0') {
            switch (s[i + 1]) {
                case u'x': Base = 16; break;
                case u'o': Base = 8; break;
                case u'b': Base = 2; break;
                default: break;
            }
            if (Base != 10) i += 2;
        }
    }
    ULONG result = 0;
    for (; i < count; ++i) {
        const ULONG digit = DigitValue(s[i]);
        if (digit >= Base) break;
        result = result * Base + digit;
    }
    *Value = negative ? 0u - result : result;
    return STATUS_SUCCESS;
}

// Characters outside 7-bit ASCII have no single-byte form here and become
// '?'. Without allocation, a destination that is too small receives as much
// as fits (terminated) and the result is STATUS_BUFFER_OVERFLOW.
NTSTATUS RtlUnicodeStringToAnsiString(PANSI_STRING DestinationString, PCUNICODE_STRING SourceString,
                                      BOOLEAN AllocateDestinationString) {
    const std::size_t chars = SourceString->Length / sizeof(WCHAR);
    NTSTATUS status = STATUS_SUCCESS;
    std::size_t convert = chars;
    if (AllocateDestinationString) {
        auto* buffer = static_cast<PCHAR>(ExAllocatePoolWithTag(PagedPool, chars + 1, StringTag()));
        if (buffer == nullptr) return STATUS_NO_MEMORY;
        DestinationString->Buffer = buffer;
        DestinationString->MaximumLength = static_cast<USHORT>(chars + 1);
    } else if (chars >= DestinationString->MaximumLength) {
        if (DestinationString->MaximumLength == 0) return STATUS_BUFFER_OVERFLOW;
        status = STATUS_BUFFER_OVERFLOW;
        convert = DestinationString->MaximumLength - 1u;
    }
    for (std::size_t i = 0; i < convert; ++i) {
        const WCHAR c = SourceString->Buffer[i];
        DestinationString->Buffer[i] = c < 0x80 ? static_cast<CHAR>(c) : '?';
    }
    DestinationString->Buffer[convert] = 0;
    DestinationString->Length = static_cast<USHORT>(convert);
    return status;
}

// Bytes are taken as Latin-1 characters.
NTSTATUS RtlAnsiStringToUnicodeString(PUNICODE_STRING DestinationString, PCANSI_STRING SourceString,
                                      BOOLEAN AllocateDestinationString) {
    const std::size_t chars = SourceString->Length;
    const std::size_t bytes = chars * sizeof(WCHAR);
    if (bytes + sizeof(WCHAR) > 0xFFFF) return STATUS_INVALID_PARAMETER_2;
    if (AllocateDestinationString) {
        auto* buffer =
            static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, bytes + sizeof(WCHAR), StringTag()));
        if (buffer == nullptr) return STATUS_NO_MEMORY;
        DestinationString->Buffer = buffer;
        DestinationString->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
    } else if (bytes >= DestinationString->MaximumLength) {
        return STATUS_BUFFER_OVERFLOW;
    }
    for (std::size_t i = 0; i < chars; ++i)
        DestinationString->Buffer[i] = static_cast<WCHAR>(static_cast<unsigned char>(SourceString->Buffer[i]));
    DestinationString->Buffer[chars] = 0;
    DestinationString->Length = static_cast<USHORT>(bytes);
    return STATUS_SUCCESS;
}

VOID RtlFreeAnsiString(PANSI_STRING AnsiString) {
    if (AnsiString == nullptr) return;
    if (AnsiString->Buffer != nullptr) ExFreePool(AnsiString->Buffer);
    AnsiString->Buffer = nullptr;
    AnsiString->Length = 0;
    AnsiString->MaximumLength = 0;
}

VOID RtlFreeUnicodeString(PUNICODE_STRING UnicodeString) {
    if (UnicodeString == nullptr) return;
    if (UnicodeString->Buffer != nullptr) ExFreePool(UnicodeString->Buffer);
    UnicodeString->Buffer = nullptr;
    UnicodeString->Length = 0;
    UnicodeString->MaximumLength = 0;
}

LONG RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive) {
    const std::size_t n1 = String1->Length / sizeof(WCHAR);
    const std::size_t n2 = String2->Length / sizeof(WCHAR);
    const std::size_t n = std::min(n1, n2);
    for (std::size_t i = 0; i < n; ++i) {
        WCHAR a = String1->Buffer[i];
        WCHAR b = String2->Buffer[i];
        if (CaseInSensitive) {
            a = harness::UpcaseChar(a);
            b = harness::UpcaseChar(b);
        }
        if (a != b) return static_cast<LONG>(a) - static_cast<LONG>(b);
    }
    return static_cast<LONG>(String1->Length) - static_cast<LONG>(String2->Length);
}

BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive) {
    if (String1->Length != String2->Length) return FALSE;
    return RtlCompareUnicodeString(String1, String2, CaseInSensitive) == 0 ? TRUE : FALSE;
}
