// Text helpers for the emulated kernel and its tests: the kernel speaks
// UTF-16 (WCHAR is char16_t on the host), tests and the demo mostly write
// UTF-8. Kernel names (registry keys, device names) compare without regard
// to case the way the object manager does, for the characters a driver and
// its tests use.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace harness {

// UTF-8 to UTF-16. Malformed bytes become U+FFFD.
std::u16string ToUtf16(std::string_view text);

// UTF-16 to UTF-8. Unpaired surrogates become U+FFFD.
std::string ToUtf8(std::u16string_view text);

// Length in characters of a zero-terminated UTF-16 string (0 for null).
std::size_t WideLength(const char16_t* text);

// The kernel's case folding for names: ASCII and Latin-1 letters.
char16_t UpcaseChar(char16_t c);
bool EqualNoCase(std::u16string_view a, std::u16string_view b);

// A text argument that accepts UTF-8 or UTF-16, so that host-side APIs can
// be called with "..." as well as u"...".
class TextArg {
public:
    TextArg(const char16_t* text) : text_(text ? text : u"") {}
    TextArg(std::u16string_view text) : text_(text) {}
    TextArg(const std::u16string& text) : text_(text) {}
    TextArg(const char* text) : text_(ToUtf16(text ? text : "")) {}
    TextArg(std::string_view text) : text_(ToUtf16(text)) {}
    TextArg(const std::string& text) : text_(ToUtf16(text)) {}

    const std::u16string& str() const { return text_; }
    operator std::u16string_view() const { return text_; }

private:
    std::u16string text_;
};

}  // namespace harness
