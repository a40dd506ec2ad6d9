// Reading ld's map file: lines of the form
//   "                0x00000001400015d0                DriverEntry"
// in the memory map name one global symbol each at its preferred address.
// An x86 map names a __stdcall routine with the size of its arguments
// ("DriverEntry@8"); the name is kept without it, as the source spells it.
#include "harness/loader/linker_map.h"

#include <cstdio>
#include <fstream>
#include <regex>

namespace harness::loader {

LinkerMap LinkerMap::Read(const std::string& path, std::uint64_t imageBase, std::uint64_t imageSize) {
    LinkerMap map;
    std::ifstream in(path);
    static const std::regex symbol(R"(^\s+0x([0-9a-fA-F]{8,16})\s+([A-Za-z_?][^=]*?)\s*$)");
    static const std::regex section(R"(^([.A-Za-z_][\w.$]*)\s+0x([0-9a-fA-F]{8,16})\s+0x([0-9a-fA-F]+)\s*$)");
    std::string line;
    std::smatch match;
    while (std::getline(in, line)) {
        if (std::regex_match(line, match, section)) {
            map.sections_[match[1].str()] = {std::stoull(match[2].str(), nullptr, 16),
                                             std::stoull(match[3].str(), nullptr, 16)};
            continue;
        }
        if (!std::regex_match(line, match, symbol)) continue;
        const std::uint64_t address = std::stoull(match[1].str(), nullptr, 16);
        std::string name = match[2].str();
        if (const auto at = name.find_last_of('@'); at != std::string::npos && at > 0 && at + 1 < name.size() &&
                                                    name.find_first_not_of("0123456789", at + 1) == std::string::npos)
            name.erase(at);
        if (address < imageBase || address >= imageBase + imageSize) continue;
        if (name.rfind("PROVIDE", 0) == 0 || name.rfind("ASSERT", 0) == 0) continue;
        map.byRva_.emplace(static_cast<std::uint32_t>(address - imageBase), name);
    }
    return map;
}

std::string LinkerMap::Describe(std::uint32_t rva) const {
    auto it = byRva_.upper_bound(rva);
    if (it == byRva_.begin()) return {};
    --it;
    if (rva == it->first) return it->second;
    char offset[24];
    std::snprintf(offset, sizeof offset, "+0x%x", rva - it->first);
    return it->second + offset;
}

std::optional<std::uint32_t> LinkerMap::Find(std::string_view name) const {
    for (const auto& [rva, symbol] : byRva_)
        if (symbol == name) return rva;
    return std::nullopt;
}

}  // namespace harness::loader
