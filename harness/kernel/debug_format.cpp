// DbgPrint's formatter, by the kernel C library's rules (debug_format.h).
#include "harness/kernel/debug_format.h"

#include <cstring>

#include "harness/km/ntdef.h"

namespace harness::debug {
namespace {

enum class Size { Default, Short, Long32, Long64, Pointer, Wide };

struct Conversion {
    bool left = false, plus = false, space = false, alternate = false, zero = false;
    int width = 0;
    int precision = -1;
    Size size = Size::Default;
    char type = 0;
};

void AppendWide(std::string& out, const WCHAR* text, std::size_t length) {
    for (std::size_t i = 0; i < length; ++i) out.push_back(text[i] < 0x80 ? static_cast<char>(text[i]) : '?');
}

std::size_t WideLength(const WCHAR* text) {
    std::size_t n = 0;
    while (text[n] != 0) ++n;
    return n;
}

void Pad(std::string& out, const Conversion& c, std::string body, const std::string& prefix = "") {
    const std::size_t used = body.size() + prefix.size();
    const std::size_t fill = c.width > 0 && static_cast<std::size_t>(c.width) > used ? c.width - used : 0;
    if (c.left) {
        out += prefix + body + std::string(fill, ' ');
    } else if (c.zero && c.precision < 0 && c.type != 's' && c.type != 'c') {
        out += prefix + std::string(fill, '0') + body;
    } else {
        out += std::string(fill, ' ') + prefix + body;
    }
}

std::string Digits(std::uint64_t value, unsigned base, bool upper) {
    const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    std::string text;
    do {
        text.insert(text.begin(), digits[value % base]);
        value /= base;
    } while (value != 0);
    return text;
}

bool Is64(Size size) { return size == Size::Long64 || (size == Size::Pointer && sizeof(void*) == 8); }

void Integer(std::string& out, const Conversion& c, ArgumentSource& args) {
    const bool is64 = Is64(c.size);
    std::uint64_t raw = is64 ? args.Next64() : args.Next32();
    if (c.size == Size::Short) raw &= 0xFFFF;
    const bool isSigned = c.type == 'd' || c.type == 'i';
    bool negative = false;
    if (isSigned) {
        std::int64_t value = is64 ? static_cast<std::int64_t>(raw)
                           : c.size == Size::Short ? static_cast<std::int16_t>(raw)
                                                   : static_cast<std::int32_t>(raw);
        negative = value < 0;
        raw = negative ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
    }
    const unsigned base = c.type == 'o' ? 8 : (c.type == 'x' || c.type == 'X') ? 16 : 10;
    std::string body = (c.precision == 0 && raw == 0) ? "" : Digits(raw, base, c.type == 'X');
    if (c.precision > 0 && body.size() < static_cast<std::size_t>(c.precision))
        body.insert(0, c.precision - body.size(), '0');
    std::string prefix = negative ? "-" : c.plus && isSigned ? "+" : c.space && isSigned ? " " : "";
    if (c.alternate && raw != 0 && base == 16) prefix += c.type == 'X' ? "0X" : "0x";
    if (c.alternate && base == 8 && (body.empty() || body[0] != '0')) body.insert(0, "0");
    Pad(out, c, body, prefix);
}

void Text(std::string& out, const Conversion& c, ArgumentSource& args, bool wide) {
    const void* pointer = args.NextPointer();
    std::string body;
    if (pointer == nullptr) {
        body = "(null)";
    } else if (wide) {
        const auto* text = static_cast<const WCHAR*>(pointer);
        std::size_t length = WideLength(text);
        if (c.precision >= 0 && length > static_cast<std::size_t>(c.precision)) length = c.precision;
        AppendWide(body, text, length);
    } else {
        const auto* text = static_cast<const char*>(pointer);
        std::size_t length = std::strlen(text);
        if (c.precision >= 0 && length > static_cast<std::size_t>(c.precision)) length = c.precision;
        body.assign(text, length);
    }
    Pad(out, c, body);
}

void CountedText(std::string& out, const Conversion& c, ArgumentSource& args, bool wide) {
    const void* pointer = args.NextPointer();
    std::string body;
    if (pointer == nullptr) {
        body = "(null)";
    } else if (wide) {
        const auto* s = static_cast<const UNICODE_STRING*>(pointer);
        if (s->Buffer == nullptr) body = "(null)";
        else AppendWide(body, s->Buffer, s->Length / sizeof(WCHAR));
    } else {
        const auto* s = static_cast<const ANSI_STRING*>(pointer);
        if (s->Buffer == nullptr) body = "(null)";
        else body.assign(s->Buffer, s->Length);
    }
    Pad(out, c, body);
}

// Reads flags, width, precision and size; returns the character after them.
const char* Parse(const char* p, Conversion& c, ArgumentSource& args) {
    for (;; ++p) {
        if (*p == '-') c.left = true;
        else if (*p == '+') c.plus = true;
        else if (*p == ' ') c.space = true;
        else if (*p == '#') c.alternate = true;
        else if (*p == '0') c.zero = true;
        else break;
    }
    if (*p == '*') {
        c.width = static_cast<std::int32_t>(args.Next32());
        if (c.width < 0) c.left = true, c.width = -c.width;
        ++p;
    } else {
        while (*p >= '0' && *p <= '9') c.width = c.width * 10 + (*p++ - '0');
    }
    if (*p == '.') {
        ++p;
        c.precision = 0;
        if (*p == '*') {
            c.precision = static_cast<std::int32_t>(args.Next32());
            ++p;
        } else {
            while (*p >= '0' && *p <= '9') c.precision = c.precision * 10 + (*p++ - '0');
        }
    }
    if (std::strncmp(p, "I64", 3) == 0) c.size = Size::Long64, p += 3;
    else if (std::strncmp(p, "I32", 3) == 0) c.size = Size::Long32, p += 3;
    else if (std::strncmp(p, "ll", 2) == 0) c.size = Size::Long64, p += 2;
    else if (*p == 'I') c.size = Size::Pointer, ++p;
    else if (*p == 'l') c.size = Size::Long32, ++p;
    else if (*p == 'h') c.size = Size::Short, ++p;
    else if (*p == 'w') c.size = Size::Wide, ++p;
    c.type = *p;
    return p;
}

void Convert(std::string& out, const Conversion& c, ArgumentSource& args, const char* start, const char* end) {
    const bool wideText = c.size == Size::Wide || c.size == Size::Long32;
    switch (c.type) {
        case 'd': case 'i': case 'u': case 'x': case 'X': case 'o': Integer(out, c, args); return;
        case 'p': {
            Conversion hex = c;
            hex.type = 'X';
            hex.size = Size::Pointer;
            hex.precision = 2 * sizeof(void*);
            Integer(out, hex, args);
            return;
        }
        case 'c': case 'C': {
            const std::uint32_t value = args.Next32();
            const bool wide = c.type == 'C' ? c.size != Size::Short : wideText;
            const WCHAR w = static_cast<WCHAR>(value);
            std::string body;
            if (wide) AppendWide(body, &w, 1);
            else body.push_back(static_cast<char>(value));
            Pad(out, c, body);
            return;
        }
        case 's': Text(out, c, args, wideText); return;
        case 'S': Text(out, c, args, c.size != Size::Short); return;
        case 'Z': CountedText(out, c, args, c.size == Size::Wide); return;
        case 'n': args.NextPointer(); return;
        default: out.append(start, end); return;  // %%, floating point, unknown: printed as written
    }
}

}  // namespace

std::string FormatDebugText(const char* format, ArgumentSource& arguments) {
    std::string out;
    for (const char* p = format; *p != 0; ++p) {
        if (*p != '%') {
            out.push_back(*p);
            continue;
        }
        if (p[1] == '%') {
            out.push_back('%');
            ++p;
            continue;
        }
        Conversion c;
        const char* type = Parse(p + 1, c, arguments);
        if (*type == 0) {
            out.append(p);
            break;
        }
        Convert(out, c, arguments, p, type + 1);
        p = type;
    }
    return out;
}

}  // namespace harness::debug
