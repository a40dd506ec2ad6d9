// Every routine the driver places in pageable code (PORT_PAGEABLE_CODE)
// starts with PAGED_CODE(), so that entering it above APC_LEVEL is caught
// where it happens: by the emulated kernel here, by a checked build of
// Windows there. Checked on the driver's sources, so that a routine no test
// runs at raised IRQL is held to the rule too.
#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <string>
#include <vector>

#include "support/source_tree.h"

namespace {

struct ScanResult {
    std::vector<std::string> pageable;  // routines found
    std::vector<std::string> missing;   // of those, the ones without PAGED_CODE() first
};

bool IsIdentifierChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }

// The text with comments blanked out (string literals are kept whole, so a
// "//" inside one is no comment) and preprocessor lines dropped.
std::string Code(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    bool lineStart = true;
    for (size_t i = 0; i < text.size();) {
        const char c = text[i];
        if (lineStart && c == '#') {
            while (i < text.size() && text[i] != '\n') i += (text[i] == '\\' && i + 1 < text.size()) ? 2 : 1;
            continue;
        }
        if (c == '/' && i + 1 < text.size() && text[i + 1] == '/') {
            while (i < text.size() && text[i] != '\n') ++i;
            continue;
        }
        if (c == '/' && i + 1 < text.size() && text[i + 1] == '*') {
            const size_t end = text.find("*/", i + 2);
            i = end == std::string::npos ? text.size() : end + 2;
            out += ' ';
            continue;
        }
        if (c == '"' || c == '\'') {
            size_t j = i + 1;
            while (j < text.size() && text[j] != c) j += text[j] == '\\' ? 2 : 1;
            out.append(text, i, std::min(j + 1, text.size()) - i);
            i = j + 1;
            lineStart = false;
            continue;
        }
        if (c == '\n') lineStart = true;
        else if (!std::isspace(static_cast<unsigned char>(c))) lineStart = false;
        out += c;
        ++i;
    }
    return out;
}

void Scan(const std::string& text, const std::string& where, ScanResult* result) {
    static const std::string kMark = "PORT_PAGEABLE_CODE";
    const std::string code = Code(text);
    for (size_t at = code.find(kMark); at != std::string::npos; at = code.find(kMark, at + kMark.size())) {
        const size_t after = at + kMark.size();
        if ((at > 0 && IsIdentifierChar(code[at - 1])) || (after < code.size() && IsIdentifierChar(code[after])))
            continue;
        const size_t body = code.find_first_of("{;", after);
        if (body == std::string::npos || code[body] == ';') continue;  // a declaration
        // The routine's name: the identifier just before its parameter list.
        size_t end = code.find('(', after);
        while (end > after && !IsIdentifierChar(code[end - 1])) --end;
        size_t begin = end;
        while (begin > after && IsIdentifierChar(code[begin - 1])) --begin;
        const std::string name = where + ": " + code.substr(begin, end - begin);
        result->pageable.push_back(name);

        size_t first = body + 1;
        while (first < code.size() && std::isspace(static_cast<unsigned char>(code[first]))) ++first;
        size_t next = code.compare(first, 10, "PAGED_CODE") == 0 ? first + 10 : std::string::npos;
        for (const char expected : std::string("();")) {
            while (next < code.size() && std::isspace(static_cast<unsigned char>(code[next]))) ++next;
            next = (next < code.size() && code[next] == expected) ? next + 1 : std::string::npos;
        }
        if (next == std::string::npos) result->missing.push_back(name);
    }
}

std::string Joined(const std::vector<std::string>& names) {
    std::string text;
    for (const auto& name : names) text += "\n  " + name;
    return text;
}

TEST(PageableCodeRule, EveryPageableRoutineOfTheDriverStartsWithPagedCode) {
    ASSERT_TRUE(std::filesystem::exists(test_support::SourceTreeRoot() / "driver")) << "source tree not found";
    ScanResult result;
    const int files = test_support::ForEachSourceFile(
        {"driver", "usb", "serial", "io"},
        [&](const std::string& where, const std::string& text) { Scan(text, where, &result); });
    EXPECT_GT(files, 0);
    EXPECT_TRUE(result.missing.empty()) << "pageable routines that do not start with PAGED_CODE();"
                                        << Joined(result.missing);
}

TEST(PageableCodeRule, TheScanTellsARoutineThatStartsWithPagedCodeFromOneThatDoesNot) {
    ScanResult result;
    Scan(R"(
        // PORT_PAGEABLE_CODE in a comment is no routine
        #define X PORT_PAGEABLE_CODE
        PORT_PAGEABLE_CODE void Declared(int a);
        PORT_PAGEABLE_CODE void Good(PDEVICE_OBJECT d) {
            PAGED_CODE ( ) ;
        }
        PORT_PAGEABLE_CODE NTSTATUS Missing(PDEVICE_OBJECT d) {
            const char* s = "{ PAGED_CODE(); }";
            return 0;
        }
        PORT_PAGEABLE_CODE VOID
        Late(void) {
            int x = 0; /* a comment first is fine */
            PAGED_CODE();
        }
        PORT_PAGEABLE_CODE VOID AfterComment(void) { /* why */ PAGED_CODE(); }
    )",
         "sample.cpp", &result);
    EXPECT_EQ(result.pageable, (std::vector<std::string>{"sample.cpp: Good", "sample.cpp: Missing",
                                                         "sample.cpp: Late", "sample.cpp: AfterComment"}));
    EXPECT_EQ(result.missing, (std::vector<std::string>{"sample.cpp: Missing", "sample.cpp: Late"}));
}

}  // namespace
