// The linker map the Windows build writes beside each image (ld's
// -Map output): the address of every global symbol, which turns an address
// inside a loaded image into "tarnlink64.sys!DriverEntry+0x1c".
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace harness::loader {

class LinkerMap {
public:
    // Reads the symbols of `path` that lie in [imageBase, imageBase +
    // imageSize), as relative addresses. A missing or unreadable file gives
    // an empty map.
    static LinkerMap Read(const std::string& path, std::uint64_t imageBase, std::uint64_t imageSize);

    bool Empty() const { return byRva_.empty(); }
    std::size_t Size() const { return byRva_.size(); }
    // "Name+0x1c" for the nearest symbol at or below `rva`; empty if none.
    // Symbols with internal linkage are not in the map, so an address in a
    // static routine is named after the global routine before it.
    std::string Describe(std::uint32_t rva) const;
    // The relative address of a symbol by its exact (demangled) name.
    std::optional<std::uint32_t> Find(std::string_view name) const;

    // The output sections the map lists ("name address size" at the start
    // of a line), by name: their preferred addresses and sizes.
    struct Section {
        std::uint64_t address = 0;
        std::uint64_t size = 0;
    };
    const std::map<std::string, Section>& Sections() const { return sections_; }

private:
    std::map<std::uint32_t, std::string> byRva_;
    std::map<std::string, Section> sections_;
};

}  // namespace harness::loader
